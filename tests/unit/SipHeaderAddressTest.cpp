// The address values inside headers: URIs (sip/sips URLs, IPv6 references, other schemes), name-addresses
// (display names, brackets, header parameters, the snapshot stream form) and the headers built on them.

#include "SipTestText.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipHeaders.h"
#include "stack/sip/NvSipNameAddress.h"
#include "stack/sip/NvURI.h"

namespace {

NvHandle<NvSipURL> url(const std::string& text) {
    const auto parsed = NvURI::sParse(text).cast<NvSipURL>();
    EXPECT_TRUE(parsed) << text;
    return parsed;
}

NvHandle<NvSipNameAddress> address(const std::string& text) { return NvSipNameAddress::sParse(text); }

NvHandle<NvSipNameAddress> bare(const std::string& uri) {
    return NvHandle<NvSipNameAddress>(new NvSipNameAddress("", NvURI::sParse(uri)));
}

}  // namespace

TEST(SipUriParsing, SipUrlPartsAndEveryUriWrittenBackAsRead) {
    const auto full = url(
        "sips:alice:secret@atlanta.example.com:5061;transport=tcp;lr;maddr=239.255.255.1?subject=x&priority=urgent");
    EXPECT_EQ(full->getUser().str() + " " + full->getPassword().str() + " " + full->getHost().str() + " " +
                  std::to_string(full->getPort()) + " " + full->getHeaders(),
              "alice secret atlanta.example.com 5061 subject=x&priority=urgent");
    EXPECT_TRUE(full->isSecure() && full->parameters().isPresent("lr"));
    EXPECT_EQ(full->getParameter("TRANSPORT").str() + " " + full->getParameter("maddr").str(), "tcp 239.255.255.1");

    const auto hostOnly = url("sip:192.0.2.4");
    hostOnly->setSecure(true);
    EXPECT_EQ(hostOnly->toString().str(), "sips:192.0.2.4");
    EXPECT_TRUE(NvURI::sParse("SIPS:a@example.com")->isSipURL());
    // More forms, in requests, in the torture corpus.
    for (const char* text : {"sip:alice@example.com", "SIP:Alice@Example.COM:5070", "sip:u:@example.com",
                             "sip:example.com;lr?Route=%3Csip:p.example.com%3E", "http://example.com/path?q=1#frag",
                             "mailto:ops@example.com"})
        EXPECT_EQ(NvURI::sParse(text)->toString().str(), text);
}

TEST(SipUriParsing, Ipv6ReferencesFollowTheAddressGrammar) {
    for (const char* good : {"[::1]", "[::]", "[2001:db8::1]", "[2001:DB8:0:0:8:800:200C:417A]", "[1:2:3:4:5:6:7::]",
                             "[::2:3:4:5:6:7:8]", "[::ffff:192.0.2.1]", "[2001:db8::192.0.2.1]",
                             "[1:2:3:4:5:6:192.0.2.1]", "[fe80::AbCd]", "[2001:db8::10:5070]"}) {
        const auto parsed = url(std::string("sip:user@") + good + ":5060");
        EXPECT_EQ(std::make_tuple(parsed->getHost().str(), parsed->isIPv6(), parsed->getPort()),
                  std::make_tuple(std::string(good), true, 5060));
    }
    for (const char* bad :
         {"[:1::2]", "[1::2::3]", "[1:2:3:4:5:6:7:8:9]", "[1::2:3:4:5:6:7:8]", "[12345::1]", "[::g]", "[2001:db8:::1]",
          "[1:2:3:4:5:6:7:]", "[:]", "[]", "[::ffff:192.0.2.256]", "[::ffff:192.0.2]", "[::ffff:1.2.3.4.5]",
          "[::ffff:1..2.3]", "[::1.2.3.04444]", "[1:2:3:4:5:6:7:1.2.3.4]", "[1.2.3.4]", "[::1.2.3.4:5]"})
        EXPECT_TRUE(mentions(parseErrorOf([&] { NvURI::sParse(std::string("sip:user@") + bad); }, bad), "IPv6"));
}

TEST(SipUriParsing, SettersCheckAndEscape) {
    NvSipURL built;  // the call's own addresses are built so (see CallBase)
    built.setHost("[2001:db8::2]");
    for (const char* bad : {"", "bad host", "[2001:db8::2", "[1::2::3]", ".example.com"})
        EXPECT_THROW(built.setHost(bad), NvHandle<NvException>) << bad;
    EXPECT_EQ(built.getHost().str(), "[2001:db8::2]");

    // A parameter value the URI cannot carry is escaped; what is written reads back the same.
    const auto uri = url("sip:bob@example.net;transport=udp;lr");
    const char* const parameters[][2] = {{"transport", "tcp"}, {"maddr", "[2001:db8::1]"}, {"x-path", "a/b:c+$&"},
                                         {"x-note", "two words;\"q\"%"}, {"x-flag", ""}};
    for (const auto& p : parameters) uri->setParameter(p[0], p[1]);
    const std::string written = uri->toString().str();
    EXPECT_EQ(written,
              "sip:bob@example.net;transport=tcp;lr;maddr=[2001:db8::1];x-path=a/b:c+$&;"
              "x-note=two%20words%3B%22q%22%25;x-flag");
    EXPECT_EQ(url(written)->toString().str(), written);
    EXPECT_EQ(address(bare(written)->toString().str())->getURL()->toString().str(), written);
}

TEST(SipNameAddressForms, WrittenBackWithBracketsWhereNeeded) {
    for (const std::string text : {"<sip:a@example.com>", "sip:a@example.com", "Alice  B. Liddell <sip:a@example.com>",
                                   "\"Bob\" <sip:bob@example.net;transport=tcp>;expires=60;q=0.5"})
        EXPECT_EQ(address(text)->toString().str(), text);

    // The flag records what was read; a URI that would otherwise be read as
    // header parameters or a second value goes in brackets whatever it says.
    const auto plain = address("sip:a@example.com");
    plain->setAngleBrackets(true);
    EXPECT_EQ(plain->toString().str(), "<sip:a@example.com>");
    for (const char* uri : {"sip:a@example.com;transport=tcp", "sip:a@example.com?subject=x", "sip:a,b@example.com",
                            "sip:a;b=c@example.com", "tel:+1-201-555-0100;ext=7"}) {
        const auto built = bare(uri);
        EXPECT_EQ(built->toString().str(), std::string("<") + uri + ">");
        EXPECT_TRUE(address(built->toString().str())->parameters().isEmpty()) << uri;
    }
    EXPECT_EQ(bare("tel:+1-201-555-0100")->toString().str(), "tel:+1-201-555-0100");
}

TEST(SipNameAddressForms, DisplayNamesAreQuotedWhenTheyMustBe) {
    const std::pair<const char*, const char*> cases[] = {
        {"Alice B. Liddell", "Alice B. Liddell"}, {"  Alice  ", "Alice"},
        {"Liddell, Alice", "\"Liddell, Alice\""}, {"Say \"hi\"", "\"Say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},     {"Zo\xC3\xAB", "\"Zo\xC3\xAB\""},
        {"tab\there", "\"tab\there\""},           {"", ""}};
    for (const auto& c : cases) {
        const auto value = bare("sip:a@example.com");
        value->setDisplayName(c.first);
        EXPECT_EQ(value->getDisplayName().str(), c.second) << c.first;
        EXPECT_EQ(address(value->toString().str())->getDisplayName().str(), c.second) << value->toString().str();
    }
    const auto value = bare("sip:a@example.com");
    for (const char* name : {"evil\r\nVia: SIP/2.0/UDP attacker.example", "nul\x01", "del\x7f"})
        EXPECT_THROW(value->setDisplayName(name), NvHandle<NvException>) << name;
    EXPECT_EQ(value->toString().str(), "sip:a@example.com");
}

TEST(SipNameAddressForms, MalformedValuesAreRefusedForTheirReason) {
    const std::pair<const char*, const char*> uris[] = {
        {"example.com", "missing scheme"}, {"1sip:a@example.com", "malformed scheme"}, {"sip:", "missing host"},
        {"sip:@example.com", "empty user"}, {"sip:a:p@ss@example.com", "host"}, {"sip:a@example.com:0", "port"},
        {"sip:a@-example.com", "malformed host"}, {"sip:a@example.com:65536", "port"},
        {"sip:a@example.com;", "empty parameter name"}, {"sip:a@example.com;x=%zz", "escape"},
        {"sip:a@example.com>", "not allowed"}, {"sip:user@[2001:db8::1]5060", "after the IPv6"}};
    for (const auto& c : uris) EXPECT_TRUE(mentions(parseErrorOf([&] { NvURI::sParse(c.first); }, c.first), c.second));

    const std::pair<const char*, const char*> addresses[] = {
        {"", "empty value"}, {"<sip:a@example.com>>", "'>' without '<'"}, {"<>", "empty URI"},
        {"\"A\" x <sip:a@example.com>", "expected '<'"}, {"sip:a@example.com,sip:b@example.com", "angle brackets"},
        {"<sip:a@example.com> tag=1", "expected ';'"}, {"\"cr \\\r\" <sip:a@example.com>", "escaped line break"},
        {"\"nul \x01\" <sip:a@example.com>", "control"}};
    for (const auto& c : addresses) EXPECT_TRUE(mentions(parseErrorOf([&] { address(c.first); }, c.first), c.second));
}

// Snapshots keep name-addresses so (see SnapshotTest): a little-endian length, then the text; nil as no text.
TEST(SipNameAddressForms, StreamFormRoundTripsCorruptRecordsRaise) {
    const auto first = address("\"Liddell, Alice\" <sip:alice@[2001:db8::1]:5061;transport=tls>;tag=a1;x=\"q;v\"");
    const std::string text = first->toString().str();
    NvByteArrayOutputStream out;
    out << first << NvHandle<NvSipNameAddress>();
    const std::string bytes = out.toByteArray();
    EXPECT_EQ(bytes.substr(0, 4 + text.size()),
              std::string(1, static_cast<char>(text.size())) + std::string(3, '\0') + text);
    NvByteArrayInputStream in(bytes);
    NvHandle<NvSipNameAddress> a, b = address("sip:placeholder@example.com");
    in >> a >> b;
    EXPECT_EQ(a ? a->toString().str() : "nil", text);
    EXPECT_FALSE(b) << "a nil handle must come back nil";
    EXPECT_EQ(in.available(), 0u);

    // Corrupt records raise: cut short, not a name-address, longer than the stream.
    for (const std::string& corrupt :
         {bytes.substr(0, 10), std::string("\x05\x00\x00\x00<<<<<", 9), std::string("\xff\xff\xff\x7f", 4) + "abc"}) {
        NvByteArrayInputStream corruptIn(corrupt);
        NvHandle<NvSipNameAddress> read;
        EXPECT_THROW(corruptIn >> read, NvHandle<NvException>);
    }
}

TEST(SipNameAddressHeaders, TagsOnFromAndToContactParametersQuotedAndEscapedWhenNeeded) {
    const auto to = makeHeader<NvSipToHeader>("t", "sip:bob@example.net");
    to->setTag("t2");
    // A bare URI with a tag stays bare: the tag is a header parameter.
    EXPECT_EQ(to->getValue().str(), "sip:bob@example.net;tag=t2");
    EXPECT_TRUE(
        makeHeader<NvSipToHeader>("To", to->getValue().str())->getNameAddress()->getURL()->parameters().isEmpty());

    NvSipToHeader empty;
    EXPECT_THROW(empty.setTag("x"), NvHandle<NvException>);

    // Contact parameters are quoted and escaped when needed.
    const auto contact = makeHeader<NvSipContactHeader>("Contact", "<sip:a@example.com>");
    contact->setParameter("expires", "3600");
    contact->setParameter("+sip.instance", "<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>");
    contact->setParameter("note", "say \"hi\" \\ now");
    contact->setParameter("empty", "");
    const std::string written = contact->getValue().str();
    EXPECT_EQ(written,
              "<sip:a@example.com>;expires=3600;+sip.instance=\"<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>\";"
              "note=\"say \\\"hi\\\" \\\\ now\";empty=\"\"");
    // getParameter gives the escaped form, before and after a reading back.
    const auto back = makeHeader<NvSipContactHeader>("Contact", written);
    EXPECT_EQ(back->getValue().str(), written);
    EXPECT_EQ(back->getParameter("note").str(), "say \\\"hi\\\" \\\\ now");
    EXPECT_EQ(contact->getParameter("note").str(), back->getParameter("note").str());

    // Parameters cannot carry line breaks.
    EXPECT_THROW(contact->setParameter("x", "a\r\nVia: SIP/2.0/UDP evil.example.com"), NvHandle<NvException>);
    EXPECT_EQ(contact->getValue().str(), written);
}
