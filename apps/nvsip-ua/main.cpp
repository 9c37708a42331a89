// nvsip-ua: a SIP user agent on the call-control library.
//
//   nvsip-ua listen --bind ADDR:PORT [--tcp] [--ring MS] [--answer CODE] [--reliable] [--early-media]
//                   [--timer SECS] [--hangup-after MS] [--count N] [--snapshot-dir DIR]
//                   [--snapshot-store redis://HOST:PORT] [--advertise ADDR:PORT]
//                   [--leave-unanswered METHOD,...] [--max-calls N] [--quiet] [--verbose] [--json] [--ladder]
//   nvsip-ua call SIP-URI --bind ADDR:PORT [--tcp] [--hold MS] [--cancel-after MS]
//                 [--auth USER:PASSWORD] [--follow-redirects] [--count N] [--rate R] [--limit N]
//                 [--reinvite-after MS] [--info-after MS] [--update-after MS] [--timer SECS]
//                 [--delayed-offer] [--linger MS] [--quiet] [--verbose] [--json] [--ladder]
//   nvsip-ua demo
//   nvsip-ua [MODE] --help | -h
//
// --help or -h, anywhere on the line, prints the usage on standard output
// and exits 0: after a mode, that mode's with a line per option (Usage.h).
// A bad command line is named on standard error with the usage; exit 2.
//
// listen: answers every INVITE (180, reliably with --reliable when the
// caller supports 100rel; then CODE after MS, default 200 with an SDP
// answer), answers the caller's BYE and in-dialog requests (re-INVITE and
// UPDATE with SDP, see InCallRequests; those of the methods named by
// --leave-unanswered get the library's own answer 10 s later), hangs up
// --hangup-after MS after its 2xx (the BYE waits for the ACK), and exits 0
// once N calls have ended, whatever their outcome. With --snapshot-dir, each
// confirmed call is saved in DIR until it ends, and calls saved there by an
// earlier run (killed mid-call) are taken back at start. --snapshot-store
// keeps them in a Redis server shared by the nodes of a cluster instead:
// those this node wrote are taken back at start, and a request for a call
// this node does not know (another node had it) is looked up there before
// it gets 481, and the call taken over. --advertise puts ADDR:PORT (a load
// balancer's) in every Contact we send, so that the peer's requests in a
// call come back through it; Via keeps our own address. --early-media
// sends 183 with the SDP answer instead of the 180 to an INVITE with an
// offer (reliably under the same conditions), and the final answer after MS
// without waiting for the PRACK itself: the library sends a 2xx only once
// the reliable 183 was PRACKed (RFC 3262 3). An INVITE without SDP gets the
// offer in the 2xx and the answer in the ACK; an SDP offer in a PRACK is
// answered in its 200. --max-calls N (default 20,000; 0: no limit)
// answers a new INVITE "503 Service Unavailable" with Retry-After while N
// calls are in progress, and statelessly while the stack holds 2N live
// transactions (NvSipCallManager::setCallLimit,
// NvSipTransactionManager::m_MaxTransactions): a flood is shed in a way the
// caller understands, and memory stays bounded.
//
// call: places N calls at R per second, at most --limit N in flight (INVITE
// with an SDP offer and Supported: 100rel), PRACKs reliable provisional responses, ACKs the 2xx,
// holds MS (default 1000) and hangs up, or cancels after MS; answers digest
// challenges with USER:PASSWORD; follows 3xx Contacts when asked. Exits 0
// when every call was answered and ended cleanly, else 1, after a summary
// with the setup times; the peer's BYE ends a call at any time, and its
// other requests in the call are answered as in listen. --reinvite-after
// sends a re-INVITE with a new offer MS after the ACK, --info-after an
// INFO, --update-after an UPDATE without body; --timer offers a session
// timer of SECS, refreshed when we are the refresher and hung up before it
// expires. --rate may be fractional. --delayed-offer sends the INVITE
// without SDP and answers the callee's offer in the PRACK of a reliable
// provisional response that brings it, else in the ACK. --linger keeps it
// running MS after the last call ended, so that a 2xx a fork sends late is
// still ACKed and hung up (by the library, without a report).
//
// Session refresh (--timer, both modes): by UPDATE without body (RFC 3311,
// RFC 4028 7.1: it carries Session-Expires and Supported: timer, added by
// the library) when the peer's Allow lists UPDATE (listen: the caller's
// INVITE; call: the 2xx of the callee), else by re-INVITE with our SDP as
// it stands.
//
// What both modes print (CallReport): one line per call event when the run
// is one call (--count 1, listen's too) or with --verbose; otherwise, for a
// load, a progress line each second (calls/s, in progress, ended, failed);
// with --quiet neither. Then a summary: text lines ("summary: ..."), or
// with --json one JSON object on standard output, the other lines then
// going to standard error, so that standard output holds nothing but the
// JSON and what --ladder asks for: each call's ladder, drawn from its
// message log once it has ended (CallLog). --quiet and --verbose exclude
// each other.
//
// Logging: each call's SIP messages go to the loggers
// "nvsip-ua.calls.outgoing" and "nvsip-ua.calls.incoming", which the log
// configuration named by NVSIP_LOG_CONFIG (e.g. config/nvsip-log.properties)
// may send to a file; without it they are not even formatted.
//
// demo: listens on loopback, calls itself and draws the call as a ladder.

#include "apps/common/CommandLine.h"
#include "apps/nvsip-ua/CallReport.h"
#include "apps/nvsip-ua/CallPacer.h"
#include "apps/nvsip-ua/Caller.h"
#include "apps/nvsip-ua/Listener.h"
#include "apps/nvsip-ua/Usage.h"
#include "stack/auth/NvDigestAuthentication.h"
#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/snapshot/NvSipRedisSnapshotStore.h"
#include "mlapi/snapshot/NvSipSnapshotDirectory.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// A command line nvsip-ua cannot run: says why, with the usage, and exits 2.
[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "nvsip-ua: " << problem << "\n";
    Usage::printGeneral(std::cerr);
    std::exit(2);
}

bool asksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return true;
    return false;
}

// The reporting options, alike in listen and call; false for another one.
bool reportOption(const std::string& arg, ReportOptions& o) {
    if (arg == "--quiet") o.quiet = true;
    else if (arg == "--verbose") o.verbose = true;
    else if (arg == "--json") o.json = true;
    else if (arg == "--ladder") o.ladder = true;
    else return false;
    if (o.quiet && o.verbose) throw std::invalid_argument("--quiet and --verbose exclude each other");
    return true;
}

struct Listen {
    BindAddress bind;
    bool bound = false;
    ListenOptions options;
    std::string snapshotDir;    // empty: no snapshots in a folder
    std::string snapshotStore;  // "redis://HOST:PORT"; empty: none
    BindAddress advertise;      // the Contact's address, when advertised
    bool advertised = false;
};

// Walks argv from `first`, giving each argument to `option` with the means
// to take its value; `option` returns false for an unknown one.
template <class Option>
void parseOptions(int argc, char** argv, int first, Option option) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument("missing value after " + arg);
            return argv[++i];
        };
        auto number = [&](long max) { return parseNumber(value(), arg.c_str(), max); };
        if (!option(arg, value, number)) throw std::invalid_argument("unknown option " + arg);
    }
}

// "INFO,INVITE": SIP method names, upper case, separated by commas.
std::set<std::string> parseMethods(const std::string& text) {
    std::set<std::string> methods;
    std::istringstream in(text);
    for (std::string method; std::getline(in, method, ',');) {
        if (method.empty() || method.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos)
            throw std::invalid_argument("bad --leave-unanswered: " + text + " (methods like INFO,INVITE)");
        methods.insert(method);
    }
    if (methods.empty()) throw std::invalid_argument("bad --leave-unanswered: " + text);
    return methods;
}

long atLeastOne(long count) {
    if (count < 1) throw std::invalid_argument("bad --count: " + std::to_string(count) + " (at least 1)");
    return count;
}

// Calls per second: a decimal number above 0, at most a million.
double parseRate(const std::string& text) {
    char* end = nullptr;
    const double rate = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !(rate > 0 && rate <= 1e6)) throw std::invalid_argument("bad --rate: " + text);
    return rate;
}

Listen parseListen(int argc, char** argv) {
    Listen listen;
    parseOptions(argc, argv, 2, [&](const std::string& arg, auto value, auto number) {
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
        else if (arg == "--early-media") o.earlyMedia = true;
        else if (arg == "--timer") o.timerSeconds = static_cast<unsigned>(number(86400));
        else if (arg == "--hangup-after") o.hangupAfterMs = number(3600000);
        else if (arg == "--count") o.count = atLeastOne(number(2147483647L));
        else if (arg == "--snapshot-dir") listen.snapshotDir = value();
        else if (arg == "--snapshot-store") {
            listen.snapshotStore = value();
            try {
                NvSipRedisSnapshotStore::sParseUrl(listen.snapshotStore);
            } catch (const NvHandle<NvException>& error) {
                throw std::invalid_argument("bad --snapshot-store: " + error->getMessage().str());
            }
        } else if (arg == "--advertise") {
            listen.advertise = parseBindAddress(value());
            listen.advertised = true;
        }
        else if (arg == "--leave-unanswered") o.leaveUnanswered = parseMethods(value());
        else if (arg == "--max-calls") o.maxCalls = static_cast<uint32_t>(number(1000000000));
        else return reportOption(arg, o.report);
        return true;
    });
    if (!listen.bound) throw std::invalid_argument("listen needs --bind ADDR:PORT");
    if (!listen.snapshotDir.empty() && !listen.snapshotStore.empty())
        throw std::invalid_argument("give --snapshot-dir or --snapshot-store, not both");
    return listen;
}

struct Call {
    BindAddress bind;
    bool bound = false;
    CallOptions options;
};

Call parseCall(int argc, char** argv) {
    Call call;
    if (argc < 3 || argv[2][0] == '-') throw std::invalid_argument("call needs a SIP-URI");
    call.options.target = argv[2];
    parseOptions(argc, argv, 3, [&](const std::string& arg, auto value, auto number) {
        CallOptions& o = call.options;
        if (arg == "--bind") {
            call.bind = parseBindAddress(value());
            call.bound = true;
        } else if (arg == "--tcp") o.tcp = true;
        else if (arg == "--hold") o.holdMs = static_cast<unsigned>(number(3600000));
        else if (arg == "--cancel-after") o.cancelAfterMs = number(3600000);
        else if (arg == "--auth") {
            const std::string credentials = value();
            const size_t colon = credentials.find(':');
            if (colon == std::string::npos || colon == 0) throw std::invalid_argument("--auth takes USER:PASSWORD");
            o.authUser = credentials.substr(0, colon);
            o.authPassword = credentials.substr(colon + 1);
        } else if (arg == "--follow-redirects") o.followRedirects = true;
        else if (arg == "--count") o.count = atLeastOne(number(100000000L));
        else if (arg == "--rate") o.rate = parseRate(value());
        else if (arg == "--limit") o.limit = number(1000000);
        else if (arg == "--reinvite-after") o.reinviteAfterMs = number(3600000);
        else if (arg == "--info-after") o.infoAfterMs = number(3600000);
        else if (arg == "--delayed-offer") o.delayedOffer = true;
        else if (arg == "--linger") o.lingerMs = static_cast<unsigned>(number(3600000));
        else if (arg == "--update-after") o.updateAfterMs = number(3600000);
        else if (arg == "--timer") o.timerSeconds = static_cast<unsigned>(number(86400));
        else return reportOption(arg, o.report);
        return true;
    });
    if (!call.bound) throw std::invalid_argument("call needs --bind ADDR:PORT");
    try {
        NvSipURL check(call.options.target);
    } catch (NvHandle<NvException>&) {
        throw std::invalid_argument("not a SIP URI: " + call.options.target);
    }
    return call;
}

// What we answer inside a call, with our SDP on `host`.
InCallRequests inCallOn(const NvString& host) { return InCallRequests(OurSdp(host.str())); }

// Refuses INVITEs (the stack answers 480): a calling user agent takes no calls.
class NoNewCalls : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage>) override { return nullptr; }
};

struct Endpoint {
    NvString host;
    uint16_t port;
};

// Listens on `bind` (UDP, and TCP when asked) and sets the local Contact.
Endpoint openTransport(const BindAddress& bind, bool tcp) {
    NvSipTransportLayer* transport = NvSipTransportLayer::sGetInstance();
    const uint16_t port = transport->listen(NvSocketImpl::UDP, bind.host.c_str(), bind.port);
    if (tcp) transport->listen(NvSocketImpl::TCP, bind.host.c_str(), port);
    const NvSocketImpl::Transport kind = tcp ? NvSocketImpl::TCP : NvSocketImpl::UDP;
    const NvString host = transport->getSentByHost(kind);
    NvSipCall::setLocalHostPort(host.c_str(), port, kind, "nvsip-ua");
    return {host, port};
}

// Turns the session timer on for `seconds` (0: left off), lowering the
// smallest interval accepted when `seconds` is below it.
void startSessionTimer(unsigned seconds) {
    if (!seconds) return;
    NvSipDialog::sm_bSupportTimer = true;
    if (seconds < NvSipDialog::sm_MinSessionTime) NvSipDialog::sm_MinSessionTime = seconds;
}

// Lets transactions under way finish for up to 2 s (a late final response
// still gets its ACK, a retransmitted BYE its 200), then stops the stack;
// returns what is left of the run.
Leftovers closeTransport() {
    NvSipTransactionManager& transactions = *NvSipTransactionManager::getInstance();
    for (int wait = 0; wait < 200 && transactions.getTransactionCount() > 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    NvMonitorThread* monitor = NvMonitorThread::sGetCurrent();
    monitor->stop();
    NvSipTransportLayer::sGetInstance()->close();
    return {NvSipCallManager::smp_TheSingleton->getDialogCount(), transactions.getTransactionCount(),
            monitor->getScheduler().pending()};
}

NvHandle<NvSipNameAddress> selfAddress(const Endpoint& endpoint) {
    return new NvSipNameAddress("", new NvSipURL("sip:nvsip-ua@" + endpoint.host.str() + ":" +
                                                 std::to_string(endpoint.port)));
}

int call(const Call& call) {
    const CallOptions& options = call.options;
    const Endpoint self = openTransport(call.bind, options.tcp);
    startSessionTimer(options.timerSeconds);
    NvDigestAuthentication digest;
    if (!options.authUser.empty()) {
        digest.setDefaultCredentials(options.authUser, options.authPassword);
        NvAuthenticationInterface::sm_AuthenticationInterface = &digest;
    }
    new NvSipCallManager(new NoNewCalls, new NvSipCallStrayInterface);
    NvMonitorThread::sGetCurrent()->start();

    CallReport report("call", options.report, options.count);
    NvHandle<Caller> caller = new Caller(options, report, selfAddress(self), inCallOn(self.host));
    CallPacer pacer(*caller, report, options);
    pacer.start();
    report.runUntilEnded(options.count);
    // A fork may still answer: the library ACKs and hangs up such a 2xx.
    std::this_thread::sleep_for(std::chrono::milliseconds(options.lingerMs));
    report.summary(closeTransport(), options.count);
    return report.count("answered") == options.count ? 0 : 1;
}

int demo() {
    const Endpoint self = openTransport(BindAddress{"127.0.0.1", 0}, false);
    ListenOptions answering;
    answering.ringMs = 200;
    answering.reliable = true;
    ReportOptions quiet;
    quiet.quiet = true;
    ReportOptions drawing = quiet;
    drawing.ladder = true;
    CallReport calleeReport("demo", quiet, 1), callerReport("demo", drawing, 1);
    NvHandle<Listener> callee = new Listener(answering, calleeReport, inCallOn(self.host));
    new NvSipCallManager(new Listener::NewCalls(callee), new NvSipCallStrayInterface);
    NvMonitorThread::sGetCurrent()->start();

    CallOptions calling;
    calling.target = "sip:demo@" + self.host.str() + ":" + std::to_string(self.port);
    calling.holdMs = 500;
    calling.report = drawing;
    std::printf("nvsip-ua demo: %s calls itself at %s\n", selfAddress(self)->getURI()->toString().c_str(),
                calling.target.c_str());
    NvHandle<Caller> caller = new Caller(calling, callerReport, selfAddress(self), inCallOn(self.host));
    caller->place();
    callerReport.runUntilEnded(1);
    calleeReport.runUntilEnded(1);
    closeTransport();
    const bool answered = callerReport.count("answered") == 1;
    std::printf("nvsip-ua demo: the call was %s\n", answered ? "answered and hung up" : "not completed");
    return answered ? 0 : 1;
}

int listen(const Listen& listen) {
    const ListenOptions& options = listen.options;
    const Endpoint self = openTransport(listen.bind, options.tcp);
    const NvString& host = self.host;
    const uint16_t port = self.port;
    startSessionTimer(options.timerSeconds);

    CallReport report("listen", options.report, options.count);
    NvHandle<Listener> listener = new Listener(options, report, inCallOn(host));
    NvSipCallManager* manager = new NvSipCallManager(new Listener::NewCalls(listener), new NvSipCallStrayInterface);
    manager->setCallLimit(options.maxCalls);
    NvSipTransactionManager::m_MaxTransactions = 2 * options.maxCalls;
    if (listen.advertised)
        NvSipCall::setLocalHostPort(listen.advertise.host.c_str(), listen.advertise.port,
                                    options.tcp ? NvSocketImpl::TCP : NvSocketImpl::UDP, "nvsip-ua");
    NvHandle<NvSipSnapshotStore> store;
    if (!listen.snapshotDir.empty()) store = new NvSipSnapshotDirectory(listen.snapshotDir);
    if (!listen.snapshotStore.empty()) {
        const auto [storeHost, storePort] = NvSipRedisSnapshotStore::sParseUrl(listen.snapshotStore);
        store = new NvSipRedisSnapshotStore(storeHost, storePort, host.str() + ":" + std::to_string(port));
    }
    if (!store.isNil()) {
        manager->setSnapshotStore(store, listener.get());
        listener->takeBack(manager->restoreSnapshots());
    }
    NvMonitorThread::sGetCurrent()->start();
    report.note("nvsip-ua: listening on " + host.str() + ":" + std::to_string(port) +
                (options.tcp ? " (UDP and TCP)" : " (UDP)"));
    report.runUntilEnded(options.count);
    report.summary(closeTransport());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (asksForHelp(argc, argv)) {
        if (argc < 2 || !Usage::printMode(std::cout, argv[1])) Usage::printGeneral(std::cout);
        return 0;
    }
    if (argc < 2) usage("no mode given");
    const std::string mode = argv[1];
    try {
        if (mode == "listen") return listen(parseListen(argc, argv));
        if (mode == "call") return call(parseCall(argc, argv));
        if (mode == "demo") {
            parseOptions(argc, argv, 2, [](const std::string&, auto, auto) { return false; });
            return demo();
        }
        usage("unknown mode " + mode);
    } catch (const std::invalid_argument& e) {
        usage(e.what());
    } catch (NvHandle<NvException>& e) {
        std::cerr << "nvsip-ua: " << e->getMessage().str() << std::endl;
        return 1;
    }
}
