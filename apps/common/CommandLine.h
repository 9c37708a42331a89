#pragma once
// Command-line pieces shared by the tools: a listen address and numbers.
// Each raises std::invalid_argument with a message fit for a usage line.

#include <cstdint>
#include <string>

struct BindAddress {
    std::string host = "0.0.0.0";
    uint16_t port = 0;
};

// "127.0.0.1:5060", "[::1]:5060", "::1" or "127.0.0.1" (port 0: any free
// one); the host must be an IP address.
BindAddress parseBindAddress(const std::string& text);

// A decimal number from 0 to `max`; `what` names it in the error.
long parseNumber(const std::string& text, const char* what, long max = 2147483647L);
