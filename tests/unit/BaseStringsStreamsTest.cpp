// Tests of the stack's text and byte-stream classes: NvString,
// NvStringBuffer (with parsing up to a delimiter), the byte-array streams and
// the process-wide debug stream NvErrorStream.

#include "stack/base/NvErrorStream.h"
#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvStream.h"
#include "stack/base/NvString.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace base_strings_streams_test {

using namespace std::string_literals;

// ------------------------------------------------------------------ NvString

TEST(NvStringValue, NullTextIsEmpty) {
    const char* none = nullptr;
    EXPECT_TRUE(NvString(none).isEmpty());
    EXPECT_TRUE(NvString(none, 5).isEmpty());
    EXPECT_STREQ("", NvString().c_str());
    EXPECT_TRUE(NvString() == none);
    EXPECT_FALSE(NvString("a") == none);
}

TEST(NvStringValue, LengthConstructorKeepsEmbeddedZeroBytes) {
    const NvString text("ab\0cd", 5);
    EXPECT_EQ(5u, text.length());
    EXPECT_EQ('\0', text[2]);
    EXPECT_EQ("ab\0cd"s, text.str());
    EXPECT_FALSE(text == "ab");  // a C string stops at the zero byte; the value does not
}

TEST(NvStringValue, ComparisonAndCase) {
    const NvString mixed("Call-ID");
    EXPECT_TRUE(mixed.equals("Call-ID"));
    EXPECT_FALSE(mixed.equals("call-id"));
    EXPECT_TRUE(mixed.equalsIgnoreCase("CALL-id"));
    EXPECT_FALSE(mixed.equalsIgnoreCase("Call-I"));
    EXPECT_FALSE(mixed.equalsIgnoreCase("Call-IDs"));
    EXPECT_EQ(NvString("call-id"), mixed.toLower());
    EXPECT_EQ("Call-ID", mixed);  // toLower leaves the original alone
    EXPECT_LT(NvString("a").compare(NvString("b")), 0);
    EXPECT_GT(NvString("b").compare(NvString("a")), 0);
    EXPECT_EQ(0, NvString("a").compare(NvString("a")));
    EXPECT_TRUE(NvString("a") < NvString("ab"));
    // Bytes above 0x7f are compared as they are, not folded.
    EXPECT_FALSE(NvString("\xc3\x89").equalsIgnoreCase("\xc3\xa9"));
}

TEST(NvStringValue, HashCodeIsStableAcrossRuns) {
    // FNV-1a values: a hash that changed between runs or builds would
    // scatter anything persisted by it.
    EXPECT_EQ(2166136261u, NvString("").hashCode());
    EXPECT_EQ(0xe40c292cu, NvString("a").hashCode());
    EXPECT_EQ(0xbf9cf968u, NvString("foobar").hashCode());
    EXPECT_NE(NvString("ab").hashCode(), NvString("ba").hashCode());
}

TEST(NvStringValue, UsableAsAStandardMapKey) {
    std::unordered_map<NvString, int> map;
    map[NvString("x")] = 1;
    map[NvString(std::string("x"))] = 2;
    map[NvString("x\0y", 3)] = 3;
    EXPECT_EQ(2u, map.size());
    EXPECT_EQ(2, map[NvString("x")]);
}

TEST(NvStringValue, WrittenAsItsBytesOnly) {
    NvByteArrayOutputStream out;
    out << NvString("ab\0c", 4) << NvString() << NvString("d");
    EXPECT_EQ("ab\0cd"s, out.toByteArray());
}

TEST(NvStringValue, CopiesAreIndependentAcrossThreads) {
    const NvString original(std::string(1000, 'q'));
    std::vector<std::thread> threads;
    std::vector<size_t> lengths(4);
    for (size_t t = 0; t < lengths.size(); ++t) {
        threads.emplace_back([copy = original, &lengths, t] {
            NvString mine = copy;
            for (int i = 0; i < 1000; ++i) mine = NvString(mine.str());
            lengths[t] = mine.length();
        });
    }
    for (auto& t : threads) t.join();
    for (size_t length : lengths) EXPECT_EQ(1000u, length);
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
    EXPECT_EQ("-12,4294967295,7,-9223372036854775808", buffer.toString());
    EXPECT_EQ(buffer.length(), buffer.toString().length());
}

TEST(NvStringBufferBuild, ToStringIsASnapshot) {
    NvStringBuffer buffer;
    buffer.append("one");
    const NvString snapshot = buffer.toString();
    buffer.append("two");
    EXPECT_EQ("one", snapshot);
    EXPECT_EQ("onetwo", buffer.toString());
}

TEST(NvStringBufferParse, StopsAtTheDelimiterAndLeavesItInTheStream) {
    NvByteArrayInputStream in("Call-ID: abc"s);
    NvStringBuffer name;
    EXPECT_EQ(7u, name.parse(in, ":"));
    EXPECT_EQ("Call-ID", name.toString());
    EXPECT_EQ(':', in.peek());
    EXPECT_EQ(7u, in.position());
}

TEST(NvStringBufferParse, AnyOfSeveralDelimitersStops) {
    NvByteArrayInputStream in("a;b c,d"s);
    NvStringBuffer word;
    const std::string_view delimiters = " ,;";
    EXPECT_EQ(1u, word.parse(in, delimiters));
    EXPECT_EQ(';', in.read());
    EXPECT_EQ(1u, word.parse(in, delimiters));
    EXPECT_EQ(' ', in.read());
    EXPECT_EQ(1u, word.parse(in, delimiters));
    EXPECT_EQ(',', in.read());
    EXPECT_EQ(1u, word.parse(in, delimiters));
    EXPECT_EQ("abcd", word.toString());  // parse appends to what is there
    EXPECT_EQ(-1, in.peek());
}

TEST(NvStringBufferParse, DelimiterFirstAppendsNothing) {
    NvByteArrayInputStream in(";rest"s);
    NvStringBuffer buffer;
    buffer.append("kept");
    EXPECT_EQ(0u, buffer.parse(in, ";"));
    EXPECT_EQ("kept", buffer.toString());
    EXPECT_EQ(0u, in.position());
}

TEST(NvStringBufferParse, WithoutADelimiterReadsToTheEnd) {
    NvByteArrayInputStream in("no delimiter here"s);
    NvStringBuffer buffer;
    EXPECT_EQ(17u, buffer.parse(in, ";"));
    EXPECT_EQ("no delimiter here", buffer.toString());
    EXPECT_EQ(-1, in.peek());
    // At the end of the stream there is nothing more to take.
    EXPECT_EQ(0u, buffer.parse(in, ";"));
    EXPECT_EQ(0u, buffer.parse(in, ""));
    EXPECT_EQ(17u, buffer.length());
}

TEST(NvStringBufferParse, EmptyDelimiterSetReadsEverything) {
    NvByteArrayInputStream in("a;b\nc"s);
    NvStringBuffer buffer;
    EXPECT_EQ(5u, buffer.parse(in, ""));
    EXPECT_EQ("a;b\nc", buffer.toString());
}

TEST(NvStringBufferParse, HighBytesAreDataNotTheEnd) {
    // A byte 0xff must not be mistaken for the end-of-stream mark.
    NvByteArrayInputStream in("a\xff\x80z;"s);
    NvStringBuffer buffer;
    EXPECT_EQ(4u, buffer.parse(in, ";"));
    EXPECT_EQ("a\xff\x80z", buffer.toString());
    EXPECT_EQ(';', in.peek());
}

TEST(NvStringBufferParse, HighByteAndZeroByteAsDelimiters) {
    NvByteArrayInputStream in("ab\xff" "cd\0ef"s);
    NvStringBuffer first;
    EXPECT_EQ(2u, first.parse(in, "\xff"));
    EXPECT_EQ(0xff, in.read());
    NvStringBuffer second;
    EXPECT_EQ(2u, second.parse(in, std::string_view("\0", 1)));
    EXPECT_EQ("cd", second.toString());
    EXPECT_EQ(0, in.read());
    EXPECT_EQ('e', in.peek());
}

// ------------------------------------------------------------------ streams

// An output stream that counts the flushes it is asked for.
class FlushCounter : public NvByteArrayOutputStream {
public:
    void flush() override { ++m_Flushes; }
    int m_Flushes = 0;
};

TEST(NvByteArrayOutput, RawBytesAreWrittenAsTheyAre) {
    NvByteArrayOutputStream out;
    const unsigned char bytes[] = {0x00, 0xff, 0x0a, 0x00};
    out.write(bytes, sizeof bytes);
    out.write(static_cast<uint8_t>(0x80));
    out.write(static_cast<uint8_t>(0x00));
    ASSERT_EQ(6u, out.size());
    EXPECT_EQ("\0\xff\n\0\x80\0"s, out.toByteArray());
    EXPECT_EQ(0, std::memcmp(out.data(), "\0\xff\n\0\x80\0", 6));
}

TEST(NvByteArrayOutput, TextHasNoLengthAndNoTerminator) {
    NvByteArrayOutputStream out;
    const char* none = nullptr;
    out << "abc" << std::string("de") << std::string_view("f") << 'g' << none << "";
    EXPECT_EQ("abcdefg"s, out.toByteArray());
    EXPECT_EQ(7u, out.size());
}

TEST(NvByteArrayOutput, NumbersAreDecimalText) {
    NvByteArrayOutputStream out;
    out << 0 << ' ' << -1 << ' ' << 4294967295u << ' ' << -9223372036854775807LL - 1 << ' '
        << 18446744073709551615ULL << ' ' << 100L << ' ' << 2.5;
    EXPECT_EQ("0 -1 4294967295 -9223372036854775808 18446744073709551615 100 2.5", out.toByteArray());
}

TEST(NvByteArrayOutput, EndlWritesOneNewlineAndFlushes) {
    FlushCounter out;
    out << "line" << endl;
    EXPECT_EQ("line\n", out.toByteArray());
    EXPECT_EQ(1, out.m_Flushes);
}

TEST(NvByteArrayOutput, ResetEmptiesTheStream) {
    NvByteArrayOutputStream out;
    out << "abc";
    out.reset();
    EXPECT_EQ(0u, out.size());
    out << "d";
    EXPECT_EQ("d", out.toByteArray());
}

TEST(NvByteArrayInput, ReadsWhatWasWritten) {
    NvByteArrayOutputStream out;
    const uint32_t number = 0x01020304;
    out.write(&number, sizeof number);
    out.write(static_cast<uint8_t>(0xfe));
    out << "text";

    NvByteArrayInputStream in(out.data(), out.size());
    uint32_t back = 0;
    in.readFully(&back, sizeof back);
    EXPECT_EQ(number, back);
    EXPECT_EQ(0xfe, in.readByte());
    char text[4];
    in.readFully(text, 4);
    EXPECT_EQ("text", std::string(text, 4));
    EXPECT_EQ(0u, in.available());
}

TEST(NvByteArrayInput, CopiesItsInput) {
    std::string bytes = "abc";
    NvByteArrayInputStream in(bytes.data(), bytes.size());
    bytes[0] = 'z';
    EXPECT_EQ('a', in.read());
}

TEST(NvByteArrayInput, PeekDoesNotConsume) {
    NvByteArrayInputStream in("\xff"s);
    EXPECT_EQ(0xff, in.peek());
    EXPECT_EQ(0xff, in.peek());
    EXPECT_EQ(0u, in.position());
    EXPECT_EQ(0xff, in.read());
    EXPECT_EQ(-1, in.peek());
    EXPECT_EQ(-1, in.read());
}

TEST(NvByteArrayInput, ShortReadAtTheEnd) {
    NvByteArrayInputStream in("abc"s);
    char buffer[8] = {};
    EXPECT_EQ(2u, in.read(buffer, 2));
    EXPECT_EQ(1u, in.read(buffer, 8));
    EXPECT_EQ('c', buffer[0]);
    EXPECT_EQ(0u, in.read(buffer, 8));
    EXPECT_EQ(0u, in.read(buffer, 0));
}

TEST(NvByteArrayInput, EmptyStream) {
    NvByteArrayInputStream in(nullptr, 0);
    EXPECT_EQ(-1, in.peek());
    EXPECT_EQ(0u, in.available());
    EXPECT_THROW(in.readByte(), NvHandle<NvException>);
}

TEST(NvByteArrayInput, ReadFullyPastTheEndRaisesWithTheCounts) {
    NvByteArrayInputStream in("abc"s);
    char buffer[8];
    try {
        in.readFully(buffer, 5);
        FAIL() << "readFully past the end must raise";
    } catch (NvHandle<NvException>& e) {
        ASSERT_FALSE(e.isNil());
        const std::string message = e->getMessage().str();
        EXPECT_NE(std::string::npos, message.find("end of stream")) << message;
        EXPECT_NE(std::string::npos, message.find('5')) << message;
        EXPECT_NE(std::string::npos, message.find('3')) << message;
    }
}

TEST(NvByteArrayInput, ReadByteAtTheEndRaises) {
    NvByteArrayInputStream in("a"s);
    EXPECT_EQ('a', in.readByte());
    try {
        in.readByte();
        FAIL() << "readByte at the end must raise";
    } catch (NvHandle<NvException>& e) {
        ASSERT_FALSE(e.isNil());
        EXPECT_NE(std::string::npos, e->getMessage().str().find("end of stream")) << e->getMessage().str();
    }
}

TEST(NvByteArrayInput, ReadFullyOfNothingSucceedsAtTheEnd) {
    NvByteArrayInputStream in(""s);
    EXPECT_NO_THROW(in.readFully(nullptr, 0));
}

// ------------------------------------------------------------ NvErrorStream

// Restores the default debug stream's level and target after each test.
class NvErrorStreamTest : public ::testing::Test {
protected:
    void SetUp() override { m_SavedLevel = NvErrorStream::sGetDefault().getLevel(); }
    void TearDown() override {
        NvErrorStream::sGetDefault().setTarget(nullptr);
        NvErrorStream::sGetDefault().setLevel(m_SavedLevel);
    }
    int m_SavedLevel = 0;
};

TEST_F(NvErrorStreamTest, OneProcessWideInstance) {
    EXPECT_EQ(&NvErrorStream::sGetDefault(), &NvErrorStream::sGetDefault());
    NvErrorStream* other = nullptr;
    std::thread([&other] { other = &NvErrorStream::sGetDefault(); }).join();
    EXPECT_EQ(&NvErrorStream::sGetDefault(), other);
}

TEST_F(NvErrorStreamTest, LevelIsKept) {
    NvErrorStream& stream = NvErrorStream::sGetDefault();
    stream.setLevel(5);
    EXPECT_EQ(5, stream.getLevel());
    stream.setLevel(-3);
    EXPECT_EQ(-3, stream.getLevel());
}

TEST_F(NvErrorStreamTest, TargetReceivesTheWritesAndFlushes) {
    NvErrorStream& stream = NvErrorStream::sGetDefault();
    FlushCounter target;
    stream.setTarget(&target);
    stream << "NvSipIncomingCall::onInviteRequest()" << endl;
    stream.write(static_cast<uint8_t>(0));
    EXPECT_EQ("NvSipIncomingCall::onInviteRequest()\n\0"s, target.toByteArray());
    EXPECT_EQ(1, target.m_Flushes);
}

TEST_F(NvErrorStreamTest, NullTargetRestoresStandardError) {
    NvErrorStream& stream = NvErrorStream::sGetDefault();
    NvByteArrayOutputStream target;
    stream.setTarget(&target);
    stream << "to target";
    stream.setTarget(nullptr);
    ::testing::internal::CaptureStderr();
    stream << "to stderr" << endl;
    const std::string captured = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("to target", target.toByteArray());
    EXPECT_EQ("to stderr\n", captured);
}

TEST_F(NvErrorStreamTest, ConcurrentWritesAreNotTorn) {
    NvErrorStream& stream = NvErrorStream::sGetDefault();
    NvByteArrayOutputStream target(1 << 20);
    stream.setTarget(&target);
    constexpr size_t kRecord = 97;
    constexpr int kThreads = 4;
    constexpr int kWrites = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&stream, t] {
            const std::string record(kRecord, static_cast<char>('A' + t));
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
