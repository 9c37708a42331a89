// Tests of the stack's text and byte-stream classes: NvString,
// NvStringBuffer (with parsing up to a delimiter), the byte-array streams and
// the process-wide debug stream NvErrorStream.

#include "stack/base/NvErrorStream.h"
#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvStream.h"
#include "stack/base/NvString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace base_strings_streams_test {

using namespace std::string_literals;

// ------------------------------------------------------------------ NvString

TEST(NvStringValue, NullIsEmptyAndTheLengthConstructorKeepsZeroBytes) {
    const char* none = nullptr;
    EXPECT_TRUE(NvString(none).isEmpty());
    EXPECT_TRUE(NvString(none, 5).isEmpty());
    EXPECT_TRUE(NvString() == none);
    EXPECT_FALSE(NvString("a") == none);

    const NvString text("ab\0cd", 5);
    EXPECT_EQ("ab\0cd"s, text.str());
    EXPECT_FALSE(text == "ab");  // a C string stops at the zero byte; the value does not

    std::unordered_map<NvString, int> map{{NvString("x"), 1}, {NvString("x\0y", 3), 2}};
    map[NvString(std::string("x"))] = 3;
    EXPECT_EQ(2u, map.size());
    NvByteArrayOutputStream out;  // written as its bytes only
    out << text << NvString() << NvString("!");
    EXPECT_EQ("ab\0cd!"s, out.toByteArray());
}

TEST(NvStringValue, ComparisonAndCase) {
    const struct {
        const char* a;
        const char* b;
        bool equals;
        bool equalsIgnoringCase;
    } cases[] = {
        {"Call-ID", "Call-ID", true, true},       {"Call-ID", "call-id", false, true},
        {"Call-ID", "Call-I", false, false},      {"Call-ID", "Call-IDs", false, false},
        {"\xc3\x89", "\xc3\xa9", false, false},  // bytes above 0x7f are not folded
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.equals, NvString(c.a).equals(c.b)) << c.a << " / " << c.b;
        EXPECT_EQ(c.equalsIgnoringCase, NvString(c.a).equalsIgnoreCase(c.b)) << c.a << " / " << c.b;
    }
    const NvString mixed("Call-ID");
    EXPECT_EQ(NvString("call-id"), mixed.toLower());
    EXPECT_EQ("Call-ID", mixed);  // toLower leaves the original alone
    EXPECT_LT(NvString("a").compare(NvString("b")), 0);
    EXPECT_TRUE(NvString("a") < NvString("ab"));
}

// ------------------------------------------------------------ NvStringBuffer

TEST(NvStringBufferBuild, AppendsTextCharactersAndNumbers) {
    NvStringBuffer buffer(1);
    const char* none = nullptr;
    buffer.append("INVITE").append(' ').append(NvString("sip:a@b")).append(none).append(std::string_view(" SIP/2.0"));
    EXPECT_STREQ("INVITE sip:a@b SIP/2.0", buffer.c_str());
    buffer.clear();
    buffer.append(-12).append(',').append(4294967295u).append(',').append(static_cast<short>(7)).append(',').append(
        static_cast<long long>(-9223372036854775807LL - 1));
    const NvString snapshot = buffer.toString();
    buffer.append('!');
    EXPECT_EQ("-12,4294967295,7,-9223372036854775808", snapshot);
    EXPECT_EQ(snapshot.length() + 1, buffer.length());
}

// Each case: input, delimiters, what parse takes, and the byte it stops at (-1: the end).
TEST(NvStringBufferParse, TakesUpToTheFirstDelimiter) {
    const struct {
        std::string input;
        std::string delimiters;
        std::string taken;
        int next;
    } cases[] = {
        {"Call-ID: abc", ":", "Call-ID", ':'},        // the delimiter is left in the stream
        {"a;b c,d", " ,;", "a", ';'},                 // any of several delimiters stops
        {";rest", ";", "", ';'},                      // delimiter first appends nothing
        {"no delimiter here", ";", "no delimiter here", -1},
        {"a;b\nc", "", "a;b\nc", -1},                 // an empty delimiter set reads everything
        {"", ";", "", -1},
        {"a\xff\x80z;", ";", "a\xff\x80z", ';'},      // 0xff is data, not the end-of-stream mark
        {"ab\xff" "cd", "\xff", "ab", 0xff},          // a high byte as delimiter
        {"cd\0ef"s, "\0"s, "cd", 0},                  // a zero byte as delimiter
        {"a\0b;"s, ";", "a\0b"s, ';'},                 // and as data
    };
    for (const auto& c : cases) {
        NvByteArrayInputStream in(c.input);
        NvStringBuffer buffer;
        buffer.append("kept");
        EXPECT_EQ(c.taken.size(), buffer.parse(in, c.delimiters)) << c.input;
        EXPECT_EQ("kept" + c.taken, buffer.toString().str()) << c.input;
        EXPECT_EQ(c.next, in.peek()) << c.input;
        EXPECT_EQ(c.taken.size(), in.position()) << c.input;
    }
}

// ------------------------------------------------------------------ streams

// An output stream that counts the flushes it is asked for.
class FlushCounter : public NvByteArrayOutputStream {
public:
    void flush() override { ++m_Flushes; }
    int m_Flushes = 0;
};

TEST(NvByteArrayOutput, BytesAsTheyAreTextWithoutTerminatorNumbersInDecimal) {
    FlushCounter out;
    const unsigned char bytes[] = {0x00, 0xff, 0x0a};
    out.write(bytes, sizeof bytes);
    out.write(static_cast<uint8_t>(0x80));
    const char* none = nullptr;
    out << "abc" << std::string("de") << std::string_view("f") << 'g' << none << "" << endl;
    EXPECT_EQ("\0\xff\n\x80" "abcdefg\n"s, out.toByteArray());
    EXPECT_EQ(1, out.m_Flushes) << "endl flushes";
    out.reset();
    out << 0 << ' ' << -1 << ' ' << 4294967295u << ' ' << -9223372036854775807LL - 1 << ' '
        << 18446744073709551615ULL << ' ' << 100L << ' ' << 2.5;
    EXPECT_EQ("0 -1 4294967295 -9223372036854775808 18446744073709551615 100 2.5", out.toByteArray());
}

// The message of what `action` raises.
std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (NvHandle<NvException>& e) {
        return e->getMessage().str();
    }
    return "nothing was raised";
}

TEST(NvByteArrayInput, ReadsWhatWasWrittenFromItsOwnCopyAndRaisesPastTheEnd) {
    NvByteArrayOutputStream out;
    const uint32_t number = 0x01020304;
    out.write(&number, sizeof number);
    out << "\xff" "bc";
    std::string bytes = out.toByteArray();
    NvByteArrayInputStream in(bytes.data(), bytes.size());
    bytes[4] = 'z';

    uint32_t back = 0;
    in.readFully(&back, sizeof back);
    EXPECT_EQ(number, back);
    EXPECT_EQ(0xff, in.peek());
    EXPECT_EQ(4u, in.position()) << "peek does not consume";
    EXPECT_EQ(0xff, in.readByte());
    char buffer[8] = {};
    EXPECT_EQ("Unexpected end of stream: needed 3 bytes, got 2", messageOf([&] { in.readFully(buffer, 3); }));
    EXPECT_EQ("bc", std::string(buffer, 2)) << "what was there is taken";
    EXPECT_EQ(0u, in.read(buffer, 8));
    EXPECT_EQ(-1, in.peek());
    EXPECT_EQ(-1, in.read());
    EXPECT_EQ("Unexpected end of stream: needed 1 bytes, got 0", messageOf([&] { in.readByte(); }));
}

// ------------------------------------------------------------ NvErrorStream

// Restores the default debug stream's level and target after each test.
class NvErrorStreamTest : public ::testing::Test {
protected:
    void SetUp() override { m_SavedLevel = stream.getLevel(); }
    void TearDown() override {
        stream.setTarget(nullptr);
        stream.setLevel(m_SavedLevel);
    }
    NvErrorStream& stream = NvErrorStream::sGetDefault();
    int m_SavedLevel = 0;
};

TEST_F(NvErrorStreamTest, OneInstanceWhoseTargetTakesTheWritesUntilNullRestoresStandardError) {
    NvErrorStream* other = nullptr;
    std::thread([&other] { other = &NvErrorStream::sGetDefault(); }).join();
    EXPECT_EQ(&stream, other);
    FlushCounter target;
    stream.setTarget(&target);
    stream << "NvSipIncomingCall::onInviteRequest()" << endl;
    stream.write(static_cast<uint8_t>(0));
    stream.setTarget(nullptr);
    ::testing::internal::CaptureStderr();
    stream << "to stderr" << endl;
    EXPECT_EQ("to stderr\n", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ("NvSipIncomingCall::onInviteRequest()\n\0"s, target.toByteArray());
    EXPECT_EQ(1, target.m_Flushes);
}

TEST_F(NvErrorStreamTest, ConcurrentWritesAreNotTorn) {
    NvByteArrayOutputStream target(1 << 22);
    stream.setTarget(&target);
    constexpr size_t kRecord = 97;
    constexpr int kThreads = 4;
    constexpr int kWrites = 10000;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t, &ready] {
            const std::string record(kRecord, static_cast<char>('A' + t));
            for (++ready; ready.load() < kThreads;) std::this_thread::yield();  // all start together
            for (int i = 0; i < kWrites; ++i) stream.write(record.data(), record.size());
        });
    }
    for (auto& t : threads) t.join();
    stream.setTarget(nullptr);

    const std::string& all = target.toByteArray();
    ASSERT_EQ(kRecord * kThreads * kWrites, all.size());
    int perThread[kThreads] = {};
    for (size_t at = 0; at < all.size(); at += kRecord) {
        const std::string record = all.substr(at, kRecord);
        ASSERT_EQ(std::string(kRecord, record[0]), record) << "torn write at byte " << at;
        ++perThread[record[0] - 'A'];
    }
    for (int count : perThread) EXPECT_EQ(kWrites, count);
}

}  // namespace base_strings_streams_test
