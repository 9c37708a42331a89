// NvSipDialog: the INVITE that created an incoming dialog and its answers
// (RFC 3261 13.3, RFC 3262 reliable provisional responses, RFC 4028 in the
// 2xx), its PRACK, CANCEL, ACK and time-out, and an INVITE arriving later
// in the dialog.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCapabilities.h"
#include "mlapi/NvSipMlException.h"
#include "stack/log/Tellar.h"
#include "stack/transaction/NvSipTransactionManager.h"

#include <mutex>
#include <utility>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

// ---------------------------------------------------------------- helpers

NvHandle<NvSipServerTransaction> NvSipDialog::pendingInviteTransaction() const {
    if (!m_TheirReinvite.transaction().isNil()) return m_TheirReinvite.transaction();
    return NvHandle<NvSipServerTransaction>(m_hInitialTransaction);
}

void NvSipDialog::addLocalContact(const NvHandle<NvSipResponse>& response) const {
    NvHandle<NvSipNameAddress> contact = m_hCall->getLocalContact();
    if (contact.isNil() || !response->getHeader<NvSipContactHeader>().isNil()) return;
    response->addHeader(new NvSipContactHeader(NvHandle<NvSipNameAddress>(
        static_cast<NvSipNameAddress*>(contact->clone()))));
}

// ---------------------------------------------------------------- the INVITE

void NvSipDialog::onInviteRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipInviteMessage> invite) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onInviteRequest");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        NvHandle<NvSipResponse> tooSmall = NvSipSessionTimer::sTooSmall(invite);
        if (!tooSmall.isNil()) {
            changeState(NV_TERMINATING2);
            sendAndLogResponse(NvHandle<NvSipServerTransaction>(m_hInitialTransaction), tooSmall, Tellar::INFO);
            return;
        }
        if (m_State != NV_INITIAL) return;
        TELLAR_TRACE_SCOPE(getLogger(), "(NV_INITIAL == m_State)");
        changeState(NV_CALLED);
        updateRemoteTargetURI(invite);
        call = m_hCall;
    }
    call->onInviteRequest(this, invite);
}

NvHandle<NvSipServerTransaction> NvSipDialog::inviteRequest(NvHandle<NvSipInviteMessage> invite) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::inviteRequest");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (invite->getCSeqHeader()->getNumber() == m_RemoteCSeq && invite->getToHeader()->getTag().isEmpty()) {
        // The INVITE we answered, again (with a branch of its own, or the
        // stack would have absorbed it): our answer goes again. One with a
        // To tag is a re-INVITE, however it is numbered, and gets an answer.
        if (!m_Retransmitter.kept().isNil()) resendOutResponse();
        NvTransactionFactoryInterface::sMarkHandled(invite);
        return nullptr;
    }
    // Any other re-INVITE gets its transaction, and an answer: taken, or
    // refused when it crosses an INVITE still in progress, also the one that
    // made the dialog while its 2xx awaits the ACK (onReinviteRequest). Left
    // unanswered, it would wait for a retransmission that never comes over
    // a stream transport.
    return new NvSipServerTransaction(invite, Tellar::NoSizeMemAllocator::create<ReinviteServerInterface>(
                                                  "ReinviteServerInterface", NvHandle<NvSipDialog>(this)));
}

// ---------------------------------------------------------------- answers

void NvSipDialog::sendResponse(unsigned int statusCode, const void* body, const char* contentType,
                               unsigned int bodyLength) {
    NvHandle<NvSipRequest> invite;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_hInitialTransaction.isNil()) return;
        invite = m_hInitialTransaction->getInitialRequest();
    }
    sendResponse(new NvSipResponse(static_cast<int>(statusCode), invite, body, contentType, bodyLength));
}

void NvSipDialog::sendResponse(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::sendResponse");
    TELLAR_TRACE_SCOPE(getLogger(), "synchronize(m_pMutex)");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    TELLAR_TRACE(getLogger(), "Mutex locked");
    NvHandle<NvSipServerTransaction> transaction(m_hInitialTransaction);
    if (transaction.isNil()) return;
    if (response.isNil()) response = new NvSipResponse(200, transaction->getInitialRequest());
    if (!sIsEarly(m_State) && !m_bOnTimeoutSendFinalResponse) return;
    TELLAR_TRACE_SCOPE(getLogger(), "m_State  &(NV_CALLED | NV_PROCEEDING | NV_PROCEEDED)");
    const int status = response->getStatusCode();
    if (status > 100 && status < 200 && transaction->getInitialRequest()->isRequired("100rel"))
        return sendReliableProvisionalResponse(response);  // the peer asked for it (RFC 3262 3)
    if (status >= 200) m_hHeldAnswer = nullptr;  // this answer is the last one
    const NvHandle<NvSipResponse>& unacknowledged = m_Retransmitter.unacknowledged();
    const bool offerAnswerPending = !unacknowledged.isNil() && !unacknowledged->getBody().empty();
    if (status >= 200 && status < 300 && (offerAnswerPending || !m_hPrackTransaction.isNil())) {
        // RFC 3262 3: not before the PRACK of the reliable 1xx that carried an offer or answer, nor before the
        // answer to the PRACK being told to the call (which may answer an offer in it).
        TELLAR_DEBUG(getLogger(), "NvSipDialog::sendResponse" << " : 2xx held until the PRACK of RSeq "
                                                              << m_Retransmitter.lastRSeq() << " is answered");
        m_hHeldAnswer = response;
        return;
    }
    if (status < 200) {
        changeState(NV_PROCEEDING);
    } else if (status < 300) {
        modifyResponse(response, NvHandle<NvSipInviteMessage>(transaction->getInitialRequest()));
        NvSipCapabilities::sAddAllowAndSupported(*response);
        changeState(NV_PROCESSING);
        m_hInitialTransaction = nullptr;
        m_Retransmitter.start(timers(), response);
    } else {
        changeState(NV_TERMINATING2);
    }
    addLocalContact(response);
    sendAndLogResponse(transaction, response, Tellar::INFO);
}

void NvSipDialog::sendReliableProvisionalResponse(unsigned int statusCode, const void* body, const char* contentType,
                                                  unsigned int bodyLength) {
    NvHandle<NvSipServerTransaction> transaction;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        transaction = pendingInviteTransaction();
    }
    if (transaction.isNil()) return;
    sendReliableProvisionalResponse(new NvSipResponse(static_cast<int>(statusCode), transaction->getInitialRequest(),
                                                      body, contentType, bodyLength));
}

void NvSipDialog::sendReliableProvisionalResponse(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::sendReliableProvisionalResponse");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    const bool reinvite = sIsTheirReinvitePending(m_State);
    if (m_State != NV_CALLED && m_State != NV_PROCEEDING && !reinvite) return;
    NvHandle<NvSipServerTransaction> transaction = pendingInviteTransaction();
    if (transaction.isNil() || (reinvite && m_TheirReinvite.transaction().isNil())) return;

    m_Retransmitter.number(response);
    changeState(reinvite ? NV_REINVITE_PROCEEDED : NV_PROCEEDED);
    addLocalContact(response);
    transaction->sendReliableResponse(response);
    m_Retransmitter.start(timers(), response);
}

// ---------------------------------------------------------------- PRACK, CANCEL, ACK, time-out

void NvSipDialog::onPrackRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipPrackMessage> prack) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onPrackRequest");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (sIsEnding(m_State) || m_Retransmitter.takePrack(prack).isNil()) {
            sendAndLogResponse(transaction, 481u, Tellar::INFO);
            return;
        }
        // Our 2xx may have crossed the PRACK: then only the PRACK is answered.
        if (m_State == NV_PROCEEDED || m_State == NV_REINVITE_PROCEEDED) {
            changeState(m_State == NV_PROCEEDED ? NV_PROCEEDING : NV_REINVITED);
            m_Retransmitter.stop(timers());
        }
        m_hPrackTransaction = transaction;
        call = m_hCall;
    }
    try {
        call->onPrackRequest(this, prack);
    } catch (...) {
        finishPrack();
        throw;
    }
    finishPrack();
}

void NvSipDialog::respondToPrack(unsigned int statusCode, const void* body, const char* contentType,
                                 unsigned int bodyLength) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::respondToPrack");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_hPrackTransaction.isNil())
        NvSipMlException::sThrow("No PRACK awaiting an answer", "NvSipDialog", "respondToPrack()");
    const NvHandle<NvSipServerTransaction> transaction = std::exchange(m_hPrackTransaction, nullptr);
    sendAndLogResponse(transaction,
                       new NvSipResponse(static_cast<int>(statusCode), transaction->getInitialRequest(), body,
                                         contentType, bodyLength),
                       Tellar::INFO);
}

void NvSipDialog::finishPrack() {
    NvHandle<NvSipResponse> held;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!m_hPrackTransaction.isNil())
            sendAndLogResponse(std::exchange(m_hPrackTransaction, nullptr), 200u, Tellar::INFO);
        held = std::exchange(m_hHeldAnswer, nullptr);
    }
    if (!held.isNil()) sendResponse(held);
}

void NvSipDialog::onCancelRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipCancelMessage> cancel) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onCancelRequest");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        TELLAR_TRACE(getLogger(), "Mutex locked");
        TELLAR_DEBUG(getLogger(), "onCancelRequest m_State=0x" << std::hex << m_State);
        // RFC 3261 9.2: once the INVITE has its final response (a 2xx whose
        // ACK is awaited included) the CANCEL has no effect on it or on the
        // dialog; the CANCEL itself gets 200.
        sendAndLogResponse(transaction, 200u, Tellar::INFO);
        if (!sIsEarly(m_State)) return;
        m_SessionTimer.stop(timers());
        m_Retransmitter.stop(timers());
        sendResponse(487, nullptr, nullptr, 0);
        changeState(NV_TERMINATING2);
        call = m_hCall;
    }
    call->onCancelRequest(this, cancel);
}

void NvSipDialog::onAckRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onAckRequest");
    TELLAR_DEBUG(getLogger(), "NvSipDialog::onAckRequest" << " : " << "m_State=" << m_State);
    enum { Confirmed, Ended, ReinviteAcked, HungUp } event;
    NvHandle<NvSipByeMessage> bye;
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_State == NV_PROCESSING) {
            changeState(NV_ACTIVE);
            m_hInitialTransaction = nullptr;
            m_Retransmitter.stop(timers());
            event = Confirmed;
            if (!m_hByeAfterAck.isNil()) {
                // The application hung up while the ACK was awaited.
                bye = NvHandle<NvSipByeMessage>(m_hByeAfterAck);
                m_hByeAfterAck = nullptr;
                changeState(NV_TERMINATING);
                if (sendBye(bye).isNil()) return;
                event = HungUp;
            }
        } else if (m_State == NV_TERMINATING2) {
            terminating();
            event = Ended;
        } else if (m_State == NV_REINVITE_PROCESSING || m_State == NV_REINVITE_FAILED) {
            changeState(NV_ACTIVE);
            m_TheirReinvite.forget();
            m_Retransmitter.stop(timers());
            event = ReinviteAcked;
        } else {
            return;
        }
        call = m_hCall;
    }
    if (event == ReinviteAcked) {
        call->onReinviteAck(this, ack);
        return;
    }
    if (event == HungUp) {
        call->onByeTimeOut(this, bye);  // the BYE could not be sent
        return;
    }
    if (event == Confirmed)
        call->onAckRequest(this, ack, true);
    else
        call->onAckRequest2(this, ack);
}

void NvSipDialog::onTimeOut(NvHandle<NvSipTransaction> transaction) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onTimeOut");
    NvHandle<NvSipCall> call;
    std::vector<NvHandle<NvSipDialog>> ending;
    bool ended = false;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        NvHandle<NvSipRequest> request = transaction.isNil() ? nullptr : transaction->getInitialRequest();
        const NvString line = request.isNil() ? NvString("SIP request timed-out")
                                              : NvString("SIP " + request->getMethod().str() + " timed-out");
        m_CallMessageLogger.log(Tellar::INFO, line.c_str());
        call = m_hCall;
        // The other branches of our INVITE end with it, also when this one
        // ended before (a 408 or 481 to a request in its early dialog).
        ending = listedBranches(this);
        m_BranchTags.clear();
        // Our INVITE unanswered, the peer's without ACK, or one that ends.
        if (sIsEarly(m_State) || m_State == NV_PROCESSING || m_State == NV_TERMINATING ||
            m_State == NV_TERMINATING2) {
            m_bOnTimeoutSendFinalResponse = true;
            NvHandle<NvSipServerTransaction> server(m_hInitialTransaction);
            if (!server.isNil()) {
                TELLAR_INFO(getLogger(), "Answering call with '408 Request Timeout' upon timeout");
                server->setOnTimeoutSendFinalResponse(true);
                if (server->canSendFinalResponse()) sendResponse(408, nullptr, nullptr, 0);
            } else {
                TELLAR_INFO(getLogger(), "Timeout triggered in SIP outbound call: ending the call.");
            }
            terminating();
            ended = true;
        }
    }
    if (ended) call->onTimeOut(this);
    for (const NvHandle<NvSipDialog>& other : ending)
        if (other->endUnanswered()) call->onTimeOut(other);
}
