#pragma once
// Shared by the stack's tests: SIP text written and read, parsing it, the torture corpus, and what an action
// raises; with the library headers most of the tests use.

#include "stack/base/NvException.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;
using namespace std::string_literals;

// In a namespace of their own, apart from the call layer's test helpers, some of which have the same names.
namespace stack_test {

// `text` with every "\n" turned into "\r\n", so that messages can be written with plain line ends.
inline std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? "\r\n" : std::string(1, c);
    return out;
}

// A minimal valid request: the headers every request needs, then `headers` (each ending in "\n"), `body`.
inline std::string sipRequest(const std::string& headers, const std::string& body = std::string()) {
    return "OPTIONS sip:bob@example.net SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKtest1\r\n"
           "From: <sip:alice@example.com>;tag=t1\r\nTo: <sip:bob@example.net>\r\nCall-ID: test-1@192.0.2.1\r\n"
           "CSeq: 1 OPTIONS\r\n" + crlf(headers + "\n") + body;
}

inline NvHandle<NvSipMessage> parse(const std::string& text) { return NvSipParser::sParse(text.data(), text.size()); }

inline std::string firstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

// A header as it is written back, "Name: value".
inline std::string headerLine(const NvHandle<NvSipHeader>& header) {
    std::string line;
    header->appendTo(line);
    return line;
}

// The header class H that NvSipHeader::sCreate gives for `name` and `value`.
template <class H>
NvHandle<H> makeHeader(const std::string& name, const std::string& value) {
    NvHandle<H> header = NvSipHeader::sCreate(name, value).cast<H>();
    EXPECT_TRUE(header) << name << ": " << value;
    return header;
}

// The bytes of tests/data/torture/KIND/NAME, read as binary (some messages hold NUL octets).
inline std::string corpusBytes(const std::string& kind, const std::string& name) {
    const std::string path = std::string(NVSIP_TEST_DATA_DIR) + "/torture/" + kind + "/" + name;
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The NvException that `action` raises, nil when it raises none.
template <class F>
NvHandle<NvException> caught(F action) {
    try {
        action();
    } catch (NvHandle<NvException>& e) {
        return e;
    }
    return NvHandle<NvException>();
}

// The text of what `action` raises, "" when it raises nothing.
template <class F>
std::string raised(F action) {
    const NvHandle<NvException> e = caught(action);
    return e ? e->getMessage().str() : "";
}

// The message of the NvSipParseException that `run()` raises; fails the test (naming `input`) when it raises none.
template <class Run>
std::string parseErrorOf(Run run, const std::string& input) {
    const NvHandle<NvException> e = caught(run);
    EXPECT_TRUE(e.cast<NvSipParseException>()) << "accepted, or not an NvSipParseException: " << input;
    return e ? e->getMessage().str() : "";
}

// Whether `text` contains `words`; use as EXPECT_TRUE(mentions(...)).
inline testing::AssertionResult mentions(const std::string& text, const std::string& words) {
    if (text.find(words) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "'" << text << "' does not mention '" << words << "'";
}

}  // namespace stack_test
using namespace stack_test;
