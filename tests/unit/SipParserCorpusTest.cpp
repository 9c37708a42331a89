// The torture corpus (tests/data/torture): valid messages accepted the way nvsip-parse decides, invalid ones
// rejected for their own reason; no prefix or seeded edit of one makes the parser or the framer do anything but
// return or raise NvException (tests/fuzz goes on from there, guided by coverage).

#include "SipTestText.h"

#include <filesystem>
#include <map>
#include <random>
#include <set>

namespace {

// File names (not paths) of one corpus directory.
std::set<std::string> corpusFiles(const std::string& kind) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(NVSIP_TEST_DATA_DIR) + "/torture/" + kind))
        if (entry.path().extension() == ".sip") names.insert(entry.path().filename().string());
    return names;
}

// `run(data, size)` on a copy of `bytes` in a buffer of exactly its size: a read past the end is a read past an
// allocation (caught by the sanitiser builds).
template <class Run>
auto onExactBuffer(const std::string& bytes, Run run) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    return run(exact.empty() ? nullptr : exact.data(), exact.size());
}

const char kAccepted[] = "accepted";
const char kParseError[] = "NvSipParseException";
const char kMissing[] = "refused by checkMandatoryHeaders";
const char kNotNvException[] = "an exception other than NvException";

struct Outcome {
    std::string verdict, reason;  // the verdict one of the above, or another NvException
    NvHandle<NvSipMessage> message;
};

// The nvsip-parse rule: parse, then check the mandatory headers.
Outcome check(const std::string& bytes) {
    try {
        NvHandle<NvSipMessage> message = onExactBuffer(bytes, NvSipParser::sParse);
        const std::string missing = message->checkMandatoryHeaders().str();
        return {missing.empty() ? kAccepted : kMissing, missing, message};
    } catch (NvHandle<NvException>& e) {
        return {e.cast<NvSipParseException>() ? kParseError : "another NvException", e->getMessage().str(), nullptr};
    } catch (...) {
        return {kNotNvException, "", nullptr};
    }
}

// Why each invalid message is rejected: the verdict (the parser's, or checkMandatoryHeaders()'), words of the reason.
const std::map<std::string, std::pair<const char*, const char*>> kRejections = {
    {"addr-spec-with-spaces.sip", {kParseError, "spaces must be in angle brackets in 'sip:bob @"}},
    {"addr-spec-with-uri-headers.sip", {kParseError, "'?' or spaces must be in angle brackets"}},
    {"bad-escape-user-part.sip", {kParseError, "malformed user part"}},
    {"conflicting-content-length.sip", {kParseError, "Conflicting Content-Length"}},
    {"content-length-beyond-body.sip", {kParseError, "Content-Length 900 exceeds"}},
    {"content-length-overflow.sip", {kParseError, "Content-Length: '18446744073709551621'"}},
    {"control-character.sip", {kParseError, "Control character"}},
    {"cseq-method-mismatch.sip", {kMissing, "CSeq method ACK does not match request method INVITE"}},
    {"cseq-not-numeric.sip", {kParseError, "CSeq number: 'seven'"}},
    {"cseq-overlarge.sip", {kParseError, "CSeq header: sequence number must be below 2^31"}},
    {"duplicate-call-id.sip", {kMissing, "More than one From, To, Call-ID"}},
    {"escaped-line-break-in-quotes.sip", {kParseError, "Backslash before a line break"}},
    {"empty-comma-value.sip", {kParseError, "Empty value in Contact"}},
    {"header-name-not-token.sip", {kParseError, "Bad header name 'Max Hops'"}},
    {"ipv6-bad-ipv4-part.sip", {kParseError, "malformed IPv6 reference '[::ffff:192.0.2.300]'"}},
    {"ipv6-three-colons.sip", {kParseError, "malformed IPv6 reference '[2001:db8:::192.0.2.1]'"}},
    {"ipv6-unbracketed.sip", {kParseError, "IPv6 address '2001:db8::10' must be enclosed in brackets"}},
    {"ipv6-unterminated.sip", {kParseError, "unterminated IPv6"}},
    {"max-forwards-overlarge.sip", {kParseError, "Max-Forwards header: value above 255"}},
    {"missing-call-id.sip", {kMissing, "Missing Call-ID"}},
    {"missing-closing-angle.sip", {kParseError, "missing '>'"}},
    {"negative-content-length.sip", {kParseError, "Content-Length header: expected a number in '-4'"}},
    {"request-line-extra-spaces.sip", {kParseError, "More than one space between the elements of the request line"}},
    {"request-line-trailing-space.sip", {kParseError, "Trailing whitespace after the SIP version"}},
    {"request-uri-in-brackets.sip", {kParseError, "Request-URI must not be enclosed in angle brackets"}},
    {"request-uri-whitespace.sip", {kParseError, "Request-URI contains whitespace"}},
    {"route-params-outside-brackets.sip", {kParseError, "Route header: a URI followed by parameters must be in"}},
    {"status-code-out-of-range.sip", {kParseError, "Status code 700 is out of range"}},
    {"status-code-overlarge.sip", {kParseError, "Bad status code '4294967301"}},
    {"status-line-extra-space.sip", {kParseError, "More than one space between the SIP version and the status"}},
    {"stray-closing-angle.sip", {kParseError, "'>' without '<'"}},
    {"unknown-method-cseq-mismatch.sip", {kMissing, "CSeq method INVITE does not match request method FROBNICATE"}},
    {"unknown-sip-version.sip", {kParseError, "Unsupported SIP version 'SIP/7.0'"}},
    {"unquoted-display-nontoken.sip", {kParseError, "unquoted display name with '@'"}},
    {"unterminated-quote.sip", {kParseError, "Unterminated quoted string"}},
    {"unescaped-control-in-quotes.sip", {kParseError, "Control character in header line 'From: \"bare ? nul\""}},
    {"via-bad-sent-protocol.sip", {kParseError, "Via header: expected '/' in sent-protocol"}}};

// Messages written in canonical form: serialize() gives back their bytes.
const std::set<std::string> kCanonical = {
    "canonical-invite.sip",           "canonical-response.sip",      "empty-reason-phrase.sip",
    "escaped-controls-in-quotes.sip", "escaped-uri-parts.sip",       "invite-with-replaces.sip",
    "ipv6-embedded-ipv4.sip",         "ipv6-port-ambiguous.sip",     "ipv6-request-uri.sip",
    "ipv6-via-received.sip",          "percent-not-escape.sip",      "prack-rack.sip",
    "refer-with-replaces.sip",        "register-contact-params.sip", "register-wildcard-contact.sip",
    "semicolon-user-part.sip",        "tel-request-uri.sip",         "unknown-scheme-request-uri.sip",
    "unusual-reason-phrase.sip",      "varied-transports.sip"};

TEST(SipTortureCorpus, EveryValidMessageIsAcceptedEveryInvalidOneRejectedForItsOwnReason) {
    const auto valid = corpusFiles("valid");
    EXPECT_TRUE(std::includes(valid.begin(), valid.end(), kCanonical.begin(), kCanonical.end()));
    for (const std::string& name : valid) {
        const std::string bytes = corpusBytes("valid", name);
        const Outcome outcome = check(bytes);
        EXPECT_EQ(outcome.verdict, kAccepted) << name << ": " << outcome.reason;
        if (outcome.message && kCanonical.count(name)) {
            EXPECT_EQ(outcome.message->toString(), bytes) << name;
        }
    }
    for (const auto& [name, expected] : kRejections) {  // corpusBytes fails for a reason without its file
        const Outcome outcome = check(corpusBytes("invalid", name));
        EXPECT_EQ(outcome.verdict, expected.first) << name << ": " << outcome.reason;
        EXPECT_TRUE(mentions(outcome.reason, expected.second)) << name;
    }
    EXPECT_EQ(corpusFiles("invalid").size(), kRejections.size());  // and so no file is without its reason
}

// `bytes` through the framer and the parser: each returns or raises NvException, the framer claims no more than it
// was given, and an accepted message is written in a form that reads back to the same text.
void expectMessageOrNvException(const std::string& bytes, const std::string& what) {
    try {
        EXPECT_LE(onExactBuffer(bytes, NvSipParser::sFrameLength), bytes.size()) << what;
    } catch (NvHandle<NvException>&) {
    } catch (...) {
        ADD_FAILURE() << what << " (framing): " << kNotNvException;
    }
    const Outcome outcome = check(bytes);
    EXPECT_NE(outcome.verdict, kNotNvException) << what;
    if (!outcome.message) return;
    const std::string once = outcome.message->toString();
    const Outcome again = check(once);  // the written form, or why it is rejected
    EXPECT_EQ(again.message ? again.message->toString() : again.reason, once) << what;
}

// Every prefix of every corpus message, then edits chosen at random with a fixed seed (every run tries the same
// inputs): bytes overwritten, cut out, copied elsewhere, tokens that parsers trip on inserted, the message cut short.
TEST(SipParserRobustness, EveryPrefixAndSeededEditGivesAMessageOrAnNvException) {
    static const std::string kInserts[] = {"\r\n ", "\r\n\r\n", "\n", "Content-Length: 99999\r\n", "::", "[", "]",
                                           "\"", "\\", "%0", ";;", ",,", "<", ">", "sip:", "4294967296",
                                           "\r\nVia: ,\r\n", "=\"", ";tag=", std::string(1, '\0'), "\x7f\xff"};
    std::vector<std::string> seeds;
    for (const char* kind : {"valid", "invalid"})
        for (const std::string& name : corpusFiles(kind)) {
            seeds.push_back(corpusBytes(kind, name));
            for (size_t length = 0; length <= seeds.back().size() && !HasFailure(); ++length)
                expectMessageOrNvException(seeds.back().substr(0, length), name + " cut to " + std::to_string(length));
        }
    std::mt19937 random(20261205u);
    const auto pick = [&](size_t n) { return n ? static_cast<size_t>(random() % n) : 0; };
    for (int i = 0; i < 6000 && !HasFailure(); ++i) {
        std::string b = seeds[static_cast<size_t>(i) % seeds.size()];
        for (size_t step = 0, steps = 1 + pick(2); step < steps; ++step) {
            const size_t at = pick(b.size() + 1);
            switch (pick(5)) {
                case 0: if (!b.empty()) b[pick(b.size())] = static_cast<char>(random() & 0xff); break;
                case 1: b.erase(std::min(at, b.size()), 1 + pick(8)); break;
                case 2: if (!b.empty()) b.insert(at, b.substr(pick(b.size()), 1 + pick(40))); break;
                case 3: b.insert(at, kInserts[pick(std::size(kInserts))]); break;
                default: b.resize(at); break;
            }
        }
        expectMessageOrNvException(b, "edit " + std::to_string(i));
    }
}

}  // namespace
