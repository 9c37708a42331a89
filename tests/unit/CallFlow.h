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

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/timer/NvTestClock.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

// The message of the NvException `run()` raises; "" when it returns.
template <class Run>
std::string raised(Run run) {
    try {
        run();
    } catch (const NvHandle<NvException>& error) {
        return error->getMessage().str();
    }
    return "";
}

// A message from its text, each "\n" a line end.
inline NvHandle<NvSipMessage> parse(std::string text) {
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        if (at == 0 || text[at - 1] != '\r') text.insert(at, "\r");
    NvByteArrayInputStream in(text);
    return NvSipMessage::sConstructFrom(in);
}

// The values of every header `name` of `message`, joined by ", "; "" for none.
inline std::string valueOf(const NvHandle<NvSipMessage>& message, const char* name) {
    std::string joined;
    for (const NvHandle<NvSipHeader>& header : message->getHeaders())
        if (header->getName() == name) joined += (joined.empty() ? "" : ", ") + header->getValue().str();
    return joined;
}
inline uint32_t cseqOf(const NvHandle<NvSipMessage>& message) { return message->getCSeqHeader()->getNumber(); }

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
    // Injects `text`, then expectSent(startLine): what it brought back.
    Sent injectExpecting(const std::string& text, const std::string& startLine) {
        return inject(text), expectSent(startLine);
    }
    void expectNothingSent() {
        EXPECT_EQ(wire.sentCount(), 0u) << (wire.sentCount() ? wire.sent().front().bytes : "");
        wire.clear();
    }
    // What was sent, each message as its method or status code ("200 200 BYE"), the last one kept in `*last` when
    // given; the captures are then cleared.
    std::string takeSent(Sent* last = nullptr) {
        const std::vector<Sent> sent = wire.sent();
        std::string kinds;
        for (const Sent& one : sent) {
            const size_t word = one.bytes.rfind("SIP/2.0 ", 0) == 0 ? 8 : 0;
            kinds += (kinds.empty() ? "" : " ") + one.bytes.substr(word, one.bytes.find_first_of(" \r", word) - word);
        }
        if (last && !sent.empty()) *last = sent.back();
        wire.clear();
        return kinds;
    }
    // Time enough for every transaction to end (64*T1); what they sent meanwhile is dropped.
    void outlastTransactions() {
        clock.advance(64 * NvSipTransactionManager::m_T1);
        wire.clear();
    }
    // Nothing for `ms` - 1 milliseconds, then `startLine`.
    Sent expectSentAfter(uint64_t ms, const std::string& startLine) {
        clock.advance(ms - 1);
        expectNothingSent();
        clock.advance(1);
        return expectSent(startLine);
    }

    // A request from the peer in the dialog Call-ID `callId`; tags empty for
    // none; CSeq `cseq`, by default 1 for INVITE, ACK and CANCEL (those of
    // the INVITE) and 2 for the other methods (in order after the INVITE).
    static std::string request(const std::string& method, const std::string& toTag, const std::string& fromTag,
                               const std::string& extra = "", const std::string& callId = "c1",
                               const std::string& branch = "z9hG4bK-p1", int cseq = 0) {
        if (cseq == 0) cseq = method == "INVITE" || method == "ACK" || method == "CANCEL" ? 1 : 2;
        return method + " sip:bob@192.0.2.10 SIP/2.0\r\n" +
               "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=" + branch + "\r\n" +
               "Max-Forwards: 70\r\n"
               "From: <sip:alice@192.0.2.1>" + (fromTag.empty() ? "" : ";tag=" + fromTag) + "\r\n" +
               "To: <sip:bob@192.0.2.10>" + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\n" +
               "Call-ID: " + callId + "\r\n" +
               "CSeq: " + std::to_string(cseq) + " " + method + "\r\n" +
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
    // The peer's `code` to `sent` (its Via, From, To, Call-ID, CSeq), with To
    // tag `toTag` when it has none, a Contact of `contactUser`@192.0.2.1 and
    // the `extra` lines.
    static std::string answer(const Sent& sent, int code, const std::string& toTag = "r1",
                              const std::string& extra = "", const std::string& contactUser = "alice") {
        NvHandle<NvSipResponse> response = new NvSipResponse(code, NvHandle<NvSipRequest>(sent.message));
        if (response->getToHeader()->getTag().isEmpty() && !toTag.empty()) response->getToHeader()->setTag(toTag);
        std::string text = response->toString();
        return text.insert(text.find("\r\n") + 2, "Contact: <sip:" + contactUser + "@192.0.2.1>\r\n" + extra);
    }
    // `text` (a message without body) carrying `sdp` as its body.
    static std::string withBody(std::string text, const std::string& sdp) {
        const std::string length = "Content-Length: 0\r\n";
        return text.replace(text.find(length), length.size(),
                            "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                                "\r\n") + sdp;
    }
    // The peer's `code` to `sent`, as it is built from the request alone.
    static std::string responseTo(const Sent& sent, int code) {
        return NvSipResponse(code, NvHandle<NvSipRequest>(sent.message)).toString();
    }
};
