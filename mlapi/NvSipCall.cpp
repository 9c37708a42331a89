#include "mlapi/NvSipCall.h"

#include "mlapi/NvSipDialog.h"
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
      m_pMutex(NvNewCeilingMutex()) {
    if (m_hLocalParticipant.isNil()) {
        delete m_pMutex;
        NvSipMlException::sThrow("Local participant is not specified", nullptr, nullptr);
    }
}

NvHandle<NvSipNameAddress> NvSipCall::sLocalContactCopy() {
    return s_ContactNameAddress ? static_cast<NvSipNameAddress*>(s_ContactNameAddress->clone()) : nullptr;
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
    m_hReplacesParticipant = nullptr;
    m_hReplacesDialog = nullptr;
    m_hReplacedDialog = nullptr;
    m_ReplacesCallID = NvString();
}

void NvSipCall::rejectReplaces() {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    m_hReplacedDialog = nullptr;
    m_hReplacesDialog = nullptr;
    m_ReplacesCallID = NvString();
    m_hReplacesParticipant = nullptr;
}
