#include "mlapi/snapshot/NvSipSnapshotKeeper.h"

#include "mlapi/NvSipDialog.h"
#include "stack/base/NvStream.h"
#include "stack/log/Tellar.h"
#include "stack/timer/NvMonitorThread.h"

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipSnapshotStore")

NvSipSnapshotKeeper::NvSipSnapshotKeeper(NvHandle<NvSipSnapshotStore> store, NvSipIncomingCallinterface* callInterface)
    : m_hStore(std::move(store)), m_pCallInterface(callInterface) {}

void NvSipSnapshotKeeper::changed(NvSipDialog* dialog) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Changed.emplace_back(dialog);
        if (m_bFlushScheduled) return;
        m_bFlushScheduled = true;
    }
    NvMonitorThread::sGetCurrent()->getScheduler().schedule(0, this, nullptr);
}

void NvSipSnapshotKeeper::flush() {
    std::vector<NvHandle<NvSipDialog>> changed;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        changed.swap(m_Changed);
        m_bFlushScheduled = false;
    }
    std::set<NvSipDialog*> done;  // a dialog noted twice is written once
    for (const NvHandle<NvSipDialog>& dialog : changed) {
        if (!done.insert(dialog.get()).second) continue;
        const NvHandle<NvSipIncomingCall> call(dialog->getCall());
        if (call.isNil()) continue;  // only incoming calls are kept
        const std::string callId = call->getCallID().str();
        const int32_t state = dialog->getState();
        if (NvSipDialog::sIsConfirmed(state)) {
            write(call, callId);
        } else if (NvSipDialog::sIsEnding(state)) {
            bool kept;
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                kept = m_Kept.erase(callId) != 0;
            }
            if (kept) m_hStore->remove(callId);
        }
    }
}

void NvSipSnapshotKeeper::write(const NvHandle<NvSipIncomingCall>& call, const std::string& callId) {
    NvByteArrayOutputStream bytes(4096);
    uint32_t interval = 0;
    try {
        call->serialize(bytes);
        interval = call->getDialog()->getSessionInterval();
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(Tellar::fileScopeLogger(), "Snapshot of call " << callId << " not written: " << error->getMessage().str());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Kept.insert(callId);
    }
    m_hStore->save(callId, std::string(bytes.data(), bytes.size()), interval ? 2 * interval : kNoTimerLifetimeSeconds);
}

NvHandle<NvSipIncomingCall> NvSipSnapshotKeeper::rebuild(const std::string& callId, const std::string& record) {
    NvByteArrayInputStream in(record);
    try {
        NvHandle<NvSipIncomingCall> call = NvSipIncomingCall::sCreateFrom(in, m_pCallInterface);
        write(call, callId);  // this node owns it now
        return call;
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(Tellar::fileScopeLogger(),
                    "Snapshot of call " << callId << " dropped, it cannot be read: " << error->getMessage().str());
        m_hStore->remove(callId);
        return nullptr;
    }
}

std::vector<NvHandle<NvSipIncomingCall>> NvSipSnapshotKeeper::restore() {
    std::vector<NvHandle<NvSipIncomingCall>> calls;
    for (const auto& [callId, record] : m_hStore->loadAll())
        if (NvHandle<NvSipIncomingCall> call = rebuild(callId, record)) calls.push_back(call);
    return calls;
}

NvHandle<NvSipIncomingCall> NvSipSnapshotKeeper::takeOver(const std::string& callId) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Kept.count(callId)) return nullptr;  // ours, up: the request names a dialog that is not
    }
    const std::string record = m_hStore->load(callId);
    return record.empty() ? nullptr : rebuild(callId, record);
}
