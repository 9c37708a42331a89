// nvsip-ua: a SIP user agent on the call-control library.
//
//   nvsip-ua listen --bind ADDR:PORT [--tcp] [--ring MS] [--answer CODE] [--reliable]
//                   [--timer SECS] [--hangup-after MS] [--count N] [--quiet]
//
// listen: answers every INVITE (180, reliably with --reliable when the
// caller supports 100rel; then CODE after MS, default 200 with an SDP
// answer), answers the caller's BYE and in-dialog requests, and exits 0
// once N calls have ended, whatever their outcome. One line per call event,
// or with --quiet a progress line each second; a summary at exit. Bad flags
// exit 2.

#include "apps/common/CommandLine.h"
#include "apps/nvsip-ua/CallReport.h"
#include "apps/nvsip-ua/Listener.h"
#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialog.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty()) std::cerr << "nvsip-ua: " << problem << "\n";
    std::cerr << "usage: nvsip-ua listen --bind ADDR:PORT [--tcp] [--ring MS] [--answer CODE] [--reliable]\n"
                 "                       [--timer SECS] [--hangup-after MS] [--count N] [--quiet]\n";
    std::exit(2);
}

struct Listen {
    BindAddress bind;
    bool bound = false;
    ListenOptions options;
};

Listen parseListen(int argc, char** argv) {
    Listen listen;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument("missing value after " + arg);
            return argv[++i];
        };
        auto number = [&](long max) { return parseNumber(value(), arg.c_str(), max); };
        ListenOptions& o = listen.options;
        if (arg == "--bind") {
            listen.bind = parseBindAddress(value());
            listen.bound = true;
        } else if (arg == "--tcp") o.tcp = true;
        else if (arg == "--ring") o.ringMs = static_cast<unsigned>(number(3600000));
        else if (arg == "--answer") {
            o.answer = static_cast<unsigned>(number(699));
            if (o.answer < 200) throw std::invalid_argument("--answer takes a final status, 200 to 699");
        } else if (arg == "--reliable") o.reliable = true;
        else if (arg == "--timer") o.timerSeconds = static_cast<unsigned>(number(86400));
        else if (arg == "--hangup-after") o.hangupAfterMs = number(3600000);
        else if (arg == "--count") o.count = number(2147483647L);
        else if (arg == "--quiet") o.quiet = true;
        else throw std::invalid_argument("unknown option " + arg);
    }
    if (!listen.bound) throw std::invalid_argument("listen needs --bind ADDR:PORT");
    return listen;
}

std::string sdpAnswer(const std::string& host) {
    const std::string family = host.find(':') == std::string::npos ? "IP4" : "IP6";
    return "v=0\r\no=nvsip-ua 1 1 IN " + family + " " + host + "\r\ns=-\r\nc=IN " + family + " " + host +
           "\r\nt=0 0\r\nm=audio 49170 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
}

int listen(const Listen& listen) {
    const ListenOptions& options = listen.options;
    NvSipTransportLayer* transport = NvSipTransportLayer::sGetInstance();
    const uint16_t port = transport->listen(NvSocketImpl::UDP, listen.bind.host.c_str(), listen.bind.port);
    if (options.tcp) transport->listen(NvSocketImpl::TCP, listen.bind.host.c_str(), port);
    const NvSocketImpl::Transport kind = options.tcp ? NvSocketImpl::TCP : NvSocketImpl::UDP;
    const NvString host = transport->getSentByHost(kind);
    NvSipCall::setLocalHostPort(host.c_str(), port, kind, "nvsip-ua");
    if (options.timerSeconds) {
        NvSipDialog::sm_bSupportTimer = true;
        if (options.timerSeconds < NvSipDialog::sm_MinSessionTime) NvSipDialog::sm_MinSessionTime = options.timerSeconds;
    }

    CallReport report(options.quiet);
    NvHandle<Listener> listener = new Listener(options, report, sdpAnswer(host.str()));
    new NvSipCallManager(new Listener::NewCalls(listener), new NvSipCallStrayInterface);
    NvMonitorThread::sGetCurrent()->start();
    std::printf("nvsip-ua: listening on %s:%u (%s)\n", host.c_str(), port, options.tcp ? "UDP and TCP" : "UDP");
    std::fflush(stdout);
    report.runUntilEnded(options.count);
    NvMonitorThread::sGetCurrent()->stop();
    transport->close();
    report.summary();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage("no mode given");
    const std::string mode = argv[1];
    try {
        if (mode == "listen") return listen(parseListen(argc, argv));
        usage("unknown mode " + mode);
    } catch (const std::invalid_argument& e) {
        usage(e.what());
    } catch (NvHandle<NvException>& e) {
        std::cerr << "nvsip-ua: " << e->getMessage().str() << std::endl;
        return 1;
    }
}
