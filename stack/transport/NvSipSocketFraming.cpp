#include "stack/transport/NvSipSocketFraming.h"

#include "stack/base/NvException.h"
#include "stack/sip/NvSipParser.h"
#include "stack/sip/NvSipText.h"

#include <cstdio>
#include <cstring>

size_t NvSipSocketLimits::sm_MaxDatagramBytes = NvSipParser::kMaxMessageBytes;

namespace {

// Whether `prefix`, the start of a first line not complete yet, can still
// become a start line: its first word a method (a token) or the beginning
// of "SIP/2.0". The complete line is checked by the parser.
bool canStartStartLine(std::string_view prefix) {
    if (!prefix.empty() && NvSipText::isLws(prefix[0])) return false;
    const std::string_view first = prefix.substr(0, prefix.find(' '));
    constexpr std::string_view kVersion = "SIP/2.0";
    if (first.empty() || NvSipText::isToken(first)) return true;
    return first.size() <= kVersion.size() && NvSipText::startsWithIgnoreCase(kVersion, first);
}

// A short printable excerpt of `text` for a log line.
std::string excerpt(std::string_view text) {
    constexpr size_t kMax = 60;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kMax; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (text.size() > kMax) out += "...";
    return out;
}

}  // namespace

void NvSipStreamFramer::append(const char* data, size_t length) {
    compact();
    m_Buffer.append(data, length);
}

void NvSipStreamFramer::compact() {
    if (m_Start == 0) return;
    if (m_Start >= m_Buffer.size()) {
        m_Buffer.clear();
        m_Start = 0;
    } else if (m_Start >= 4096 || m_Start * 2 >= m_Buffer.size()) {
        m_Buffer.erase(0, m_Start);
        m_Start = 0;
    }
}

NvSipStreamFramer::Result NvSipStreamFramer::garbage(std::string& reason, std::string text) {
    m_Garbage = std::move(text);
    reason = m_Garbage;
    return Result::Garbage;
}

size_t NvSipStreamFramer::pending() const {
    size_t start = m_Start;
    while (start < m_Buffer.size() && (m_Buffer[start] == '\r' || m_Buffer[start] == '\n')) ++start;
    return m_Buffer.size() - start;
}

NvSipStreamFramer::Result NvSipStreamFramer::next(std::string_view& message, std::string& reason) {
    if (!m_Garbage.empty()) {
        reason = m_Garbage;
        return Result::Garbage;
    }
    // Keep-alives between messages: any run of CR and LF. A run that is still
    // the beginning of "\r\n\r\n" at the end of the buffer waits for the rest,
    // so that a ping split across reads is still recognised.
    size_t run = 0;
    while (m_Start + run < m_Buffer.size() && (m_Buffer[m_Start + run] == '\r' || m_Buffer[m_Start + run] == '\n'))
        ++run;
    if (run > 0) {
        const std::string_view crlfs(m_Buffer.data() + m_Start, run);
        const bool ping = crlfs.find("\r\n\r\n") != std::string_view::npos;
        if (!ping && m_Start + run == m_Buffer.size() && run < 4 &&
            std::string_view("\r\n\r\n").compare(0, run, crlfs) == 0)
            return Result::NeedMore;
        m_Start += run;
        if (ping) return Result::Ping;
    }
    if (m_Start >= m_Buffer.size()) return Result::NeedMore;

    const char* data = m_Buffer.data() + m_Start;
    const size_t length = m_Buffer.size() - m_Start;

    // The first line, complete or not, must be able to be a start line.
    const void* lf = std::memchr(data, '\n', length);
    const size_t lineEnd = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) : length;
    std::string_view line(data, lineEnd);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (char c : line)
        if (!NvSipText::isLineTextChar(c))
            return garbage(reason, "Control character in the first line: '" + excerpt(line) + "'");
    if (!lf && !canStartStartLine(line))
        return garbage(reason, "Not a SIP request or status line: '" + excerpt(line) + "'");
    if (lf) {
        try {
            NvSipParser::sCheckStartLine(line);
        } catch (NvHandle<NvException>& e) {
            return garbage(reason, "Not a SIP request or status line: " + e->getMessage().str());
        }
    }

    size_t frame = 0;
    try {
        frame = NvSipParser::sFrameLength(data, length);
    } catch (NvHandle<NvException>& e) {
        return garbage(reason, e->getMessage().str());
    }
    if (frame == 0) {
        // sFrameLength rejects what outgrows the limits; this only guards
        // against a buffer growing without bound should it ever not.
        if (length > NvSipParser::kMaxMessageBytes)
            return garbage(reason, "No complete message in " + std::to_string(length) + " bytes");
        return Result::NeedMore;
    }
    message = std::string_view(data, frame);
    m_Start += frame;
    return Result::Message;
}
