#pragma once
// Ladder: prints a call's SIP messages as a ladder between the caller (left)
// and the callee (right), one line per message, as they are logged in the
// caller's call-message log. Attach it with sAttach and hand the logger it
// returns to the outgoing call.

#include "stack/log/TellarLogger.h"

namespace Ladder {
// Prints the heading and returns a new logger whose records are drawn as
// arrows (the caller's log: a message it sent goes right, one it received
// goes left). The call takes ownership of the logger.
Tellar::Logger* sAttach();
}  // namespace Ladder
