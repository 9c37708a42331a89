#include "mlapi/NvSipCapabilities.h"

#include "mlapi/NvSipDialog.h"

const char* const NvSipCapabilities::sAllow = "INVITE, ACK, BYE, CANCEL, OPTIONS, PRACK, INFO, NOTIFY, REFER, UPDATE";
const char* const NvSipCapabilities::sAccept = "application/sdp";

namespace {

const char* const kAllowName = "Allow";

bool isSupportedTag(std::string_view tag) {
    return tag == "100rel" || tag == "replaces" || (tag == "timer" && NvSipDialog::sm_bSupportTimer);
}

bool hasHeaderNamed(const NvSipMessage& message, const char* name) {
    for (const auto& header : message.getHeaders())
        if (header->getName() == name) return true;
    return false;
}

}  // namespace

std::vector<std::string> NvSipCapabilities::sUnsupported(const NvSipRequest& request) {
    std::vector<std::string> unsupported;
    for (size_t i = 0;; ++i) {
        const auto require = request.getHeader<NvSipRequireHeader>(i);
        if (!require) return unsupported;
        for (const auto& tag : require->getTags())
            if (!isSupportedTag(tag)) unsupported.push_back(tag);
    }
}

void NvSipCapabilities::sAddAllowAndSupported(NvSipMessage& message, bool with100rel) {
    if (!hasHeaderNamed(message, kAllowName)) message.addHeader(new NvSipGenericHeader(kAllowName, sAllow));
    NvHandle<NvSipSupportedHeader> supported = message.getHeader<NvSipSupportedHeader>();
    if (!supported) {
        supported = new NvSipSupportedHeader();
        message.addHeader(NvHandle<NvSipHeader>(supported));
    }
    for (const char* tag : {"100rel", "replaces", "timer"})
        if ((with100rel || std::string_view(tag) != "100rel") && isSupportedTag(tag) && !supported->contains(tag))
            supported->addTag(tag);
}

void NvSipCapabilities::sAddAll(NvSipMessage& answer) {
    sAddAllowAndSupported(answer);
    answer.addHeader(new NvSipGenericHeader("Accept", sAccept));
}

bool NvSipCapabilities::sAllows(std::string_view method) {
    const std::string_view allow(sAllow);
    for (size_t start = 0; start < allow.size();) {
        size_t end = allow.find(", ", start);
        if (end == std::string_view::npos) end = allow.size();
        if (allow.substr(start, end - start) == method) return true;
        start = end + 2;
    }
    return false;
}

NvHandle<NvSipResponse> NvSipCapabilities::sAnswer(NvSipServerTransaction& transaction, int refusal) {
    const NvHandle<NvSipRequest> request = transaction.getInitialRequest();
    const bool options = request && request->getMethod() == NvSipOptionsMessage::sMethodName;
    NvHandle<NvSipResponse> answer = transaction.buildResponse(options ? 200 : refusal);
    if (options)
        sAddAll(*answer);
    else
        sAddAllowAndSupported(*answer);
    return answer;
}

NvHandle<NvSipResponse> NvSipCapabilities::sAnswerUnhandled(NvSipServerTransaction& transaction) {
    const NvHandle<NvSipRequest> request = transaction.getInitialRequest();
    return sAnswer(transaction, request && sAllows(request->getMethod().view()) ? 500 : 501);
}

void NvSipCapabilities::sAddUnsupported(NvSipMessage& refusal, const std::vector<std::string>& tags) {
    std::string list;
    for (const auto& tag : tags) list += (list.empty() ? "" : ", ") + tag;
    refusal.addHeader(new NvSipGenericHeader("Unsupported", list));
}
