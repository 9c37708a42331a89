#pragma once
// Ladder: draws calls' SIP messages as ladders between the caller (left) and
// the callee (right), one line per message, from the calls' message logs.
// A Ladder hangs an appender on the log4cplus logger that the calls' logs
// write to; the appender files each record under the Call-ID that its
// message carries, for the calls opened and not yet closed, and close()
// hands over a call's drawing. Records of other calls (ended already, or
// logged by the other party in the same process) are dropped.
//
// Owned by a CallLog; the appender, owned by log4cplus, shares the drawings
// with it and is removed by the destructor. Threads: records arrive on the
// stack's threads, open and close come from any thread; the drawings'
// mutex guards them.

#include "stack/log/TellarLogger.h"

#include <log4cplus/appender.h>

#include <memory>
#include <string>

class Ladder {
public:
    // Draws the records of `logger`, which are the caller's (`weCall`: a
    // message sent goes right) or the callee's (a message sent goes left).
    Ladder(const Tellar::Logger& logger, bool weCall);
    ~Ladder();
    Ladder(const Ladder&) = delete;
    Ladder& operator=(const Ladder&) = delete;

    // Starts drawing the call `callId`.
    void open(const std::string& callId);
    // The call's drawing: a heading with the Call-ID, then a line per
    // message; "" for a call not open. Forgets the call.
    std::string close(const std::string& callId);

    // The open calls' lines so far, shared with the appender.
    struct Drawings;

private:
    log4cplus::Logger m_Logger;
    const std::shared_ptr<Drawings> m_pDrawings;
    const log4cplus::SharedAppenderPtr m_pAppender;
};
