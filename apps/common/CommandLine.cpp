#include "apps/common/CommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

BindAddress parseBindAddress(const std::string& text) {
    BindAddress bind;
    std::string port;
    bind.host = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) throw std::invalid_argument("bad --bind address " + text);
        bind.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw std::invalid_argument("bad --bind address " + text);
            port = text.substr(close + 2);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        bind.host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
    }
    in6_addr address;
    if (inet_pton(AF_INET, bind.host.c_str(), &address) != 1 && inet_pton(AF_INET6, bind.host.c_str(), &address) != 1)
        throw std::invalid_argument("bad --bind address " + text + ": not an IP address");
    if (!port.empty()) bind.port = static_cast<uint16_t>(parseNumber(port, "--bind port", 65535));
    return bind;
}

long parseNumber(const std::string& text, const char* what, long max) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno == ERANGE || value < 0 || value > max)
        throw std::invalid_argument(std::string("bad ") + what + ": " + text);
    return value;
}
