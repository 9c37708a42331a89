#include "mlapi/NvSipCall.h"

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "mlapi/NvSipMlException.h"
#include "stack/sip/NvSipIdentifiers.h"
#include "stack/sip/NvURI.h"

#include <ace/Object_Manager.h>

#include <string>

namespace {

// The process-wide local Contact; every one ever set is deleted at exit.
NvSipNameAddress* s_ContactNameAddress = nullptr;

void releaseContactAtExit(void* contact, void*) {
    static_cast<NvSipNameAddress*>(contact)->Release();
}

}  // namespace

void NvSipCall::setLocalHostPort(const char* host, unsigned int port, NvSocketImpl::Transport transport,
                                 const char* user) {
    std::string uri = "sip:";
    uri.reserve(80);
    if (user) uri.append(user).append("@");
    uri.append(host ? host : "");
    if (port != 5060) uri.append(":").append(std::to_string(port));
    NvHandle<NvSipURL> url = new NvSipURL(uri);
    url->setParameter("transport", transport == NvSocketImpl::TCP ? "tcp" : "udp");

    auto* contact = new NvSipNameAddress("", url);
    contact->AddRef();
    ACE_Object_Manager::at_exit(contact, &releaseContactAtExit, nullptr, "NvSipCall contact");
    s_ContactNameAddress = contact;
}

NvSipCall::NvSipCall(NvHandle<NvSipNameAddress> localParticipant)
    : m_hLocalContact(sLocalContactCopy()),
      m_hLocalParticipant(std::move(localParticipant)),
      m_LocalTag(NvSipTag::reGenerate("nv")),
      m_pMutex(NvNewCeilingMutex()),
      m_pDialogTable(sDefaultDialogTable()) {
    if (m_hLocalParticipant.isNil()) {
        delete m_pMutex;
        NvSipMlException::sThrow("Local participant is not specified", nullptr, nullptr);
    }
}

NvHandle<NvSipNameAddress> NvSipCall::sLocalContactCopy() {
    return s_ContactNameAddress ? static_cast<NvSipNameAddress*>(s_ContactNameAddress->clone()) : nullptr;
}

std::shared_ptr<NvSipDialogTable> NvSipCall::sDefaultDialogTable() {
    NvSipCallManager* manager = NvSipCallManager::smp_TheSingleton;
    return manager ? manager->getDialogTable() : nullptr;
}

NvSipCall::~NvSipCall() {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << "NvSipCall::~NvSipCall()\n";
    delete m_pMutex;
}

NvString NvSipCall::getCallID() const {
    std::lock_guard<std::mutex> lock(m_IdentityMutex);
    return m_CallID;
}

NvHandle<NvSipNameAddress> NvSipCall::getLocalParticipant() const {
    std::lock_guard<std::mutex> lock(m_IdentityMutex);
    return m_hLocalParticipant;
}

void NvSipCall::setCallID(const NvString& callId) {
    std::lock_guard<std::mutex> lock(m_IdentityMutex);
    m_CallID = callId;
}

void NvSipCall::onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                                 NvHandle<NvSipServerTransaction> transaction) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4)
        debug << "NvSipCall::onReplacesInvite() call ID for previous dialog: " << replaced->getCallID() << "\n";
    m_hReplacedDialog = replaced;
    m_ReplacesCallID = invite->getCallID();
    m_hReplacesDialog = Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", this, invite, transaction);
    m_hReplacesParticipant = invite->getToHeader()->getNameAddress();
    m_hReplacesDialog->updateRemoteTargetURI(invite);
    if (!m_LocalTag.isEmpty()) invite->getToHeader()->setTag(m_LocalTag.c_str());
}

void NvSipCall::acceptReplaces() {
    {
        std::lock_guard<std::mutex> lock(m_IdentityMutex);
        m_hLocalParticipant = m_hReplacesParticipant;
        m_CallID = m_ReplacesCallID;
    }
    clearReplaces();
}

void NvSipCall::rejectReplaces() {
    NvHandle<NvSipDialog> made;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        made = std::move(m_hReplacesDialog);
        clearReplaces();
    }
    if (!made.isNil()) made->sendResponse(603, nullptr, nullptr, 0);  // dropped once it was answered
}

void NvSipCall::forgetReplaces(const NvHandle<NvSipDialog>& made) {
    NvHandle<NvSipDialog> forgotten;  // released after the lock
    std::lock_guard<NvMutex> lock(*m_pMutex);
    if (made.isNil() || made.get() != m_hReplacesDialog.get()) return;
    forgotten = std::move(m_hReplacesDialog);
    clearReplaces();
}

void NvSipCall::clearReplaces() {
    m_hReplacedDialog = nullptr;
    m_hReplacesDialog = nullptr;
    m_ReplacesCallID = NvString();
    m_hReplacesParticipant = nullptr;
}

// ---------------------------------------------------------------- in-dialog operations

NvHandle<NvSipContactHeader> NvSipCall::contactHeader(const NvHandle<NvSipContactHeader>& contact) const {
    if (!contact.isNil() || m_hLocalContact.isNil()) return contact;
    return new NvSipContactHeader(NvHandle<NvSipNameAddress>(static_cast<NvSipNameAddress*>(m_hLocalContact->clone())));
}

void NvSipCall::reinvite(const void* body, const char* contentType, unsigned int bodyLength,
                         NvHandle<NvSipContactHeader> contact) {
    const NvHandle<NvSipContactHeader> header = contactHeader(contact);
    if (header.isNil()) NvSipMlException::sThrow("No Contact header provided for re-INVITE request", nullptr, nullptr);
    applyToDialogs("reinvite", true, true, [&](const NvHandle<NvSipDialog>& dialog) {
        // Each dialog its own copy: the request is built and sent per dialog.
        const NvHandle<NvSipContactHeader> own(static_cast<NvSipContactHeader*>(header->clone()));
        dialog->reinvite(NvHandle<NvSipInviteMessage>(
            dialog->createRequest(NvSipInviteMessage::sMethodName, contentType, body, bodyLength, own)));
    });
}

void NvSipCall::ackReinvite(NvHandle<NvSipAckMessage> ack) {
    applyToDialogs("ackReinvite", false, false,
                   [&ack](const NvHandle<NvSipDialog>& dialog) { dialog->ackReinvite(ack); });
}

void NvSipCall::respondToReinvite(NvHandle<NvSipResponse> response) {
    applyToDialogs("respondToReinvite", false, true,
                   [&response](const NvHandle<NvSipDialog>& dialog) { dialog->respondToReinvite(response); });
}

void NvSipCall::respondToReinvite(unsigned int statusCode, const void* body, const char* contentType,
                                  unsigned int bodyLength) {
    applyToDialogs("respondToReinvite", false, true, [&](const NvHandle<NvSipDialog>& dialog) {
        dialog->respondToReinvite(statusCode, body, contentType, bodyLength);
    });
}

void NvSipCall::info(NvHandle<NvSipInfoMessage> info) {
    applyToDialogs("info", true, true, [&info](const NvHandle<NvSipDialog>& dialog) { dialog->info(info); });
}

void NvSipCall::notify(NvHandle<NvSipNotifyMessage> notify) {
    applyToDialogs("notify", true, true, [&notify](const NvHandle<NvSipDialog>& dialog) { dialog->notify(notify); });
}

void NvSipCall::refer(NvHandle<NvSipReferMessage> refer) {
    applyToDialogs("refer", true, true, [&refer](const NvHandle<NvSipDialog>& dialog) { dialog->refer(refer); });
}

// ---------------------------------------------------------------- what one kind of call hears

namespace {

// Runs `event` of the kind of call `call` is, if it is of that kind.
template <class Kind, class... Parameters, class... Arguments>
void passTo(NvSipCall* call, void (Kind::*event)(Parameters...), Arguments&&... arguments) {
    if (Kind* kind = dynamic_cast<Kind*>(call)) (kind->*event)(std::forward<Arguments>(arguments)...);
}

}  // namespace

bool NvSipCall::isOutgoing() const { return dynamic_cast<const NvSipOutgoingCall*>(this) != nullptr; }

void NvSipCall::applyToDialogs(const char* name, bool announced, bool errorsWritten,
                               const DialogOperation& operation) {
    passTo(this, &NvSipOutgoingCall::applyToDialogs, name, announced, errorsWritten, operation);
    passTo(this, &NvSipIncomingCall::applyToDialogs, name, announced, errorsWritten, operation);
}

void NvSipCall::onReliableProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onReliableProvisionalResponse, dialog, response);
}
void NvSipCall::onProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onProvisionalResponse, dialog, response);
}
void NvSipCall::onSuccessfulResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onSuccessfulResponse, dialog, response);
}
void NvSipCall::onRedirectResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onRedirectResponse, dialog, response);
}
void NvSipCall::onFailureResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onFailureResponse, dialog, response);
}
void NvSipCall::onMultipleFinalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onMultipleFinalResponse, dialog, response);
}
void NvSipCall::onPrackResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onPrackResponse, dialog, response);
}
void NvSipCall::onPrackRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipPrackMessage> prack) {
    passTo(this, &NvSipIncomingCall::onPrackRequest, dialog, prack);
}
void NvSipCall::onAckRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack, bool confirmed) {
    passTo(this, &NvSipIncomingCall::onAckRequest, dialog, ack, confirmed);
}
void NvSipCall::onAckRequest2(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) {
    passTo(this, &NvSipIncomingCall::onAckRequest2, dialog, ack);
}
void NvSipCall::onCancelRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) {
    passTo(this, &NvSipIncomingCall::onCancelRequest, dialog, cancel);
}

// ---------------------------------------------------------------- UPDATE

void NvSipCall::update(const void* body, const char* contentType, unsigned int bodyLength) {
    applyToDialogs("update", true, false, [&](const NvHandle<NvSipDialog>& dialog) {
        dialog->update(NvHandle<NvSipUpdateMessage>(
            dialog->createRequest(NvSipUpdateMessage::sMethodName, contentType, body, bodyLength, nullptr)));
    });
}

void NvSipCall::respondToUpdate(NvHandle<NvSipResponse> response) {
    applyToDialogs("respondToUpdate", false, true,
                   [&response](const NvHandle<NvSipDialog>& dialog) { dialog->respondToUpdate(response); });
}

void NvSipCall::respondToUpdate(unsigned int statusCode, const void* body, const char* contentType,
                                unsigned int bodyLength) {
    applyToDialogs("respondToUpdate", false, true, [&](const NvHandle<NvSipDialog>& dialog) {
        dialog->respondToUpdate(statusCode, body, contentType, bodyLength);
    });
}

void NvSipCall::onUpdateRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipUpdateMessage> update) {
    passTo(this, &NvSipOutgoingCall::onUpdateRequest, dialog, update);
    passTo(this, &NvSipIncomingCall::onUpdateRequest, dialog, update);
}
void NvSipCall::onUpdateResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) {
    passTo(this, &NvSipOutgoingCall::onUpdateResponse, dialog, response);
    passTo(this, &NvSipIncomingCall::onUpdateResponse, dialog, response);
}
