// Parsing and serialising a typical INVITE with SDP (about 800 bytes), one
// message per iteration; items/s is messages per second.

#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const std::string kInvite =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP pc33.atlanta.example.com:5060;branch=z9hG4bK776asdhds;rport\r\n"
    "Max-Forwards: 70\r\n"
    "To: Bob <sip:bob@biloxi.example.com>\r\n"
    "From: \"Alice Liddell\" <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@pc33.atlanta.example.com;transport=udp>\r\n"
    "Record-Route: <sip:p1.example.com;lr>, <sip:p2.example.com;lr>\r\n"
    "Allow: INVITE, ACK, CANCEL, BYE, PRACK, INFO\r\n"
    "Supported: 100rel, timer, replaces\r\n"
    "Session-Expires: 1800;refresher=uac\r\n"
    "Min-SE: 90\r\n"
    "User-Agent: nvsip-bench/1.0\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 234\r\n"
    "\r\n"
    "v=0\r\n"
    "o=alice 2890844526 2890844526 IN IP4 pc33.atlanta.example.com\r\n"
    "s=Session SDP\r\n"
    "c=IN IP4 192.0.2.101\r\n"
    "t=0 0\r\n"
    "m=audio 49172 RTP/AVP 0 8 101\r\n"
    "a=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:101 telephone-event/8000\r\n"
    "a=sendrecv\r\n";

void BM_ParseInvite(benchmark::State& state) {
    for (auto _ : state) {
        NvHandle<NvSipMessage> message = NvSipParser::sParse(kInvite.data(), kInvite.size());
        benchmark::DoNotOptimize(message.get());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kInvite.size()));
}
BENCHMARK(BM_ParseInvite);

void BM_SerializeInvite(benchmark::State& state) {
    const NvHandle<NvSipMessage> message = NvSipParser::sParse(kInvite.data(), kInvite.size());
    std::string wire;
    for (auto _ : state) {
        wire.clear();
        message->serialize(wire);
        benchmark::DoNotOptimize(wire.data());
    }
    if (wire != kInvite) state.SkipWithError("serialisation does not reproduce the parsed bytes");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kInvite.size()));
}
BENCHMARK(BM_SerializeInvite);

}  // namespace
