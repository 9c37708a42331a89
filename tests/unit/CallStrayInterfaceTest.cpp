// The application's stray interface: what its defaults put on the wire and
// in the stray-message log. Requests reach the operations that take a
// server transaction the way the call manager delivers them: a transaction
// is created for the injected request and its `request` event is handed on.

#include "CallFlow.h"

#include "mlapi/NvSipCallStrayInterface.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipParser.h"

#include <functional>

namespace {

using Deliver = std::function<void(NvSipCallStrayInterface&, NvHandle<NvSipRequest>, NvHandle<NvSipServerTransaction>)>;

// Hands each request's `request` event to one operation of the stray interface.
class StrayDelivery : public NvSipServerTransactionInterface {
public:
    StrayDelivery(NvHandle<NvSipCallStrayInterface> stray, Deliver deliver)
        : m_hStray(std::move(stray)), m_Deliver(std::move(deliver)) {}
    void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override {
        m_Deliver(*m_hStray, request, transaction);
    }

private:
    NvHandle<NvSipCallStrayInterface> m_hStray;
    Deliver m_Deliver;
};

class StrayDeliveryFactory : public NvTransactionFactoryInterface {
public:
    explicit StrayDeliveryFactory(NvHandle<StrayDelivery> delivery) : m_hDelivery(std::move(delivery)) {}
    NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) override {
        return new NvSipServerTransaction(request, m_hDelivery.get());
    }

private:
    NvHandle<StrayDelivery> m_hDelivery;
};

NvHandle<NvSipMessage> parse(const std::string& text) { return NvSipParser::sParse(text.data(), text.size()); }

// `text` without its CSeq line: a message the stack finds malformed.
std::string withoutCSeq(std::string text) {
    const size_t at = text.find("CSeq:");
    return text.erase(at, text.find("\r\n", at) + 2 - at);
}

class CallStrayInterfaceTest : public CallFlow {
protected:
    NvHandle<NvSipCallStrayInterface> stray = new NvSipCallStrayInterface;

    void deliverThrough(Deliver deliver) {
        transactions.setTransactionFactoryInterface(
            new StrayDeliveryFactory(new StrayDelivery(stray, std::move(deliver))));
    }
};

TEST_F(CallStrayInterfaceTest, RequestsNamingNoDialogGetOne481OnTheirTransaction) {
    const struct {
        const char* method;
        std::string extra;
        Deliver deliver;
    } cases[] = {
        {"BYE", "", [](auto& s, auto r, auto t) { s.strayBye(NvHandle<NvSipByeMessage>(r), t); }},
        {"INVITE", "Replaces: gone;to-tag=l9;from-tag=r9\r\n",
         [](auto& s, auto r, auto t) { s.strayReplacesInvite(NvHandle<NvSipInviteMessage>(r), t); }},
        {"INFO", "", [](auto& s, auto r, auto t) { s.strayUnknownRequest(r, t); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        deliverThrough(c.deliver);
        inject(request(c.method, "l9", "r9", c.extra, std::string("c-") + c.method));
        if (std::string(c.method) == "INVITE") expectSent("SIP/2.0 100");
        const Sent answer = expectSent("SIP/2.0 481");
        EXPECT_EQ(answer.message->getCallID().str(), std::string("c-") + c.method);
        expectNothingSent();
    }
}

TEST_F(CallStrayInterfaceTest, StatelessAnswers) {
    const struct {
        const char* name;
        std::function<void(NvSipCallStrayInterface&)> deliver;
        const char* answer;  // nullptr: nothing is sent
    } cases[] = {
        {"stray CANCEL", [](auto& s) { s.strayCancel(NvHandle<NvSipCancelMessage>(parse(request("CANCEL", "", "r1")))); },
         "SIP/2.0 481"},
        {"stray PRACK",
         [](auto& s) { s.strayPrack(NvHandle<NvSipPrackMessage>(parse(request("PRACK", "l1", "r1", "RAck: 1 1 INVITE\r\n")))); },
         "SIP/2.0 481"},
        {"malformed request", [](auto& s) { s.malFormedMessage(parse(withoutCSeq(request("OPTIONS", "", "r1")))); },
         "SIP/2.0 400"},
        {"malformed ACK", [](auto& s) { s.malFormedMessage(parse(withoutCSeq(request("ACK", "l1", "r1")))); }, nullptr},
        {"malformed response", [](auto& s) { s.malFormedMessage(parse(withoutCSeq(response(200, "INVITE", "a", "b")))); },
         nullptr},
        {"stray response", [](auto& s) { s.strayResponse(NvHandle<NvSipResponse>(parse(response(200, "INVITE", "a", "b")))); },
         nullptr},
        {"invalid message", [](auto& s) { s.invalidMessage(parse(response(200, "INVITE", "a", "b"))); }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.deliver(*stray);
        if (c.answer) expectSent(c.answer);
        expectNothingSent();
    }
}

TEST_F(CallStrayInterfaceTest, StrayAckIsLoggedAtInfoAndNeverAnswered) {
    const auto ack = NvHandle<NvSipAckMessage>(parse(request("ACK", "l1", "r1")));
    {
        Tellar::LogCapture log("lumbrook.sip.message.stray", Tellar::INFO);
        stray->strayAck(ack);
        ASSERT_EQ(log.size(), 1u) << log.dump();
        EXPECT_EQ(log.count(Tellar::INFO, "IGNORING RECEIVED SIP ACK (STRAY):\n<<<< RECEIVED SIP MESSAGE"), 1u);
        EXPECT_NE(log.records()[0].text.find("ACK sip:bob@192.0.2.10 SIP/2.0"), std::string::npos);
    }
    Tellar::LogCapture quiet("lumbrook.sip.message.stray", Tellar::WARN);
    stray->strayAck(ack);
    EXPECT_EQ(quiet.size(), 0u) << quiet.dump();
    expectNothingSent();
}

TEST_F(CallStrayInterfaceTest, OverridingOneOperationKeepsTheOtherDefaults) {
    struct ByeOnly : NvSipCallStrayInterface {
        int byes = 0;
        void strayBye(NvHandle<NvSipByeMessage>, NvHandle<NvSipServerTransaction> t) override {
            ++byes;
            t->sendResponse(200);
        }
    };
    NvHandle<ByeOnly> byeOnly(new ByeOnly);
    stray = byeOnly;
    deliverThrough([](auto& s, auto r, auto t) {
        if (r->getMethod() == "BYE") s.strayBye(NvHandle<NvSipByeMessage>(r), t);
        else s.strayUnknownRequest(r, t);
    });
    inject(request("BYE", "l1", "r1"));
    expectSent("SIP/2.0 200");
    inject(request("NOTIFY", "l1", "r1", "", "c1", "z9hG4bK-p2"));
    expectSent("SIP/2.0 481");
    EXPECT_EQ(byeOnly->byes, 1);
}

}  // namespace
