#include "mlapi/NvSipIncomingCall.h"

#include "mlapi/NvSipDialogTable.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipMlException.h"
#include "stack/log/Tellar.h"

#include <mutex>
#include <string>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipIncomingCall")

namespace {

void debugLine(const char* line) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << line << "\n";
}

NvHandle<NvSipNameAddress> toParticipant(const NvHandle<NvSipInviteMessage>& invite) {
    if (invite.isNil() || invite->getToHeader().isNil()) return nullptr;
    return invite->getToHeader()->getNameAddress();
}

}  // namespace

// The dialog's constructor for the peer's INVITE, typed for this call: the
// dialog's own files know calls only as NvSipCall.
NvSipDialog::NvSipDialog(NvSipIncomingCall* call, NvHandle<NvSipInviteMessage> invite)
    : NvSipDialog(TheirInvite(), call, std::move(invite)) {}

NvSipIncomingCall::NvSipIncomingCall(NvHandle<NvSipInviteMessage> invite, NvSipIncomingCallinterface* callInterface)
    : NvSipCall(toParticipant(invite)) {
    debugLine("NvSipIncomingCall::NvSipIncomingCall()");
    if (!callInterface)
        NvSipMlException::sThrow("NIL handle to Incoming Call Interface", "NvSipIncomingCall", "NvSipIncomingCall()");
    m_hInterface = callInterface;
    setCallID(invite->getCallID());
    if (!m_LocalTag.isEmpty()) invite->getToHeader()->setTag(m_LocalTag.c_str());

    // Handles on this call are made while the dialog is built: hold one so
    // that they cannot free it half-constructed.
    AddRef();
    try {
        NvHandle<NvSipDialog> dialog =
            Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", this, invite);
        std::lock_guard<NvMutex> lock(*m_pMutex);
        m_hDialog = dialog;
    } catch (...) {
        Release(false);
        throw;
    }
    Release(false);
}

NvSipIncomingCall::~NvSipIncomingCall() {
    debugLine(" deleting NvSipIncomingCall");
}

NvHandle<NvSipDialog> NvSipIncomingCall::getDialog() const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return m_hDialog;
}

NvHandle<NvSipDialog> NvSipIncomingCall::dialogFor(const char* operation) const {
    debugLine(operation);
    std::lock_guard<NvMutex> lock(*m_pMutex);
    if (m_hDialog.isNil()) NvSipMlException::sThrow("Dialog does not exist !!!", "NvSipIncomingCall", operation);
    return m_hDialog;
}

void NvSipIncomingCall::hangup(NvHandle<NvSipByeMessage> bye) {
    dialogFor("NvSipIncomingCall::hangup()")->hangup(bye);
}

void NvSipIncomingCall::hangup() {
    hangup(nullptr);
}

bool NvSipIncomingCall::isCurrent(const NvHandle<NvSipDialog>& dialog, const char* event) const {
    if (event) debugLine(event);
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return !dialog.isNil() && dialog.get() == m_hDialog.get();
}

void NvSipIncomingCall::onInviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) {
    if (isCurrent(dialog, "NvSipIncomingCall::onInviteRequest()")) m_hInterface->inviteRequest(self(), invite);
}

void NvSipIncomingCall::onPrackRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipPrackMessage> prack) {
    if (isCurrent(dialog, "NvSipIncomingCall::onPrackRequest()")) m_hInterface->prack(self(), prack);
}

void NvSipIncomingCall::onAckRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack, bool) {
    if (isCurrent(dialog, "NvSipIncomingCall::onAckRequest()")) m_hInterface->callConfirmed(self(), ack);
}

void NvSipIncomingCall::onAckRequest2(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) {
    endedBy(dialog, "NvSipIncomingCall::onAckRequest2()", ack);
}

void NvSipIncomingCall::onCancelRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) {
    if (isCurrent(dialog, "NvSipIncomingCall::onCancelRequest()")) {
        m_hInterface->terminated(self(), cancel);
        return;
    }
    TELLAR_DEBUG(Tellar::fileScopeLogger(), "hDialog1(0x" << std::hex << reinterpret_cast<uintptr_t>(dialog.get())
                                                          << ") != m_hDialog(0x"
                                                          << reinterpret_cast<uintptr_t>(getDialog().get()) << ")");
    forgetReplaces(dialog);  // the peer withdrew its INVITE with Replaces
}

void NvSipIncomingCall::onByeRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) {
    if (isCurrent(dialog, "NvSipIncomingCall::onByeRequest()"))
        m_hInterface->terminated(self(), bye);
    else
        dialog->respondToBye(nullptr);  // a dialog the call no longer has (replaced): it just ends
}

void NvSipIncomingCall::onByeResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    endedBy(dialog, "NvSipIncomingCall::onByeResponse()", response);
}

void NvSipIncomingCall::onByeTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage>) {
    endedBy(dialog, "NvSipIncomingCall::onByeTimeOut()", nullptr);
}

void NvSipIncomingCall::onTimeOut(NvHandle<NvSipDialog> dialog) {
    endedBy(dialog, "NvSipIncomingCall::onTimeOut()", nullptr);
}

void NvSipIncomingCall::onUnknownRequestTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipTransaction>) {
    endedBy(dialog, "NvSipIncomingCall::onUnknownRequestTimeOut()", nullptr);
}

void NvSipIncomingCall::endedBy(const NvHandle<NvSipDialog>& dialog, const char* event,
                                const NvHandle<NvSipMessage>& message) {
    if (isCurrent(dialog, event)) m_hInterface->terminated(self(), message);
    removeDialog(dialog);
}

void NvSipIncomingCall::onReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) {
    if (isCurrent(dialog, "NvSipIncomingCall::onReinviteRequest()")) m_hInterface->reinviteRequest(self(), invite);
}

void NvSipIncomingCall::onReinviteResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    if (isCurrent(dialog, "NvSipIncomingCall::onReinviteResponse()"))
        m_hInterface->reinviteResponse(self(), response);
}

void NvSipIncomingCall::onReinviteAck(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) {
    if (isCurrent(dialog, "NvSipIncomingCall::onReinviteAck()")) m_hInterface->reinviteAck(self(), ack);
}

void NvSipIncomingCall::onReinviteTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) {
    if (isCurrent(dialog, "NvSipIncomingCall::onReinviteTimeOut()")) {
        m_hInterface->reinviteTimeOut(self(), invite);
        m_hInterface->terminated(self(), nullptr);
    }
    removeDialog(dialog);
}

void NvSipIncomingCall::onCancelReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) {
    if (isCurrent(dialog, nullptr)) m_hInterface->reinviteCancel(self(), cancel);
}

void NvSipIncomingCall::onUnknownRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipServerTransaction> transaction,
                                         NvHandle<NvSipRequest> request) {
    if (!isCurrent(dialog, "NvSipIncomingCall::onUnknownRequest()")) return;
    const NvString method = request->getMethod();
    if (method == NvSipReferMessage::sMethodName)
        m_hInterface->referRequest(self(), transaction, NvHandle<NvSipReferMessage>(request));
    else if (method == NvSipNotifyMessage::sMethodName)
        m_hInterface->notifyRequest(self(), transaction, NvHandle<NvSipNotifyMessage>(request));
    else
        m_hInterface->unknownRequest(self(), transaction, request);
}

void NvSipIncomingCall::onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    if (!isCurrent(dialog, "NvSipIncomingCall::onUnknownResponse()")) return;
    const NvString method = response->getCSeqHeader()->getMethod();
    if (method == NvSipReferMessage::sMethodName)
        m_hInterface->referResponse(self(), response);
    else if (method == NvSipNotifyMessage::sMethodName)
        m_hInterface->notifyResponse(self(), response);
}

void NvSipIncomingCall::onSessionRefreshTime(NvHandle<NvSipDialog> dialog) {
    if (isCurrent(dialog, "NvSipIncomingCall::onSessionRefreshTime()")) m_hInterface->onSessionRefreshTime(self());
}

void NvSipIncomingCall::onSessionTimeOut(NvHandle<NvSipDialog> dialog) {
    if (isCurrent(dialog, "NvSipIncomingCall::onSessionTimeOut()")) m_hInterface->onSessionTimeOut(self());
}

void NvSipIncomingCall::addDialog(NvHandle<NvSipDialog> dialog) {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    m_hDialog = dialog;
}

void NvSipIncomingCall::removeDialog(NvHandle<NvSipDialog> dialog) {
    NvHandle<NvSipDialog> removed;  // released after the lock
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        if (dialog.isNil() || dialog.get() == m_hDialog.get()) removed = std::move(m_hDialog);
        if (!removed.isNil() && removed.get() == m_hReplacedDialog.get()) m_hReplacedDialog = nullptr;
    }
    forgetReplaces(dialog);
    if (removed.isNil()) removed = dialog;
    if (!removed.isNil()) forgetFirstKey(removed);
}

void NvSipIncomingCall::forgetFirstKey(const NvHandle<NvSipDialog>& dialog) const {
    const NvString callId = dialog->getCallID(), remoteTag = dialog->getRemoteTag();
    m_pDialogTable->removeDialog(NvSipDialog::sBuildKey(callId.c_str(), nullptr, remoteTag.c_str()));
}

void NvSipIncomingCall::acceptReplaces() {
    NvHandle<NvSipDialog> replaced;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        if (m_hReplacesDialog.isNil()) return;
        replaced = m_hDialog;
        m_hDialog = m_hReplacesDialog;
        NvSipCall::acceptReplaces();
    }
    // The replaced dialog is no longer the call's: its first key, which the
    // call would remove when it ends, goes now.
    if (!replaced.isNil()) forgetFirstKey(replaced);
}

void NvSipIncomingCall::onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                                         NvHandle<NvSipServerTransaction> transaction) {
    if (!isCurrent(replaced, "NvSipIncomingCall::onReplacesInvite()")) {
        // A dialog this call had (replaced itself): RFC 3891 3, no such dialog.
        replaced->sendAndLogResponse(transaction, 481u, Tellar::INFO);
        return;
    }
    NvHandle<NvSipDialog> made;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        NvSipCall::onReplacesInvite(replaced, invite, transaction);
        made = m_hReplacesDialog;
    }
    m_hInterface->replacesDialog(self(), made, replaced, invite);
}

// ---------------------------------------------------------------- in-dialog operations

void NvSipIncomingCall::applyToDialogs(const char* name, bool, bool, const DialogOperation& operation) {
    operation(dialogFor(("NvSipIncomingCall::" + std::string(name) + "()").c_str()));
}

// ---------------------------------------------------------------- answering

void NvSipIncomingCall::answer(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipIncomingCall::answer (2)");
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "synchronize(m_pMutex)");
    dialogFor("NvSipIncomingCall::answer()")->sendResponse(response);
}

void NvSipIncomingCall::answer(unsigned int statusCode, const void* body, const char* contentType,
                               unsigned int bodyLength) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipIncomingCall::answer (1)");
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "synchronize(m_pMutex)");
    dialogFor("NvSipIncomingCall::answer()")->sendResponse(statusCode, body, contentType, bodyLength);
}

void NvSipIncomingCall::respondToPrack(unsigned int statusCode, const void* body, const char* contentType,
                                       unsigned int bodyLength) {
    dialogFor("NvSipIncomingCall::respondToPrack()")->respondToPrack(statusCode, body, contentType, bodyLength);
}

void NvSipIncomingCall::sendReliableProvisionalResponse(NvHandle<NvSipResponse> response) {
    dialogFor("NvSipIncomingCall::sendReliableProvisionalResponse()")->sendReliableProvisionalResponse(response);
}

void NvSipIncomingCall::sendReliableProvisionalResponse(unsigned int statusCode, const void* body,
                                                        const char* contentType, unsigned int bodyLength) {
    dialogFor("NvSipIncomingCall::sendReliableProvisionalResponse()")
        ->sendReliableProvisionalResponse(statusCode, body, contentType, bodyLength);
}

void NvSipIncomingCall::respondToBye(NvHandle<NvSipResponse> response) {
    dialogFor("NvSipIncomingCall::respondToBye()")->respondToBye(response);
}

void NvSipIncomingCall::cancel(NvHandle<NvSipCancelMessage> cancel) {
    dialogFor("NvSipIncomingCall::cancel()")->cancel(cancel);
}

// ---------------------------------------------------------------- UPDATE

void NvSipIncomingCall::onUpdateRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipUpdateMessage> update) {
    if (isCurrent(dialog, "NvSipIncomingCall::onUpdateRequest()")) m_hInterface->updateRequest(self(), update);
}

void NvSipIncomingCall::onUpdateResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    if (isCurrent(dialog, "NvSipIncomingCall::onUpdateResponse()")) m_hInterface->updateResponse(self(), response);
}
