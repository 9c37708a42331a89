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

TEST(NvStringValue, NullTextIsEmptyAndTheLengthConstructorKeepsEmbeddedZeroBytes) {
    const char* none = nullptr;
    EXPECT_TRUE(NvString(none).isEmpty());
    EXPECT_TRUE(NvString(none, 5).isEmpty());
    EXPECT_STREQ("", NvString().c_str());
    EXPECT_TRUE(NvString() == none);
    EXPECT_FALSE(NvString("a") == none);

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

TEST(NvStringValue, UsableAsAStandardMapKeyAndWrittenAsItsBytesOnly) {
    std::unordered_map<NvString, int> map;
    map[NvString("x")] = 1;
    map[NvString(std::string("x"))] = 2;
    map[NvString("x\0y", 3)] = 3;
    EXPECT_EQ(2u, map.size());
    EXPECT_EQ(2, map[NvString("x")]);

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

    const NvString snapshot = buffer.toString();  // toString is a snapshot
    buffer.append('!');
    EXPECT_EQ("-12,4294967295,7,-9223372036854775808", snapshot);
}

TEST(NvStringBufferParse, AnyOfSeveralDelimitersStops) {
    NvByteArrayInputStream in("a;b c,d"s);
    NvStringBuffer word;
    for (int delimiter : {int{';'}, int{' '}, int{','}, -1}) {
        EXPECT_EQ(1u, word.parse(in, " ,;"));
        EXPECT_EQ(delimiter, in.read());
    }
    EXPECT_EQ("abcd", word.toString());  // parse appends to what is there
}

// Each case: input, delimiters, what parse takes, and the byte it stops at (-1: the end).
TEST(NvStringBufferParse, TakesUpToTheFirstDelimiter) {
    const struct {
        std::string input;
        std::string delimiters;
        std::string taken;
        int next;
    } cases[] = {
        {"Call-ID: abc", ":", "Call-ID", ':'},            // the delimiter is left in the stream
        {";rest", ";", "", ';'},                        // delimiter first appends nothing
        {"a;b\nc", "", "a;b\nc", -1},                   // an empty delimiter set reads everything
        {"a\xff\x80z;", ";", "a\xff\x80z", ';'},         // 0xff is data, not the end-of-stream mark
        {"ab\xff" "cd", "\xff", "ab", 0xff},            // a high byte as delimiter
        {"cd\0ef"s, "\0"s, "cd", 0},                    // a zero byte as delimiter
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

TEST(NvByteArrayOutput, TextHasNoLengthAndNoTerminatorAndNumbersAreDecimal) {
    NvByteArrayOutputStream out;
    const char* none = nullptr;
    out << "abc" << std::string("de") << std::string_view("f") << 'g' << none << "";
    EXPECT_EQ("abcdefg"s, out.toByteArray());
    out.reset();
    out << 0 << ' ' << -1 << ' ' << 4294967295u << ' ' << -9223372036854775807LL - 1 << ' '
        << 18446744073709551615ULL << ' ' << 100L << ' ' << 2.5;
    EXPECT_EQ("0 -1 4294967295 -9223372036854775808 18446744073709551615 100 2.5", out.toByteArray());
}

TEST(NvByteArrayOutput, EndlWritesOneNewlineAndFlushesAndResetEmpties) {
    FlushCounter out;
    out << "line" << endl;
    EXPECT_EQ("line\n", out.toByteArray());
    EXPECT_EQ(1, out.m_Flushes);
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

TEST(NvByteArrayInput, CopiesItsInputAndPeekDoesNotConsume) {
    std::string bytes = "\xff" "bc";
    NvByteArrayInputStream in(bytes.data(), bytes.size());
    bytes[0] = 'z';
    EXPECT_EQ(0xff, in.peek());
    EXPECT_EQ(0u, in.position());
    EXPECT_EQ(0xff, in.read());
    char buffer[8] = {};
    EXPECT_EQ(1u, in.read(buffer, 1));
    EXPECT_EQ(1u, in.read(buffer, 8));  // a short read at the end
    EXPECT_EQ('c', buffer[0]);
    EXPECT_EQ(0u, in.read(buffer, 8));
    EXPECT_EQ(0u, in.read(buffer, 0));
    EXPECT_EQ(-1, in.peek());
    EXPECT_EQ(-1, in.read());
}

// The message of what `read` raises at the end of a stream holding `bytes`.
template <class Read>
std::string endOfStreamError(const std::string& bytes, Read read) {
    NvByteArrayInputStream in(bytes);
    try {
        read(in);
        ADD_FAILURE() << "reading past the end must raise";
    } catch (NvHandle<NvException>& e) {
        EXPECT_FALSE(e.isNil());
        const std::string message = e->getMessage().str();
        EXPECT_NE(std::string::npos, message.find("end of stream")) << message;
        return message;
    }
    return std::string();
}

TEST(NvByteArrayInput, ReadingPastTheEndRaises) {
    char buffer[8];
    const std::string message = endOfStreamError("abc", [&](NvByteArrayInputStream& in) { in.readFully(buffer, 5); });
    EXPECT_NE(std::string::npos, message.find('5')) << message;  // with the counts
    EXPECT_NE(std::string::npos, message.find('3')) << message;
    endOfStreamError("a", [](NvByteArrayInputStream& in) {
        EXPECT_EQ('a', in.readByte());
        in.readByte();
    });
    endOfStreamError("", [](NvByteArrayInputStream& in) { in.readByte(); });
    NvByteArrayInputStream empty(nullptr, 0);
    EXPECT_EQ(0u, empty.available());
    EXPECT_NO_THROW(empty.readFully(nullptr, 0));
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
    other->setLevel(-3);
    EXPECT_EQ(-3, NvErrorStream::sGetDefault().getLevel());
}


TEST_F(NvErrorStreamTest, TargetReceivesTheWritesAndFlushesUntilNullRestoresStandardError) {
    NvErrorStream& stream = NvErrorStream::sGetDefault();
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
