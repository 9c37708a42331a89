// libFuzzer target for the SIP parser.
//
// For every input it checks that
//  - NvSipParser::sParse either returns a message or raises the stack's
//    exception, and never reads outside the input;
//  - a parsed message serialises to text that parses again, and that second
//    parse serialises to the very same bytes (the wire form is a fixed point);
//  - NvSipParser::sFrameLength never claims more bytes than it was given, a
//    frame it finds is found again in the frame alone, and a serialised
//    message that carries Content-Length frames to exactly its own size.
// Any broken check aborts with the texts involved, so that libFuzzer keeps the
// input as a crash.

#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fail(const char* what, std::string_view first, std::string_view second = {}) {
    std::fprintf(stderr, "sip_parser_fuzzer: %s\n--- first (%zu bytes)\n%.*s\n--- second (%zu bytes)\n%.*s\n---\n", what,
                 first.size(), static_cast<int>(first.size()), first.data(), second.size(),
                 static_cast<int>(second.size()), second.data());
    std::abort();
}

// Whether `text` stays within the limits the parser applies to wire text, so
// that it may be expected to parse. The serialised form can outgrow the
// input (CRLF for LF, full header names for compact ones).
bool withinParserLimits(const std::string& text) {
    if (text.size() > NvSipParser::kMaxMessageBytes) return false;
    const size_t headerEnd = text.find("\r\n\r\n");
    const std::string_view head(text.data(), headerEnd == std::string::npos ? text.size() : headerEnd);
    size_t start = 0;
    while (start <= head.size()) {
        size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos) end = head.size();
        if (end - start > NvSipParser::kMaxLineBytes) return false;
        start = end + 2;
    }
    return true;
}

void checkFraming(const char* data, size_t size) {
    size_t frame = 0;
    try {
        frame = NvSipParser::sFrameLength(data, size);
    } catch (NvHandle<NvException>&) {
        return;
    }
    if (frame > size) fail("sFrameLength claims more bytes than it was given", std::string_view(data, size));
    if (frame == 0) return;
    size_t again = 0;
    try {
        again = NvSipParser::sFrameLength(data, frame);
    } catch (NvHandle<NvException>& e) {
        fail("sFrameLength raised on a frame it had found", std::string_view(data, frame), e->getMessage().view());
    }
    if (again != frame) fail("sFrameLength gives another length for the frame alone", std::string_view(data, frame));
}

void checkRoundTrip(const NvHandle<NvSipMessage>& first) {
    std::string wire;
    first->serialize(wire);
    if (!withinParserLimits(wire)) return;

    NvHandle<NvSipMessage> second;
    try {
        second = NvSipParser::sParse(wire.data(), wire.size());
    } catch (NvHandle<NvException>& e) {
        fail("serialised message does not parse again", wire, e->getMessage().view());
    }
    if (second.isNil()) fail("second parse gave no message", wire);
    std::string again;
    second->serialize(again);
    if (again != wire) fail("second serialisation differs from the first", wire, again);

    if (first->mGetHeaderByID(NvSipContentLengthHeader::sID)) {
        size_t frame = 0;
        try {
            frame = NvSipParser::sFrameLength(wire.data(), wire.size());
        } catch (NvHandle<NvException>& e) {
            fail("sFrameLength raised on a serialised message", wire, e->getMessage().view());
        }
        if (frame != wire.size()) fail("sFrameLength does not frame a serialised message whole", wire);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const char* data = reinterpret_cast<const char*>(bytes);
    checkFraming(data, size);

    NvHandle<NvSipMessage> message;
    try {
        message = NvSipParser::sParse(data, size);
    } catch (NvHandle<NvException>&) {
        return 0;
    }
    if (message.isNil()) fail("sParse returned nil instead of raising", std::string_view(data, size));
    checkRoundTrip(message);
    return 0;
}
