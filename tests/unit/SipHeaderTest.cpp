// The header classes: which class a name gives, what each reads from its value and writes back, what its
// setters write, and which values it refuses.

#include "SipTestText.h"
#include "stack/sip/NvSipHeaders.h"

#include <set>

namespace {

NvHandle<NvSipHeader> create(const std::string& name, const std::string& value) {
    return NvSipHeader::sCreate(name, value);
}

}  // namespace

// Known headers by compact letter or in another case; the value tables below
// show the class of the others through what it writes back or refuses.
TEST(SipHeaderFactory, FullCompactAndAnyCaseNamesGiveTheirClass) {
    using ID = NvSipHeaderID;
    const std::tuple<ID, const char*, const char*, std::vector<const char*>> cases[] = {
        {ID::Via, "Via", "SIP/2.0/UDP a.example.com", {"Via", "v", "V", "vIa"}},
        {ID::From, "From", "<sip:a@example.com>", {"From", "f"}}, {ID::To, "To", "<sip:a@example.com>", {"TO", "t"}},
        {ID::Contact, "Contact", "<sip:a@example.com>", {"m"}}, {ID::CallID, "Call-ID", "x@y", {"call-id", "I"}},
        {ID::RecordRoute, "Record-Route", "<sip:p.example.com;lr>", {"record-route"}},
        {ID::ContentLength, "Content-Length", "0", {"l", "CONTENT-LENGTH"}},
        {ID::ContentType, "Content-Type", "text/plain", {"c"}}, {ID::Supported, "Supported", "timer", {"k"}},
        {ID::SessionExpires, "Session-Expires", "90", {"x"}}, {ID::Event, "Event", "refer", {"o"}},
        {ID::ReferTo, "Refer-To", "<sip:c@example.com>", {"r"}}, {ID::CSeq, "CSeq", "1 INVITE", {"cseq"}},
        {ID::ProxyAuthorization, "Proxy-Authorization", "Digest a=b", {"Proxy-Authorization"}}};
    for (const auto& [id, canonical, value, names] : cases)
        for (const char* name : names) {
            const auto header = create(name, value);
            EXPECT_EQ(std::make_tuple(header->getID(), header->getName().str(), header->isCompact()),
                      std::make_tuple(id, std::string(canonical), std::string(name).size() == 1)) << name;
        }
    // Other names give generic headers that keep their name and value.
    for (const char* name : {"Subject", "s", "e", "X-Nv-Trace", "Content-Lengthy", "Vias", "Call-IDs"}) {
        const auto header = create(name, "any value; at all, <really>");
        ASSERT_TRUE(header.cast<NvSipGenericHeader>()) << name;
        EXPECT_EQ(headerLine(header), std::string(name) + ": any value; at all, <really>");
    }
    for (const char* name : {"", "Bad Name", "Na:me", "X-\xC3\xA9t\xC3\xA9", "<Via>", "Via\t"})
        EXPECT_TRUE(mentions(parseErrorOf([&] { create(name, "value"); }, name), "header name"));
    // A compact header is written with its letter, unless told otherwise.
    const auto compact = create("i", "abc@example.com");
    EXPECT_EQ(headerLine(compact), "i: abc@example.com");
    compact->setCompact(false);
    EXPECT_EQ(headerLine(compact), "Call-ID: abc@example.com");
    const auto cseq = create("CSeq", "1 BYE");
    cseq->setCompact(true);  // CSeq has no compact form
    EXPECT_EQ(headerLine(cseq), "CSeq: 1 BYE");
}

// Each value (of a header named) as the class writes it back: what it kept, in canonical form.
TEST(SipHeaderValues, WrittenBackInCanonicalForm) {
    const char* const cases[][3] = {
        {"Via", " SIP / 2.0 / TLS  proxy.example.com : 5061 ;branch=z9hG4bKabc;received=192.0.2.7;rport=5070;ttl=16",
         "SIP/2.0/TLS proxy.example.com:5061;branch=z9hG4bKabc;received=192.0.2.7;rport=5070;ttl=16"},
        {"CSeq", "  4711 \t  INVITE ", "4711 INVITE"}, {"CSeq", "2147483647 BYE", "2147483647 BYE"},
        {"RAck", "776656  1 INVITE", "776656 1 INVITE"}, {"Max-Forwards", "255", "255"}, {"l", "007", "7"},
        {"RSeq", "4294967295", "4294967295"}, {"Min-SE", "90 ; x-ext = 1", "90;x-ext=1"},
        {"Session-Expires", "1800 ; refresher = uas", "1800;refresher=uas"},
        {"Retry-After", "18000 (back (soon)) ;duration=3600", "18000 (back (soon));duration=3600"},
        {"Supported", " 100rel ,Timer,  replaces", "100rel, Timer, replaces"}, {"k", "", ""},
        {"c", "multipart/mixed ; boundary=\"a;b,c\"; charset=utf-8",
         "multipart/mixed;boundary=\"a;b,c\";charset=utf-8"}, {"Event", "dialog;id=5", "dialog;id=5"},
        {"Replaces", "98asjd8@example.com ; from-tag = 13 ;to-tag=12;early-only",
         "98asjd8@example.com;from-tag=13;to-tag=12;early-only"},
        {"WWW-Authenticate",
         "Digest realm=\"north, south\",nonce=\"x\\\"y\" ,  qop=\"auth,auth-int\", stale=FALSE,algorithm=MD5",
         "Digest realm=\"north, south\", nonce=\"x\\\"y\", qop=\"auth,auth-int\", stale=FALSE, algorithm=MD5"},
        {"Authorization", "Bearer a.b-c_d~e+f/g", "Bearer a.b-c_d~e+f/g"}};
    for (const auto& [name, value, written] : cases) EXPECT_EQ(create(name, value)->getValue().str(), written) << name;
}

TEST(SipHeaderValues, GettersReadThePartsSettersWriteWhatTheyWereGivenNewBranchesAreUnique) {
    // Numbers and methods are written back from what was read (see above);
    // these are the parts read in other ways.
    EXPECT_EQ(makeHeader<NvSipRetryAfterHeader>("Retry-After", "18000 (back (soon))")->getComment().str(),
              "back (soon)");

    const auto supported = makeHeader<NvSipSupportedHeader>("Supported", "100rel, Timer");
    EXPECT_EQ(
        (std::vector<bool>{supported->contains("timer"), supported->contains("100REL"), supported->contains("path")}),
        (std::vector<bool>{true, true, false}));
    EXPECT_EQ(makeHeader<NvSipContentTypeHeader>("c", "text/plain;CHARSET=\"a;b\"")->getParameter("charset").str(),
              "a;b");

    EXPECT_TRUE(makeHeader<NvSipReplacesHeader>("Replaces", "a@b;from-tag=13;to-tag=12;early-only")->isEarlyOnly());
    EXPECT_FALSE(makeHeader<NvSipReplacesHeader>("Replaces", "a@b;to-tag=1;from-tag=2")->isEarlyOnly());

    for (const char* id : {"abc", "f81d4fae-7dec-11d0-a765-00a0c91e6bf6@192.0.2.4", "x@[2001:db8::1]",
                           "{curly}(paren)<angle>:colon\"quote/slash?\\@host"})
        EXPECT_EQ(makeHeader<NvSipCallIDHeader>("Call-ID", std::string(" ") + id + " ")->getCallID().str(), id);

    // The setters write what they were given.
    EXPECT_EQ(NvSipReplacesHeader("call-9@192.0.2.5", "t9", "f9").getValue().str(),
              "call-9@192.0.2.5;to-tag=t9;from-tag=f9");
    supported->addTag("TIMER");  // already there, in another case
    supported->addTag("path");
    EXPECT_EQ(supported->getValue().str(), "100rel, Timer, path");
    // New branches are unique and start with the magic cookie, which is exact: other cases and older branches do not
    // count.
    NvSipViaHeader via("UDP", "192.0.2.1", 5060);
    EXPECT_FALSE(via.hasRFC3261Branch());
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        via.setBranchRFC3261();
        const std::string branch = via.getBranch().str();
        ASSERT_TRUE(via.hasRFC3261Branch() && branch.size() > 7u + 8u && seen.insert(branch).second) << branch;
    }
    for (const char* b : {"z9hg4bk12", "12z9hG4bK"}) EXPECT_FALSE((via.setBranch(b), via.hasRFC3261Branch())) << b;
}

// Each value (of a header named) and words of the reason it is refused for.
TEST(SipHeaderValues, MalformedValuesAreRefusedForTheirReason) {
    const char* const cases[][3] = {
        {"Via", "SIP/3.0/UDP host.example.com;branch=z9hG4bK1", "unsupported SIP version 3.0"},
        {"Via", "SIP/2.0/UDP", "sent-by"}, {"Via", "SIP/2.0/UDP host.example.com:0", "port"},
        {"Via", "SIP/2.0/UDP host.example.com:70000", "port"}, {"Via", "SIP/2.0/UDP fe80::1", "brackets"},
        {"CSeq", "1", "method"}, {"CSeq", "1 IN VITE", "method"}, {"RAck", "1 INVITE", "RAck"},
        {"RAck", "one 2 INVITE", "RAck response number"}, {"Call-ID", "", "Call-ID"}, {"Call-ID", "a@b@c", "Call-ID"},
        {"Max-Forwards", "70;x=1", "unexpected text"}, {"Max-Forwards", "", "expected a number"},
        {"RSeq", "4294967296", "RSeq"}, {"Retry-After", "30 (open", "unterminated comment"},
        {"Retry-After", "(no number)", "expected a number"}, {"Require", "100rel, ,timer", "option tag"},
        {"Content-Type", "text plain", "Content-Type"}, {"o", "two words", "Event"},
        {"Replaces", "a b;to-tag=1;from-tag=2", "Replaces"}, {"Authorization", "", "missing scheme"},
        {"Authorization", "Digest realm=x, abc==", "empty value"},
        {"Proxy-Authenticate", "Digest a b", "malformed parameter"}};
    for (const auto& c : cases) EXPECT_TRUE(mentions(parseErrorOf([&] { create(c[0], c[1]); }, c[1]), c[2])) << c[0];
}
