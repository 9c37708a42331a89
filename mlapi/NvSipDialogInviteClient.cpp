// NvSipDialog, UAC side: our INVITE, its provisional and final responses,
// PRACK, CANCEL and the ACK of a 2xx.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialogTable.h"
#include "mlapi/NvSipLateAnswers.h"
#include "stack/log/Tellar.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <cstdint>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

// Reports `text` as a failed assertion on `logger` when `condition` is false.
bool holds(bool condition, const char* text, const Tellar::Logger& logger, int line) {
    return Tellar::Assertion(condition, text, &logger, __FILE__, line).holds();
}

NvString toTag(const NvHandle<NvSipMessage>& message) {
    NvHandle<NvSipToHeader> to = message->getToHeader();
    return to.isNil() ? NvString() : to->getTag();
}

uint32_t cseqOf(const NvHandle<NvSipMessage>& message) { return message->getCSeqHeader()->getNumber(); }

bool isSuccess(const NvHandle<NvSipResponse>& response) {
    return response->getStatusCode() / 100 == 2;
}

// Our INVITE's early states, in which a provisional response is taken (also
// while a reliable one awaits its PRACK).
bool takesProvisional(int32_t state) {
    return state & (NvSipDialog::NV_CALLING | NvSipDialog::NV_PROCEEDING | NvSipDialog::NV_PROCEEDED);
}

}  // namespace

// ---------------------------------------------------------------- sending the INVITE

bool NvSipDialog::sendInitialRequest() {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::sendInitialRequest");
    NvHandle<NvSipClientTransaction> transaction(m_hInitialTransaction);
    NvHandle<NvSipRequest> invite = transaction.isNil() ? nullptr : transaction->getInitialRequest();
    if (!holds(!invite.isNil(), "! m_hInitialTransaction-> getInitialRequest().isNil()", getLogger(), __LINE__))
        return false;
    m_hLocalContactHeader = invite->getHeader<NvSipContactHeader>();
    if (!holds(!m_hLocalContactHeader.isNil(), "! m_hLocalContactHeader.isNil()", getLogger(), __LINE__))
        return false;
    if (m_hRemoteTargetURI.isNil()) m_hRemoteTargetURI = invite->getURI();
    m_Credentials.takeInvite(*invite);
    try {
        sendAndLogRequest(transaction, Tellar::INFO);
    } catch (...) {
        NvHandle<NvSipDialog> self(this);  // the handles dropped below may be the last ones
        NvSipTransactionManager::getInstance()->removeTransaction(transaction);
        m_hInitialTransaction = nullptr;
        m_hLocalContactHeader = nullptr;
        table().removeDialog(NvHandle<NvSipDialog>(this));
        m_hCall->removeDialog(this);
        throw;
    }
    return true;
}

// ---------------------------------------------------------------- branches

NvSipDialog::Branch NvSipDialog::branchFor(const NvHandle<NvSipResponse>& response, bool onTransaction) {
    const NvString tag = toTag(response);
    const int status = response->getStatusCode();
    // A final failure ends the INVITE, whatever branch it names (it makes no dialog).
    if (onTransaction && status >= 300) return {this};
    // A 100 makes no dialog, whatever tag it carries (RFC 3261 12.1).
    if (status == 100) return {this};
    if (m_State != NV_TERMINATED) {
        if (tag.isEmpty() || tag == m_RemoteTag) return {this};
        if (m_RemoteTag.isEmpty() && status > 100 && (sIsEarly(m_State) || m_State == NV_TERMINATING2)) return {this};
    }
    if (tag.isEmpty()) return {};
    const NvString key = sBuildKey(m_CallID.c_str(), m_hCall->getLocalTag().c_str(), tag.c_str());
    if (NvHandle<NvSipDialog> listed = table().findDialog(key); !listed.isNil()) return {listed};
    int32_t state = NV_CALLING;
    if (status < 200) {
        if (!sIsEarly(m_State)) return {};  // the INVITE has ended or was hung up: no early dialog left to make
    } else if (m_bHungUp) {
        state = NV_TERMINATING2;
    } else if (m_bAnswered || !sIsEarly(m_State)) {
        state = NV_PROCESSING;
    }
    TELLAR_DEBUG(getLogger(), "NvSipDialog::branchFor new dialog for To tag " << tag.str() << " in "
                                                                              << sStateName(state));
    NvHandle<NvSipDialog> copy =
        Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", *this, response, state);
    m_hCall->addDialog(copy);
    table().addDialog(copy);
    if (state != NV_PROCESSING) m_BranchTags.push_back(tag);
    return {copy, state == NV_PROCESSING};
}

std::vector<NvHandle<NvSipDialog>> NvSipDialog::listedBranches(const NvSipDialog* except) const {
    std::vector<NvHandle<NvSipDialog>> branches;
    for (const NvString& tag : m_BranchTags) {
        NvHandle<NvSipDialog> branch =
            table().findDialog(sBuildKey(m_CallID.c_str(), m_hCall->getLocalTag().c_str(), tag.c_str()));
        if (!branch.isNil() && branch.get() != except) branches.push_back(branch);
    }
    return branches;
}

bool NvSipDialog::endUnanswered() {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (!sIsEarly(m_State) && m_State != NV_TERMINATING2) return false;
    terminating();
    return true;
}

// ---------------------------------------------------------------- provisional responses

bool NvSipDialog::keepUnpracked(const NvHandle<NvSipResponse>& response) {
    // RFC 3262 4: after the first, only the next RSeq is taken; one with a
    // gap is neither acknowledged nor processed (the peer sends it again).
    const uint32_t rseq = response->getHeader<NvSipRSeqHeader>()->getNumber();
    if (m_LastRSeq != 0 && rseq != m_LastRSeq + 1) return false;
    m_LastRSeq = rseq;
    m_Unpracked.push_back(response);
    return true;
}

bool NvSipDialog::takeProvisionalResponse(const NvHandle<NvSipResponse>& response, bool reliable) {
    if (!takesProvisional(m_State) || (reliable && !keepUnpracked(response))) return false;
    changeState(m_Unpracked.empty() ? NV_PROCEEDING : NV_PROCEEDED);
    // While a reliable one awaits its PRACK, it stays the one a PRACK answers.
    m_hInResponse = m_Unpracked.empty() ? response : m_Unpracked.front();
    const NvString tag = toTag(response);
    if (m_RemoteTag.isEmpty() && !tag.isEmpty() && (reliable || response->getStatusCode() > 100))
        takeRemoteTag(tag, "NvSipDialog::onProvisionalResponse");
    // RFC 3261 12.1.2: the early dialog's remote target and route set come
    // from the 1xx that carries its tag (our PRACK goes there).
    if (!tag.isEmpty() && tag == m_RemoteTag) {
        setRouteInfo(response);
        updateRemoteTargetURI(response);
    }
    return true;
}

void NvSipDialog::onProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                        NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onProvisionalResponse");
    NvHandle<NvSipCall> call;
    {
        std::unique_lock<NvRecursiveMutex> lock(*m_pMutex);
        TELLAR_DEBUG(getLogger(), "NvSipDialog::onProvisionalResponse : this=0x"
                                      << std::hex << reinterpret_cast<uintptr_t>(this) << ", m_State=0x" << m_State);
        const Branch branch = branchFor(response, !transaction.isNil());
        if (branch.dialog.get() != this) {
            lock.unlock();
            if (!branch.dialog.isNil()) branch.dialog->onProvisionalResponse(transaction, response);
            return;
        }
        TELLAR_DEBUG(getLogger(),
                     "NvSipDialog::onProvisionalResponsem_State=NV_PROCESSING, m_RemoteTag=" << m_RemoteTag.str());
        if (!takeProvisionalResponse(response, false)) return;
        call = m_hCall;
    }
    call->onProvisionalResponse(this, response);
}

void NvSipDialog::onReliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                                NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onReliableProvisionalResponse");
    NvHandle<NvSipCall> call;
    {
        std::unique_lock<NvRecursiveMutex> lock(*m_pMutex);
        const Branch branch = branchFor(response, !transaction.isNil());
        if (branch.dialog.get() != this) {
            lock.unlock();
            if (!branch.dialog.isNil()) branch.dialog->onReliableProvisionalResponse(transaction, response);
            return;
        }
        if (!takeProvisionalResponse(response, true)) return;
        call = m_hCall;
    }
    call->onReliableProvisionalResponse(this, response);
}

// ---------------------------------------------------------------- PRACK and CANCEL

void NvSipDialog::prack(NvHandle<NvSipPrackMessage> prack) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_State == NV_PROCEEDED) {
        // The oldest reliable 1xx not yet acknowledged (RFC 3262 4).
        if (!m_Unpracked.empty()) {
            m_hInResponse = m_Unpracked.front();
            m_Unpracked.erase(m_Unpracked.begin());
        }
        changeState(m_Unpracked.empty() ? NV_PROCEEDING : NV_PROCEEDED);
    } else if (m_State == NV_REINVITE_PROCEEDED) {
        changeState(NV_REINVITE_PROCEEDING);
    } else {
        NvException::sThrow("Wrong state to send PRACK !");
    }
    if (prack.isNil())
        prack = NvHandle<NvSipPrackMessage>(
            CreateRequest(NvSipPrackMessage::sMethodName, nullptr, nullptr, 0, nullptr));
    if (!m_Unpracked.empty()) m_hInResponse = m_Unpracked.front();
    if (prack.isNil()) return;
    sendAndLogRequest(new NvSipClientTransaction(prack, Tellar::NoSizeMemAllocator::create<PrackClientInterface>(
                                                            "PrackClientInterface", NvHandle<NvSipDialog>(this))),
                      Tellar::INFO);
}

void NvSipDialog::onPrackFinalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> response) {
    getCall()->onPrackResponse(this, response);
}

void NvSipDialog::onPrackTimeOut(NvHandle<NvSipTransaction>) {
    m_CallMessageLogger.log(Tellar::INFO, "SIP PRACK timed-out");
    getCall()->onPrackResponse(this, nullptr);
}

void NvSipDialog::cancel(NvHandle<NvSipCancelMessage> cancel) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    NvHandle<NvSipClientTransaction> pending;
    if (sIsEarly(m_State))
        pending = NvHandle<NvSipClientTransaction>(m_hInitialTransaction);
    else if (sIsOurReinvitePending(m_State))
        pending = m_OurReinvite.transaction();
    // Nothing pending: nothing to build or send.
    if (pending.isNil()) return;
    if (cancel.isNil())
        cancel = NvHandle<NvSipCancelMessage>(
            CreateRequest(NvSipCancelMessage::sMethodName, nullptr, nullptr, 0, nullptr));
    pending->cancel(cancel);
}

// ---------------------------------------------------------------- final responses

void NvSipDialog::takeRemoteTag(const NvString& tag, const char* operation) {
    const NvString oldTag = m_RemoteTag;
    m_RemoteTag = tag;
    if (tag.isEmpty()) return;
    const NvString oldKey = m_Key;
    m_Key = sBuildKey(m_CallID.c_str(), m_hCall->getLocalTag().c_str(), tag.c_str());
    TELLAR_DEBUG(getLogger(), operation << "Update dialog key (old=\"" << oldKey.str() << "\"--> new=\""
                                        << m_Key.str() << "\"");
    // The dialog itself is listed under its new key: what is listed under the
    // old one may be another dialog of the call (tryCalling), which the
    // manager's updateDialogKey would copy instead. The key without remote
    // tag stays listed (the manager routes other forks' 2xx by it); one of
    // an earlier tag has no use left.
    table().addDialog(this);
    if (!oldTag.isEmpty()) table().removeDialog(oldKey);
}

void NvSipDialog::onFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onFinalResponse (2)");
    if (transaction.isNil() && answersAnEarlierAttempt(response)) {
        NvSipLateAnswers::sAckAndHangUp(response);
        return;
    }
    std::unique_lock<NvRecursiveMutex> lock(*m_pMutex);
    const Branch branch = branchFor(response, !transaction.isNil());
    if (branch.dialog.isNil()) return;
    // The INVITE's first 2xx: the branches it leaves early end with it.
    std::vector<NvHandle<NvSipDialog>> unanswered;
    if (!transaction.isNil() && isSuccess(response)) {
        m_bAnswered = true;
        unanswered = listedBranches(branch.dialog.get());
        if (branch.dialog.get() != this) unanswered.push_back(this);
        m_BranchTags.clear();
    }
    const NvHandle<NvSipCall> call = m_hCall;
    if (!unanswered.empty() || branch.dialog.get() != this) {
        lock.unlock();
        for (const NvHandle<NvSipDialog>& other : unanswered)
            if (other->endUnanswered()) call->removeDialog(other);
        if (branch.extra)
            call->onMultipleFinalResponse(branch.dialog, response);
        else if (branch.dialog.get() != this)
            branch.dialog->onFinalResponse(transaction, response);
        else
            onFinalResponse(transaction, response);  // this dialog's own, its branches settled
        return;
    }
    if (!isSuccess(response)) {
        // A final failure ends the INVITE: the branches still early end after
        // this one, also when this one ended before (a 408 or 481 to a request
        // in its early dialog), while the INVITE went on.
        const std::vector<NvHandle<NvSipDialog>> ending = listedBranches(this);
        m_BranchTags.clear();
        if (sIsEarly(m_State)) {
            onEarlyFinalResponse(lock, response);
        } else if (m_State == NV_TERMINATING2) {
            TELLAR_DEBUG(getLogger(), "NvSipDialog::onFinalResponsem_State == NV_TERMINATING2");
            terminating();  // the dialog ends here: it must not stay listed in the manager
            lock.unlock();
            call->onFailureResponse(this, response);
        } else {
            lock.unlock();
        }
        for (const NvHandle<NvSipDialog>& other : ending)
            if (other->endUnanswered()) call->onByeResponse(other, response);
        return;
    }
    if (sIsEarly(m_State)) {
        onEarlyFinalResponse(lock, response);
        return;
    }
    if (m_State != NV_TERMINATING2) {
        ackAgain(response);
        return;
    }
    TELLAR_DEBUG(getLogger(), "NvSipDialog::onFinalResponsem_State == NV_TERMINATING2");
    // RFC 3261 15: the 2xx that crossed our CANCEL makes a dialog of its own
    // tag, target and route set, which is ACKed and hung up.
    if (m_RemoteTag.isEmpty()) takeRemoteTag(toTag(response), "NvSipDialog::onFinalResponse");
    setRouteInfo(response);
    updateRemoteTargetURI(response);
    m_hInResponse = response;
    createSendAckMsg(m_hInResponse);
    if (!m_hByeTransaction.isNil()) return;
    const NvHandle<NvSipByeMessage> bye = byeRequest();
    changeState(NV_TERMINATING);
    const NvHandle<NvSipCall> unsent = sendBye(bye);
    lock.unlock();
    if (!unsent.isNil()) unsent->onByeTimeOut(this, bye);
}

void NvSipDialog::ackAgain(const NvHandle<NvSipResponse>& response) {
    if (m_State == NV_PROCESSING) return;  // the application's ACK is still to come
    if (!m_hAck.isNil() && toTag(m_hAck) == toTag(response) && cseqOf(m_hAck) == cseqOf(response)) {
        NvSipTransportLayer::send(m_hAck);
        logCallMessage(m_hAck, false, nullptr, nullptr, Tellar::INFO);
    } else if (m_State == NV_TERMINATING) {
        TELLAR_DEBUG(getLogger(), "NvSipDialog::onFinalResponsem_State == NV_TERMINATING");
        m_hInResponse = response;
        createSendAckMsg(m_hInResponse);
    }
}

void NvSipDialog::onFinalResponse(NvHandle<NvSipResponse> response) {
    if (isSuccess(response)) onFinalResponse(nullptr, response);
}

bool NvSipDialog::answersAnEarlierAttempt(const NvHandle<NvSipResponse>& response) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (!sIsEarly(m_State) || m_hInitialTransaction.isNil()) return false;
    return cseqOf(response) != cseqOf(m_hInitialTransaction->getInitialRequest());
}

void NvSipDialog::onEarlyFinalResponse(std::unique_lock<NvRecursiveMutex>& lock,
                                       const NvHandle<NvSipResponse>& response) {
    TELLAR_DEBUG(getLogger(), "NvSipDialog::onFinalResponsem_State  &(NV_CALLING | NV_PROCEEDING | NV_PROCEEDED)");
    m_Unpracked.clear();  // RFC 3262 4: no PRACK once the final response came
    NvHandle<NvSipCall> call = m_hCall;
    if (isSuccess(response)) {
        const NvString tag = toTag(response);
        if (m_RemoteTag.isEmpty() || m_RemoteTag != tag) takeRemoteTag(tag, "NvSipDialog::onFinalResponse");
        TELLAR_DEBUG(getLogger(), "NvSipDialog::onFinalResponseprocessing 2xx reponse");
        setRouteInfo(response);
        NvHandle<NvSipSessionExpiresHeader> sessionExpires = response->getHeader<NvSipSessionExpiresHeader>();
        if (sm_bSupportTimer && !sessionExpires.isNil()) handleSessionTime(response, sessionExpires);
        changeState(NV_PROCESSING);
        updateRemoteTargetURI(response);
        m_hInitialTransaction = nullptr;
        m_hInResponse = response;
        lock.unlock();
        call->onSuccessfulResponse(this, response);
        return;
    }

    NvHandle<NvSipClientTransaction> transaction(m_hInitialTransaction);
    NvHandle<NvSipInviteMessage> invite(transaction.isNil() ? nullptr : transaction->getInitialRequest());
    terminating();
    const int status = response->getStatusCode();
    bool retried = false;
    if (status == 422) {
        NvHandle<NvSipMinSEHeader> minSE = response->getHeader<NvSipMinSEHeader>();
        if (!minSE.isNil() && minSE->getNumber() >= sm_MinSessionTime)
            retried = sendAgain([&] { resetSessionTime(transaction, response); });
    } else if (!invite.isNil() && table().addCredentials(response, invite)) {
        m_Credentials.keepChallenges(*response);
        retried = sendAgain([&] { retryWithCredentials(invite); });
    }
    lock.unlock();
    if (retried)
        call->removeDialog(this);
    else if (status < 400)
        call->onRedirectResponse(this, response);
    else
        call->onFailureResponse(this, response);
}

void NvSipDialog::retryWithCredentials(const NvHandle<NvSipInviteMessage>& invite) {
    // The clone keeps every header of the INVITE (Session-Expires included)
    // and the credentials just added; only CSeq and branch are new.
    sendOnNewDialog(NvHandle<NvSipInviteMessage>(nextAttempt(invite, false)));
}

void NvSipDialog::sendOnNewDialog(const NvHandle<NvSipInviteMessage>& invite) {
    NvHandle<NvSipDialog> next =
        Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", OurInvite(), m_hCall.get(), invite);
    next->m_Credentials = m_Credentials;  // not shared yet: it sends nothing before sendInitialRequest
    next->sendInitialRequest();
}

template <class Send>
bool NvSipDialog::sendAgain(Send send) {
    try {
        send();
    } catch (NvHandle<NvException>& error) {
        TELLAR_WARN(getLogger(), "INVITE not sent again: " << error->getMessage().str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- ACK

void NvSipDialog::ack(NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::ack 1)");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (!holds(m_State == NV_PROCESSING && !m_hInResponse.isNil(),
               "false && \"sending ACK in an invalid dialog state\"", getLogger(), __LINE__))
        return;
    changeState(NV_ACTIVE);
    createSendAckMsg(m_hInResponse, ack);
    m_hInResponse = nullptr;
}

void NvSipDialog::ack(const NvHandle<NvSipResponse>& response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::ack(2)");
    if (!holds(!response.isNil(), "!in_hResponse.isNil()", getLogger(), __LINE__)) return;
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    m_hInResponse = response;
    if (!holds(m_State == NV_PROCESSING, "false && \"sending ACK in an invalid dialog state\"", getLogger(), __LINE__))
        return;
    const NvString tag = toTag(response);
    if (m_RemoteTag.isEmpty() || m_RemoteTag != tag) takeRemoteTag(tag, "NvSipDialog::ack");
    changeState(NV_ACTIVE);
    createSendAckMsg(response);
    m_hInResponse = nullptr;
}

bool NvSipDialog::createSendAckMsg(const NvHandle<NvSipResponse>& response, NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::createSendAckMsg");
    if (ack.isNil())
        ack = NvHandle<NvSipAckMessage>(CreateRequest(NvSipAckMessage::sMethodName, nullptr, nullptr, 0, nullptr));
    if (ack.isNil()) return false;
    // Whoever built it (the default reply of the call's interface builds it
    // from the response alone, as may the application): Max-Forwards (RFC
    // 3261 8.1.1.6) and, for a 2xx, the credentials of its INVITE (13.2.2.4)
    // when it has none, and the dialog's route set to its remote target
    // (13.2.2.4: built as any in-dialog request, 12.2.1.1) when it has no
    // Route of its own and was not sent yet.
    if (ack->getHeader<NvSipMaxForwardsHeader>().isNil())
        ack->addHeader(new NvSipMaxForwardsHeader(NvSipTransactionManager::sGetMaxForward()));
    if (!response.isNil() && isSuccess(response)) {
        m_Credentials.addToAck(*ack);
        if (ack->getTopVia().isNil() && ack->getHeader<NvSipRouteHeader>().isNil()) {
            if (!m_hRemoteTargetURI.isNil()) ack->setURI(static_cast<NvURI*>(m_hRemoteTargetURI->clone()));
            addRouteInfoToRequest(ack);
        }
    }
    if (ack->getTopVia().isNil()) {
        if (!holds(!response.isNil(), "! in_hResponse.isNil()", getLogger(), __LINE__)) return false;
        const bool success = isSuccess(response);
        try {
            NvSipTransportLayer::sGetInstance()->addViaHeader(ack);
        } catch (NvHandle<NvException>&) {
            TELLAR_ERROR(getLogger(), "failed to add Via header to ACK request (" << (success ? 1 : 2) << ")");
            return false;
        }
        // The ACK of a failure belongs to the INVITE's transaction (RFC 3261
        // 17.1.1.3); that of a 2xx is a transaction of its own.
        if (!success) ack->getTopVia()->setBranch(response->getTopVia()->getBranch().str());
    }
    m_hAck = ack;
    NvSipTransportLayer::send(ack);
    logCallMessage(ack, false, nullptr, nullptr, Tellar::INFO);
    return true;
}
