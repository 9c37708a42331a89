#include "mlapi/NvSipCallStrayInterface.h"

#include "mlapi/NvSipCapabilities.h"

#include "stack/log/Tellar.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <sstream>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipCallStrayInterface")

namespace {

void respondStatelessly(const NvHandle<NvSipRequest>& request, int statusCode) {
    if (!request) return;
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(statusCode, request)));
}

void respondOn(const NvHandle<NvSipServerTransaction>& transaction, unsigned statusCode) {
    if (transaction) transaction->sendResponse(statusCode);
}

// The stack's own answers to stray messages, for the rules both layers share.
NvStrayMessageInterface& stackDefaults() {
    static const NvHandle<NvStrayMessageInterface> defaults(new NvStrayMessageInterface);
    return *defaults;
}

}  // namespace

NvSipCallStrayInterface::~NvSipCallStrayInterface() = default;

void NvSipCallStrayInterface::strayResponse(NvHandle<NvSipResponse>) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayResponse");
}

void NvSipCallStrayInterface::strayAck(NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayAck");
    const Tellar::Logger& stray = Tellar::strayMsgLogger();
    if (!ack || !stray.isEnabledFor(Tellar::INFO)) return;
    std::ostringstream text;
    text << "IGNORING RECEIVED SIP ACK (STRAY):\n";
    ack->formatMessage(text, true, nullptr, nullptr, Tellar::INFO);
    stray.emit(Tellar::INFO, text.str(), __FILE__, __LINE__);
}

void NvSipCallStrayInterface::strayCancel(NvHandle<NvSipCancelMessage> cancel) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayCancel");
    respondStatelessly(cancel, 481);
}

void NvSipCallStrayInterface::strayPrack(NvHandle<NvSipPrackMessage> prack) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayPrack");
    respondStatelessly(prack, 481);
}

void NvSipCallStrayInterface::strayReplacesInvite(NvHandle<NvSipInviteMessage>,
                                                  NvHandle<NvSipServerTransaction> transaction) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayReplacesInvite");
    respondOn(transaction, 481);
}

void NvSipCallStrayInterface::strayBye(NvHandle<NvSipByeMessage>, NvHandle<NvSipServerTransaction> transaction) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayBye");
    respondOn(transaction, 481);
}

void NvSipCallStrayInterface::strayUnknownRequest(NvHandle<NvSipRequest> request,
                                                  NvHandle<NvSipServerTransaction> transaction) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::strayUnknownRequest");
    if (!transaction) return;
    const auto to = request ? request->getToHeader() : NvHandle<NvSipToHeader>();
    if (!to || !to->getTag().isEmpty()) return respondOn(transaction, 481);  // names a dialog we do not have
    transaction->sendResponse(NvSipCapabilities::sAnswer(*transaction, 405));
}

void NvSipCallStrayInterface::invalidMessage(NvHandle<NvSipMessage>) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::invalidMessage");
}

void NvSipCallStrayInterface::malFormedMessage(NvHandle<NvSipMessage> message) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallStrayInterface::malFormedMessage");
    stackDefaults().malFormedMessage(message);
}
