// The call's identity (local Contact, tags) and the call's message log.

#include "CallFlow.h"
#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipCallStrayInterface.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipNewCallinterface.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "stack/log/TellarCapture.h"

#include <cstring>
#include <thread>
#include <vector>

namespace {

// A call with no dialog, to read what the base class built.
struct BareCall : NvSipCall {
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

// The virtual table slot of virtual operation `operation` (Itanium C++ ABI:
// a pointer to a virtual member holds 1 + the slot's byte offset).
template <class Operation>
std::ptrdiff_t slotOf(Operation operation) {
    std::ptrdiff_t words[sizeof operation / sizeof(std::ptrdiff_t)];
    std::memcpy(words, &operation, sizeof words);
    return (words[0] - 1) / std::ptrdiff_t(sizeof(void*));
}
// "" when `operations` take consecutive slots; else the first out of place.
template <class... Operations>
std::string misplaced(Operations... operations) {
    const std::vector<std::ptrdiff_t> slots{slotOf(operations)...};
    for (size_t i = 1; i < slots.size(); ++i)
        if (slots[i] != slots[0] + std::ptrdiff_t(i)) return "operation " + std::to_string(i) + " out of place";
    return "";
}

// Binary compatibility: the virtual operations of the calls and of the
// application's interfaces follow NvObject's in their documented order.
TEST(VirtualSlots, CallsAndInterfacesInTheirDocumentedOrder) {
    using C = NvSipCall;
    using Response = void (C::*)(NvHandle<NvSipResponse>);
    EXPECT_EQ(misplaced(&NvObject::Release, &C::hangup, static_cast<Response>(&C::respondToReinvite), &C::serialize,
                        &C::acceptReplaces, &C::rejectReplaces, &C::onReplacesInvite, &C::onInviteRequest,
                        &C::onReinviteResponse, &C::onReinviteRequest, &C::onReinviteAck, &C::onReinviteTimeOut,
                        &C::onByeRequest, &C::onByeResponse, &C::onByeTimeOut, &C::onCancelReinviteRequest,
                        &C::onUnknownRequest, &C::onUnknownResponse, &C::onUnknownRequestTimeOut, &C::onTimeOut,
                        &C::onSessionRefreshTime, &C::onSessionTimeOut, &C::addDialog, &C::removeDialog), "");
    using O = NvSipOutgoingCall;
    EXPECT_EQ(misplaced(&C::removeDialog, &O::onReliableProvisionalResponse, &O::onProvisionalResponse,
                        &O::onSuccessfulResponse, &O::onRedirectResponse, &O::onFailureResponse,
                        &O::onMultipleFinalResponse, &O::onPrackResponse, &O::onUpdateRequest,
                        &O::onUpdateResponse), "");
    using I = NvSipIncomingCall;
    EXPECT_EQ(misplaced(&C::removeDialog, &I::onPrackRequest, &I::onAckRequest, &I::onAckRequest2, &I::onCancelRequest,
                        &I::onUpdateRequest, &I::onUpdateResponse), "");
    using In = NvSipIncomingCallinterface;
    EXPECT_EQ(misplaced(&NvObject::Release, &In::inviteRequest, &In::prack, &In::callConfirmed, &In::terminated,
                        &In::unknownRequest, &In::referRequest, &In::referResponse, &In::notifyRequest,
                        &In::notifyResponse, &In::reinviteRequest, &In::reinviteCancel, &In::reinviteResponse,
                        &In::reinviteAck, &In::reinviteTimeOut, &In::onSessionTimeOut, &In::onSessionRefreshTime,
                        &In::replacesDialog, &In::updateRequest, &In::updateResponse), "");
    using Out = NvSipOutgoingCallinterface;
    EXPECT_EQ(misplaced(&NvObject::Release, &Out::reliableProvisionalResponse, &Out::provisionalResponse,
                        &Out::failedToConnect, &Out::redirect, &Out::succeeded, &Out::dialogTerminated,
                        &Out::terminated, &Out::unknownRequest, &Out::referRequest, &Out::referResponse,
                        &Out::notifyRequest, &Out::notifyResponse, &Out::reinviteRequest, &Out::reinviteCancel,
                        &Out::reinviteResponse, &Out::reinviteAck, &Out::reinviteTimeOut, &Out::onSessionTimeOut,
                        &Out::onSessionRefreshTime, &Out::multipleResponse, &Out::replacesDialog,
                        &Out::prackResponse, &Out::updateRequest, &Out::updateResponse), "");
    using S = NvSipCallStrayInterface;
    EXPECT_EQ(misplaced(&NvObject::Release, &S::strayResponse, &S::strayAck, &S::strayCancel, &S::strayPrack,
                        &S::strayReplacesInvite, &S::strayBye, &S::strayUnknownRequest, &S::invalidMessage,
                        &S::malFormedMessage), "");
    EXPECT_EQ(misplaced(&NvObject::Release, &NvSipNewCallinterface::newCall), "");
}

NvHandle<NvSipNameAddress> alice() { return new NvSipNameAddress("", new NvSipURL("sip:alice@192.0.2.1")); }

class CallIdentity : public CallFlow {};

TEST_F(CallIdentity, LocalContactFormsAndFreshTags_NullParticipantOrInterfaceRaises) {
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
    EXPECT_EQ(raised([] { BareCall call(nullptr); }), "Local participant is not specified");
    const NvHandle<NvSipInviteMessage> invite(parse(request("INVITE", "", "r1")));
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
        // Two lines of half the cap each: the first is pushed out by the next two.
        for (const auto& [level, text] : {std::pair(Tellar::INFO, big.c_str()), {Tellar::INFO, big.c_str()},
                                          {Tellar::INFO, "first"}, {Tellar::DEBUG, "below the logger's level"},
                                          {Tellar::WARN, "second"}})
            callLog.log(level, text);
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
        std::thread writer([&] {
            for (int i = 0; i < kLines; ++i) callLog.log(Tellar::INFO, std::to_string(i).c_str());
        });
        callLog.setLogger(log.logger());
        writer.join();
        const auto records = log.capture.records();
        ASSERT_EQ(records.size(), size_t(kLines));
        for (int i = 0; i < kLines; ++i) ASSERT_EQ(records[i].text, std::to_string(i)) << "out of order or twice";
    }
}

}  // namespace
