// The calls' part of a snapshot: the call's own record (NvSipCall), the
// incoming call's one dialog, the outgoing call's targets and dialogs.
// Each dialog's record is NvSipDialog's (NvSipDialogSnapshot.cpp).

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipMlException.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "mlapi/dialog/NvSipDialogRecord.h"
#include "stack/base/NvStream.h"

#include <mutex>

// ---------------------------------------------------------------- the call's record

// The call's record, read in its order before any field is built.
struct NvSipCall::Identity {
    explicit Identity(NvInputStream& in)
        : localParticipant(NvSipDialogRecord::sReadNameAddress(in, "local participant")),
          callId(NvSipDialogRecord::sReadText(in)),
          localTag(NvSipDialogRecord::sReadText(in)) {}
    NvHandle<NvSipNameAddress> localParticipant;
    NvString callId;
    NvString localTag;
};

NvSipCall::NvSipCall(NvInputStream& in) : NvSipCall(Identity(in)) {}

NvSipCall::NvSipCall(const Identity& identity)
    : m_hLocalContact(sLocalContactCopy()),
      m_hLocalParticipant(identity.localParticipant),
      m_LocalTag(identity.localTag),
      m_CallID(identity.callId),
      m_pMutex(NvNewCeilingMutex()),
      m_pDialogTable(sDefaultDialogTable()) {}

void NvSipCall::serialize(NvOutputStream& out) const {
    NvSipDialogRecord::sWriteNameAddress(out, getLocalParticipant());
    NvSipDialogRecord::sWriteText(out, getCallID());
    NvSipDialogRecord::sWriteText(out, m_LocalTag);
}

template <class Read, class Dialogs>
void NvSipCall::readDialogs(Read read, Dialogs& rebuilt) {
    AddRef();
    try {
        read();
    } catch (...) {
        for (const NvHandle<NvSipDialog>& dialog : rebuilt) dialog->discardRebuilt();
        rebuilt.clear();
        Release(false);
        throw;
    }
    Release(false);
}

// ---------------------------------------------------------------- incoming call

void NvSipIncomingCall::serialize(NvOutputStream& out) const {
    NvSipCall::serialize(out);
    dialogFor("NvSipIncomingCall::serialize()")->serialize(out);
}

NvSipIncomingCall* NvSipIncomingCall::sCreateFrom(NvInputStream& in, NvSipIncomingCallinterface* callInterface) {
    return Tellar::NoSizeMemAllocator::create<NvSipIncomingCall>("NvSipIncomingCall", in, callInterface);
}

NvSipIncomingCall::NvSipIncomingCall(NvInputStream& in, NvSipIncomingCallinterface* callInterface)
    : NvSipCall(in) {
    if (!callInterface)
        NvSipMlException::sThrow("NIL handle to Incoming Call Interface", "NvSipIncomingCall", "NvSipIncomingCall()");
    m_hInterface = callInterface;
    std::vector<NvHandle<NvSipDialog>> none;  // the one dialog either is built or has undone itself
    readDialogs([&] { m_hDialog = Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", this, in); }, none);
}

// ---------------------------------------------------------------- outgoing call

void NvSipOutgoingCall::serialize(NvOutputStream& out) const {
    NvSipCall::serialize(out);
    std::vector<NvHandle<NvSipNameAddress>> targets;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        targets = m_TriedTargets;
    }
    NvSipDialogRecord::sWriteU32(out, static_cast<uint32_t>(targets.size()));
    for (const NvHandle<NvSipNameAddress>& target : targets) NvSipDialogRecord::sWriteNameAddress(out, target);
    const std::vector<NvHandle<NvSipDialog>> dialogs = getDialogs();
    NvSipDialogRecord::sWriteU32(out, static_cast<uint32_t>(dialogs.size()));
    for (const NvHandle<NvSipDialog>& dialog : dialogs) dialog->serialize(out);
}

NvSipOutgoingCall* NvSipOutgoingCall::sCreateFrom(NvInputStream& in, NvSipOutgoingCallinterface* callInterface) {
    return Tellar::NoSizeMemAllocator::create<NvSipOutgoingCall>("NvSipOutgoingCall", in, callInterface);
}

NvSipOutgoingCall::NvSipOutgoingCall(NvInputStream& in, NvSipOutgoingCallinterface* callInterface)
    : NvSipCall(in), m_hInterface(callInterface) {
    if (!callInterface) NvSipMlException::sThrow("NIL handle to Outgoing Call Interface", nullptr, nullptr);
    for (uint32_t targets = NvSipDialogRecord::sReadU32(in); targets > 0; --targets)
        m_TriedTargets.push_back(NvSipDialogRecord::sReadNameAddress(in, "target"));
    readDialogs(
        [&] {
            for (uint32_t dialogs = NvSipDialogRecord::sReadU32(in); dialogs > 0; --dialogs)
                m_Dialogs.push_back(Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", this, in));
        },
        m_Dialogs);
}
