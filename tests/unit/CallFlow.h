#pragma once
// A fixture for the call layer's tests, written as call flows: SIP text is
// injected through the test transport as if it came from the peer at
// 192.0.2.1:5060 (the stack itself is 192.0.2.10:5060), what the stack sends
// is taken from the transport's captures, and time moves only with the test
// clock.
//
//     inject(request("BYE", "l1", "r1"));
//     expectSent("SIP/2.0 481");
//     expectNothingSent();

#include "stack/timer/NvTestClock.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

class CallFlow : public ::testing::Test {
protected:
    using Sent = NvSipTestTransport::Sent;

    NvTestClock clock;
    NvSipTestTransport wire;
    NvSipTransactionManager& transactions = *NvSipTransactionManager::getInstance();

    void SetUp() override {
        transactions.clear();
        NvSipTransportLayer::sGetInstance()->setReceiver(&transactions);
    }
    void TearDown() override {
        transactions.clear();
        transactions.setStrayInterface(nullptr);
        transactions.setTransactionFactoryInterface(nullptr);
    }

    void inject(const std::string& text) { wire.inject(text); }

    // The next message sent, which must start with `startLine`; raises (and
    // so fails the test) when nothing was sent.
    Sent expectSent(const std::string& startLine) {
        if (wire.sentCount() == 0) throw std::runtime_error("nothing was sent; expected " + startLine);
        Sent sent = wire.takeNext();
        EXPECT_EQ(sent.bytes.substr(0, startLine.size()), startLine) << sent.bytes;
        return sent;
    }
    void expectNothingSent() {
        EXPECT_EQ(wire.sentCount(), 0u) << (wire.sentCount() ? wire.sent().front().bytes : "");
        wire.clear();
    }

    // A request from the peer in the dialog Call-ID `callId`; tags empty for none.
    static std::string request(const std::string& method, const std::string& toTag, const std::string& fromTag,
                               const std::string& extra = "", const std::string& callId = "c1",
                               const std::string& branch = "z9hG4bK-p1") {
        return method + " sip:bob@192.0.2.10 SIP/2.0\r\n" +
               "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=" + branch + "\r\n" +
               "Max-Forwards: 70\r\n"
               "From: <sip:alice@192.0.2.1>" + (fromTag.empty() ? "" : ";tag=" + fromTag) + "\r\n" +
               "To: <sip:bob@192.0.2.10>" + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\n" +
               "Call-ID: " + callId + "\r\n" +
               "CSeq: 1 " + method + "\r\n" +
               "Contact: <sip:alice@192.0.2.1>\r\n" + extra + "Content-Length: 0\r\n\r\n";
    }
    // A response from the peer to a request of ours in dialog `callId`.
    static std::string response(int code, const std::string& method, const std::string& fromTag,
                                const std::string& toTag, const std::string& callId = "c1") {
        return "SIP/2.0 " + std::to_string(code) + " " + NvSipResponse::sReasonPhrase(code) + "\r\n" +
               "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-ours\r\n"
               "From: <sip:bob@192.0.2.10>" + (fromTag.empty() ? "" : ";tag=" + fromTag) + "\r\n" +
               "To: <sip:alice@192.0.2.1>" + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\n" +
               "Call-ID: " + callId + "\r\n" +
               "CSeq: 1 " + method + "\r\n" + "Content-Length: 0\r\n\r\n";
    }
};
