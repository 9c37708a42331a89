// nvsip-parse: checks SIP messages the way the stack reads a datagram.
//
//   nvsip-parse [--print] [FILE...]
//
// Each FILE holds one message ("-" or no FILE: standard input; with no FILE
// and a terminal on standard input, a built-in sample INVITE). Prints one
// line per message: what it is, its Call-ID, CSeq and header count, or why
// it was rejected. With --print the message follows as the stack writes it.
// Exit status: 0 when every message was accepted, 1 when any was rejected,
// 2 on a usage or file error.

#include "stack/base/NvException.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kSampleInvite[] =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP pc33.atlanta.example.com:5060;branch=z9hG4bK776asdhds\r\n"
    "Max-Forwards: 70\r\n"
    "To: Bob <sip:bob@biloxi.example.com>\r\n"
    "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@pc33.atlanta.example.com>\r\n"
    "Supported: 100rel, timer\r\n"
    "Session-Expires: 1800;refresher=uac\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 142\r\n"
    "\r\n"
    "v=0\r\n"
    "o=alice 2890844526 2890844526 IN IP4 pc33.atlanta.example.com\r\n"
    "s=-\r\n"
    "c=IN IP4 192.0.2.101\r\n"
    "t=0 0\r\n"
    "m=audio 49172 RTP/AVP 0\r\n"
    "a=rtpmap:0 PCMU/8000\r\n";

std::string summarize(const NvSipMessage& message) {
    std::ostringstream line;
    if (message.isRequest()) {
        const auto& request = static_cast<const NvSipRequest&>(message);
        line << request.getMethod().str() << ' ' << request.getURI()->toString().str();
    } else {
        const auto& response = static_cast<const NvSipResponse&>(message);
        line << response.getStatusCode() << ' ' << response.getReasonPhrase().str();
    }
    const auto cseq = message.getCSeqHeader();
    line << " | Call-ID " << message.getCallID().str() << " | CSeq " << cseq->getNumber() << ' '
         << cseq->getMethod().str() << " | " << message.getHeaders().size() << " headers | body "
         << message.getBody().size() << " bytes";
    return line.str();
}

// Checks one message; prints its line (and the message with --print).
bool check(const std::string& name, const std::string& bytes, bool print) {
    try {
        NvHandle<NvSipMessage> message = NvSipParser::sParse(bytes.data(), bytes.size());
        const NvString missing = message->checkMandatoryHeaders();
        if (!missing.isEmpty()) {
            std::cout << name << ": rejected: " << missing.str() << '\n';
            return false;
        }
        std::cout << name << ": " << summarize(*message) << '\n';
        if (print) std::cout << message->toString() << (message->getBody().empty() ? "" : "\n");
        return true;
    } catch (NvHandle<NvException>& e) {
        std::cout << name << ": rejected: " << e->getMessage().str() << '\n';
        return false;
    }
}

bool readAll(std::istream& in, std::string& bytes) {
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    bool print = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--print") == 0) {
            print = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << "usage: nvsip-parse [--print] [FILE...]\n"
                         "Checks each FILE (one SIP message each; '-' or none: standard input).\n";
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::cerr << "nvsip-parse: unknown option " << argv[i] << '\n';
            return 2;
        } else {
            files.emplace_back(argv[i]);
        }
    }

    bool allAccepted = true;
    std::string bytes;
    if (files.empty()) {
        if (isatty(STDIN_FILENO)) {
            std::cout << "(no input given: checking the built-in sample INVITE)\n";
            return check("sample", kSampleInvite, true) ? 0 : 1;
        }
        files.emplace_back("-");
    }
    for (const std::string& file : files) {
        if (file == "-") {
            if (!readAll(std::cin, bytes)) {
                std::cerr << "nvsip-parse: cannot read standard input\n";
                return 2;
            }
            allAccepted &= check("stdin", bytes, print);
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        if (!in || !readAll(in, bytes)) {
            std::cerr << "nvsip-parse: cannot read " << file << '\n';
            return 2;
        }
        allAccepted &= check(file, bytes, print);
    }
    return allAccepted ? 0 : 1;
}
