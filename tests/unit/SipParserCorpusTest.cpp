// Tests over the torture corpus in tests/data/torture: every valid message is
// accepted, every invalid one is rejected for the reason it was written for,
// canonical messages are written back byte for byte, and no prefix of a
// message can make the parser or the framer do anything but return or raise
// NvException, nor can a few thousand seeded random edits of them
// (tests/fuzz goes on from there, guided by coverage).
//
// A message counts as accepted the way nvsip-parse decides it: it parses and
// checkMandatoryHeaders() finds nothing missing.

#include "SipTestText.h"

#include <filesystem>
#include <map>
#include <random>
#include <set>

namespace {

// File names (not paths) of one corpus directory, sorted.
std::vector<std::string> corpusFiles(const std::string& kind) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(NVSIP_TEST_DATA_DIR) + "/torture/" + kind))
        if (entry.path().extension() == ".sip") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Calls `run(data, size)` on a copy of `bytes` in a buffer of exactly its
// size, so that a read past the end is a read past an allocation (caught by
// the sanitiser builds).
template <class Run>
auto onExactBuffer(const std::string& bytes, Run run) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    return run(exact.empty() ? nullptr : exact.data(), exact.size());
}

const char kAccepted[] = "accepted";
const char kParseError[] = "NvSipParseException";
const char kMissing[] = "refused by checkMandatoryHeaders";

struct Outcome {
    std::string verdict;  // one of the above, or another exception
    std::string reason;
    NvHandle<NvSipMessage> message;
};

// The nvsip-parse rule: parse, then check the mandatory headers.
Outcome check(const std::string& bytes) {
    try {
        NvHandle<NvSipMessage> message = onExactBuffer(bytes, NvSipParser::sParse);
        const std::string missing = message->checkMandatoryHeaders().str();
        return {missing.empty() ? kAccepted : kMissing, missing, message};
    } catch (NvHandle<NvException>& e) {
        const bool parseError = e.cast<NvSipParseException>().get() != nullptr;
        return {parseError ? kParseError : "another NvException", e->getMessage().str(), nullptr};
    }
}

// What each invalid message must be rejected for: the verdict, and words of
// the reason. Syntax errors come from the parser; a missing header or a CSeq
// that does not match comes from checkMandatoryHeaders().
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
    {"via-bad-sent-protocol.sip", {kParseError, "Via header: expected '/' in sent-protocol"}},
};

// Messages written in canonical form: serialize() gives back their bytes.
const std::set<std::string> kCanonical = {
    "canonical-invite.sip",           "canonical-response.sip",      "empty-reason-phrase.sip",
    "escaped-controls-in-quotes.sip", "escaped-uri-parts.sip",       "invite-with-replaces.sip",
    "ipv6-embedded-ipv4.sip",         "ipv6-port-ambiguous.sip",     "ipv6-request-uri.sip",
    "ipv6-via-received.sip",          "percent-not-escape.sip",      "prack-rack.sip",
    "refer-with-replaces.sip",        "register-contact-params.sip", "register-wildcard-contact.sip",
    "semicolon-user-part.sip",        "tel-request-uri.sip",         "unknown-scheme-request-uri.sip",
    "unusual-reason-phrase.sip",      "varied-transports.sip"};

// Canonical ones are written back byte for byte.
TEST(SipTortureCorpus, EveryValidMessageIsAccepted) {
    const auto files = corpusFiles("valid");
    for (const std::string& name : files) {
        const std::string bytes = corpusBytes("valid", name);
        const Outcome outcome = check(bytes);
        ASSERT_EQ(outcome.verdict, kAccepted) << name << ": " << outcome.reason;
        EXPECT_EQ(kCanonical.count(name) ? outcome.message->toString() : bytes, bytes) << name;
    }
    EXPECT_TRUE(std::includes(files.begin(), files.end(), kCanonical.begin(), kCanonical.end()));
}

// One file for each expected reason and one reason for each file.
TEST(SipTortureCorpus, EveryInvalidMessageIsRejectedForItsOwnReason) {
    const auto files = corpusFiles("invalid");
    EXPECT_EQ(files.size(), kRejections.size());
    for (const std::string& name : files) {
        const auto expected = kRejections.find(name);
        ASSERT_NE(expected, kRejections.end()) << name << " has no expected reason in this test";
        const Outcome outcome = check(corpusBytes("invalid", name));
        EXPECT_EQ(outcome.verdict, expected->second.first) << name << ": " << outcome.reason;
        EXPECT_TRUE(mentions(outcome.reason, expected->second.second)) << name;
    }
}

// Runs `step`; an NvException is a fine outcome, anything else escaping
// fails the test. True when `step` returned.
template <class Step>
bool returnsOrRaisesNvException(Step step, const std::string& what) {
    try {
        step();
        return true;
    } catch (NvHandle<NvException>&) {
    } catch (...) {
        ADD_FAILURE() << what << ": an exception other than NvException";
    }
    return false;
}

// Runs `bytes` through the framer and the parser: each returns or raises
// NvException, the framer claims no more than it was given, and an accepted
// message is written in a form that reads back to the same text.
void expectMessageOrNvException(const std::string& bytes, const std::string& what) {
    returnsOrRaisesNvException(
        [&] { EXPECT_LE(onExactBuffer(bytes, NvSipParser::sFrameLength), bytes.size()) << what; }, what + " (framing)");
    NvHandle<NvSipMessage> message;
    if (!returnsOrRaisesNvException([&] { message = onExactBuffer(bytes, NvSipParser::sParse); }, what)) return;
    ASSERT_TRUE(message) << what << ": nil message without an exception";
    const std::string once = message->toString();
    const Outcome again = check(once);
    EXPECT_TRUE(again.message) << what << ": its written form is rejected: " << again.reason << "\n" << once;
    EXPECT_EQ(again.message ? again.message->toString() : once, once) << what;
}

TEST(SipParserRobustness, EveryPrefixGivesAMessageOrAnNvException) {
    for (const char* kind : {"valid", "invalid"}) {
        for (const std::string& name : corpusFiles(kind)) {
            const std::string bytes = corpusBytes(kind, name);
            for (size_t length = 0; length <= bytes.size(); ++length) {
                expectMessageOrNvException(bytes.substr(0, length), name + " cut to " + std::to_string(length));
                if (HasFailure()) return;
            }
        }
    }
}

// Edits chosen at random with a fixed seed, so that every run tries the same
// inputs: bytes overwritten, cut out, copied elsewhere, tokens that parsers
// trip on inserted, the message cut short.
TEST(SipParserRobustness, SeededEditsGiveAMessageOrAnNvException) {
    static const std::string kInserts[] = {"\r\n ", "\r\n\r\n", "\n", "Content-Length: 99999\r\n", "::", "[", "]",
                                           "\"", "\\", "%0", ";;", ",,", "<", ">", "sip:", "4294967296",
                                           "\r\nVia: ,\r\n", "=\"", ";tag=", std::string(1, '\0'), "\x7f\xff"};
    std::vector<std::string> seeds;
    for (const char* kind : {"valid", "invalid"})
        for (const std::string& name : corpusFiles(kind)) seeds.push_back(corpusBytes(kind, name));
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
