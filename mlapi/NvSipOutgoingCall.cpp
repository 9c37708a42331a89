#include "mlapi/NvSipOutgoingCall.h"

#include "mlapi/NvSipDialogTable.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipMlException.h"
#include "stack/log/Tellar.h"
#include "stack/sip/NvSipIdentifiers.h"

#include <mutex>
#include <string>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipOutgoingCall")

namespace {

void debugLine(const char* line) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << line << "\n";
}

[[noreturn]] void raise(const char* text) {
    NvSipMlException::sThrow(text, nullptr, nullptr);
}

// The local party of a new call, once the callback object is known to exist
// (the constructors' first check, made before the call base is built).
NvHandle<NvSipNameAddress> localParty(NvSipOutgoingCallinterface* callInterface, NvHandle<NvSipNameAddress> party) {
    if (!callInterface) raise("NIL handle to Outgoing Call Interface");
    return party;
}

NvHandle<NvSipNameAddress> fromParty(NvSipOutgoingCallinterface* callInterface,
                                     const NvHandle<NvSipInviteMessage>& invite) {
    if (!callInterface) raise("NIL handle to Outgoing Call Interface");
    if (invite.isNil()) raise("INVITE message is not provided");
    NvHandle<NvSipFromHeader> from = invite->getFromHeader();
    return from.isNil() ? nullptr : from->getNameAddress();
}

template <class T>
NvHandle<T> copyOf(const NvHandle<T>& object) {
    return NvHandle<T>(static_cast<T*>(object->clone()));
}

// A copy of `address` without its header parameters (tag and the like).
NvHandle<NvSipNameAddress> bare(const NvHandle<NvSipNameAddress>& address) {
    NvHandle<NvSipNameAddress> copy = copyOf(address);
    copy->parameters().clear();
    return copy;
}

}  // namespace

// ---------------------------------------------------------------- construction

// The dialog's constructor for our INVITE, typed for this call: the dialog's
// own files know calls only as NvSipCall.
NvSipDialog::NvSipDialog(NvSipOutgoingCall* call, NvHandle<NvSipInviteMessage> invite)
    : NvSipDialog(OurInvite(), call, std::move(invite)) {}

NvSipOutgoingCall::NvSipOutgoingCall(NvHandle<NvSipURL> target, NvHandle<NvSipNameAddress> remoteParticipant,
                                     NvHandle<NvSipNameAddress> localParticipant, NvHandle<NvSipNameAddress> contact,
                                     const char* contentType, const void* body, unsigned int bodyLength,
                                     NvSipOutgoingCallinterface* callInterface)
    : NvSipCall(localParty(callInterface, std::move(localParticipant))), m_hInterface(callInterface) {
    debugLine("NvSipOutgoingCall::NvSipOutgoingCall(1)");
    if (remoteParticipant.isNil()) raise("Remote participant is not specified");
    NvHandle<NvSipContactHeader> contactHeader = contactFor(contact);
    if (contactHeader.isNil()) raise("No Contact header provided for INVITE request in Outgoing Call constructor");
    setCallID(NvSipCallid::reGenerate("localhost"));
    NvHandle<NvSipInviteMessage> invite =
        buildInvite(target.isNil() ? remoteParticipant->getURI() : NvHandle<NvURI>(target), remoteParticipant,
                    contactHeader, contentType, body, bodyLength);
    m_TriedTargets.push_back(remoteParticipant);
    startDialog(invite, nullptr);
}

NvSipOutgoingCall::NvSipOutgoingCall(NvHandle<NvSipInviteMessage> invite, NvSipOutgoingCallinterface* callInterface,
                                     Tellar::Logger* callLogger)
    : NvSipCall(fromParty(callInterface, invite)), m_hInterface(callInterface) {
    debugLine("NvSipOutgoingCall::NvSipOutgoingCall(2)");
    if (invite->getToHeader().isNil()) raise("Remote participant is not specified");
    NvHandle<NvSipContactHeader> contact = invite->getHeader<NvSipContactHeader>();
    if (contact.isNil()) {
        contact = contactFor(nullptr);
        if (contact.isNil()) raise("No Contact header provided for INVITE request in Outgoing Call constructor");
        invite->addHeader(contact, false);
    } else if (m_hLocalContact.isNil()) {
        m_hLocalContact = contact->getNameAddress();
    }
    setCallID(invite->getCallID());
    // The call's own tag names it in every key and request: it replaces one
    // the application put in the From header.
    invite->getFromHeader()->setTag(m_LocalTag.str());
    m_TriedTargets.push_back(new NvSipNameAddress("", copyOf(invite->getURI())));
    startDialog(invite, callLogger);
}

NvSipOutgoingCall::~NvSipOutgoingCall() {
    debugLine(" deleting NvSipOutgoingCall");
}

NvHandle<NvSipContactHeader> NvSipOutgoingCall::contactFor(const NvHandle<NvSipNameAddress>& contact) {
    if (!contact.isNil() && m_hLocalContact.isNil()) m_hLocalContact = contact;
    const NvHandle<NvSipNameAddress>& address = contact.isNil() ? m_hLocalContact : contact;
    if (address.isNil()) return nullptr;
    return new NvSipContactHeader(copyOf(address));
}

NvHandle<NvSipInviteMessage> NvSipOutgoingCall::buildInvite(NvHandle<NvURI> target, NvHandle<NvSipNameAddress> to,
                                                            const NvHandle<NvSipContactHeader>& contact,
                                                            const char* contentType, const void* body,
                                                            unsigned int bodyLength) {
    NvHandle<NvSipInviteMessage> invite = new NvSipInviteMessage;
    invite->setURI(copyOf(target));
    NvHandle<NvSipFromHeader> from = new NvSipFromHeader(bare(getLocalParticipant()));
    if (!m_LocalTag.isEmpty()) from->setTag(m_LocalTag.str());
    invite->addHeader(from);
    invite->addHeader(new NvSipToHeader(bare(to)));
    invite->addHeader(new NvSipCallIDHeader(getCallID().str()));
    invite->addHeader(new NvSipCSeqHeader(0, NvSipInviteMessage::sMethodName));
    invite->addHeader(contact);
    invite->setBody(body, contentType, bodyLength);
    return invite;
}

NvHandle<NvSipDialog> NvSipOutgoingCall::startDialog(const NvHandle<NvSipInviteMessage>& invite,
                                                     Tellar::Logger* callLogger) {
    // The dialog makes and drops handles on this call while it is built: hold
    // one so that they cannot free a call still under construction.
    AddRef();
    try {
        NvHandle<NvSipDialog> dialog = Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", this, invite);
        dialog->setCallLogger(callLogger);
        callLogger = nullptr;
        dialog->sendInitialRequest();
        Release(false);
        return dialog;
    } catch (...) {
        delete callLogger;
        Release(false);
        throw;
    }
}

// ---------------------------------------------------------------- targets

NvHandle<NvSipDialog> NvSipOutgoingCall::tryCalling(NvHandle<NvSipNameAddress> target, const char* contentType,
                                                    const void* body, unsigned int bodyLength,
                                                    NvHandle<NvSipContactHeader> contact) {
    debugLine("NvSipOutgoingCall::tryCalling()");
    if (target.isNil() || target->getURL().isNil()) raise("Address is Invalid !!!");
    if (tried(target)) {
        debugLine("already tried this name-addr");
        return nullptr;
    }
    debugLine("haven't tried this name-addr yet");
    if (contact.isNil()) contact = contactFor(nullptr);
    NvHandle<NvSipDialog> dialog =
        startDialog(buildInvite(target->getURI(), target, contact, contentType, body, bodyLength), nullptr);
    std::lock_guard<NvMutex> lock(*m_pMutex);
    m_TriedTargets.push_back(target);
    return dialog;
}

bool NvSipOutgoingCall::tried(NvHandle<NvSipNameAddress> target) const {
    if (target.isNil() || target->getURI().isNil()) return false;
    const NvString url = target->getURI()->toString();
    std::lock_guard<NvMutex> lock(*m_pMutex);
    for (const NvHandle<NvSipNameAddress>& done : m_TriedTargets)
        if (done->getURI()->toString() == url) return true;
    return false;
}

// ---------------------------------------------------------------- every dialog

template <class Operation>
void NvSipOutgoingCall::forEachDialog(const char* name, Operation operation, const NvSipDialog* except) {
    // Walked on a copy: a dialog operation may end in an event of this call.
    for (const NvHandle<NvSipDialog>& dialog : getDialogs()) {
        if (dialog.get() == except) continue;
        try {
            operation(dialog);
        } catch (NvHandle<NvException>& error) {
            if (name)
                NvErrorStream::sGetDefault() << "catch exception in NvSipOutgoingCall::" << name
                                             << "(): " << error->getMessage() << "\n";
        }
    }
}

void NvSipOutgoingCall::hangup() {
    debugLine("NvSipOutgoingCall::hangup()");
    forEachDialog("hangup", [](const NvHandle<NvSipDialog>& dialog) { dialog->hangup(nullptr); });
}

void NvSipOutgoingCall::ack(NvHandle<NvSipAckMessage> ack) {
    debugLine("NvSipOutgoingCall::ack()");
    forEachDialog("ack", [&ack](const NvHandle<NvSipDialog>& dialog) { dialog->ack(ack); });
}

void NvSipOutgoingCall::ack(const void* body, const char* contentType, unsigned int bodyLength) {
    debugLine("NvSipOutgoingCall::ack()");
    forEachDialog("ack", [&](const NvHandle<NvSipDialog>& dialog) { dialog->ack(body, contentType, bodyLength); });
}

void NvSipOutgoingCall::prack(NvHandle<NvSipPrackMessage> prack) {
    debugLine("NvSipOutgoingCall::prack()");
    forEachDialog("prack", [&prack](const NvHandle<NvSipDialog>& dialog) { dialog->prack(prack); });
}

void NvSipOutgoingCall::prack(const void* body, const char* contentType, unsigned int bodyLength) {
    debugLine("NvSipOutgoingCall::prack()");
    forEachDialog("prack", [&](const NvHandle<NvSipDialog>& dialog) {
        if (!(dialog->getState() & (NvSipDialog::NV_PROCEEDED | NvSipDialog::NV_REINVITE_PROCEEDED))) return;
        dialog->prack(NvHandle<NvSipPrackMessage>(
            dialog->createRequest(NvSipPrackMessage::sMethodName, contentType, body, bodyLength, nullptr)));
    });
}

void NvSipOutgoingCall::applyToDialogs(const char* name, bool announced, bool errorsWritten,
                                       const DialogOperation& operation) {
    if (announced) debugLine(("NvSipOutgoingCall::" + std::string(name) + "()").c_str());
    forEachDialog(errorsWritten ? name : nullptr, operation);
}

bool NvSipOutgoingCall::cancelSessionTimer() {
    forEachDialog("cancelSessionTimer", [](const NvHandle<NvSipDialog>& dialog) { dialog->cancelSessionTimer(); });
    return true;
}

// ---------------------------------------------------------------- dialog list

void NvSipOutgoingCall::addDialog(NvHandle<NvSipDialog> dialog) {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    m_Dialogs.push_back(dialog);
}

bool NvSipOutgoingCall::takeOut(const NvHandle<NvSipDialog>& dialog, std::list<NvHandle<NvSipDialog>>& removed) {
    for (auto it = m_Dialogs.begin(); it != m_Dialogs.end();) {
        auto next = std::next(it);
        if (it->get() == dialog.get()) removed.splice(removed.end(), m_Dialogs, it);
        it = next;
    }
    return m_Dialogs.empty();
}

void NvSipOutgoingCall::removeDialog(NvHandle<NvSipDialog> dialog) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipOutgoingCall::removeDialog");
    std::list<NvHandle<NvSipDialog>> removed;  // released unlocked: it may be a dialog's last handle
    bool none;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        none = takeOut(dialog, removed);
    }
    const NvString callId = getCallID();
    if (!removed.empty())
        m_pDialogTable->removeDialog(NvSipDialog::sBuildKey(callId.c_str(), nullptr, dialog->getRemoteTag().c_str()));
    if (none) inviteEnded(callId);
}

void NvSipOutgoingCall::inviteEnded(const NvString& callId) {
    m_pDialogTable->removeDialog(NvSipDialog::sBuildKey(callId.c_str(), m_LocalTag.c_str(), nullptr));
    m_pDialogTable->inviteEnded(callId, m_LocalTag);
}

bool NvSipOutgoingCall::allDialogsTerminated() const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return m_Dialogs.empty();
}

std::vector<NvHandle<NvSipDialog>> NvSipOutgoingCall::getDialogs() const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return {m_Dialogs.begin(), m_Dialogs.end()};
}

void NvSipOutgoingCall::endDialog(const NvHandle<NvSipDialog>& dialog, const NvHandle<NvSipMessage>& message) {
    removeDialog(dialog);
    if (allDialogsTerminated()) m_hInterface->terminated(self(), message);
}

// ---------------------------------------------------------------- Replaces

void NvSipOutgoingCall::onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                                         NvHandle<NvSipServerTransaction> transaction) {
    debugLine("NvSipOutgoingCall::onReplacesInvite()");
    NvHandle<NvSipDialog> made;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        NvSipCall::onReplacesInvite(replaced, invite, transaction);
        made = m_hReplacesDialog;
    }
    m_hInterface->replacesDialog(self(), made, replaced, invite);
}

void NvSipOutgoingCall::acceptReplaces() {
    const NvString oldCallId = getCallID();
    std::list<NvHandle<NvSipDialog>> removed;  // released unlocked: it may be a dialog's last handle
    bool lastOfOldCall;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        if (m_hReplacesDialog.isNil()) return;
        m_Dialogs.push_back(m_hReplacesDialog);
        takeOut(m_hReplacedDialog, removed);
        lastOfOldCall = m_Dialogs.size() == 1;
        NvSipCall::acceptReplaces();
    }
    if (lastOfOldCall) inviteEnded(oldCallId);
}

// ---------------------------------------------------------------- INVITE events

void NvSipOutgoingCall::onProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onProvisionalResponse() ");
    m_hInterface->provisionalResponse(self(), dialog, response);
}

void NvSipOutgoingCall::onReliableProvisionalResponse(NvHandle<NvSipDialog> dialog,
                                                      NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onReliableProvisionalResponse() ");
    m_hInterface->reliableProvisionalResponse(self(), dialog, response);
}

void NvSipOutgoingCall::onSuccessfulResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    forEachDialog(
        "onSuccessfulResponse", [](const NvHandle<NvSipDialog>& other) { other->cancel(nullptr); }, dialog.get());
    m_hInterface->succeeded(self(), dialog, response);
}

void NvSipOutgoingCall::onRedirectResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    m_hInterface->redirect(self(), dialog, response);
    removeDialog(dialog);
    if (allDialogsTerminated()) {
        debugLine(" redirect(3XX) zero");
        m_hInterface->terminated(self(), response);
    } else {
        debugLine(" redirect(3XX) (non-zero)");
    }
}

void NvSipOutgoingCall::onFailureResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine(" final failure (non-zero)");
    const int status = response->getStatusCode();
    if (status == 487) {
        m_hInterface->dialogTerminated(self(), dialog, response);
    } else {
        m_hInterface->failedToConnect(self(), dialog, response);
        if (status > 599)
            forEachDialog("onFailureResponse", [](const NvHandle<NvSipDialog>& other) {
                if (other->getState() != NvSipDialog::NV_TERMINATED) other->cancel(nullptr);
            });
    }
    endDialog(dialog, response);
}

void NvSipOutgoingCall::onMultipleFinalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onMultipleFinalResponse()");
    m_hInterface->multipleResponse(self(), dialog, response);
    if (dialog->getState() != NvSipDialog::NV_PROCESSING) return;
    dialog->ack(response);
    dialog->hangup(nullptr);
}

void NvSipOutgoingCall::onPrackResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onPrackResponse()");
    m_hInterface->prackResponse(self(), dialog, response);
}

void NvSipOutgoingCall::onTimeOut(NvHandle<NvSipDialog> dialog) {
    debugLine("NvSipOutgoingCall::onTimeOut()");
    m_hInterface->failedToConnect(self(), dialog, nullptr);
    endDialog(dialog, nullptr);
}

void NvSipOutgoingCall::onInviteRequest(NvHandle<NvSipDialog>, NvHandle<NvSipInviteMessage>) {
    debugLine("NvSipOutgoingCall::onInviteRequest()");
    NvException::sThrow("Call Waiting ???");
}

// ---------------------------------------------------------------- in-dialog events

void NvSipOutgoingCall::onReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) {
    debugLine("NvSipOutgoingCall::onReinviteRequest()");
    m_hInterface->reinviteRequest(self(), dialog, invite);
}

void NvSipOutgoingCall::onReinviteResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onReinviteResponse()");
    m_hInterface->reinviteResponse(self(), dialog, response);
}

void NvSipOutgoingCall::onReinviteAck(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) {
    debugLine("NvSipOutgoingCall::onReinviteAck()");
    m_hInterface->reinviteAck(self(), dialog, ack);
}

void NvSipOutgoingCall::onCancelReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) {
    m_hInterface->reinviteCancel(self(), dialog, cancel);
}

void NvSipOutgoingCall::onReinviteTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) {
    debugLine("NvSipOutgoingCall::onReinviteTimeOut()");
    m_hInterface->reinviteTimeOut(self(), dialog, invite);
    endDialog(dialog, invite);
}

void NvSipOutgoingCall::onByeRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) {
    debugLine("NvSipOutgoingCall::onByeRequest()");
    m_hInterface->dialogTerminated(self(), dialog, bye);
    if (allDialogsTerminated()) m_hInterface->terminated(self(), bye);
}

void NvSipOutgoingCall::onByeResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onByeResponse()");
    m_hInterface->dialogTerminated(self(), dialog, response);
    endDialog(dialog, response);
}

void NvSipOutgoingCall::onByeTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) {
    debugLine("NvSipOutgoingCall::onByeTimeOut()");
    m_hInterface->dialogTerminated(self(), dialog, bye);
    endDialog(dialog, bye);
}

void NvSipOutgoingCall::onUnknownRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipServerTransaction> transaction,
                                         NvHandle<NvSipRequest> request) {
    debugLine("NvSipOutgoingCall::onUnknownRequest()");
    const NvString method = request->getMethod();
    if (method == NvSipReferMessage::sMethodName)
        m_hInterface->referRequest(self(), dialog, transaction, NvHandle<NvSipReferMessage>(request));
    else if (method == NvSipNotifyMessage::sMethodName)
        m_hInterface->notifyRequest(self(), dialog, transaction, NvHandle<NvSipNotifyMessage>(request));
    else
        m_hInterface->unknownRequest(self(), dialog, transaction, request);
}

void NvSipOutgoingCall::onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    const NvString method = response->getCSeqHeader()->getMethod();
    if (method == NvSipReferMessage::sMethodName)
        m_hInterface->referResponse(self(), dialog, response);
    else if (method == NvSipNotifyMessage::sMethodName)
        m_hInterface->notifyResponse(self(), dialog, response);
}

void NvSipOutgoingCall::onUnknownRequestTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipTransaction> transaction) {
    const NvHandle<NvSipMessage> request = transaction->getInitialRequest();
    m_hInterface->dialogTerminated(self(), dialog, request);
    endDialog(dialog, request);
}

void NvSipOutgoingCall::onSessionRefreshTime(NvHandle<NvSipDialog> dialog) {
    debugLine("NvSipOutgoingCall::onSessionRefreshTime()");
    m_hInterface->onSessionRefreshTime(self(), dialog);
}

void NvSipOutgoingCall::onSessionTimeOut(NvHandle<NvSipDialog> dialog) {
    debugLine("NvSipOutgoingCall::onSessionTimeOut()");
    m_hInterface->onSessionTimeOut(self(), dialog);
}

// ---------------------------------------------------------------- UPDATE

void NvSipOutgoingCall::onUpdateRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipUpdateMessage> update) {
    debugLine("NvSipOutgoingCall::onUpdateRequest()");
    m_hInterface->updateRequest(self(), dialog, update);
}

void NvSipOutgoingCall::onUpdateResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    debugLine("NvSipOutgoingCall::onUpdateResponse()");
    m_hInterface->updateResponse(self(), dialog, response);
}
