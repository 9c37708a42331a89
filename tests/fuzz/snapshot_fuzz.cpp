// libFuzzer target for call snapshots.
//
// The first byte picks the call class (even: incoming, odd: outgoing); the
// rest is the stream given to its sCreateFrom. For every input it checks that
//  - reading either rebuilds a call or raises the stack's exception, and in
//    that case leaves no dialog in the call manager's table, no transaction
//    in the stack and no dialog alive;
//  - a rebuilt call, written again, reads back to a call that writes the very
//    same bytes (the snapshot of a rebuilt call is a fixed point);
//  - once its dialogs are ended, nothing of a rebuilt call stays listed or
//    alive.
// Any broken check aborts, so that libFuzzer keeps the input as a crash.
// Time stands still (test clock) and nothing is sent on a network: the test
// transport takes whatever a rebuilt transaction sends.

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarAlloc.h"
#include "stack/timer/NvTestClock.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "snapshot_fuzz: %s\n", what);
    std::abort();
}

class RefuseNewCalls : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage>) override { return nullptr; }
};

class IncomingEvents : public NvSipIncomingCallinterface {
public:
    void inviteRequest(Call, NvHandle<NvSipInviteMessage>) override {}
};

// The process's stack and call manager, set up once.
struct Stack {
    NvTestClock clock;
    NvSipTestTransport wire;
    NvSipTransactionManager& transactions = *NvSipTransactionManager::getInstance();
    NvHandle<NvSipCallManager> manager = new NvSipCallManager(new RefuseNewCalls, new NvSipCallStrayInterface);
    NvHandle<IncomingEvents> incoming = new IncomingEvents;
    NvHandle<NvSipOutgoingCallinterface> outgoing = new NvSipOutgoingCallinterface;

    Stack() { NvSipTransportLayer::sGetInstance()->setReceiver(&transactions); }

    NvHandle<NvSipCall> read(bool isOutgoing, const std::string& bytes) {
        NvByteArrayInputStream in(bytes);
        if (isOutgoing) return NvHandle<NvSipCall>(NvSipOutgoingCall::sCreateFrom(in, outgoing.get()));
        return NvHandle<NvSipCall>(NvSipIncomingCall::sCreateFrom(in, incoming.get()));
    }
    static std::string write(const NvHandle<NvSipCall>& call) {
        NvByteArrayOutputStream out;
        call->serialize(out);
        return out.toByteArray();
    }
    // Ends every dialog of `call` and forgets the stack's transactions.
    void end(const NvHandle<NvSipCall>& call) {
        std::vector<NvHandle<NvSipDialog>> dialogs;
        if (NvHandle<NvSipOutgoingCall> out = NvHandle<NvSipOutgoingCall>(call)) dialogs = out->getDialogs();
        if (NvHandle<NvSipIncomingCall> in = NvHandle<NvSipIncomingCall>(call)) dialogs.push_back(in->getDialog());
        for (const NvHandle<NvSipDialog>& dialog : dialogs) {
            if (dialog.isNil()) continue;
            dialog->detach();
            dialog->terminating();
            call->removeDialog(dialog);
        }
        transactions.clear();
        wire.clear();
    }
    void expectNothingLeft(const char* after) {
        if (manager->getDialogCount() != 0 || transactions.getTransactionCount() != 0 ||
            Tellar::liveAllocations("NvSipDialog") != 0) {
            std::fprintf(stderr, "snapshot_fuzz: after %s: %zu listed, %zu transactions, %ld dialogs alive\n", after,
                         manager->getDialogCount(), transactions.getTransactionCount(),
                         Tellar::liveAllocations("NvSipDialog"));
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static Stack* stack = new Stack;  // kept to the end, as an application's
    if (size == 0) return 0;
    const bool isOutgoing = (bytes[0] & 1) != 0;
    const std::string snapshot(reinterpret_cast<const char*>(bytes) + 1, size - 1);

    NvHandle<NvSipCall> call;
    try {
        call = stack->read(isOutgoing, snapshot);
    } catch (NvHandle<NvException>&) {
        stack->expectNothingLeft("a failed read");
        return 0;
    }
    if (call.isNil()) fail("sCreateFrom returned nil instead of raising");
    const std::string written = Stack::write(call);
    stack->end(call);
    call = nullptr;
    stack->expectNothingLeft("ending a rebuilt call");

    try {
        call = stack->read(isOutgoing, written);
    } catch (NvHandle<NvException>& error) {
        std::fprintf(stderr, "snapshot_fuzz: %s\n", error->getMessage().c_str());
        fail("the snapshot of a rebuilt call does not read back");
    }
    if (Stack::write(call) != written) fail("the snapshot of a rebuilt call changes when read back");
    stack->end(call);
    call = nullptr;
    stack->expectNothingLeft("ending a call read back");
    return 0;
}
