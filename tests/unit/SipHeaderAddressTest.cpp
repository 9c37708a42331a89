// Tests of the address values inside headers: URIs (sip/sips URLs with their
// parts, IPv6 references, other schemes), name-addresses (display names,
// the angle-bracket flag, header parameters, the snapshot stream form) and
// the name-address headers built on them (tags on From and To).

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipHeaders.h"
#include "stack/sip/NvSipNameAddress.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvURI.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace {

// The parse error `parse(text)` raises; fails the test when the text is accepted.
template <class Parse>
std::string parseError(Parse parse, const std::string& text) {
    try {
        ADD_FAILURE() << "'" << text << "' was accepted as " << parse(text)->toString().str();
    } catch (NvHandle<NvException>& e) {
        EXPECT_TRUE(e.cast<NvSipParseException>()) << e->getMessage().str();
        return e->getMessage().str();
    }
    return std::string();
}
std::string uriError(const std::string& text) { return parseError(&NvURI::sParse, text); }
std::string addressError(const std::string& text) { return parseError(&NvSipNameAddress::sParse, text); }

// Each text must be refused with a message that contains its words.
void expectErrors(std::string (*error)(const std::string&),
                  std::initializer_list<std::pair<const char*, const char*>> cases) {
    for (const auto& c : cases) {
        const std::string reason = error(c.first);
        EXPECT_NE(reason.find(c.second), std::string::npos) << c.first << ": " << reason;
    }
}

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

// ---------------------------------------------------------------- URIs

TEST(SipUriParsing, SipUrlParts) {
    const auto full = url(
        "sips:alice:secret@atlanta.example.com:5061;transport=tcp;lr;maddr=239.255.255.1?subject=x&priority=urgent");
    EXPECT_TRUE(full->isSecure());
    EXPECT_EQ(full->getUser().str(), "alice");
    EXPECT_EQ(full->getPassword().str(), "secret");
    EXPECT_EQ(full->getHost().str(), "atlanta.example.com");
    EXPECT_EQ(full->getPort(), 5061);
    EXPECT_EQ(full->getParameter("TRANSPORT").str(), "tcp");
    EXPECT_TRUE(full->parameters().isPresent("lr"));
    EXPECT_EQ(full->getParameter("maddr").str(), "239.255.255.1");
    EXPECT_EQ(full->getHeaders(), "subject=x&priority=urgent");

    const auto hostOnly = url("sip:192.0.2.4");
    EXPECT_FALSE(hostOnly->hasPassword());
    EXPECT_EQ(hostOnly->getPort(), 0);
    EXPECT_FALSE(hostOnly->isSecure());
    hostOnly->setSecure(true);
    EXPECT_EQ(hostOnly->toString().str(), "sips:192.0.2.4");
}

TEST(SipUriParsing, WrittenBackAsRead) {
    for (const char* text : {"sip:alice@example.com", "SIP:Alice@Example.COM:5070",
                             "sips:[2001:db8::1]:5061;transport=tls",
                             "sip:%61lice@example.com;x=%20", "sip:+1-201-555-0100;npdi@gw.example.com;user=phone",
                             "sip:u:@example.com", "sip:example.com;lr?Route=%3Csip:p.example.com%3E",
                             "tel:+1-201-555-0100;ext=12", "urn:service:sos", "http://example.com/path?q=1#frag",
                             "mailto:ops@example.com"})
        EXPECT_EQ(NvURI::sParse(text)->toString().str(), text);

    const auto tel = NvURI::sParse("tel:+1-201-555-0100").cast<NvGenericURI>();
    ASSERT_TRUE(tel);
    EXPECT_FALSE(tel->isSipURL());
    EXPECT_EQ(tel->getScheme().str(), "tel");
    EXPECT_EQ(tel->getSchemeSpecificPart(), "+1-201-555-0100");
    EXPECT_TRUE(NvURI::sParse("SIPS:a@example.com")->isSipURL());
}

TEST(SipUriParsing, MalformedUrisAreNamed) {
    expectErrors(uriError, {{"example.com", "missing scheme"}, {":x", "missing scheme"},
                            {"1sip:a@example.com", "malformed scheme"}, {"s_p:x", "malformed scheme"},
                            {"tel:", "nothing after the scheme"}, {"http://a b", "not allowed"},
                            {"sip:", "missing host"}, {"sip:@example.com", "empty user"},
                            {"sip:al%4@example.com", "user part"}, {"sip:a:p@ss@example.com", "host"},
                            {"sip:a@-example.com", "malformed host"}, {"sip:a@example.com:", "port"},
                            {"sip:a@example.com:0", "port"}, {"sip:a@example.com:65536", "port"},
                            {"sip:a@example.com:50x", "port"}, {"sip:a@example.com;", "empty parameter name"},
                            {"sip:a@example.com;transport=", "empty value"}, {"sip:a@example.com;x=%zz", "escape"},
                            {"sip:a@example.com?", "URI headers"}, {"sip:a@example.com>", "not allowed"},
                            {"sip:user@[2001:db8::1", "unterminated IPv6"},
                            {"sip:user@[2001:db8::1]5060", "after the IPv6"},
                            {"sip:user@2001:db8::1", "brackets"}, {"sip:fe80::1", "brackets"}});
}

TEST(SipUriParsing, Ipv6ReferencesFollowTheAddressGrammar) {
    for (const char* good : {"[::1]", "[::]", "[2001:db8::1]", "[2001:DB8:0:0:8:800:200C:417A]", "[1:2:3:4:5:6:7::]",
                             "[::2:3:4:5:6:7:8]", "[::ffff:192.0.2.1]", "[2001:db8::192.0.2.1]",
                             "[1:2:3:4:5:6:192.0.2.1]", "[fe80::AbCd]", "[2001:db8::10:5070]"}) {
        const auto parsed = url(std::string("sip:user@") + good + ":5060");
        EXPECT_EQ(parsed->getHost().str(), good);
        EXPECT_TRUE(parsed->isIPv6()) << good;
        EXPECT_EQ(parsed->getPort(), 5060) << good;
    }
    for (const char* bad : {"[:1::2]", "[1::2::3]", "[1:2:3:4:5:6:7:8:9]", "[1::2:3:4:5:6:7:8]", "[12345::1]",
                            "[::g]", "[2001:db8:::1]", "[1:2:3:4:5:6:7:]", "[:]", "[]", "[::ffff:192.0.2.256]",
                            "[::ffff:192.0.2]", "[::ffff:1.2.3.4.5]", "[::ffff:1..2.3]", "[::1.2.3.04444]",
                            "[1:2:3:4:5:6:7:1.2.3.4]", "[1.2.3.4]", "[::1.2.3.4:5]"})
        EXPECT_NE(uriError(std::string("sip:user@") + bad).find("IPv6"), std::string::npos) << bad;
}

TEST(SipUriParsing, SetHostChecksTheHost) {
    NvSipURL built;
    built.setUser("bob");
    built.setHost("[2001:db8::2]");
    built.setPort(5062);
    built.setParameter("transport", "udp");
    EXPECT_EQ(built.toString().str(), "sip:bob@[2001:db8::2]:5062;transport=udp");
    for (const char* bad : {"", "bad host", "[2001:db8::2", "[1::2::3]", ".example.com"})
        EXPECT_THROW(built.setHost(bad), NvHandle<NvException>) << bad;
    EXPECT_EQ(built.getHost().str(), "[2001:db8::2]");
}

TEST(SipUriParsing, SetParameterEscapesWhatAUriCannotCarry) {
    const auto uri = url("sip:bob@example.net;transport=udp;lr");
    uri->setParameter("transport", "tcp");
    uri->setParameter("maddr", "[2001:db8::1]");
    uri->setParameter("x-path", "a/b:c+$&");
    uri->setParameter("x-note", "two words;\"q\"%");
    uri->setParameter("x-flag", "");
    const std::string written = uri->toString().str();
    EXPECT_EQ(written,
              "sip:bob@example.net;transport=tcp;lr;maddr=[2001:db8::1];x-path=a/b:c+$&;"
              "x-note=two%20words%3B%22q%22%25;x-flag");
    EXPECT_EQ(uri->getParameter("x-note").str(), "two%20words%3B%22q%22%25");
    // What is written is a URI that reads back the same.
    const auto back = url(written);
    EXPECT_EQ(back->toString().str(), written);
    EXPECT_EQ(back->getParameter("x-note").str(), uri->getParameter("x-note").str());
    EXPECT_TRUE(back->parameters().isPresent("x-flag"));
    // Inside a name-address it stays one URI.
    const auto value = bare(written);
    EXPECT_EQ(address(value->toString().str())->getURL()->toString().str(), written);
}

TEST(SipUriParsing, CloneIsIndependent) {
    const auto original = url("sip:a@example.com;transport=udp");
    NvHandle<NvSipURL> copy(static_cast<NvSipURL*>(original->clone()));
    copy->setHost("example.org");
    copy->setParameter("transport", "tcp");
    EXPECT_EQ(original->toString().str(), "sip:a@example.com;transport=udp");
    EXPECT_EQ(copy->toString().str(), "sip:a@example.org;transport=tcp");
}

// ---------------------------------------------------------------- name-addresses

TEST(SipNameAddressForms, AngleBracketFlagRecordsWhatWasRead) {
    const auto inBrackets = address("<sip:a@example.com>");
    EXPECT_TRUE(inBrackets->hasAngleBrackets());
    EXPECT_EQ(inBrackets->toString().str(), "<sip:a@example.com>");
    const auto plain = address("sip:a@example.com");
    EXPECT_FALSE(plain->hasAngleBrackets());
    EXPECT_EQ(plain->toString().str(), "sip:a@example.com");
    plain->setAngleBrackets(true);
    EXPECT_EQ(plain->toString().str(), "<sip:a@example.com>");
    inBrackets->setAngleBrackets(false);
    EXPECT_EQ(inBrackets->toString().str(), "sip:a@example.com");
}

TEST(SipNameAddressForms, BracketsAreForcedWhereTheGrammarNeedsThem) {
    // Anything that would otherwise be read as header parameters or as a
    // second value goes inside brackets, whatever the flag says.
    const char* needing[] = {"sip:a@example.com;transport=tcp", "sip:a@example.com?subject=x", "sip:a,b@example.com",
                             "sip:a;b=c@example.com", "tel:+1-201-555-0100;ext=7"};
    for (const char* uri : needing) {
        const auto value = bare(uri);
        EXPECT_FALSE(value->hasAngleBrackets());
        EXPECT_EQ(value->toString().str(), std::string("<") + uri + ">");
        // ...and reading it back gives the same URI, without header parameters.
        const auto back = address(value->toString().str());
        EXPECT_EQ(back->getURI()->toString().str(), uri);
        EXPECT_TRUE(back->parameters().isEmpty()) << uri;
    }
    const auto named = bare("sip:a@example.com");
    named->setDisplayName("Alice");
    EXPECT_EQ(named->toString().str(), "Alice <sip:a@example.com>");
    EXPECT_EQ(bare("tel:+1-201-555-0100")->toString().str(), "tel:+1-201-555-0100");
}

TEST(SipNameAddressForms, UriParametersAndHeaderParametersStaySeparate) {
    const auto value = address("\"Bob\" <sip:bob@example.net;transport=tcp>;expires=60;q=0.5");
    EXPECT_EQ(value->getDisplayName().str(), "\"Bob\"");
    EXPECT_EQ(value->getURL()->getParameter("transport").str(), "tcp");
    EXPECT_FALSE(value->getURL()->parameters().isPresent("expires"));
    EXPECT_EQ(value->getParameter("expires").str(), "60");
    EXPECT_FALSE(value->parameters().isPresent("transport"));
    EXPECT_EQ(value->toString().str(), "\"Bob\" <sip:bob@example.net;transport=tcp>;expires=60;q=0.5");
}

TEST(SipNameAddressForms, DisplayNamesAreQuotedWhenTheyMustBe) {
    const std::pair<const char*, const char*> cases[] = {
        {"Alice", "Alice"}, {"Alice B. Liddell", "Alice B. Liddell"}, {"  Alice  ", "Alice"},
        {"Liddell, Alice", "\"Liddell, Alice\""}, {"Say \"hi\"", "\"Say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""}, {"Zo\xC3\xAB", "\"Zo\xC3\xAB\""},
        {"tab\there", "\"tab\there\""}, {"", ""}};
    for (const auto& c : cases) {
        const auto value = bare("sip:a@example.com");
        value->setDisplayName(c.first);
        EXPECT_EQ(value->getDisplayName().str(), c.second) << c.first;
        // What is written reads back to the same display name.
        EXPECT_EQ(address(value->toString().str())->getDisplayName().str(), c.second) << value->toString().str();
    }

    const auto value = bare("sip:a@example.com");
    for (const char* name : {"evil\r\nVia: SIP/2.0/UDP attacker.example", "nul\x01", "del\x7f"}) {
        try {
            value->setDisplayName(name);
            ADD_FAILURE() << "display name accepted: " << value->toString().str();
        } catch (NvHandle<NvException>& e) {
            EXPECT_NE(e->getMessage().str().find("control character"), std::string::npos) << e->getMessage().str();
        }
    }
    EXPECT_EQ(value->toString().str(), "sip:a@example.com");
}

TEST(SipNameAddressForms, MalformedValuesAreNamed) {
    expectErrors(addressError, {{"", "empty value"}, {"\"Alice <sip:a@example.com>", "Unterminated quoted string"},
                                {"<sip:a@example.com", "missing '>'"}, {"sip:a@example.com>", "'>' without '<'"},
                                {"<sip:a@example.com>>", "'>' without '<'"}, {"<<sip:a@example.com>>", "'<' inside"},
                                {"<>", "empty URI"}, {"A@B <sip:a@example.com>", "unquoted display name with '@'"},
                                {"\"A\" x <sip:a@example.com>", "expected '<'"},
                                {"sip:a@example.com?x=y", "angle brackets"},
                                {"sip:a@example.com,sip:b@example.com", "angle brackets"},
                                {"<sip:a@example.com> tag=1", "expected ';'"},
                                {"<sip:a@example.com>;tag=\"x", "Unterminated"}});
}

TEST(SipNameAddressForms, StreamFormRoundTrips) {
    const auto first = address("\"Liddell, Alice\" <sip:alice@[2001:db8::1]:5061;transport=tls>;tag=a1;x=\"q;v\"");
    const auto second = address("sip:bob@example.net;expires=30");
    NvHandle<NvSipNameAddress> nil;
    NvByteArrayOutputStream out;
    out << first << nil << second;
    const std::string bytes = out.toByteArray();
    // Little-endian length, then the text.
    const std::string firstText = first->toString().str();
    ASSERT_GE(bytes.size(), 4 + firstText.size());
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), firstText.size() & 0xff);
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes.substr(4, firstText.size()), firstText);

    NvByteArrayInputStream in(bytes);
    NvHandle<NvSipNameAddress> a = address("sip:placeholder@example.com"), b = a, c;
    in >> a >> b >> c;
    ASSERT_TRUE(a);
    EXPECT_EQ(a->toString().str(), firstText);
    EXPECT_EQ(a->getParameter("x").str(), "q;v");
    EXPECT_TRUE(a->hasAngleBrackets());
    EXPECT_FALSE(b) << "a nil handle must come back nil";
    ASSERT_TRUE(c);
    EXPECT_EQ(c->toString().str(), "sip:bob@example.net;expires=30");
    EXPECT_FALSE(c->hasAngleBrackets());
    EXPECT_EQ(in.available(), 0u);
}

TEST(SipNameAddressForms, CorruptStreamsRaise) {
    const auto value = address("<sip:a@example.com>");
    NvByteArrayOutputStream out;
    out << value;
    std::string truncated = out.toByteArray();
    truncated.resize(truncated.size() - 3);
    NvHandle<NvSipNameAddress> read;
    NvByteArrayInputStream shortIn(truncated), garbageIn(std::string("\x05\x00\x00\x00<<<<<", 9));
    EXPECT_THROW(shortIn >> read, NvHandle<NvException>);
    EXPECT_THROW(garbageIn >> read, NvHandle<NvException>);

    const std::string huge("\xff\xff\xff\x7f" "abc", 7);
    NvByteArrayInputStream hugeIn(huge);
    try {
        hugeIn >> read;
        ADD_FAILURE() << "a 2 GB record was accepted";
    } catch (NvHandle<NvException>& e) {
        EXPECT_NE(e->getMessage().str().find("corrupt"), std::string::npos) << e->getMessage().str();
    }

}

TEST(SipNameAddressForms, CloneIsDeepAndCompareUsesTheText) {
    const auto original = address("Alice <sip:a@example.com;transport=udp>;tag=1");
    NvHandle<NvSipNameAddress> copy(static_cast<NvSipNameAddress*>(original->clone()));
    EXPECT_EQ(copy->compareWith(*original), 0);
    copy->getURL()->setHost("example.org");
    copy->setParameter("tag", "2");
    EXPECT_EQ(original->toString().str(), "Alice <sip:a@example.com;transport=udp>;tag=1");
    EXPECT_NE(copy->compareWith(*original), 0);
}

// ---------------------------------------------------------------- name-address headers

TEST(SipNameAddressHeaders, TagsOnFromAndTo) {
    NvSipFromHeader from(address("\"Alice\" <sip:alice@example.com>"));
    EXPECT_TRUE(from.getTag().isEmpty());
    from.setTag("a73kszlfl");
    EXPECT_EQ(from.getTag().str(), "a73kszlfl");
    EXPECT_EQ(from.getValue().str(), "\"Alice\" <sip:alice@example.com>;tag=a73kszlfl");
    from.setTag("second");
    EXPECT_EQ(from.getValue().str(), "\"Alice\" <sip:alice@example.com>;tag=second");

    const auto to = NvSipHeader::sCreate("t", "sip:bob@example.net;TAG=xyz").cast<NvSipToHeader>();
    ASSERT_TRUE(to);
    EXPECT_EQ(to->getTag().str(), "xyz");
    EXPECT_TRUE(to->removeParameter("tag"));
    EXPECT_FALSE(to->removeParameter("tag"));
    EXPECT_TRUE(to->getTag().isEmpty());
    to->setTag("t2");
    // A bare URI with a tag stays bare: the tag is a header parameter.
    EXPECT_EQ(to->getValue().str(), "sip:bob@example.net;tag=t2");
    const auto back = NvSipHeader::sCreate("To", to->getValue().str()).cast<NvSipToHeader>();
    EXPECT_EQ(back->getTag().str(), "t2");
    EXPECT_TRUE(back->getNameAddress()->getURL()->parameters().isEmpty());

    NvSipToHeader empty;
    EXPECT_TRUE(empty.getTag().isEmpty());
    EXPECT_THROW(empty.setTag("x"), NvHandle<NvException>);
}

TEST(SipNameAddressHeaders, ContactParametersAreQuotedAndEscapedWhenNeeded) {
    const auto contact = NvSipHeader::sCreate("Contact", "<sip:a@example.com>").cast<NvSipContactHeader>();
    contact->setParameter("expires", "3600");
    contact->setParameter("+sip.instance", "<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>");
    contact->setParameter("note", "say \"hi\" \\ now");
    contact->setParameter("empty", "");
    const std::string written = contact->getValue().str();
    EXPECT_EQ(written,
              "<sip:a@example.com>;expires=3600;+sip.instance=\"<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>\";"
              "note=\"say \\\"hi\\\" \\\\ now\";empty=\"\"");
    // getParameter gives the escaped form, before and after a reading back.
    EXPECT_EQ(contact->getParameter("note").str(), "say \\\"hi\\\" \\\\ now");
    const auto back = NvSipHeader::sCreate("Contact", written).cast<NvSipContactHeader>();
    EXPECT_EQ(back->getValue().str(), written);
    EXPECT_EQ(back->getParameter("note").str(), contact->getParameter("note").str());
    EXPECT_EQ(back->getParameter("+sip.instance").str(), "<urn:uuid:f81d4fae-7dec-11d0-a765-00a0c91e6bf6>");

    // Parameters cannot carry line breaks.
    const auto plain = NvSipHeader::sCreate("Contact", "<sip:a@example.com>").cast<NvSipContactHeader>();
    EXPECT_THROW(plain->setParameter("x", "a\r\nVia: SIP/2.0/UDP evil.example.com"), NvHandle<NvException>);
    EXPECT_THROW(plain->getParameters()->setValue("x", "a\nb", true), NvHandle<NvException>);
    EXPECT_EQ(plain->getValue().str(), "<sip:a@example.com>");
    EXPECT_FALSE(plain->isWildcard());

    const auto star = NvSipHeader::sCreate("m", " * ").cast<NvSipContactHeader>();
    EXPECT_TRUE(star->isWildcard());
    EXPECT_EQ(star->getValue().str(), "*");
    EXPECT_EQ(star->getParameters(), nullptr);
}

TEST(SipNameAddressHeaders, RouteHeadersNeedBracketsAroundUrisWithParameters) {
    const auto route = NvSipHeader::sCreate("Route", "<sip:p1.example.net;lr>").cast<NvSipRouteHeader>();
    EXPECT_TRUE(route->getNameAddress()->getURL()->parameters().isPresent("lr"));
    EXPECT_TRUE(NvSipHeader::sCreate("Route", "sip:p1.example.net").cast<NvSipRouteHeader>());
    for (const char* name : {"Route", "Record-Route"}) {
        try {
            NvSipHeader::sCreate(name, "sip:p1.example.net;lr");
            ADD_FAILURE() << name << " accepted a bare URI with parameters";
        } catch (NvHandle<NvException>& e) {
            EXPECT_NE(e->getMessage().str().find("angle brackets"), std::string::npos) << e->getMessage().str();
        }
    }
    // Contact, From and To keep the bare-URI form: there the parameters are the header's.
    EXPECT_TRUE(NvSipHeader::sCreate("Contact", "sip:a@example.com;expires=5").cast<NvSipContactHeader>());
}

TEST(SipNameAddressHeaders, CloneIsDeep) {
    const auto contact = NvSipHeader::sCreate("Contact", "<sip:a@example.com>;q=0.1").cast<NvSipContactHeader>();
    NvHandle<NvSipContactHeader> copy(static_cast<NvSipContactHeader*>(contact->clone()));
    copy->setParameter("q", "0.9");
    copy->getNameAddress()->getURL()->setUser("b");
    EXPECT_EQ(contact->getValue().str(), "<sip:a@example.com>;q=0.1");
    EXPECT_EQ(copy->getValue().str(), "<sip:b@example.com>;q=0.9");
}
