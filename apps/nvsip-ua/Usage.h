#pragma once
// Usage: nvsip-ua's help, written from one table per mode (what the mode
// does, its arguments and options with a line each), so that the synopsis
// and the explanations cannot drift apart.

#include <ostream>
#include <string>

namespace Usage {

// The synopsis of every mode, and how to get a mode's help: for --help
// without a mode and, on standard error, after a bad command line.
void printGeneral(std::ostream& out);
// `mode`'s synopsis, what it does, then a line per argument and option;
// false (nothing written) for a mode that does not exist.
bool printMode(std::ostream& out, const std::string& mode);

}  // namespace Usage
