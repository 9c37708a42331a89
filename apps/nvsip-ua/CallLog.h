#pragma once
// CallLog: the message logs of nvsip-ua's calls. The library writes every
// SIP message of a call, at INFO, to the logger the call was given; nvsip-ua
// gives each call a logger named "nvsip-ua.calls.outgoing" (call mode and
// the demo's caller) or "nvsip-ua.calls.incoming" (listen mode and the
// demo's callee), which the log configuration (NVSIP_LOG_CONFIG) sends
// where it likes: config/nvsip-log.properties writes both to one file.
// With --ladder, a Ladder on that logger draws each call, handed over when
// the call has ended; if the configuration left the logger below INFO, it
// is raised to INFO for the ladder alone, its records kept from the
// appenders of the loggers above it. When neither the configuration (read
// once, at construction) nor a ladder wants the messages, calls get no
// logger and the library formats nothing.
//
// Owned by the Caller or the Listener. Threads: open and close from any
// thread; the members never change after construction.

#include "apps/nvsip-ua/Ladder.h"

#include <memory>
#include <string>

class CallLog {
public:
    enum class Side { Caller, Callee };
    CallLog(Side side, bool ladder);

    // A new logger for the call `callId`, for the call to own; nullptr when
    // nothing reads it.
    Tellar::Logger* open(const std::string& callId) const;
    // The call ended: its ladder ("" without --ladder).
    std::string close(const std::string& callId) const;

private:
    const std::string m_Name;
    bool m_bWanted = false;  // the configuration or a ladder reads the log
    std::unique_ptr<Ladder> m_pLadder;
};
