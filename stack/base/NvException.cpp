#include "stack/base/NvException.h"

#include "stack/base/NvStream.h"

#include <cerrno>
#include <cstring>
#include <string>

const char* const NvException::sDebugToken = "NvException";
const char* const NvSystemError::sDebugToken = "NvSystemError";
const char* const NvAssertionFailure::sDebugToken = "NvAssertionFailure";

NvException::~NvException() = default;

void NvException::display(NvOutputStream& out) const {
    out << "!! " << sDebugToken << " !!\n";
    NvObject::display(out, true);
    out << '\n' << m_Message;
}

void NvException::sThrow(NvException* exception) {
    throw NvHandle<NvException>(exception);
}

void NvException::sThrow(const char* message) {
    sThrow(new NvException(message ? message : "Unknown Exception"));
}

void NvException::sThrow(const NvString& message) {
    sThrow(new NvException(message));
}

namespace {
std::string describeSystemError(const char* function, int error) {
    std::string text(function ? function : "system call");
    text += " failed: ";
    text += std::strerror(error);
    return text;
}
}  // namespace

NvSystemError::NvSystemError(const char* function, int error)
    : NvException(describeSystemError(function, error)), m_Function(function), m_Error(error) {}

void NvSystemError::sThrow(const char* function, int error) {
    // Read errno before allocating: the allocation may change it.
    const int number = error != 0 ? error : errno;
    NvException::sThrow(new NvSystemError(function, number));
}

namespace {
std::string describeAssertion(const char* condition, const char* file, int line, const char* buildTime) {
    std::string text("Assertion failed: ");
    text += condition ? condition : "?";
    text += " (";
    text += file ? file : "?";
    text += ":" + std::to_string(line);
    if (buildTime) {
        text += ", built ";
        text += buildTime;
    }
    return text + ")";
}
}  // namespace

NvAssertionFailure::NvAssertionFailure(const char* condition, const char* file, int line, const char* buildTime)
    : NvException(describeAssertion(condition, file, line, buildTime)), m_Condition(condition) {}

void NvAssertionFailure::sThrow(const char* condition, const char* file, int line, const char* buildTime) {
    NvException::sThrow(new NvAssertionFailure(condition, file, line, buildTime));
}
