// Calls written to a byte stream and rebuilt from it, as after a restart:
// the original call is ended and the stack forgets its transactions before
// the rebuild; the rebuilt call then carries on on the wire.

#include "CallManagerFlow.h"

#include "mlapi/NvSipOutgoingCall.h"
#include "mlapi/snapshot/NvSipSnapshotDirectory.h"
#include "stack/sip/NvSipHeaders.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

using D = NvSipDialog;

// A store in memory that counts its writes.
struct MemoryStore : NvSipSnapshotStore {
    std::map<std::string, std::string> records;
    int writes = 0;
    uint32_t lifetime = 0;
    void save(const std::string& callId, const std::string& snapshot, uint32_t lifetimeSeconds) override {
        records[callId] = snapshot, ++writes, lifetime = lifetimeSeconds;
    }
    void remove(const std::string& callId) override { records.erase(callId); }
    std::string load(const std::string& callId) override { return records.count(callId) ? records[callId] : ""; }
    std::vector<std::pair<std::string, std::string>> loadAll() override { return {records.begin(), records.end()}; }
};

// The application keeps a further branch's answer (ACKed, not hung up).
struct KeepsForks : NvSipOutgoingCallinterface {
    void multipleResponse(Call, Dialog dialog, NvHandle<NvSipResponse> response) override { dialog->ack(response); }
};

class SnapshotTest : public ConfirmedCallFlow {
protected:
    NvHandle<NvSipOutgoingCall> outgoing;
    NvHandle<NvSipOutgoingCallinterface> outgoingEvents = new KeepsForks;

    void TearDown() override {
        restart();
        ConfirmedCallFlow::TearDown();
    }

    static std::string snapshotOf(const NvSipCall& of) {
        NvByteArrayOutputStream out;
        of.serialize(out);
        return out.toByteArray();
    }
    // Ends the calls as a restart would: out of the table, timers and transactions forgotten.
    void restart() {
        std::vector<NvHandle<D>> dialogs = outgoing ? outgoing->getDialogs() : std::vector<NvHandle<D>>();
        if (call && call->getDialog()) dialogs.push_back(call->getDialog());
        for (const NvHandle<D>& dialog : dialogs) {
            dialog->detach();
            dialog->terminating();
            dialog->getCall()->removeDialog(dialog);
        }
        call = nullptr;
        outgoing = nullptr;
        transactions.clear();
        wire.clear();
        events->taken();
    }
    void rebuild(const std::string& bytes, bool isOutgoing = false) {
        NvByteArrayInputStream in(bytes);
        if (isOutgoing) outgoing = NvSipOutgoingCall::sCreateFrom(in, outgoingEvents.get());
        if (!isOutgoing) call = NvSipIncomingCall::sCreateFrom(in, events.get());
    }
    // The peer's call with a route set, driven by `steps`: "180", "183"
    // (reliable), "200", "ACK", "INVITE" (the peer's re-INVITE), "BYE".
    void incomingCall(const std::vector<std::string>& steps) {
        acceptCalls();
        inject(request("INVITE", "", "r1", "Supported: 100rel\r\nRecord-Route: <sip:p@192.0.2.5;lr>\r\n"));
        for (size_t i = 0; i < steps.size(); ++i)
            if (steps[i] == "183") call->sendReliableProvisionalResponse(183, nullptr, nullptr, 0);
            else if (steps[i][0] == '1' || steps[i][0] == '2') call->answer(std::stoi(steps[i]), nullptr, nullptr, 0);
            else inject(fromPeer(steps[i], steps[i] == "ACK" ? 1 : int(i), "z9hG4bK-" + steps[i]));
        wire.clear();
        events->taken();
    }
    // Our call to bob, answered by two forks ("a1" acknowledged, "b1" not), each with a route set.
    void forkedCall() {
        const NvHandle<NvSipInviteMessage> ours(parse("INVITE sip:bob@192.0.2.1 SIP/2.0\nFrom: <sip:alice@192.0.2.10>\n"
                                                      "To: <sip:bob@192.0.2.1>\nCall-ID: out-1\nCSeq: 7 INVITE\n\n"));
        outgoing = new NvSipOutgoingCall(ours, outgoingEvents.get(), nullptr);
        const Sent invite = expectSent("INVITE");
        for (const char* tag : {"a1", "b1"}) {
            NvHandle<NvSipResponse> ok = new NvSipResponse(200, NvHandle<NvSipRequest>(invite.message));
            ok->getToHeader()->setTag(tag);
            ok->addHeader(NvSipHeader::sCreate("Record-Route", std::string("<sip:") + tag + "@192.0.2.5;lr>"));
            outgoing->getDialogs().front()->onFinalResponse(nullptr, ok);
            if (*tag == 'a') outgoing->ack(nullptr);
        }
    }
    // What an in-dialog request of `dialog` carries: CSeq, From, To, Call-ID, Route.
    static std::string identityOf(const NvHandle<D>& dialog) {
        const NvHandle<NvSipRequest> info = dialog->createRequest("INFO", nullptr, nullptr, 0, nullptr);
        const NvHandle<NvSipHeader> route = info->mGetHeader("Route");
        return std::to_string(info->getCSeqHeader()->getNumber()) + " " + info->getFromHeader()->getValue().str() +
               " " + info->getToHeader()->getValue().str() + " " + info->getCallID().str() + " " +
               (route ? route->getValue().str() : "");
    }
};

// Each state read back as written; a state patched into the record (0: none) drops what it makes stale.
TEST_F(SnapshotTest, IncomingCallInEachState_ReadsBackWithoutStaleParts) {
    const struct {
        std::vector<std::string> steps;
        int32_t patched, state;
        size_t transactions;  // the stack's after the rebuild
        bool initialTransaction, listed;
    } cases[] = {
        {{}, 0, D::NV_CALLED, 1, true, true}, {{"180"}, 0, D::NV_PROCEEDING, 1, true, true},
        {{"183"}, 0, D::NV_PROCEEDED, 1, true, true}, {{"200"}, 0, D::NV_PROCESSING, 0, false, true},
        {{"200", "ACK"}, 0, D::NV_ACTIVE, 0, false, true}, {{"180"}, D::NV_ACTIVE, D::NV_ACTIVE, 0, false, true},
        {{"200", "ACK", "INVITE"}, 0, D::NV_REINVITED, 1, false, true},
        {{"200", "ACK", "BYE"}, 0, D::NV_TERMINATING, 1, false, true},
        {{"200", "ACK", "INVITE"}, D::NV_REINVITE_PROCESSING, D::NV_REINVITE_PROCESSING, 1, false, true},
        {{"200", "ACK", "INVITE"}, D::NV_ACTIVE, D::NV_ACTIVE, 0, false, true},
        {{"200", "ACK", "BYE"}, D::NV_TERMINATED, D::NV_TERMINATED, 0, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        incomingCall(c.steps);
        std::string written = snapshotOf(*call);
        const std::string identity = identityOf(call->getDialog());
        NvByteArrayOutputStream callRecord;  // the dialog's state comes right after it, little-endian
        call->NvSipCall::serialize(callRecord);
        for (size_t i = 0; c.patched && i < 4; ++i) written[callRecord.size() + i] = char(c.patched >> (8 * i));
        restart();
        rebuild(written);
        EXPECT_EQ(std::make_tuple(call->getDialog()->getState(), !call->getDialog()->getInitialTransaction().isNil(),
                                  transactions.getTransactionCount(), manager.getDialogCount()),
                  std::make_tuple(c.state, c.initialTransaction, c.transactions, size_t(c.listed)));
        EXPECT_TRUE(c.patched || snapshotOf(*call) == written);
        EXPECT_EQ(identityOf(call->getDialog()), identity);
        restart();
    }
}

TEST_F(SnapshotTest, RebuiltIncomingCallGoesOn_ReinviteAnsweredByeEitherWay) {
    for (const std::string next : {"our re-INVITE", "peer's BYE", "our BYE"}) {
        SCOPED_TRACE(next);
        incomingCall({"200", "ACK"});
        if (next == "our re-INVITE") call->reinvite(nullptr, nullptr, 0, nullptr);
        const Sent reinvite = next == "our re-INVITE" ? expectSent("INVITE") : Sent();
        const std::string written = snapshotOf(*call);
        restart();
        rebuild(written);
        if (reinvite.message) {  // its answer reaches the rebuilt dialog, whose interface ACKs it
            inject(answer(reinvite, 200));
            EXPECT_EQ(expectSent("ACK sip:alice@192.0.2.1").message->getCSeqHeader()->getNumber(), 2u);
        } else if (next == "peer's BYE") {
            EXPECT_EQ(heardAfter(fromPeer("BYE", 2, "z9hG4bK-BYE")), "terminated");
            call->respondToBye(nullptr);
            expectSent("SIP/2.0 200");
        } else {  // its CSeq, tags and route set: as in the test above
            call->hangup();
            inject(responseTo(expectSent("BYE sip:alice@192.0.2.1"), 200));
        }
        EXPECT_EQ(manager.getDialogCount(), reinvite.message ? 1u : 0u);
        restart();
    }
}

// A node keeps its confirmed call in the store, rewritten once for changes that come together, with a lifetime of
// twice the session interval; another node, for the peer's re-INVITE of a call it does not know, takes it over from
// the store (the call goes on: the re-INVITE and the BYE are answered) and removes its record when it ends.
TEST_F(SnapshotTest, StoreKeepsTheConfirmedCall_AnotherNodeTakesItOverForItsRequest) {
    NvSipDialog::sm_bSupportTimer = true;
    const NvHandle<MemoryStore> store = new MemoryStore;
    manager.setSnapshotStore(store, events.get());
    answerCall("Supported: timer\r\nSession-Expires: 1800\r\n");
    EXPECT_EQ(store->writes, 0);  // written on the stack's thread, after the event
    clock.advance(0);
    EXPECT_EQ(std::make_tuple(store->writes, store->lifetime, store->records.count("c1")), std::make_tuple(1, 3600u, 1u));
    call->update(nullptr, nullptr, 0);
    call->info(NvHandle<NvSipInfoMessage>(call->getDialog()->createRequest("INFO", nullptr, nullptr, 0, nullptr)));
    expectSent("UPDATE sip:alice@192.0.2.1");
    expectSent("INFO sip:alice@192.0.2.1");
    clock.advance(0);
    EXPECT_EQ(store->writes, 2);  // our two requests, one write
    const std::string record = store->records["c1"];
    EXPECT_EQ(record, snapshotOf(*call));
    // A request with a wrong tag, for the call that is up here, takes nothing over: 481.
    EXPECT_EQ(heardAfter(request("INFO", "wrong", "r1", "", "c1", "z9hG4bK-wrong", 9)), "");
    expectSent("SIP/2.0 481");

    // The node dies: its calls go, the record stays.
    const std::string ourTag = call->getLocalTag().str();
    const auto peer = [&](const char* method, int cseq, const char* branch) {
        return request(method, ourTag, "r1", "", "c1", branch, cseq);
    };
    manager.setSnapshotStore(nullptr, nullptr);
    restart();
    EXPECT_EQ(heardAfter(peer("INVITE", 5, "z9hG4bK-lost")), "");  // no store: the stray way
    expectSent("SIP/2.0 481");

    manager.setSnapshotStore(store, events.get());  // another node with the same store
    onTakeOver = [this](NvHandle<NvSipIncomingCall> taken) {
        call = taken;
        events->record("takenOver");
    };
    EXPECT_EQ(heardAfter(peer("INVITE", 6, "z9hG4bK-re")), "takenOver reinviteRequest");
    expectSent("SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    EXPECT_EQ(heardAfter(peer("ACK", 6, "z9hG4bK-ack6")), "reinviteAck");
    peerHangsUp(7);
    clock.advance(0);
    EXPECT_TRUE(store->records.empty());
}

// A rebuilt call keeps its remote target (the peer's UPDATE moved it), and its session timer runs again: a new
// interval from the rebuild, refreshed by us at its half.
TEST_F(SnapshotTest, RebuiltCallKeepsItsRemoteTargetAndRunsItsSessionTimerAgain) {
    NvSipDialog::sm_bSupportTimer = true;
    answerCall("Supported: timer\r\nSession-Expires: 1800\r\n");
    std::string moved = fromPeer("UPDATE", 2, "z9hG4bK-up", "Supported: timer\r\nSession-Expires: 1800\r\n");
    moved.replace(moved.find("Contact: <sip:alice@192.0.2.1>"), 30, "Contact: <sip:alice@192.0.2.99>");
    EXPECT_EQ(heardAfter(moved), "updateRequest");
    call->respondToUpdate(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    const std::string written = snapshotOf(*call);
    clock.advance(1000 * 1000);
    restart();
    rebuild(written);
    clock.advance(899 * 1000);
    EXPECT_EQ(events->taken(), "");
    clock.advance(1000);
    EXPECT_EQ(events->taken(), "refresh");
    call->hangup();
    inject(responseTo(expectSent("BYE sip:alice@192.0.2.99"), 200));
}

// The folder store: a file a call, whatever its Call-ID holds; files that are not its own are left alone.
TEST(SnapshotDirectory, KeepsReadsAndRemovesRecords_IgnoresOtherFiles) {
    const std::string folder = testing::TempDir() + "snapshots-" + std::to_string(::getpid());
    const NvHandle<NvSipSnapshotDirectory> store = new NvSipSnapshotDirectory(folder);
    store->save("a/b@c", "one", 0);
    store->save("d", "two", 0);
    store->save("d", "three", 0);
    std::ofstream(folder + "/zz.call") << "not ours";
    auto all = store->loadAll();
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<std::pair<std::string, std::string>>{{"a/b@c", "one"}, {"d", "three"}}));
    store->remove("a/b@c");
    EXPECT_EQ(store->load("a/b@c") + "," + store->load("d"), ",three");
    std::filesystem::remove_all(folder);
}

TEST_F(SnapshotTest, OutgoingCallWithTwoForks_ReadsBackInOrder) {
    forkedCall();
    const std::vector<NvHandle<D>> written = outgoing->getDialogs();
    ASSERT_EQ(written.size(), 2u);
    const std::string bytes = snapshotOf(*outgoing);
    const std::string identities = identityOf(written[0]) + identityOf(written[1]);  // Call-ID, our tag and party
    restart();

    rebuild(bytes, true);
    EXPECT_TRUE(outgoing->tried(NvSipNameAddress::sParse("<sip:bob@192.0.2.1>")));
    const std::vector<NvHandle<D>> rebuilt = outgoing->getDialogs();
    ASSERT_EQ(rebuilt.size(), 2u);
    EXPECT_EQ(manager.getDialogCount(), 2u);
    EXPECT_TRUE(rebuilt[0]->getState() == D::NV_ACTIVE && rebuilt[1]->getState() == D::NV_ACTIVE);
    EXPECT_EQ(rebuilt[0]->getKey().str() + rebuilt[1]->getKey().str(),
              written[0]->getKey().str() + written[1]->getKey().str());
    EXPECT_EQ(identityOf(rebuilt[0]) + identityOf(rebuilt[1]), identities);
}

TEST_F(SnapshotTest, TruncatedOrCorruptStreams_RaiseAndLeaveNothingListed) {
    for (bool isOutgoing : {false, true}) {
        isOutgoing ? forkedCall() : incomingCall({"200", "ACK", "BYE"});
        const std::string written = isOutgoing ? snapshotOf(*outgoing) : snapshotOf(*call);
        restart();
        for (size_t length = 0; length < written.size(); ++length) {
            EXPECT_THROW(rebuild(written.substr(0, length), isOutgoing), NvHandle<NvException>) << length;
            ASSERT_EQ(std::make_tuple(manager.getDialogCount(), transactions.getTransactionCount(),
                                      Tellar::liveAllocations("NvSipDialog")), std::make_tuple(0u, 0u, 0L)) << length;
        }
        for (size_t at = 0; at < written.size(); ++at) {
            std::string flipped = written;
            flipped[at] = static_cast<char>(~flipped[at]);
            try {
                rebuild(flipped, isOutgoing);
            } catch (const NvHandle<NvException>&) {
                EXPECT_EQ(manager.getDialogCount(), 0u) << at;
            }
            restart();
            ASSERT_EQ(Tellar::liveAllocations("NvSipDialog"), 0) << at;
        }
    }
}

}  // namespace
