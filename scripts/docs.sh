#!/usr/bin/env bash
# Builds the API reference from the public headers' comments, with doxygen
# (installed when missing), into build/docs/html (index.html is the front
# page: the tutorial of docs/tutorial.md); NVSIP_DOCS_DIR=DIR writes it to
# DIR instead. Fails when doxygen warns, listing the warnings.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v doxygen >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends doxygen >/dev/null
fi
export NVSIP_DOCS_DIR="${NVSIP_DOCS_DIR:-$PWD/build/docs}"
mkdir -p "$NVSIP_DOCS_DIR"
doxygen docs/Doxyfile
if [ -s "$NVSIP_DOCS_DIR/warnings.log" ]; then
  cat "$NVSIP_DOCS_DIR/warnings.log"
  echo "doxygen warned: see above" >&2
  exit 1
fi
echo "API reference: $NVSIP_DOCS_DIR/html/index.html"
