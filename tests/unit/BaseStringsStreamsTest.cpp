// The text and byte-stream classes: NvString, NvStringBuffer (and its parse up to a delimiter), the byte-array
// streams and the process-wide debug stream NvErrorStream.

#include "SipTestText.h"
#include "stack/base/NvErrorStream.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvStream.h"
#include "stack/base/NvString.h"

#include <cstdint>
#include <unordered_map>

namespace base_strings_streams_test {

const char* const kNone = nullptr;

// A string value keeps zero bytes (also as a hash key) and compares with or without case, folding ASCII only. A
// buffer appends text and numbers, and parses a stream up to the first delimiter, which it leaves in the stream.
TEST(NvStringValue, KeepsZeroBytesComparesWithOrWithoutCaseAndBuffersParseUpToTheFirstDelimiter) {
    EXPECT_TRUE(NvString(kNone).isEmpty() && NvString(kNone, 5).isEmpty() && NvString() == kNone);
    const NvString text("ab\0cd", 5);
    EXPECT_TRUE(text.str() == "ab\0cd"s && !(text == "ab"));  // a C string stops at the zero byte; the value does not
    EXPECT_EQ(2u, (std::unordered_map<NvString, int>{{"x", 1}, {NvString("x\0y", 3), 2}, {"x"s, 3}}.size()));
    // a, b, equals, equalsIgnoreCase; bytes above 0x7f are not folded
    const std::tuple<const char*, const char*, bool, bool> cases[] = {
        {"Call-ID", "Call-ID", true, true}, {"Call-ID", "call-id", false, true}, {"Call-ID", "Call-I", false, false},
        {"Call-I", "Call-ID", false, false}, {"\xc3\x89", "\xc3\xa9", false, false}};
    for (const auto& [a, b, equals, anyCase] : cases)
        EXPECT_TRUE(NvString(a).equals(b) == equals && NvString(a).equalsIgnoreCase(b) == anyCase) << a << " / " << b;
    const NvString mixed("Call-ID\xc3\x89");
    EXPECT_TRUE(mixed.toLower() == NvString("call-id\xc3\x89") && mixed == "Call-ID\xc3\x89");  // a copy, lowered
    EXPECT_TRUE(NvString("a").compare(NvString("b")) < 0 && NvString("a") < NvString("ab"));
    NvStringBuffer buffer(1);
    buffer.append("INVITE").append(' ').append(NvString("sip:a@b")).append(kNone).append(std::string_view(" SIP"));
    buffer.append(-12).append(4294967295u).append(static_cast<short>(7)).append(-9223372036854775807LL - 1);
    const NvString snapshot = buffer.toString();
    buffer.append('!');
    EXPECT_EQ("INVITE sip:a@b SIP-1242949672957-9223372036854775808", snapshot);
    EXPECT_EQ(snapshot.length() + 1, buffer.length());
    // input, delimiters, what parse takes, the byte it stops at (-1: the end)
    const std::tuple<std::string, std::string, std::string, int> parses[] = {
        {"Call-ID: abc", ":", "Call-ID", ':'},  {"a;b c,d", " ,;", "a", ';'}, {";rest", ";", "", ';'},
        {"no delimiter", ";", "no delimiter", -1}, {"a;b\nc", "", "a;b\nc", -1}, {"", ";", "", -1},
        {"a\xff\x80z;", ";", "a\xff\x80z", ';'},  // 0xff is data, not the end-of-stream mark
        {"ab\xff" "cd", "\xff", "ab", 0xff}, {"cd\0ef"s, "\0"s, "cd", 0}, {"a\0b;"s, ";", "a\0b"s, ';'}};
    for (const auto& [input, delimiters, taken, next] : parses) {
        NvByteArrayInputStream in(input);
        NvStringBuffer kept;
        EXPECT_EQ(taken.size(), kept.append("kept").parse(in, delimiters)) << input;
        EXPECT_EQ("kept" + taken, kept.toString().str()) << input;
        EXPECT_TRUE(in.peek() == next && in.position() == taken.size()) << input;
    }
}

// An output stream that counts the flushes it is asked for.
struct FlushCounter : NvByteArrayOutputStream { void flush() override { ++m_Flushes; } int m_Flushes = 0; };

// Raw bytes, text and decimal numbers are written as they are (endl flushes); they read back from the input
// stream's own copy, and reading past the end takes what is there, then raises.
TEST(NvByteArrayStreams, WriteBytesTextAndDecimalNumbersAndReadThemBackFromTheirOwnCopy) {
    FlushCounter out;
    const uint32_t number = 0x01020304;
    out.write(&number, sizeof number);
    out.write(static_cast<uint8_t>(0xff));
    out << "bc" << std::string("d") << std::string_view("e") << 'f' << kNone << endl;
    EXPECT_EQ(1, out.m_Flushes) << "endl flushes";
    out << 0 << ' ' << -1 << ' ' << 4294967295u << ' ' << -9223372036854775807LL - 1 << ' '
        << 18446744073709551615ULL << ' ' << 100L << ' ' << 2.5;
    std::string bytes = out.toByteArray();
    EXPECT_EQ("\xff" "bcdef\n0 -1 4294967295 -9223372036854775808 18446744073709551615 100 2.5"s, bytes.substr(4));
    NvByteArrayInputStream in(bytes.data(), 7);
    bytes[5] = 'z';
    uint32_t back = 0;
    in.readFully(&back, sizeof back);
    EXPECT_EQ(number, back);
    EXPECT_TRUE(in.peek() == 0xff && in.position() == 4 && in.readByte() == 0xff) << "peek does not consume";
    char buffer[8] = {};
    EXPECT_EQ("Unexpected end of stream: needed 3 bytes, got 2", raised([&] { in.readFully(buffer, 3); }));
    EXPECT_EQ("bc", std::string(buffer, 2)) << "what was there is taken, from the stream's own copy";
    EXPECT_TRUE(in.read(buffer, 8) == 0 && in.peek() == -1 && in.read() == -1);
    EXPECT_THROW(in.readByte(), NvHandle<NvException>);
}

struct NvErrorStreamTest : ::testing::Test {
    void TearDown() override { stream.setTarget(nullptr); }
    NvErrorStream& stream = NvErrorStream::sGetDefault();
};

// One instance for every thread; its target takes the writes (and flushes) until null restores standard error;
// writes from several threads at once are not torn.
TEST_F(NvErrorStreamTest, OneInstanceWhoseTargetTakesTheWritesUntilNullRestoresStandardErrorNotTorn) {
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
    EXPECT_TRUE(target.toByteArray() == "NvSipIncomingCall::onInviteRequest()\n\0"s && target.m_Flushes == 1);
    NvByteArrayOutputStream all(1 << 22);
    stream.setTarget(&all);
    constexpr size_t kRecord = 97, kThreads = 4, kWrites = 10000;
    std::atomic<size_t> ready{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t, &ready] {
            const std::string record(kRecord, static_cast<char>('A' + t));
            for (++ready; ready.load() < kThreads;) std::this_thread::yield();  // all start together
            for (size_t i = 0; i < kWrites; ++i) stream.write(record.data(), record.size());
        });
    for (auto& t : threads) t.join();
    stream.setTarget(nullptr);
    const std::string& written = all.toByteArray();
    ASSERT_EQ(kRecord * kThreads * kWrites, written.size());
    for (size_t at = 0; at < written.size(); at += kRecord)
        ASSERT_EQ(std::string(kRecord, written[at]), written.substr(at, kRecord)) << "torn write at byte " << at;
}

}  // namespace base_strings_streams_test
