#include "apps/nvsip-ua/Usage.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace {

struct Option {
    const char* synopsis;  // "--ring MS"
    const char* help;
    bool required = false;
};

struct Mode {
    const char* name;
    const char* about;
    std::vector<Option> options;
};

// The reporting options, alike in listen and call.
const std::initializer_list<Option> kReporting = {
    {"--quiet", "no line until the summary"},
    {"--verbose", "a line per call event (the default for one call; for more, progress each second)"},
    {"--json", "the summary as one JSON object on stdout; the other lines go to stderr"},
    {"--ladder", "each call's SIP messages drawn as a ladder on stdout, once the call has ended"},
};

std::vector<Option> with(std::initializer_list<Option> own, std::initializer_list<Option> shared) {
    std::vector<Option> options(own);
    options.insert(options.end(), shared.begin(), shared.end());
    return options;
}

const Mode kModes[] = {
    {"listen",
     "Answers every INVITE (180, then the final answer) and the caller's requests in the call.",
     with({{"--bind ADDR:PORT", "the address to listen on, UDP (port 0: any free one)", true},
           {"--tcp", "listen on TCP as well, at the same port"},
           {"--ring MS", "wait MS after the 180 (or its PRACK) before the final answer (default 0)"},
           {"--answer CODE", "the final answer, 200 to 699 (default 200, with our SDP answer)"},
           {"--reliable", "send the 180 reliably when the caller supports 100rel; the answer waits for its PRACK"},
           {"--early-media", "183 with our SDP answer instead of the 180; the final answer does not wait for a PRACK"},
           {"--timer SECS", "run the session timer: refresh when we are the refresher, hang up before it expires"},
           {"--hangup-after MS", "send our BYE MS after our 2xx (default: the caller hangs up)"},
           {"--count N", "exit once N calls have ended (default: run until killed)"},
           {"--snapshot-dir DIR", "keep each confirmed call in DIR until it ends; take back those an earlier run left"},
           {"--snapshot-store redis://HOST:PORT",
            "keep them in a Redis server shared by a cluster; take over the calls of a node that died"},
           {"--advertise ADDR:PORT", "the address our Contacts carry (a load balancer's); Via keeps our own"},
           {"--leave-unanswered METHOD,...", "leave the in-call requests of these methods to the library's answer"},
           {"--max-calls N", "answer new INVITEs 503 with Retry-After while N calls are in progress (default 20000; 0: no limit)"}},
          kReporting)},
    {"call",
     "Places N calls to SIP-URI; exits 0 when every call was answered and ended cleanly, else 1.",
     with({{"SIP-URI", "the party to call", true},
           {"--bind ADDR:PORT", "the local address, UDP (port 0: any free one)", true},
           {"--tcp", "call over TCP"},
           {"--hold MS", "hang up MS after the answer (default 1000)"},
           {"--cancel-after MS", "cancel a call not answered MS after its INVITE"},
           {"--auth USER:PASSWORD", "answer digest challenges (401, 407) with these credentials"},
           {"--follow-redirects", "try each Contact of a 3xx, once"},
           {"--count N", "place N calls (default 1)"},
           {"--rate R", "calls a second, may be fractional (default 10)"},
           {"--limit N", "never more than N calls at once (default: no limit)"},
           {"--reinvite-after MS", "send a re-INVITE with a new SDP offer MS after the ACK"},
           {"--info-after MS", "send an INFO MS after the ACK"},
           {"--update-after MS", "send an UPDATE without body MS after the ACK"},
           {"--timer SECS", "offer a session timer of SECS; refresh when we are the refresher, hang up before it expires"},
           {"--delayed-offer", "send the INVITE without SDP; answer the callee's offer in the PRACK or the ACK"},
           {"--linger MS", "stay MS after the last call, to ACK and hang up a 2xx a fork sends late (default 0)"}},
          kReporting)},
    {"demo", "Listens on loopback, calls itself and draws the call as a ladder.", {}},
};

constexpr size_t kLineWidth = 112;

// "usage: nvsip-ua listen --bind ADDR:PORT [--tcp] ...", wrapped under the
// mode's name; `lead` replaces "usage: " on the first line.
void printSynopsis(std::ostream& out, const Mode& mode, const char* lead) {
    const std::string start = std::string(lead) + "nvsip-ua " + mode.name;
    const std::string indent(start.size() + 1, ' ');
    std::string line = start;
    for (const Option& option : mode.options) {
        const std::string word = option.required ? option.synopsis : "[" + std::string(option.synopsis) + "]";
        if (line.size() + 1 + word.size() > kLineWidth) {
            out << line << "\n";
            line = indent.substr(1);
        }
        line += " " + word;
    }
    out << line << "\n";
}

}  // namespace

namespace Usage {

void printGeneral(std::ostream& out) {
    const char* lead = "usage: ";
    for (const Mode& mode : kModes) {
        printSynopsis(out, mode, lead);
        lead = "       ";
    }
    out << lead << "nvsip-ua [MODE] --help | -h\n";
}

bool printMode(std::ostream& out, const std::string& name) {
    const Mode* mode = std::find_if(std::begin(kModes), std::end(kModes), [&](const Mode& m) { return name == m.name; });
    if (mode == std::end(kModes)) return false;
    printSynopsis(out, *mode, "usage: ");
    out << "\n" << mode->about << "\n\n";
    size_t width = std::string("--help, -h").size();
    for (const Option& option : mode->options) width = std::max(width, std::string(option.synopsis).size());
    auto line = [&](const std::string& synopsis, const char* help) {
        out << "  " << synopsis << std::string(width + 2 - synopsis.size(), ' ') << help << "\n";
    };
    for (const Option& option : mode->options) line(option.synopsis, option.help);
    line("--help, -h", "this help");
    return true;
}

}  // namespace Usage
