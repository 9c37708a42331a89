// NvSipDialog: the one entry point of its timers (onNotification), and the
// retransmission of our 2xx and reliable provisional responses until their
// ACK or PRACK. The session timer itself: NvSipDialogSessionTimer.cpp; the
// new attempt after a 491: NvSipDialogReinviteClient.cpp.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/Tellar.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

NvScheduler& scheduler() {
    return NvMonitorThread::sGetCurrent()->getScheduler();
}

// A delay in milliseconds as the scheduler takes it.
unsigned int clampMs(uint64_t ms) {
    return static_cast<unsigned int>(std::min<uint64_t>(ms, std::numeric_limits<unsigned int>::max()));
}

}  // namespace

void NvSipDialog::onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onNotification");
    // What a timer's work raises (the application's callbacks included) is
    // logged and dropped here: the scheduler's thread and the other timers
    // due with this one go on.
    try {
        const NvHandle<NvSipInviteMessage> invite(object);
        const NvHandle<NvSipResponse> response(object);
        const NvHandle<NvTimer> timer(observable);
        if (!invite.isNil())
            retryReinvite(invite);
        else if (!response.isNil())
            retransmitResponse(response);
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

void NvSipDialog::startRetransmission(const NvHandle<NvSipResponse>& response) {
    stopRetransmission();
    const unsigned int t1 = NvSipTransactionManager::m_T1;
    m_hOutResponse = response;
    m_RetransmitCount = 0;
    m_RetransmitDeadline = NvTime::sGetCurrentTime() + 64.0 * t1 * 1000.0;
    m_RetransmitKey = scheduler().schedule(t1, this, response.get());
}

void NvSipDialog::stopRetransmission() {
    if (m_RetransmitKey != 0) scheduler().cancel(this, m_RetransmitKey);
    m_RetransmitKey = 0;
}

void NvSipDialog::resendOutResponse() {
    unsigned port = 0;
    NvInetAddress address;
    try {
        NvSipTransportLayer::send(m_hOutResponse, &port, &address);
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(getLogger(), "Response not sent again: " << error->getMessage().str());
        return;
    }
    logCallMessage(m_hOutResponse, false, &port, &address, Tellar::INFO);
}

void NvSipDialog::retransmitResponse(const NvHandle<NvSipResponse>& response) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (response.get() != m_hOutResponse.get()) return;
        const bool answer = m_State == NV_PROCESSING || m_State == NV_REINVITE_PROCESSING;
        const bool reliable = m_State == NV_PROCEEDED || m_State == NV_REINVITE_PROCEEDED;
        if (!answer && !reliable) return;  // its ACK or PRACK came
        m_RetransmitKey = 0;

        const double now = NvTime::sGetCurrentTime();
        if (now < m_RetransmitDeadline) {
            if (answer)
                resendOutResponse();
            else
                pendingInviteTransaction()->sendReliableResponse(m_hOutResponse);
            ++m_RetransmitCount;
            // T1 doubling each time (RFC 3262 3); a 2xx at most T2 apart
            // (RFC 3261 13.3.1.4); the last one lands on the deadline.
            const uint64_t t1 = NvSipTransactionManager::m_T1;
            uint64_t delay = t1 << std::min<unsigned>(m_RetransmitCount, 32);
            if (answer) delay = std::min<uint64_t>(delay, NvSipTransactionManager::m_T2);
            delay = std::min<uint64_t>(delay, static_cast<uint64_t>((m_RetransmitDeadline - now) / 1000.0 + 0.5));
            m_RetransmitKey = scheduler().schedule(clampMs(delay), this, m_hOutResponse.get());
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
            const NvHandle<NvSipRequest> bye =
                CreateRequest(NvSipByeMessage::sMethodName, nullptr, nullptr, 0, nullptr);
            m_State = NV_TERMINATING;
            if (!bye.isNil()) sendBye(bye);
            return;
        }
        // No ACK of our 2xx: the call is over.
        terminating();
        call = m_hCall;
    }
    call->onTimeOut(this);
}
