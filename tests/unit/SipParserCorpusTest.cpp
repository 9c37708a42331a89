// Tests over the torture corpus in tests/data/torture: every valid message is
// accepted, every invalid one is rejected for the reason it was written for,
// serialisation round-trips, and no prefix or mutation of a message can make
// the parser do anything but return a message or raise NvException.
//
// A message counts as accepted the way nvsip-parse decides it: it parses and
// checkMandatoryHeaders() finds nothing missing.

#include "SipTestText.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kCorpus = std::string(NVSIP_TEST_DATA_DIR) + "/torture";

// File names (not paths) of one corpus directory, sorted.
std::vector<std::string> corpusFiles(const std::string& kind) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/" + kind))
        if (entry.path().extension() == ".sip") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Parses from a buffer of exactly `bytes.size()` bytes, so that a read past
// the end is a read past an allocation (caught by the sanitiser builds).
NvHandle<NvSipMessage> parseExact(const std::string& bytes) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    return NvSipParser::sParse(exact.empty() ? nullptr : exact.data(), exact.size());
}

size_t frameExact(const std::string& bytes) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    return NvSipParser::sFrameLength(exact.empty() ? nullptr : exact.data(), exact.size());
}

enum class Verdict { Accepted, ParseError, OtherException, MissingHeaders };

struct Outcome {
    Verdict verdict;
    std::string reason;
    NvHandle<NvSipMessage> message;
};

// The nvsip-parse rule: parse, then check the mandatory headers.
Outcome check(const std::string& bytes) {
    try {
        NvHandle<NvSipMessage> message = parseExact(bytes);
        const NvString missing = message->checkMandatoryHeaders();
        if (!missing.isEmpty()) return {Verdict::MissingHeaders, missing.str(), message};
        return {Verdict::Accepted, {}, message};
    } catch (NvHandle<NvException>& e) {
        const bool parseError = e.cast<NvSipParseException>().get() != nullptr;
        return {parseError ? Verdict::ParseError : Verdict::OtherException, e->getMessage().str(), nullptr};
    }
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

// What each invalid message must be rejected for. Syntax errors come from
// the parser; a missing header or a CSeq that does not match comes from
// checkMandatoryHeaders().
struct Expected {
    Verdict verdict;
    std::vector<std::string> words;  // each must appear in the reason
};

const std::map<std::string, Expected>& expectedRejections() {
    static const std::map<std::string, Expected> table = {
        {"addr-spec-with-spaces.sip", {Verdict::ParseError, {"angle brackets"}}},
        {"addr-spec-with-uri-headers.sip", {Verdict::ParseError, {"angle brackets"}}},
        {"bad-escape-user-part.sip", {Verdict::ParseError, {"user part"}}},
        {"conflicting-content-length.sip", {Verdict::ParseError, {"conflicting", "Content-Length"}}},
        {"content-length-beyond-body.sip", {Verdict::ParseError, {"Content-Length 900", "exceeds"}}},
        {"content-length-overflow.sip", {Verdict::ParseError, {"Content-Length", "18446744073709551621"}}},
        {"control-character.sip", {Verdict::ParseError, {"control character"}}},
        {"cseq-method-mismatch.sip", {Verdict::MissingHeaders, {"CSeq method ACK", "INVITE"}}},
        {"cseq-not-numeric.sip", {Verdict::ParseError, {"CSeq", "seven"}}},
        {"cseq-overlarge.sip", {Verdict::ParseError, {"CSeq", "2^31"}}},
        {"duplicate-call-id.sip", {Verdict::MissingHeaders, {"more than one", "Call-ID"}}},
        {"escaped-line-break-in-quotes.sip", {Verdict::ParseError, {"backslash before a line break"}}},
        {"empty-comma-value.sip", {Verdict::ParseError, {"empty value", "Contact"}}},
        {"header-name-not-token.sip", {Verdict::ParseError, {"header name", "Max Hops"}}},
        {"ipv6-bad-ipv4-part.sip", {Verdict::ParseError, {"IPv6", "192.0.2.300"}}},
        {"ipv6-three-colons.sip", {Verdict::ParseError, {"IPv6", "2001:db8:::192.0.2.1"}}},
        {"ipv6-unbracketed.sip", {Verdict::ParseError, {"IPv6", "brackets"}}},
        {"ipv6-unterminated.sip", {Verdict::ParseError, {"unterminated IPv6"}}},
        {"max-forwards-overlarge.sip", {Verdict::ParseError, {"Max-Forwards", "255"}}},
        {"missing-call-id.sip", {Verdict::MissingHeaders, {"missing Call-ID"}}},
        {"missing-closing-angle.sip", {Verdict::ParseError, {"missing '>'"}}},
        {"negative-content-length.sip", {Verdict::ParseError, {"Content-Length", "-4"}}},
        {"request-line-extra-spaces.sip", {Verdict::ParseError, {"request line", "more than one space"}}},
        {"request-line-trailing-space.sip", {Verdict::ParseError, {"request line", "trailing whitespace"}}},
        {"request-uri-in-brackets.sip", {Verdict::ParseError, {"Request-URI", "angle brackets"}}},
        {"request-uri-whitespace.sip", {Verdict::ParseError, {"Request-URI", "whitespace"}}},
        {"route-params-outside-brackets.sip", {Verdict::ParseError, {"Route", "angle brackets"}}},
        {"status-code-out-of-range.sip", {Verdict::ParseError, {"status code 700", "out of range"}}},
        {"status-code-overlarge.sip", {Verdict::ParseError, {"status code", "4294967301"}}},
        {"status-line-extra-space.sip", {Verdict::ParseError, {"status line", "more than one space"}}},
        {"stray-closing-angle.sip", {Verdict::ParseError, {"'>' without '<'"}}},
        {"unknown-method-cseq-mismatch.sip", {Verdict::MissingHeaders, {"CSeq method INVITE", "FROBNICATE"}}},
        {"unknown-sip-version.sip", {Verdict::ParseError, {"SIP version", "SIP/7.0"}}},
        {"unquoted-display-nontoken.sip", {Verdict::ParseError, {"display name", "'@'"}}},
        {"unterminated-quote.sip", {Verdict::ParseError, {"unterminated quoted string"}}},
        {"unescaped-control-in-quotes.sip", {Verdict::ParseError, {"control character"}}},
        {"via-bad-sent-protocol.sip", {Verdict::ParseError, {"Via", "sent-protocol"}}},
    };
    return table;
}

// Messages written in canonical form: serialize() gives back their bytes.
const std::set<std::string> kCanonical = {
    "canonical-invite.sip", "canonical-response.sip", "empty-reason-phrase.sip", "escaped-controls-in-quotes.sip",
    "escaped-uri-parts.sip", "invite-with-replaces.sip", "ipv6-embedded-ipv4.sip", "ipv6-port-ambiguous.sip",
    "ipv6-request-uri.sip", "ipv6-via-received.sip", "percent-not-escape.sip", "prack-rack.sip",
    "refer-with-replaces.sip", "register-contact-params.sip", "register-wildcard-contact.sip",
    "semicolon-user-part.sip", "tel-request-uri.sip", "unknown-scheme-request-uri.sip", "unusual-reason-phrase.sip",
    "varied-transports.sip"};

const char* verdictName(Verdict verdict) {
    static const char* const kNames[] = {"accepted", "NvSipParseException", "another NvException",
                                         "rejected by checkMandatoryHeaders"};
    return kNames[static_cast<int>(verdict)];
}

}  // namespace

// ---------------------------------------------------------------- classification

TEST(SipTortureCorpus, EveryValidMessageIsAccepted) {
    const auto files = corpusFiles("valid");
    EXPECT_GE(files.size(), 25u);
    for (const std::string& name : files) {
        const Outcome outcome = check(corpusBytes("valid", name));
        EXPECT_EQ(outcome.verdict, Verdict::Accepted) << name << ": " << verdictName(outcome.verdict) << ": "
                                                      << outcome.reason;
    }
}

// One file for each expected reason and one reason for each file.
TEST(SipTortureCorpus, EveryInvalidMessageIsRejectedForItsOwnReason) {
    const auto files = corpusFiles("invalid");
    EXPECT_EQ(files.size(), expectedRejections().size());
    for (const std::string& name : files) {
        const auto expected = expectedRejections().find(name);
        ASSERT_NE(expected, expectedRejections().end()) << name << " has no expected reason in this test";
        const Outcome outcome = check(corpusBytes("invalid", name));
        EXPECT_EQ(outcome.verdict, expected->second.verdict)
            << name << ": got " << verdictName(outcome.verdict) << " (" << outcome.reason << ")";
        for (const std::string& word : expected->second.words)
            EXPECT_TRUE(mentions(lower(outcome.reason), lower(word))) << name;
    }
}

TEST(SipTortureCorpus, FilesUseCrLfExceptTheBareLfOne) {
    for (const std::string& kind : {std::string("valid"), std::string("invalid")}) {
        for (const std::string& name : corpusFiles(kind)) {
            const std::string bytes = corpusBytes(kind, name);
            const size_t headerEnd = bytes.find(name == "lf-line-ends.sip" ? "\n\n" : "\r\n\r\n");
            ASSERT_NE(headerEnd, std::string::npos) << name << " has no end of headers";
            for (size_t i = 0; i < headerEnd; ++i) {
                if (bytes[i] != '\n') continue;
                const bool crBefore = i > 0 && bytes[i - 1] == '\r';
                EXPECT_EQ(crBefore, name != "lf-line-ends.sip") << name << ": line end at byte " << i;
            }
        }
    }
}

// ---------------------------------------------------------------- round trip

TEST(SipRoundTrip, CanonicalMessagesSerializeToTheSameBytes) {
    for (const std::string& name : kCanonical) {
        const std::string bytes = corpusBytes("valid", name);
        const Outcome outcome = check(bytes);
        ASSERT_EQ(outcome.verdict, Verdict::Accepted) << name << ": " << outcome.reason;
        EXPECT_EQ(outcome.message->toString(), bytes) << name;
    }
}

// Every line written ends in CRLF, and what is written reads back to itself.
TEST(SipRoundTrip, SerializingIsIdempotentForEveryValidMessage) {
    for (const std::string& name : corpusFiles("valid")) {
        const Outcome first = check(corpusBytes("valid", name));
        ASSERT_EQ(first.verdict, Verdict::Accepted) << name << ": " << first.reason;
        const std::string once = first.message->toString();
        for (size_t lf = once.find('\n'); lf != std::string::npos; lf = once.find('\n', lf + 1))
            ASSERT_TRUE(lf > 0 && once[lf - 1] == '\r') << name << ": bare LF written at byte " << lf;
        const Outcome second = check(once);
        ASSERT_EQ(second.verdict, Verdict::Accepted) << name << " no longer parses once written: " << second.reason
                                                     << "\n" << once;
        EXPECT_EQ(second.message->toString(), once) << name;
        EXPECT_EQ(second.message->getHeaders().size(), first.message->getHeaders().size()) << name;
        EXPECT_EQ(second.message->getBody(), first.message->getBody()) << name;
    }
}

// ---------------------------------------------------------------- robustness

namespace {

// Runs `step`; an NvException is a fine outcome, anything else escaping
// fails the test. True when `step` returned.
template <class Step>
bool returnsOrRaisesNvException(Step step, const std::string& what) {
    try {
        step();
        return true;
    } catch (NvHandle<NvException>&) {
    } catch (std::exception& e) {
        ADD_FAILURE() << what << ": std::exception: " << e.what();
    } catch (...) {
        ADD_FAILURE() << what << ": unknown exception";
    }
    return false;
}

// Runs `bytes` through the parser and the framer; fails the test when
// anything but a message or an NvException comes out, or when an accepted
// message is not written in a form that reads back to the same text. True
// when accepted.
bool expectMessageOrNvException(const std::string& bytes, const std::string& what) {
    std::string once;
    const bool accepted = returnsOrRaisesNvException(
        [&] {
            const NvHandle<NvSipMessage> message = parseExact(bytes);
            ASSERT_TRUE(message) << what << ": nil message without an exception";
            once = message->toString();
        },
        what);
    if (accepted) {
        const Outcome again = check(once);
        EXPECT_TRUE(again.message) << what << ": its written form is rejected: " << again.reason
                                   << "\nwritten form:\n" << once;
        if (again.message) {
            EXPECT_EQ(again.message->toString(), once) << what;
        }
    }
    returnsOrRaisesNvException([&] { EXPECT_LE(frameExact(bytes), bytes.size()) << what; }, what + " (framing)");
    return accepted;
}

// Small deterministic mutator (mt19937 output is fixed by the standard).
class Mutator {
public:
    explicit Mutator(uint32_t seed) : m_Random(seed) {}

    std::string mutate(std::string bytes) {
        const int steps = 1 + static_cast<int>(pick(2));
        for (int i = 0; i < steps; ++i) step(bytes);
        return bytes;
    }

private:
    size_t pick(size_t n) { return n ? static_cast<size_t>(m_Random() % n) : 0; }

    void step(std::string& b) {
        static const char kSpecial[] = {' ', '\t', '\r', '\n', ':', ';', ',', '"', '<', '>', '[', ']', '\\', '%',
                                        '@', '=', '\0', '/', '?', '0', '9', '(', ')', '\x7f', '\xff', '*'};
        static const char* const kInserts[] = {"\r\n ",  "\r\n\r\n", "\n",     "Content-Length: 99999\r\n",
                                               "l: 0\r\n", "::",      "[",      "]",
                                               "\"",     "\\",       "%",      "%0",
                                               ";;",     ",,",       "<",      ">",
                                               "sip:",   "SIP/2.0",  "4294967296", "\r\nVia: ,\r\n",
                                               "=\"",    ";tag=",    "@",       "\t\t"};
        const size_t at = pick(b.size() + 1);
        switch (pick(7)) {
            case 0: if (!b.empty()) b[pick(b.size())] = static_cast<char>(m_Random() & 0xff); break;
            case 1: if (!b.empty()) b[pick(b.size())] = kSpecial[pick(sizeof kSpecial)]; break;
            case 2: b.erase(std::min(at, b.size()), 1 + pick(8)); break;
            case 3: {
                if (b.empty()) break;
                const size_t from = pick(b.size());
                b.insert(at, b.substr(from, 1 + pick(40)));
                break;
            }
            case 4: b.insert(at, kInserts[pick(sizeof kInserts / sizeof kInserts[0])]); break;
            case 5: b.resize(at); break;
            default: if (!b.empty()) std::swap(b[pick(b.size())], b[pick(b.size())]); break;
        }
    }

    std::mt19937 m_Random;
};

}  // namespace

TEST(SipParserRobustness, EveryPrefixGivesAMessageOrAnNvException) {
    for (const std::string& kind : {std::string("valid"), std::string("invalid")}) {
        for (const std::string& name : corpusFiles(kind)) {
            const std::string bytes = corpusBytes(kind, name);
            for (size_t length = 0; length <= bytes.size(); ++length) {
                (void)expectMessageOrNvException(bytes.substr(0, length), name + " cut to " + std::to_string(length));
                if (HasFailure()) return;
            }
        }
    }
}

TEST(SipParserRobustness, SeededMutationsGiveAMessageOrAnNvException) {
    std::vector<std::string> seeds;
    for (const std::string& kind : {std::string("valid"), std::string("invalid")})
        for (const std::string& name : corpusFiles(kind)) seeds.push_back(corpusBytes(kind, name));
    ASSERT_FALSE(seeds.empty());

    constexpr int kMutations = 6000;
    Mutator mutator(20261205u);
    int accepted = 0;
    for (int i = 0; i < kMutations; ++i) {
        const size_t which = static_cast<size_t>(i) % seeds.size();
        const std::string mutated = mutator.mutate(seeds[which]);
        if (expectMessageOrNvException(mutated, "mutation " + std::to_string(i) + " of seed " + std::to_string(which)))
            ++accepted;
        if (HasFailure()) return;
    }
    // Both outcomes must be well represented, or the mutations test little.
    EXPECT_GT(accepted, kMutations / 20);
    EXPECT_LT(accepted, kMutations * 9 / 10);
    RecordProperty("accepted", accepted);
}
