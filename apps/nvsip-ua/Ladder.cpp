#include "apps/nvsip-ua/Ladder.h"

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <cstdio>
#include <string>

namespace {

const char* const kLoggerName = "nvsip-ua.ladder";
constexpr size_t kWidth = 44;  // dashes between the two parties

// One arrow per call-log record: ">>>> SENT ..." or "<<<< RECEIVED ...",
// then the message, whose first line names it.
class LadderAppender : public log4cplus::Appender {
public:
    ~LadderAppender() override { destructorImpl(); }
    void close() override { closed = true; }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        const std::string& text = event.getMessage();
        const size_t lineEnd = text.find('\n');
        if (lineEnd == std::string::npos) return;
        const bool sent = text.compare(0, 4, ">>>>") == 0;
        std::string name = text.substr(lineEnd + 1, text.find('\r', lineEnd + 1) - lineEnd - 1);
        if (name.compare(0, 8, "SIP/2.0 ") == 0) {
            name.erase(0, 8);  // "200 OK (INVITE)": the method its CSeq names
            const size_t cseq = text.find("\nCSeq:");
            if (cseq != std::string::npos) {
                const size_t method = text.find_first_not_of("0123456789 ", cseq + 6);
                name += " (" + text.substr(method, text.find_first_of("\r\n", method) - method) + ")";
            }
        } else
            name.erase(name.find(' '));  // "INVITE"
        if (name.size() > kWidth - 6) name.resize(kWidth - 6);
        const size_t dashes = kWidth - name.size() - 2;
        const std::string left(dashes / 2, '-'), right(dashes - dashes / 2, '-');
        if (sent)
            std::printf("    |%s %s %s>|\n", left.c_str(), name.c_str(), right.substr(1).c_str());
        else
            std::printf("    |<%s %s %s|\n", left.substr(1).c_str(), name.c_str(), right.c_str());
        std::fflush(stdout);
    }
};

}  // namespace

Tellar::Logger* Ladder::sAttach() {
    log4cplus::Logger ladder = log4cplus::Logger::getInstance(kLoggerName);
    ladder.setAdditivity(false);
    ladder.setLogLevel(log4cplus::INFO_LOG_LEVEL);
    ladder.removeAllAppenders();
    ladder.addAppender(log4cplus::SharedAppenderPtr(new LadderAppender));
    std::printf("  caller%*scallee\n", static_cast<int>(kWidth - 2), "");
    return new Tellar::Logger(kLoggerName);
}
