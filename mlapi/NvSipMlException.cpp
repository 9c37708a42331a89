#include "mlapi/NvSipMlException.h"

const char* const NvSipMlException::sDebugToken = "NvSipMlException";

NvSipMlException::~NvSipMlException() = default;

void NvSipMlException::display(NvOutputStream& out) const {
    out << "!! NvSipMlException !!\n";
    NvObject::display(out, true);
    out << '\n' << getMessage();
}

void NvSipMlException::sThrow(const char* message, const char*, const char*) {
    sThrow(new NvSipMlException(message));
}

void NvSipMlException::sThrow(NvSipMlException* exception) {
    NvException::sThrow(exception);
}
