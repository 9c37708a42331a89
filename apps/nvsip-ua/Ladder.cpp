#include "apps/nvsip-ua/Ladder.h"

#include <log4cplus/spi/loggingevent.h>

#include <cstdio>
#include <map>
#include <mutex>

struct Ladder::Drawings {
    std::mutex mutex;  // guards byCallId
    std::map<std::string, std::string> byCallId;  // the open calls' lines so far
};

namespace {

constexpr size_t kWidth = 44;  // dashes between the two parties

// The value of the message's Call-ID header (long or compact form), "" when it has none.
std::string callIdOf(const std::string& text) {
    for (const char* name : {"\nCall-ID:", "\ni:"}) {
        size_t at = text.find(name);
        if (at == std::string::npos) continue;
        at = text.find_first_not_of(' ', at + std::char_traits<char>::length(name));
        return text.substr(at, text.find_first_of("\r\n ", at) - at);
    }
    return "";
}

// "INVITE", or for a response "200 OK (INVITE)": the method its CSeq names.
std::string nameOf(const std::string& text, size_t firstLine) {
    std::string name = text.substr(firstLine, text.find('\r', firstLine) - firstLine);
    if (name.compare(0, 8, "SIP/2.0 ") != 0) return name.erase(name.find(' '));
    name.erase(0, 8);
    const size_t cseq = text.find("\nCSeq:");
    if (cseq != std::string::npos) {
        const size_t method = text.find_first_not_of("0123456789 ", cseq + 6);
        name += " (" + text.substr(method, text.find_first_of("\r\n", method) - method) + ")";
    }
    return name;
}

// One arrow per call-log record: ">>>> SENT ..." or "<<<< RECEIVED ...",
// then the message, whose first line names it.
class LadderAppender : public log4cplus::Appender {
public:
    LadderAppender(std::shared_ptr<Ladder::Drawings> drawings, bool weCall)
        : m_pDrawings(std::move(drawings)), m_bWeCall(weCall) {}
    ~LadderAppender() override { destructorImpl(); }
    void close() override { closed = true; }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        const std::string& text = event.getMessage();
        const size_t lineEnd = text.find('\n');
        if (lineEnd == std::string::npos) return;
        std::string name = nameOf(text, lineEnd + 1);
        if (name.size() > kWidth - 6) name.resize(kWidth - 6);
        const size_t dashes = kWidth - name.size() - 2;
        const std::string left(dashes / 2, '-'), right(dashes - dashes / 2, '-');
        const bool rightwards = (text.compare(0, 4, ">>>>") == 0) == m_bWeCall;
        const std::string arrow = rightwards ? "    |" + left + " " + name + " " + right.substr(1) + ">|\n"
                                             : "    |<" + left.substr(1) + " " + name + " " + right + "|\n";
        std::lock_guard<std::mutex> lock(m_pDrawings->mutex);
        auto found = m_pDrawings->byCallId.find(callIdOf(text));
        if (found != m_pDrawings->byCallId.end()) found->second += arrow;
    }

private:
    const std::shared_ptr<Ladder::Drawings> m_pDrawings;
    const bool m_bWeCall;
};

}  // namespace

Ladder::Ladder(const Tellar::Logger& logger, bool weCall)
    : m_Logger(logger.getLog4cplusLogger()),
      m_pDrawings(std::make_shared<Drawings>()),
      m_pAppender(new LadderAppender(m_pDrawings, weCall)) {
    m_Logger.addAppender(m_pAppender);
}

Ladder::~Ladder() { m_Logger.removeAppender(m_pAppender); }

void Ladder::open(const std::string& callId) {
    std::lock_guard<std::mutex> lock(m_pDrawings->mutex);
    m_pDrawings->byCallId[callId];
}

std::string Ladder::close(const std::string& callId) {
    std::lock_guard<std::mutex> lock(m_pDrawings->mutex);
    auto found = m_pDrawings->byCallId.find(callId);
    if (found == m_pDrawings->byCallId.end()) return "";
    char heading[128];
    std::snprintf(heading, sizeof heading, "  caller%*scallee    ", static_cast<int>(kWidth - 2), "");
    const std::string drawing = heading + ("Call-ID " + callId + "\n") + found->second;
    m_pDrawings->byCallId.erase(found);
    return drawing;
}
