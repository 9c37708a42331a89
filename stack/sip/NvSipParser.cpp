#include "stack/sip/NvSipParser.h"

#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

#include <cstring>
#include <string>

using namespace NvSipText;

namespace {

[[noreturn]] void reject(const std::string& why) { NvSipParseException::sThrow(why); }

std::string excerpt(std::string_view text) {
    std::string shown;
    for (char c : text.substr(0, 60)) shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return shown;
}

// Walks the header section line by line. A line ends at LF (a CR before it
// is dropped); a line that starts with SP or HT continues the one before.
class LineReader {
public:
    LineReader(const char* data, size_t length) : m_Data(data), m_Length(length) {}

    size_t position() const { return m_Pos; }

    // Next physical line without its terminator; false at the end of data
    // (a final line without LF is not a line: the header section is
    // incomplete).
    bool next(std::string_view& line) {
        if (m_Pos >= m_Length) return false;
        const void* lf = std::memchr(m_Data + m_Pos, '\n', m_Length - m_Pos);
        if (!lf) return false;
        const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - m_Data);
        size_t stop = end;
        if (stop > m_Pos && m_Data[stop - 1] == '\r') --stop;
        line = std::string_view(m_Data + m_Pos, stop - m_Pos);
        m_Pos = end + 1;
        return true;
    }

    int peek() const { return m_Pos < m_Length ? static_cast<unsigned char>(m_Data[m_Pos]) : -1; }

private:
    const char* m_Data;
    size_t m_Length;
    size_t m_Pos = 0;
};

void checkLineBytes(std::string_view line) {
    for (char c : line)
        if (!isLineTextChar(c)) reject("Control character in header line '" + excerpt(line) + "'");
}

// Checks the bytes of one header, physical line by physical line. Control
// characters (HT aside) are refused unless they are the octet a quoted-pair
// escapes inside a quoted string (RFC 3261 25.1: a quoted-pair may escape
// any octet up to %x7F but CR and LF). A quoted string may go on across a
// folded line, so the quote state carries over continuation lines; begin()
// starts a new header. A quoted-pair cannot escape the line break that a
// fold replaces.
class HeaderBytesChecker {
public:
    void begin() {
        m_bQuoted = false;
        m_bEscapeAtLineEnd = false;
    }

    void checkLine(std::string_view line, bool continuation) {
        if (continuation && m_bEscapeAtLineEnd)
            reject("Backslash before a line break in a quoted string '" + excerpt(line) + "'");
        m_bEscapeAtLineEnd = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (m_bQuoted && c == '\\') {
                if (i + 1 == line.size()) {
                    m_bEscapeAtLineEnd = true;
                } else if (line[++i] == '\r') {
                    reject("Backslash before a line break in a quoted string '" + excerpt(line) + "'");
                }
            } else if (c == '"') {
                m_bQuoted = !m_bQuoted;
            } else if (!isLineTextChar(c)) {
                reject("Control character in header line '" + excerpt(line) + "'");
            }
        }
    }

private:
    bool m_bQuoted = false;
    bool m_bEscapeAtLineEnd = false;
};

NvHandle<NvSipMessage> parseStartLine(std::string_view line) {
    if (line.empty() || isLws(line[0])) reject("Start line begins with whitespace or is empty");
    if (startsWithIgnoreCase(line, "SIP/")) {
        // Status-Line = SIP-Version SP Status-Code SP Reason-Phrase
        const size_t sp = line.find(' ');
        const std::string_view version = line.substr(0, sp);
        if (!equalsIgnoreCase(version, "SIP/2.0")) reject("Unsupported SIP version '" + excerpt(version) + "'");
        if (sp == std::string_view::npos || line.size() < sp + 4) reject("Status line without a status code");
        if (line[sp + 1] == ' ')
            reject("More than one space between the SIP version and the status code in the status line '" +
                   excerpt(line) + "'");
        const std::string_view code = line.substr(sp + 1, 3);
        for (char c : code)
            if (c < '0' || c > '9') reject("Bad status code '" + excerpt(code) + "'");
        const int status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
        if (status < 100 || status > 699) reject("Status code " + std::string(code) + " is out of range");
        std::string_view reason;
        if (line.size() > sp + 4) {
            if (line[sp + 4] != ' ') reject("Bad status code '" + excerpt(line.substr(sp + 1)) + "'");
            reason = line.substr(sp + 5);
        }
        return NvHandle<NvSipMessage>(new NvSipResponse(status, reason));
    }
    // Request-Line = Method SP Request-URI SP SIP-Version
    if (isLws(line.back()))
        reject("Trailing whitespace after the SIP version in the request line '" + excerpt(line) + "'");
    if (line.find('\t') != std::string_view::npos)
        reject("Tab in the request line '" + excerpt(line) + "': elements are separated by single spaces");
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) reject("Malformed request line '" + excerpt(line) + "'");
    if (line[first + 1] == ' ' || line[last - 1] == ' ')
        reject("More than one space between the elements of the request line '" + excerpt(line) + "'");
    const std::string_view method = line.substr(0, first);
    const std::string_view uri = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    if (!isToken(method)) reject("Bad method '" + excerpt(method) + "'");
    if (!startsWithIgnoreCase(version, "SIP/")) reject("Malformed request line '" + excerpt(line) + "'");
    if (!equalsIgnoreCase(version, "SIP/2.0")) reject("Unsupported SIP version '" + excerpt(version) + "'");
    if (uri.find(' ') != std::string_view::npos) reject("Request-URI contains whitespace: '" + excerpt(uri) + "'");
    if (uri.front() == '<') reject("Request-URI must not be enclosed in angle brackets");
    NvHandle<NvSipRequest> request = NvSipRequest::sCreate(method);
    request->setURI(NvURI::sParse(uri));
    return NvHandle<NvSipMessage>(request.get());
}

}  // namespace

// Adds the headers of one logical line to the message.
static void addHeaderLine(std::vector<NvHandle<NvSipHeader>>& headers, std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) reject("Header line without ':': '" + excerpt(line) + "'");
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && isLws(name.back())) name.remove_suffix(1);
    if (!isToken(name)) reject("Bad header name '" + excerpt(name) + "'");
    const std::string_view value = trim(line.substr(colon + 1));

    const NvSipHeaderID id = NvSipHeader::sIdOf(name);
    if (!NvSipHeader::sIsCommaSeparated(id)) {
        headers.push_back(NvSipHeader::sCreate(id, name, value));
        return;
    }
    size_t start = 0;
    bool continues = false;
    for (;;) {
        const size_t comma = findUnquoted(value, ',', start);
        const std::string_view part = trim(value.substr(start, comma == std::string_view::npos ? value.npos : comma - start));
        if (part.empty()) reject("Empty value in " + std::string(name) + " header");
        NvHandle<NvSipHeader> header = NvSipHeader::sCreate(id, name, part);
        header->setContinuesLine(continues);
        headers.push_back(header);
        if (headers.size() > NvSipParser::kMaxHeaders) break;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
        continues = true;
    }
}

NvHandle<NvSipMessage> NvSipParser::sParse(const char* data, size_t length) {
    if (!data) length = 0;
    if (length > kMaxMessageBytes)
        reject("Message of " + std::to_string(length) + " bytes exceeds the limit of " + std::to_string(kMaxMessageBytes));
    LineReader reader(data, length);
    std::string_view line;
    // Blank lines before the start line are keep-alives: skip them.
    do {
        if (!reader.next(line)) reject(length == 0 ? "Empty message" : "Incomplete message: no end of start line");
    } while (line.empty());
    if (line.size() > kMaxLineBytes) reject("Start line longer than " + std::to_string(kMaxLineBytes) + " bytes");
    checkLineBytes(line);
    NvHandle<NvSipMessage> message = parseStartLine(line);

    std::vector<NvHandle<NvSipHeader>>& headers = message->m_Headers;
    std::string logical;
    bool haveLine = false;
    HeaderBytesChecker bytes;
    for (;;) {
        if (!reader.next(line)) reject("Incomplete message: headers are not followed by an empty line");
        const bool continuation = !line.empty() && isLws(line[0]);
        if (continuation) {
            if (!haveLine) reject("Folded line with no header to continue");
            logical += ' ';
            logical.append(trim(line));
        } else {
            if (haveLine) {
                addHeaderLine(headers, logical);
                if (headers.size() > kMaxHeaders) reject("More than " + std::to_string(kMaxHeaders) + " header values");
            }
            if (line.empty()) break;
            logical.assign(line);
            haveLine = true;
            bytes.begin();
        }
        if (logical.size() > kMaxLineBytes) reject("Header line longer than " + std::to_string(kMaxLineBytes) + " bytes");
        bytes.checkLine(line, continuation);
    }

    // Body: cut to Content-Length; every Content-Length must agree.
    const size_t available = length - reader.position();
    size_t bodyLength = available;
    bool first = true;
    for (const auto& h : message->getHeaders<NvSipContentLengthHeader>()) {
        if (!first && h->getNumber() != bodyLength) reject("Conflicting Content-Length headers");
        bodyLength = h->getNumber();
        first = false;
    }
    if (bodyLength > available)
        reject("Content-Length " + std::to_string(bodyLength) + " exceeds the " + std::to_string(available) +
               " bytes of body present");
    message->m_Body.assign(data + reader.position(), bodyLength);
    return message;
}

size_t NvSipParser::sFrameLength(const char* data, size_t length) {
    if (!data) length = 0;
    LineReader reader(data, length);
    std::string_view line;
    bool started = false;
    // The Content-Length value, unfolded; several must agree.
    std::string lengthText;
    bool readingLength = false;
    bool haveLength = false;
    size_t contentLength = 0;
    auto takeLength = [&]() {
        if (!readingLength) return;
        readingLength = false;
        const size_t value = parseUInt32(trim(lengthText), "Content-Length");
        if (haveLength && value != contentLength) reject("Conflicting Content-Length headers");
        contentLength = value;
        haveLength = true;
    };
    for (;;) {
        const size_t lineStart = reader.position();
        if (!reader.next(line)) {
            if (length - lineStart > kMaxLineBytes) reject("Line longer than " + std::to_string(kMaxLineBytes) + " bytes");
            // Everything buffered belongs to this message, which is not
            // complete yet: past the limit it can never be.
            if (length > kMaxMessageBytes)
                reject("Header section exceeds the message limit of " + std::to_string(kMaxMessageBytes) + " bytes");
            return 0;
        }
        if (line.size() > kMaxLineBytes) reject("Line longer than " + std::to_string(kMaxLineBytes) + " bytes");
        if (reader.position() > kMaxMessageBytes)
            reject("Header section exceeds the message limit of " + std::to_string(kMaxMessageBytes) + " bytes");
        if (!started) {
            started = !line.empty();
            continue;
        }
        if (!line.empty() && isLws(line[0])) {
            if (readingLength) {
                lengthText += ' ';
                lengthText.append(trim(line));
                if (lengthText.size() > kMaxLineBytes)
                    reject("Header line longer than " + std::to_string(kMaxLineBytes) + " bytes");
            }
            continue;
        }
        takeLength();
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = trim(line.substr(0, colon));
        if (equalsIgnoreCase(name, "Content-Length") || equalsIgnoreCase(name, "l")) {
            lengthText.assign(line.substr(colon + 1));
            readingLength = true;
        }
    }
    const size_t total = reader.position() + contentLength;
    if (total > kMaxMessageBytes)
        reject("Message of " + std::to_string(total) + " bytes exceeds the limit of " + std::to_string(kMaxMessageBytes));
    return total <= length ? total : 0;
}

void NvSipParser::sCheckStartLine(std::string_view line) { parseStartLine(line); }
