// NvSipDialog: the one entry point of its timers (onNotification), and the
// retransmission of our 2xx and reliable provisional responses until their
// ACK or PRACK. The session timer itself: NvSipDialogSessionTimer.cpp; the
// new attempt after a 491: NvSipDialogReinviteClient.cpp.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCapabilities.h"
#include "stack/log/Tellar.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <exception>
#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

void NvSipDialog::onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onNotification");
    // What a timer's work raises (the application's callbacks included) is
    // logged and dropped here: the scheduler's thread and the other timers
    // due with this one go on.
    try {
        const NvHandle<NvSipInviteMessage> invite(object);
        const NvHandle<NvSipUpdateMessage> update(object);
        const NvHandle<NvSipResponse> response(object);
        const NvHandle<NvSipServerTransaction> unanswered(object);
        const NvHandle<NvTimer> timer(observable);
        if (!invite.isNil())
            retryReinvite(invite);
        else if (!update.isNil())
            retryUpdate(update);
        else if (!response.isNil())
            retransmitResponse(response);
        else if (!unanswered.isNil())
            answerOverdue(unanswered);
        else if (!timer.isNil() && timer->getObject().isNil())
            sessionTimerFired(timer->getKey());
    } catch (const NvHandle<NvException>& error) {
        TELLAR_ERROR(getLogger(), "Timer of dialog " << getKey().str() << " raised: " << error->getMessage().str());
    } catch (const std::exception& error) {
        TELLAR_ERROR(getLogger(), "Timer of dialog " << getKey().str() << " raised: " << error.what());
    } catch (...) {
        TELLAR_ERROR(getLogger(), "Timer of dialog " << getKey().str() << " raised an unknown exception");
    }
}

// ---------------------------------------------------------------- response retransmission

void NvSipDialog::resendOutResponse() {
    const NvHandle<NvSipResponse>& response = m_Retransmitter.kept();
    unsigned port = 0;
    NvInetAddress address;
    try {
        NvSipTransportLayer::send(response, &port, &address);
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(getLogger(), "Response not sent again: " << error->getMessage().str());
        return;
    }
    logCallMessage(response, false, &port, &address, Tellar::INFO);
}

void NvSipDialog::retransmitResponse(const NvHandle<NvSipResponse>& response) {
    NvHandle<NvSipCall> call;     // told onTimeOut
    NvHandle<NvSipCall> unsent;   // told onByeTimeOut
    NvHandle<NvSipByeMessage> bye;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!m_Retransmitter.keeps(response)) return;
        const bool answer = m_State == NV_PROCESSING || m_State == NV_REINVITE_PROCESSING;
        const bool reliable = m_State == NV_PROCEEDED || m_State == NV_REINVITE_PROCEEDED;
        if (!answer && !reliable) return;  // its ACK or PRACK came

        if (m_Retransmitter.tick() == NvSipResponseRetransmitter::Tick::SendAgain) {
            if (answer)
                resendOutResponse();
            else
                pendingInviteTransaction()->sendReliableResponse(response);
            m_Retransmitter.scheduleNext(timers(), answer);
            return;
        }

        if (m_State == NV_PROCEEDED) {
            sendResponse(504, nullptr, nullptr, 0);
            return;
        }
        if (m_State == NV_REINVITE_PROCEEDED) {
            respondToReinvite(504, nullptr, nullptr, 0);
            return;
        }
        if (m_State == NV_REINVITE_PROCESSING) {
            // No ACK of our 2xx to the peer's re-INVITE: the call ends with a BYE.
            m_TheirReinvite.forget();
            bye = byeRequest();
            changeState(NV_TERMINATING);
            unsent = sendBye(bye);
        } else {
            // No ACK of our 2xx: the session ends with a BYE (RFC 3261 13.3.1.4).
            call = endNow(true);
        }
    }
    if (!unsent.isNil()) unsent->onByeTimeOut(this, bye);
    if (!call.isNil()) call->onTimeOut(this);
}

// ---------------------------------------------------------------- requests left to the application

void NvSipDialog::answerOverdue(const NvHandle<NvSipServerTransaction>& transaction) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (!m_Unanswered.takeOverdue(transaction)) return;
    const NvHandle<NvSipResponse> answer = NvSipCapabilities::sAnswerUnhandled(*transaction);
    TELLAR_WARN(getLogger(), "Dialog " << m_Key.str() << ": the application did not answer "
                                       << answer->getCSeqHeader()->getMethod().str()
                                       << " within " << NvSipUnansweredRequests::sm_AnswerDelayMs << " ms; answering "
                                       << answer->getStatusCode());
    if (m_TheirReinvite.isPending(transaction))
        respondToReinvite(answer);
    else
        sendAndLogResponse(transaction, answer, Tellar::INFO);
}

void NvSipDialog::answerKeptRequests(unsigned int status) {
    for (const NvHandle<NvSipServerTransaction>& transaction : m_Unanswered.takeAll(timers()))
        sendAndLogResponse(transaction, status, Tellar::INFO);
}
