// The call's identity (local Contact, tags) and the call's message log.

#include "CallFlow.h"
#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipMlException.h"
#include "stack/log/TellarCapture.h"

#include <atomic>
#include <thread>

namespace {

// A call with no dialog, to read what the base class built.
class BareCall : public NvSipCall {
public:
    using NvSipCall::NvSipCall;
    void onInviteRequest(NvHandle<NvSipDialog>, NvHandle<NvSipInviteMessage>) override {}
    void onReinviteResponse(NvHandle<NvSipDialog>, NvHandle<NvSipResponse>) override {}
    void onReinviteRequest(NvHandle<NvSipDialog>, NvHandle<NvSipInviteMessage>) override {}
    void onReinviteAck(NvHandle<NvSipDialog>, NvHandle<NvSipAckMessage>) override {}
    void onReinviteTimeOut(NvHandle<NvSipDialog>, NvHandle<NvSipInviteMessage>) override {}
    void onByeRequest(NvHandle<NvSipDialog>, NvHandle<NvSipByeMessage>) override {}
    void onByeResponse(NvHandle<NvSipDialog>, NvHandle<NvSipResponse>) override {}
    void onByeTimeOut(NvHandle<NvSipDialog>, NvHandle<NvSipByeMessage>) override {}
    void onCancelReinviteRequest(NvHandle<NvSipDialog>, NvHandle<NvSipCancelMessage>) override {}
    void onUnknownRequest(NvHandle<NvSipDialog>, NvHandle<NvSipServerTransaction>, NvHandle<NvSipRequest>) override {}
    void onUnknownResponse(NvHandle<NvSipDialog>, NvHandle<NvSipResponse>) override {}
    void onUnknownRequestTimeOut(NvHandle<NvSipDialog>, NvHandle<NvSipTransaction>) override {}
    void onTimeOut(NvHandle<NvSipDialog>) override {}
    void onSessionRefreshTime(NvHandle<NvSipDialog>) override {}
    void onSessionTimeOut(NvHandle<NvSipDialog>) override {}
    void addDialog(NvHandle<NvSipDialog>) override {}
    void removeDialog(NvHandle<NvSipDialog>) override {}
    void hangup() override {}
};

NvHandle<NvSipNameAddress> alice() { return new NvSipNameAddress("", new NvSipURL("sip:alice@192.0.2.1")); }

TEST(CallIdentity, LocalContactFormsAndFreshTags) {
    EXPECT_TRUE(NvHandle<NvSipCall>(new BareCall(alice()))->getLocalContact().isNil());
    const std::tuple<const char*, unsigned, NvSocketImpl::Transport, const char*, const char*> cases[] = {
        {"10.0.0.1", 5060, NvSocketImpl::UDP, nullptr, "sip:10.0.0.1;transport=udp"},
        {"10.0.0.1", 5080, NvSocketImpl::TCP, nullptr, "sip:10.0.0.1:5080;transport=tcp"},
        {"10.0.0.1", 5060, NvSocketImpl::UDP, "bob", "sip:bob@10.0.0.1;transport=udp"}};
    for (const auto& [host, port, transport, user, contact] : cases) {
        NvSipCall::setLocalHostPort(host, port, transport, user);
        EXPECT_EQ(NvHandle<NvSipCall>(new BareCall(alice()))->getLocalContact()->getURI()->toString().str(), contact);
    }
    NvHandle<NvSipCall> first = new BareCall(alice()), second = new BareCall(alice());
    EXPECT_NE(first->getLocalContact().get(), second->getLocalContact().get()) << "each call has its own copy";
    EXPECT_NE(first->getLocalTag(), second->getLocalTag());
    EXPECT_EQ(first->getLocalTag().str().rfind("nv", 0), 0u);
}

TEST(CallIdentity, NullParticipantOrInterfaceRaises) {
    EXPECT_EQ(raised([] { BareCall call(nullptr); }), "Local participant is not specified");
    const NvHandle<NvSipInviteMessage> invite(parse(
        "INVITE sip:bob@192.0.2.10 SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK-1\n"
        "From: <sip:alice@192.0.2.1>;tag=r1\nTo: <sip:bob@192.0.2.10>\nCall-ID: c1\nCSeq: 1 INVITE\n"
        "Content-Length: 0\n\n"));
    EXPECT_EQ(raised([&] { NvHandle<NvSipIncomingCall> call = new NvSipIncomingCall(invite, nullptr); }),
              "NIL handle to Incoming Call Interface");
    EXPECT_EQ(Tellar::liveAllocations("NvSipDialog"), 0);
}

// A logger of its own name, captured.
struct CallLog {
    Tellar::LogCapture capture{"test.call.log", Tellar::INFO};
    Tellar::Logger* logger() { return new Tellar::Logger("test.call.log"); }
};

TEST(CallMessageLog, KeptLinesAreReplayedInOrderFilteredByLevel_TheOldestDroppedBeyondTheCap) {
    CallLog log;
    {
        NvSipDialog::CallMessageLogger callLog;
        callLog.log(Tellar::INFO, "not kept: the buffer's gate is at WARN");
        Tellar::LogCapture gate("lumbrook.nv.NvSipDialog.CallMessages", Tellar::DEBUG);
        const std::string big(NvSipDialog::CallMessageLogger::sm_MaxPendingBytes / 2, 'x');
        callLog.log(Tellar::INFO, big.c_str());  // pushed out by the next two
        callLog.log(Tellar::INFO, big.c_str());
        callLog.log(Tellar::INFO, "first");
        callLog.log(Tellar::DEBUG, "below the logger's level");
        callLog.log(Tellar::WARN, "second");
        EXPECT_TRUE(callLog.wouldLog(Tellar::DEBUG)) << "buffered until a logger decides";
        EXPECT_EQ(log.capture.size(), 0u);
        callLog.setLogger(log.logger());
        callLog.setLogger(log.logger());  // refused and deleted: the first keeps writing
        callLog.log(Tellar::INFO, "third");
        EXPECT_FALSE(callLog.wouldLog(Tellar::DEBUG));
    }
    const auto records = log.capture.records();
    ASSERT_EQ(records.size(), 5u) << log.capture.dump();
    EXPECT_EQ(records[0].text + " " + records[2].text + " " + records[3].text + " " + records[4].text,
              "[1 earlier lines of this call dropped] first second third");
    EXPECT_EQ(records[1].text.size(), NvSipDialog::CallMessageLogger::sm_MaxPendingBytes / 2);
    EXPECT_EQ(records[3].level, Tellar::WARN);
}

TEST(CallMessageLog, ALineLoggedWhileTheLoggerArrivesIsWrittenOnceRace) {
    constexpr int kLines = 2000;
    for (int round = 0; round < 5; ++round) {
        CallLog log;
        NvSipDialog::CallMessageLogger callLog;
        Tellar::LogCapture gate("lumbrook.nv.NvSipDialog.CallMessages", Tellar::INFO);
        std::atomic<bool> go{false};
        std::thread writer([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kLines; ++i) callLog.log(Tellar::INFO, std::to_string(i).c_str());
        });
        go = true;
        callLog.setLogger(log.logger());
        writer.join();
        const auto records = log.capture.records();
        ASSERT_EQ(records.size(), size_t(kLines));
        for (int i = 0; i < kLines; ++i) ASSERT_EQ(records[i].text, std::to_string(i)) << "out of order or twice";
    }
}

}  // namespace
