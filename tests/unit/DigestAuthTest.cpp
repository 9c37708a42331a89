// Tests of NvDigestAuthentication: the digest itself against published
// examples, the client answering 401 and 407 challenges on real requests,
// the server challenging and checking credentials, nonce staleness, nc
// replay, and both sides together.

#include "stack/auth/NvDigestAuthentication.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/timer/NvTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace digest_auth_test {

using Algorithm = NvDigestAuthentication::Algorithm;

const char* const kAuthLogger = "lumbrook.sip.auth";

NvHandle<NvSipRequest> parseRequest(const std::string& text) {
    NvByteArrayInputStream in(text);
    NvHandle<NvSipRequest> request(NvSipMessage::sConstructFrom(in));
    EXPECT_TRUE(request) << "not a request:\n" << text;
    return request;
}

NvHandle<NvSipRequest> invite(const std::string& extraHeaders = "") {
    return parseRequest(
        "INVITE sip:bob@biloxi.example.com;transport=udp SIP/2.0\r\n"
        "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bK776asdhds\r\n"
        "Max-Forwards: 70\r\n"
        "To: Bob <sip:bob@biloxi.example.com>\r\n"
        "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
        "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\r\n"
        "CSeq: 314159 INVITE\r\n" +
        extraHeaders + "Content-Length: 0\r\n\r\n");
}

NvHandle<NvSipRequest> requestOf(const std::string& method) {
    return parseRequest(method + " sip:bob@biloxi.example.com SIP/2.0\r\n"
                                 "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bK74bf9\r\n"
                                 "Max-Forwards: 70\r\n"
                                 "To: <sip:bob@biloxi.example.com>\r\n"
                                 "From: <sip:alice@atlanta.example.com>;tag=9fxced76sl\r\n"
                                 "Call-ID: 3848276298220188511@atlanta.example.com\r\n"
                                 "CSeq: 2 " +
                        method + "\r\nContent-Length: 0\r\n\r\n");
}

// A 401 (or 407) to `request` carrying the given challenge header values.
NvHandle<NvSipResponse> challengeTo(const NvHandle<NvSipRequest>& request, int status,
                                    const std::vector<std::string>& challenges) {
    NvHandle<NvSipResponse> response(new NvSipResponse(status, request));
    const char* name = status == 407 ? "Proxy-Authenticate" : "WWW-Authenticate";
    for (const std::string& value : challenges) response->addHeader(NvSipHeader::sCreate(name, value));
    return response;
}

template <class H>
std::vector<NvHandle<H>> headersOf(const NvHandle<NvSipMessage>& message) {
    return message->getHeaders<H>();
}

// The value of the header as it goes on the wire.
std::string wire(const NvHandle<NvSipHeader>& header) { return header->getValue().str(); }

std::string ncText(unsigned nc) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", nc);
    return text;
}

// Recomputes the digest of credentials from their own fields, with `password`.
std::string expectedResponse(const NvSipAuthHeader& credentials, const std::string& password, const std::string& method) {
    Algorithm algorithm = Algorithm::MD5;
    EXPECT_TRUE(NvDigestAuthentication::sParseAlgorithm(credentials.getParameter("algorithm").view(), algorithm));
    return NvDigestAuthentication::sComputeResponse(
               algorithm, credentials.getParameter("username").view(), credentials.getParameter("realm").view(),
               password, method, credentials.getParameter("uri").view(), credentials.getParameter("nonce").view(),
               credentials.getParameter("nc").view(), credentials.getParameter("cnonce").view(),
               credentials.getParameter("qop").view())
        .str();
}

// A clock that moves only when the test says so.
class ManualClock : public NvClock {
public:
    ManualClock() { NvTime::sSetClock(this); }
    ~ManualClock() override { NvTime::sSetClock(nullptr); }
    double now() const override { return m_Now; }
    void advanceSeconds(double seconds) { m_Now += seconds * 1e6; }

private:
    double m_Now = 1.7e15;
};

// ================================================================ the digest

TEST(DigestAuthDigest, Rfc2617WorkedExample) {
    EXPECT_EQ("6629fae49393a05397450978507c4ef1",
              NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "Mufasa", "testrealm@host.com", "Circle Of Life",
                                                       "GET", "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                                       "00000001", "0a4f113b", "auth")
                  .str());
}

struct Rfc7616Example {
    Algorithm algorithm;
    const char* response;
};

void PrintTo(const Rfc7616Example& example, std::ostream* out) {
    *out << NvDigestAuthentication::sAlgorithmName(example.algorithm);
}

class DigestAuthRfc7616 : public ::testing::TestWithParam<Rfc7616Example> {};

TEST_P(DigestAuthRfc7616, WorkedExample) {
    EXPECT_EQ(GetParam().response,
              NvDigestAuthentication::sComputeResponse(
                  GetParam().algorithm, "Mufasa", "http-auth@example.org", "Circle of Life", "GET", "/dir/index.html",
                  "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
                  "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", "auth")
                  .str());
}

// MD5 and SHA-256 are the published values; the -sess and SHA-512-256 values
// were computed independently from the same inputs.
INSTANTIATE_TEST_SUITE_P(
    DigestAuthAlgorithms, DigestAuthRfc7616,
    ::testing::Values(Rfc7616Example{Algorithm::MD5, "8ca523f5e9506fed4657c9700eebdbec"},
                      Rfc7616Example{Algorithm::SHA256,
                                     "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
                      Rfc7616Example{Algorithm::MD5Sess, "e783283f46242139c486a698fec7211d"},
                      Rfc7616Example{Algorithm::SHA256Sess,
                                     "2fd51b3a77ad75bad6afad6003e818d767133c46d9e2749e7f5232ae1ea3efd7"},
                      Rfc7616Example{Algorithm::SHA512_256,
                                     "430d05014cecc49cab6fbe03176d41a1da86cbfe24a16580e22aaad928d960d0"},
                      Rfc7616Example{Algorithm::SHA512_256Sess,
                                     "3f2a34f923c38b0fb26dce2fdfc2ce326c23cecf86fbb1444f3e51fbbc2cb92e"}));

TEST(DigestAuthDigest, WithoutQopUsesTheOlderForm) {
    // H(HA1:nonce:HA2), no nc or cnonce (computed independently).
    EXPECT_EQ("670fd8c2df070c60b045671b8b24ff02",
              NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "Mufasa", "testrealm@host.com", "Circle Of Life",
                                                       "GET", "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                                       "00000001", "0a4f113b", "")
                  .str());
}

TEST(DigestAuthDigest, AlgorithmNamesParseInAnyCaseAndUnknownOnesAreRefused) {
    Algorithm a = Algorithm::MD5;
    EXPECT_TRUE(NvDigestAuthentication::sParseAlgorithm("sha-256", a));
    EXPECT_EQ(Algorithm::SHA256, a);
    EXPECT_TRUE(NvDigestAuthentication::sParseAlgorithm("MD5-SESS", a));
    EXPECT_EQ(Algorithm::MD5Sess, a);
    EXPECT_TRUE(NvDigestAuthentication::sParseAlgorithm("SHA-512-256", a));
    EXPECT_EQ(Algorithm::SHA512_256, a);
    a = Algorithm::SHA256;
    EXPECT_FALSE(NvDigestAuthentication::sParseAlgorithm("SHA-1", a));
    EXPECT_FALSE(NvDigestAuthentication::sParseAlgorithm("", a));
    EXPECT_FALSE(NvDigestAuthentication::sParseAlgorithm("MD5x", a));
    EXPECT_EQ(Algorithm::SHA256, a) << "a failed parse leaves the value alone";
}

// ================================================================ client

class DigestAuthClient : public ::testing::Test {
protected:
    void SetUp() override { m_Client.addCredentials("atlanta.example.com", "alice", "secret"); }
    NvDigestAuthentication m_Client;
};

TEST_F(DigestAuthClient, Answers401WithAuthorizationThatVerifies) {
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response = challengeTo(
        request, 401,
        {"Digest realm=\"atlanta.example.com\", nonce=\"84a4cc6f3082121f32b42a2187831a9e\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=\"auth\", algorithm=MD5"});

    ASSERT_TRUE(m_Client.response(response, request));

    auto authorizations = headersOf<NvSipAuthorizationHeader>(request);
    ASSERT_EQ(1u, authorizations.size());
    EXPECT_TRUE(headersOf<NvSipProxyAuthorizationHeader>(request).empty());
    const NvSipAuthHeader& a = *authorizations[0];
    EXPECT_TRUE(a.getScheme().equals("Digest"));
    EXPECT_EQ("alice", a.getParameter("username"));
    EXPECT_EQ("atlanta.example.com", a.getParameter("realm"));
    EXPECT_EQ("84a4cc6f3082121f32b42a2187831a9e", a.getParameter("nonce"));
    EXPECT_EQ("sip:bob@biloxi.example.com;transport=udp", a.getParameter("uri"));
    EXPECT_EQ("5ccc069c403ebaf9f0171e9517f40e41", a.getParameter("opaque"));
    EXPECT_EQ("MD5", a.getParameter("algorithm"));
    EXPECT_EQ("auth", a.getParameter("qop"));
    EXPECT_EQ("00000001", a.getParameter("nc"));
    EXPECT_GE(a.getParameter("cnonce").length(), 16u);
    EXPECT_EQ(expectedResponse(a, "secret", "INVITE"), a.getParameter("response").str());
    EXPECT_NE(expectedResponse(a, "secreT", "INVITE"), a.getParameter("response").str());

    // Quoting on the wire: algorithm, qop and nc are tokens, the rest quoted.
    const std::string text = wire(authorizations[0]);
    EXPECT_EQ(0u, text.find("Digest ")) << text;
    for (const char* part : {"username=\"alice\"", "realm=\"atlanta.example.com\"",
                             "nonce=\"84a4cc6f3082121f32b42a2187831a9e\"",
                             "uri=\"sip:bob@biloxi.example.com;transport=udp\"", "response=\"",
                             "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"", "cnonce=\"", "algorithm=MD5",
                             "qop=auth", "nc=00000001"})
        EXPECT_NE(std::string::npos, text.find(part)) << part << " missing in " << text;
    EXPECT_EQ(std::string::npos, text.find("qop=\"")) << text;
    EXPECT_EQ(std::string::npos, text.find("nc=\"")) << text;
    EXPECT_EQ(std::string::npos, text.find("algorithm=\"")) << text;

    // The request still goes out whole, and reads back with the same credentials.
    const std::string written = request->toString();
    NvHandle<NvSipRequest> reread = parseRequest(written);
    ASSERT_TRUE(reread);
    auto again = headersOf<NvSipAuthorizationHeader>(reread);
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(a.getParameter("response"), again[0]->getParameter("response"));
}

TEST_F(DigestAuthClient, Answers407WithProxyAuthorization) {
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response = challengeTo(
        request, 407, {"Digest realm=\"atlanta.example.com\", nonce=\"wf84f1ceczx41ae6cbe5aea9c8e88d359\", qop=\"auth\""});

    ASSERT_TRUE(m_Client.response(response, request));

    EXPECT_TRUE(headersOf<NvSipAuthorizationHeader>(request).empty());
    auto proxyAuthorizations = headersOf<NvSipProxyAuthorizationHeader>(request);
    ASSERT_EQ(1u, proxyAuthorizations.size());
    const NvSipAuthHeader& a = *proxyAuthorizations[0];
    EXPECT_EQ("wf84f1ceczx41ae6cbe5aea9c8e88d359", a.getParameter("nonce"));
    EXPECT_EQ("MD5", a.getParameter("algorithm")) << "no algorithm in the challenge means MD5";
    EXPECT_FALSE(a.hasParameter("opaque")) << "no opaque was given";
    EXPECT_EQ(expectedResponse(a, "secret", "INVITE"), a.getParameter("response").str());
}

TEST_F(DigestAuthClient, ChallengeWithoutQopGetsTheOlderAnswer) {
    m_Client.addCredentials("biloxi.com", "bob", "zanzibar");
    NvHandle<NvSipRequest> request = parseRequest(
        "INVITE sip:bob@biloxi.com SIP/2.0\r\n"
        "Via: SIP/2.0/UDP pc33.atlanta.com;branch=z9hG4bKnashds8\r\n"
        "To: Bob <sip:bob@biloxi.com>\r\nFrom: Alice <sip:alice@atlanta.com>;tag=1928301774\r\n"
        "Call-ID: a84b4c76e66710\r\nCSeq: 314159 INVITE\r\nContent-Length: 0\r\n\r\n");
    NvHandle<NvSipResponse> response =
        challengeTo(request, 401, {"Digest realm=\"biloxi.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\""});

    ASSERT_TRUE(m_Client.response(response, request));

    auto authorizations = headersOf<NvSipAuthorizationHeader>(request);
    ASSERT_EQ(1u, authorizations.size());
    const NvSipAuthHeader& a = *authorizations[0];
    EXPECT_FALSE(a.hasParameter("qop"));
    EXPECT_FALSE(a.hasParameter("nc"));
    EXPECT_FALSE(a.hasParameter("cnonce"));
    // Computed independently: MD5 of HA1:nonce:HA2.
    EXPECT_EQ("bf57e4e0d0bffc0fbaedce64d59add5e", a.getParameter("response"));
}

TEST_F(DigestAuthClient, NcCountsAnswersPerNonceAndCnonceIsFresh) {
    const std::string first = "Digest realm=\"atlanta.example.com\", nonce=\"n-one\", qop=\"auth\"";
    const std::string second = "Digest realm=\"atlanta.example.com\", nonce=\"n-two\", qop=\"auth\"";
    std::vector<std::string> ncs, cnonces;
    for (const std::string& challenge : {first, first, second, first}) {
        NvHandle<NvSipRequest> request = invite();
        ASSERT_TRUE(m_Client.response(challengeTo(request, 401, {challenge}), request));
        auto a = headersOf<NvSipAuthorizationHeader>(request);
        ASSERT_EQ(1u, a.size());
        ncs.push_back(a[0]->getParameter("nc").str());
        cnonces.push_back(a[0]->getParameter("cnonce").str());
        EXPECT_EQ(expectedResponse(*a[0], "secret", "INVITE"), a[0]->getParameter("response").str());
    }
    EXPECT_EQ((std::vector<std::string>{"00000001", "00000002", "00000001", "00000003"}), ncs);
    EXPECT_EQ(4u, std::set<std::string>(cnonces.begin(), cnonces.end()).size()) << "a cnonce was used twice";
}

TEST_F(DigestAuthClient, PrefersSha256OverMd5WhateverTheOrder) {
    const std::string md5 = "Digest realm=\"atlanta.example.com\", nonce=\"n1\", qop=\"auth\", algorithm=MD5";
    const std::string sha = "Digest realm=\"atlanta.example.com\", nonce=\"n2\", qop=\"auth\", algorithm=SHA-256";
    for (const auto& order : {std::vector<std::string>{md5, sha}, std::vector<std::string>{sha, md5}}) {
        NvHandle<NvSipRequest> request = invite();
        ASSERT_TRUE(m_Client.response(challengeTo(request, 401, order), request));
        auto a = headersOf<NvSipAuthorizationHeader>(request);
        ASSERT_EQ(1u, a.size()) << "one answer per realm";
        EXPECT_EQ("SHA-256", a[0]->getParameter("algorithm"));
        EXPECT_EQ("n2", a[0]->getParameter("nonce"));
        EXPECT_EQ(64u, a[0]->getParameter("response").length());
        EXPECT_EQ(expectedResponse(*a[0], "secret", "INVITE"), a[0]->getParameter("response").str());
    }
}

TEST_F(DigestAuthClient, RealmCredentialsComeBeforeTheDefault) {
    m_Client.setDefaultCredentials("guest", "anyone");
    NvHandle<NvSipRequest> own = invite();
    ASSERT_TRUE(m_Client.response(
        challengeTo(own, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth\""}), own));
    EXPECT_EQ("alice", headersOf<NvSipAuthorizationHeader>(own)[0]->getParameter("username"));
    EXPECT_EQ(expectedResponse(*headersOf<NvSipAuthorizationHeader>(own)[0], "secret", "INVITE"),
              headersOf<NvSipAuthorizationHeader>(own)[0]->getParameter("response").str());

    NvHandle<NvSipRequest> other = invite();
    ASSERT_TRUE(m_Client.response(
        challengeTo(other, 407, {"Digest realm=\"chicago.example.com\", nonce=\"n\", qop=\"auth\""}), other));
    auto a = headersOf<NvSipProxyAuthorizationHeader>(other);
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ("guest", a[0]->getParameter("username"));
    EXPECT_EQ(expectedResponse(*a[0], "anyone", "INVITE"), a[0]->getParameter("response").str());
}

TEST_F(DigestAuthClient, UnknownRealmWithoutDefaultIsNotAnswered) {
    NvHandle<NvSipRequest> request = invite();
    const std::string before = request->toString();
    EXPECT_FALSE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"chicago.example.com\", nonce=\"n\", qop=\"auth\""}), request));
    EXPECT_EQ(before, request->toString()) << "the request must stay as it was";

    // Realms match exactly.
    EXPECT_FALSE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"Atlanta.example.com\", nonce=\"n\", qop=\"auth\""}), request));

    m_Client.clearCredentials();
    EXPECT_FALSE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth\""}), request));
    EXPECT_EQ(before, request->toString());
}

TEST_F(DigestAuthClient, OneRealmWithoutCredentialsLeavesTheOtherUnansweredToo) {
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response =
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth\""});
    response->addHeader(
        NvSipHeader::sCreate("Proxy-Authenticate", "Digest realm=\"chicago.example.com\", nonce=\"m\", qop=\"auth\""));
    const std::string before = request->toString();
    EXPECT_FALSE(m_Client.response(response, request));
    EXPECT_EQ(before, request->toString());
}

TEST_F(DigestAuthClient, AnswersEveryRealmOfAnAggregated401) {
    // A forking proxy may gather a proxy's and a user agent's challenges in one 401.
    m_Client.addCredentials("proxy.example.com", "alice-at-proxy", "p4ss");
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response =
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"ua-nonce\", qop=\"auth\""});
    response->addHeader(NvSipHeader::sCreate(
        "Proxy-Authenticate", "Digest realm=\"proxy.example.com\", nonce=\"proxy-nonce\", algorithm=SHA-256, qop=\"auth\""));

    ASSERT_TRUE(m_Client.response(response, request));

    auto ua = headersOf<NvSipAuthorizationHeader>(request);
    auto proxy = headersOf<NvSipProxyAuthorizationHeader>(request);
    ASSERT_EQ(1u, ua.size());
    ASSERT_EQ(1u, proxy.size());
    EXPECT_EQ("alice", ua[0]->getParameter("username"));
    EXPECT_EQ("ua-nonce", ua[0]->getParameter("nonce"));
    EXPECT_EQ(expectedResponse(*ua[0], "secret", "INVITE"), ua[0]->getParameter("response").str());
    EXPECT_EQ("alice-at-proxy", proxy[0]->getParameter("username"));
    EXPECT_EQ("proxy-nonce", proxy[0]->getParameter("nonce"));
    EXPECT_EQ("SHA-256", proxy[0]->getParameter("algorithm"));
    EXPECT_EQ(expectedResponse(*proxy[0], "p4ss", "INVITE"), proxy[0]->getParameter("response").str());
}

TEST_F(DigestAuthClient, SameNonceAgainWithoutStaleGivesUp) {
    NvHandle<NvSipRequest> request = invite();
    const std::string challenge = "Digest realm=\"atlanta.example.com\", nonce=\"once\", qop=\"auth\"";
    ASSERT_TRUE(m_Client.response(challengeTo(request, 401, {challenge}), request));
    const std::string answered = request->toString();

    // The retry is the answered request cloned; the server challenges it again.
    NvHandle<NvSipRequest> retry(static_cast<NvSipRequest*>(request->clone()));
    EXPECT_FALSE(m_Client.response(challengeTo(retry, 401, {challenge}), retry));
    EXPECT_FALSE(m_Client.response(challengeTo(request, 401, {challenge}), request));
    EXPECT_EQ(answered, request->toString()) << "the earlier answer stays as it was";
}

TEST_F(DigestAuthClient, NewNonceWithoutStaleMeansRefusedCredentials) {
    NvHandle<NvSipRequest> request = invite();
    ASSERT_TRUE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"first\", qop=\"auth\""}), request));
    EXPECT_FALSE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"second\", qop=\"auth\""}), request));
    auto a = headersOf<NvSipAuthorizationHeader>(request);
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ("first", a[0]->getParameter("nonce"));
}

TEST_F(DigestAuthClient, StaleNonceIsAnsweredAgainReplacingTheEarlierAnswer) {
    NvHandle<NvSipRequest> request = invite();
    // Someone else's credentials for another realm must survive.
    request->addHeader(NvSipHeader::sCreate(
        "Authorization", "Digest username=\"x\", realm=\"other.example.com\", nonce=\"z\", uri=\"sip:a\", response=\"0\""));
    ASSERT_TRUE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"old\", qop=\"auth\""}), request));
    ASSERT_TRUE(m_Client.response(
        challengeTo(request, 401,
                    {"Digest realm=\"atlanta.example.com\", nonce=\"fresh\", qop=\"auth\", stale=TRUE"}),
        request));

    auto a = headersOf<NvSipAuthorizationHeader>(request);
    ASSERT_EQ(2u, a.size());
    EXPECT_EQ("other.example.com", a[0]->getParameter("realm"));
    EXPECT_EQ("fresh", a[1]->getParameter("nonce"));
    EXPECT_EQ("00000001", a[1]->getParameter("nc"));
    EXPECT_EQ(expectedResponse(*a[1], "secret", "INVITE"), a[1]->getParameter("response").str());

    // A server that calls the nonce it just gave stale again is not followed.
    EXPECT_FALSE(m_Client.response(
        challengeTo(request, 401,
                    {"Digest realm=\"atlanta.example.com\", nonce=\"fresh\", qop=\"auth\", stale=true"}),
        request));
}

TEST_F(DigestAuthClient, MalformedChallengesAreNotAnsweredAndAreLogged) {
    Tellar::LogCapture log(kAuthLogger, Tellar::DEBUG);
    struct Bad {
        const char* challenge;
        const char* reason;  // what the warning must say
    };
    const Bad bad[] = {
        {"Digest nonce=\"n\", qop=\"auth\"", "without realm"},
        {"Digest realm=\"atlanta.example.com\", qop=\"auth\"", "without nonce"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"\", qop=\"auth\"", "without nonce"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", algorithm=SHA-1", "unknown algorithm SHA-1"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth-int\"", "qop \"auth-int\""},
    };
    for (const Bad& b : bad) {
        log.clear();
        NvHandle<NvSipRequest> request = invite();
        EXPECT_FALSE(m_Client.response(challengeTo(request, 401, {b.challenge}), request)) << b.challenge;
        EXPECT_TRUE(headersOf<NvSipAuthorizationHeader>(request).empty()) << b.challenge;
        bool explained = false;
        for (const auto& record : log.records())
            explained = explained || (record.level == Tellar::WARN && record.text.find(b.reason) != std::string::npos &&
                                      record.text.find("a84b4c76e66710@pc33.atlanta.example.com") != std::string::npos);
        EXPECT_TRUE(explained) << "a warning naming the call should say '" << b.reason << "':\n" << log.dump();
    }

    // A usable challenge next to a malformed one is still answered.
    NvHandle<NvSipRequest> request = invite();
    EXPECT_TRUE(m_Client.response(
        challengeTo(request, 401,
                    {"Digest realm=\"atlanta.example.com\", nonce=\"n\", algorithm=SHA-1",
                     "Digest realm=\"atlanta.example.com\", nonce=\"m\", qop=\"auth,auth-int\", algorithm=MD5"}),
        request));
    auto a = headersOf<NvSipAuthorizationHeader>(request);
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ("m", a[0]->getParameter("nonce"));
    EXPECT_EQ("auth", a[0]->getParameter("qop"));
}

TEST_F(DigestAuthClient, OnlyDigestChallengesOf401And407AreAnswered) {
    NvHandle<NvSipRequest> request = invite();
    EXPECT_FALSE(m_Client.response(challengeTo(request, 401, {"Basic realm=\"atlanta.example.com\""}), request));
    NvHandle<NvSipResponse> notAChallenge =
        challengeTo(request, 401, {"Digest realm=\"atlanta.example.com\", nonce=\"n\""});
    notAChallenge->setStatusCode(403);
    EXPECT_FALSE(m_Client.response(notAChallenge, request));
    EXPECT_FALSE(m_Client.response(challengeTo(request, 401, {}), request));
    EXPECT_FALSE(m_Client.response(nullptr, request));
    EXPECT_TRUE(headersOf<NvSipAuthorizationHeader>(request).empty());
}

TEST_F(DigestAuthClient, QuotedValuesAreUnescapedForTheDigestAndEscapedOnTheWire) {
    m_Client.addCredentials("Bob's \"home\" realm", "al\\ice", "pw");
    NvHandle<NvSipRequest> request = invite();
    ASSERT_TRUE(m_Client.response(
        challengeTo(request, 401, {"Digest realm=\"Bob's \\\"home\\\" realm\", nonce=\"n\", qop=\"auth\""}), request));
    auto a = headersOf<NvSipAuthorizationHeader>(request);
    ASSERT_EQ(1u, a.size());
    const std::string text = wire(a[0]);
    EXPECT_NE(std::string::npos, text.find("realm=\"Bob's \\\"home\\\" realm\"")) << text;
    EXPECT_NE(std::string::npos, text.find("username=\"al\\\\ice\"")) << text;
    const std::string expected =
        NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "al\\ice", "Bob's \"home\" realm", "pw", "INVITE",
                                                 "sip:bob@biloxi.example.com;transport=udp", "n", "00000001",
                                                 a[0]->getParameter("cnonce").view(), "auth")
            .str();
    EXPECT_EQ(expected, a[0]->getParameter("response").str());
}

// ================================================================ server

class DigestAuthServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_Server.setServerRealm("biloxi.example.com");
        m_Server.addUser("alice", "secret");
        m_Client.addCredentials("biloxi.example.com", "alice", "secret");
    }

    // The challenge for `request`, answered by `client` on the request.
    NvHandle<NvSipResponse> challengeAndAnswer(const NvHandle<NvSipRequest>& request,
                                               NvDigestAuthentication& client) {
        NvHandle<NvSipResponse> challenge = m_Server.request(request);
        EXPECT_TRUE(challenge);
        if (challenge) {
            EXPECT_TRUE(client.response(challenge, request));
        }
        return challenge;
    }

    // Credentials for `request` built by hand from a challenge of ours.
    NvHandle<NvSipHeader> handMade(const NvHandle<NvSipRequest>& request, const NvSipAuthHeader& challenge,
                                   const std::string& user, const std::string& password, unsigned nc,
                                   Algorithm algorithm = Algorithm::MD5, const std::string& cnonce = "0a4f113b",
                                   const char* headerName = "Authorization") {
        const std::string uri = request->getURI()->toString().str();
        const std::string nonce = challenge.getParameter("nonce").str();
        const std::string response =
            NvDigestAuthentication::sComputeResponse(algorithm, user, "biloxi.example.com", password,
                                                     request->getMethod().view(), uri, nonce, ncText(nc), cnonce, "auth")
                .str();
        return NvSipHeader::sCreate(
            headerName, "Digest username=\"" + user + "\", realm=\"biloxi.example.com\", nonce=\"" + nonce +
                            "\", uri=\"" + uri + "\", response=\"" + response + "\", algorithm=" +
                            NvDigestAuthentication::sAlgorithmName(algorithm) + ", cnonce=\"" + cnonce +
                            "\", opaque=\"" + challenge.getParameter("opaque").str() + "\", qop=auth, nc=" +
                            ncText(nc));
    }

    static NvHandle<NvSipWWWAuthenticateHeader> firstChallenge(const NvHandle<NvSipResponse>& response) {
        return response->getHeader<NvSipWWWAuthenticateHeader>();
    }

    static bool isStale(const NvHandle<NvSipResponse>& response) {
        for (const auto& h : response->getHeaders<NvSipWWWAuthenticateHeader>())
            if (!h->getParameter("stale").equalsIgnoreCase("true")) return false;
        return !response->getHeaders<NvSipWWWAuthenticateHeader>().empty();
    }

    NvDigestAuthentication m_Server;
    NvDigestAuthentication m_Client;
};

TEST_F(DigestAuthServer, NothingIsChallengedWithoutARealm) {
    NvDigestAuthentication idle;
    idle.addUser("alice", "secret");
    EXPECT_FALSE(idle.request(invite()));
    m_Server.setServerRealm("");
    EXPECT_FALSE(m_Server.request(invite()));
}

TEST_F(DigestAuthServer, ChallengesARequestWithoutCredentials) {
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response = m_Server.request(request);
    ASSERT_TRUE(response);
    EXPECT_EQ(401, response->getStatusCode());
    EXPECT_EQ(request->getCallID(), response->getCallID());
    EXPECT_EQ(314159u, response->getCSeqHeader()->getNumber());
    EXPECT_FALSE(response->getToHeader()->getTag().isEmpty()) << "a 401 carries a To tag";
    EXPECT_FALSE(response->getHeader<NvSipProxyAuthenticateHeader>());

    auto challenges = response->getHeaders<NvSipWWWAuthenticateHeader>();
    ASSERT_EQ(2u, challenges.size()) << "SHA-256 and MD5 are offered, strongest first";
    EXPECT_EQ("SHA-256", challenges[0]->getParameter("algorithm"));
    EXPECT_EQ("MD5", challenges[1]->getParameter("algorithm"));
    for (const auto& c : challenges) {
        EXPECT_TRUE(c->getScheme().equals("Digest"));
        EXPECT_EQ("biloxi.example.com", c->getParameter("realm"));
        EXPECT_FALSE(c->getParameter("nonce").isEmpty());
        EXPECT_FALSE(c->getParameter("opaque").isEmpty());
        EXPECT_FALSE(c->hasParameter("stale"));
        const std::string text = wire(c);
        EXPECT_NE(std::string::npos, text.find("qop=\"auth\"")) << text;
        EXPECT_NE(std::string::npos, text.find("realm=\"biloxi.example.com\"")) << text;
        EXPECT_EQ(std::string::npos, text.find("algorithm=\"")) << text;
    }
    // Each challenge gets its own nonce.
    EXPECT_NE(firstChallenge(response)->getParameter("nonce"),
              firstChallenge(m_Server.request(invite()))->getParameter("nonce"));
}

TEST_F(DigestAuthServer, ProxyModeChallengesWith407) {
    m_Server.setChallengeProxy(true);
    m_Server.setAlgorithm(Algorithm::SHA256);
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response = m_Server.request(request);
    ASSERT_TRUE(response);
    EXPECT_EQ(407, response->getStatusCode());
    EXPECT_FALSE(response->getHeader<NvSipWWWAuthenticateHeader>());
    auto challenges = response->getHeaders<NvSipProxyAuthenticateHeader>();
    ASSERT_EQ(1u, challenges.size());
    EXPECT_EQ("SHA-256", challenges[0]->getParameter("algorithm"));

    // Answered as a proxy challenge, and only that kind of answer counts.
    ASSERT_TRUE(m_Client.response(response, request));
    EXPECT_EQ(1u, request->getHeaders<NvSipProxyAuthorizationHeader>().size());
    EXPECT_FALSE(m_Server.request(request));

    NvHandle<NvSipRequest> wrongKind = invite();
    wrongKind->addHeader(handMade(wrongKind, *challenges[0], "alice", "secret", 1, Algorithm::SHA256));
    EXPECT_TRUE(m_Server.request(wrongKind)) << "Authorization does not answer a proxy challenge";
}

TEST_F(DigestAuthServer, AckAndCancelAreNeverChallenged) {
    EXPECT_FALSE(m_Server.request(requestOf("ACK")));
    EXPECT_FALSE(m_Server.request(requestOf("CANCEL")));
    EXPECT_TRUE(m_Server.request(requestOf("OPTIONS")));
    EXPECT_TRUE(m_Server.request(requestOf("BYE")));
}

TEST_F(DigestAuthServer, AcceptsTheRightAnswer) {
    NvHandle<NvSipRequest> request = invite();
    challengeAndAnswer(request, m_Client);
    EXPECT_EQ("SHA-256", request->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm"));
    EXPECT_FALSE(m_Server.request(request));
}

TEST_F(DigestAuthServer, AcceptsEveryAlgorithmOffered) {
    for (Algorithm algorithm : {Algorithm::MD5, Algorithm::MD5Sess, Algorithm::SHA256, Algorithm::SHA256Sess,
                                Algorithm::SHA512_256, Algorithm::SHA512_256Sess}) {
        m_Server.setAlgorithm(algorithm);
        NvHandle<NvSipRequest> request = requestOf("OPTIONS");
        challengeAndAnswer(request, m_Client);
        EXPECT_EQ(NvDigestAuthentication::sAlgorithmName(algorithm),
                  request->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm"));
        EXPECT_FALSE(m_Server.request(request)) << NvDigestAuthentication::sAlgorithmName(algorithm);
    }
}

TEST_F(DigestAuthServer, RefusesAWrongPasswordWithoutStale) {
    NvDigestAuthentication wrong;
    wrong.addCredentials("biloxi.example.com", "alice", "Secret");
    NvHandle<NvSipRequest> request = invite();
    challengeAndAnswer(request, wrong);
    NvHandle<NvSipResponse> again = m_Server.request(request);
    ASSERT_TRUE(again);
    EXPECT_EQ(401, again->getStatusCode());
    EXPECT_FALSE(isStale(again));
    EXPECT_FALSE(wrong.response(again, request)) << "the client gives up rather than loop";
}

TEST_F(DigestAuthServer, RefusesUnknownUsersOtherRealmsAndAlgorithmsNotOffered) {
    NvHandle<NvSipResponse> challenge = m_Server.request(invite());
    ASSERT_TRUE(challenge);
    const NvSipAuthHeader& md5 = *challenge->getHeaders<NvSipWWWAuthenticateHeader>()[1];

    NvHandle<NvSipRequest> good = invite();
    good->addHeader(handMade(good, md5, "alice", "secret", 1));
    EXPECT_FALSE(m_Server.request(good)) << "the hand-made answer is right";

    m_Server.addUser("mallory", "secret");
    m_Server.removeUser("mallory");
    NvHandle<NvSipRequest> unknown = invite();
    unknown->addHeader(handMade(unknown, md5, "mallory", "secret", 1));
    EXPECT_TRUE(m_Server.request(unknown));

    NvHandle<NvSipRequest> downgraded = invite();
    m_Server.setAlgorithm(Algorithm::SHA256);
    downgraded->addHeader(handMade(downgraded, md5, "alice", "secret", 2));
    EXPECT_TRUE(m_Server.request(downgraded)) << "MD5 is no longer offered";

    NvDigestAuthentication other;
    other.setServerRealm("elsewhere.example.com");
    other.addUser("alice", "secret");
    NvHandle<NvSipRequest> foreignRealm = invite();
    foreignRealm->addHeader(handMade(foreignRealm, md5, "alice", "secret", 3));
    EXPECT_TRUE(other.request(foreignRealm)) << "credentials for another realm do not count";
}

TEST_F(DigestAuthServer, RefusesAnswersWithoutQopAuth) {
    NvHandle<NvSipResponse> challenge = m_Server.request(invite());
    ASSERT_TRUE(challenge);
    const NvSipAuthHeader& md5 = *challenge->getHeaders<NvSipWWWAuthenticateHeader>()[1];
    NvHandle<NvSipRequest> request = invite();
    const std::string uri = request->getURI()->toString().str();
    const std::string nonce = md5.getParameter("nonce").str();
    const std::string digest = NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "alice", "biloxi.example.com",
                                                                        "secret", "INVITE", uri, nonce, "", "", "")
                                   .str();
    request->addHeader(NvSipHeader::sCreate(
        "Authorization", "Digest username=\"alice\", realm=\"biloxi.example.com\", nonce=\"" + nonce + "\", uri=\"" +
                             uri + "\", response=\"" + digest + "\", opaque=\"" + md5.getParameter("opaque").str() +
                             "\""));
    EXPECT_TRUE(m_Server.request(request));
}

TEST_F(DigestAuthServer, ForeignOrTamperedNonceIsRefused) {
    NvHandle<NvSipResponse> challenge = m_Server.request(invite());
    ASSERT_TRUE(challenge);
    const NvSipAuthHeader& ours = *challenge->getHeaders<NvSipWWWAuthenticateHeader>()[1];

    // A nonce we never issued, answered with the right password: a new nonce is offered as stale.
    NvHandle<NvSipResponse> foreignChallenge =
        challengeTo(invite(), 401, {"Digest realm=\"biloxi.example.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"" +
                                        ours.getParameter("opaque").str() + "\""});
    NvHandle<NvSipRequest> foreign = invite();
    foreign->addHeader(handMade(foreign, *foreignChallenge->getHeader<NvSipWWWAuthenticateHeader>(), "alice", "secret", 1));
    NvHandle<NvSipResponse> refused = m_Server.request(foreign);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(isStale(refused));
    EXPECT_NE("dcd98b7102dd2f0e8b11d0f600bfb0c093", firstChallenge(refused)->getParameter("nonce"));

    // Our nonce with its issue time altered (to outlive its lifetime) no longer verifies.
    std::string nonce = ours.getParameter("nonce").str();
    nonce[14] = nonce[14] == 'f' ? '0' : 'f';
    NvHandle<NvSipResponse> tamperedChallenge = challengeTo(
        invite(), 401, {"Digest realm=\"biloxi.example.com\", nonce=\"" + nonce + "\", opaque=\"" +
                            ours.getParameter("opaque").str() + "\""});
    NvHandle<NvSipRequest> tampered = invite();
    tampered->addHeader(
        handMade(tampered, *tamperedChallenge->getHeader<NvSipWWWAuthenticateHeader>(), "alice", "secret", 1));
    EXPECT_TRUE(m_Server.request(tampered));

    // Our own nonce with an opaque that is not ours.
    NvHandle<NvSipResponse> otherOpaque = challengeTo(
        invite(), 401, {"Digest realm=\"biloxi.example.com\", nonce=\"" + ours.getParameter("nonce").str() +
                            "\", opaque=\"00000000\""});
    NvHandle<NvSipRequest> badOpaque = invite();
    badOpaque->addHeader(handMade(badOpaque, *otherOpaque->getHeader<NvSipWWWAuthenticateHeader>(), "alice", "secret", 1));
    EXPECT_TRUE(m_Server.request(badOpaque));

    // A nonce of another realm (same process key) does not pass here either.
    NvDigestAuthentication other;
    other.setServerRealm("elsewhere.example.com");
    NvHandle<NvSipResponse> otherChallenge = other.request(invite());
    ASSERT_TRUE(otherChallenge);
    NvHandle<NvSipResponse> crossChallenge = challengeTo(
        invite(), 401, {"Digest realm=\"biloxi.example.com\", nonce=\"" +
                            firstChallenge(otherChallenge)->getParameter("nonce").str() + "\", opaque=\"" +
                            ours.getParameter("opaque").str() + "\""});
    NvHandle<NvSipRequest> crossRealm = invite();
    crossRealm->addHeader(
        handMade(crossRealm, *crossChallenge->getHeader<NvSipWWWAuthenticateHeader>(), "alice", "secret", 1));
    EXPECT_TRUE(m_Server.request(crossRealm));
}

TEST_F(DigestAuthServer, RefusesAReplayedNc) {
    NvHandle<NvSipRequest> request = invite();
    challengeAndAnswer(request, m_Client);
    EXPECT_FALSE(m_Server.request(request));

    // The same request again: same nonce, same nc.
    NvHandle<NvSipRequest> replay(static_cast<NvSipRequest*>(request->clone()));
    NvHandle<NvSipResponse> refused = m_Server.request(replay);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(isStale(refused)) << "the password was right: only the nonce must change";
}

TEST_F(DigestAuthServer, NcMayArriveOutOfOrderButNeverTwice) {
    m_Server.setAlgorithm(Algorithm::MD5);
    NvHandle<NvSipResponse> challenge = m_Server.request(invite());
    ASSERT_TRUE(challenge);
    const NvSipAuthHeader& c = *firstChallenge(challenge);
    auto passes = [&](unsigned nc) {
        NvHandle<NvSipRequest> request = invite();
        request->addHeader(handMade(request, c, "alice", "secret", nc));
        return m_Server.request(request).isNil();
    };
    EXPECT_TRUE(passes(3));
    EXPECT_TRUE(passes(1));
    EXPECT_TRUE(passes(2));
    EXPECT_FALSE(passes(2));
    EXPECT_FALSE(passes(3));
    EXPECT_TRUE(passes(100));
    EXPECT_FALSE(passes(1)) << "far behind the highest nc: refused";
    EXPECT_TRUE(passes(99));
    EXPECT_FALSE(passes(99));
}

TEST_F(DigestAuthServer, ExpiredNonceIsStaleAndTheClientAnswersAgain) {
    ManualClock clock;
    m_Server.setNonceLifetime(30);
    NvHandle<NvSipRequest> request = invite();
    challengeAndAnswer(request, m_Client);
    clock.advanceSeconds(29);
    NvHandle<NvSipRequest> early(static_cast<NvSipRequest*>(request->clone()));
    EXPECT_FALSE(m_Server.request(early)) << "still within its lifetime";

    NvHandle<NvSipRequest> late = invite();
    challengeAndAnswer(late, m_Client);
    clock.advanceSeconds(31);
    NvHandle<NvSipResponse> stale = m_Server.request(late);
    ASSERT_TRUE(stale);
    EXPECT_TRUE(isStale(stale));
    EXPECT_NE(late->getHeader<NvSipAuthorizationHeader>()->getParameter("nonce"),
              firstChallenge(stale)->getParameter("nonce"));

    ASSERT_TRUE(m_Client.response(stale, late)) << "stale=true: the same credentials are tried again";
    EXPECT_EQ(1u, late->getHeaders<NvSipAuthorizationHeader>().size());
    EXPECT_FALSE(m_Server.request(late));

    // An expired nonce with the wrong password is a plain refusal.
    NvDigestAuthentication wrong;
    wrong.addCredentials("biloxi.example.com", "alice", "guess");
    NvHandle<NvSipRequest> guess = invite();
    challengeAndAnswer(guess, wrong);
    clock.advanceSeconds(31);
    NvHandle<NvSipResponse> refused = m_Server.request(guess);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(isStale(refused));
}

TEST_F(DigestAuthServer, NonceThatLeftTheReplayTableCannotBeReplayed) {
    m_Server.setAlgorithm(Algorithm::MD5);
    NvHandle<NvSipRequest> first = invite();
    challengeAndAnswer(first, m_Client);
    EXPECT_FALSE(m_Server.request(first));
    NvHandle<NvSipRequest> replay(static_cast<NvSipRequest*>(first->clone()));

    // Enough newer nonces in use to push the first out of the table.
    for (size_t i = 0; i < NvDigestAuthentication::sm_MaxTrackedNonces; ++i) {
        NvHandle<NvSipResponse> challenge = m_Server.request(requestOf("OPTIONS"));
        NvHandle<NvSipRequest> request = requestOf("OPTIONS");
        request->addHeader(handMade(request, *firstChallenge(challenge), "alice", "secret", 1));
        ASSERT_FALSE(m_Server.request(request)) << i;
    }
    NvHandle<NvSipResponse> refused = m_Server.request(replay);
    ASSERT_TRUE(refused) << "a forgotten nonce must not accept its old nc again";
    EXPECT_TRUE(isStale(refused));
}

TEST_F(DigestAuthServer, ServesManyThreadsAtOnce) {
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            NvDigestAuthentication client;
            client.addCredentials("biloxi.example.com", "alice", "secret");
            for (int i = 0; i < 200; ++i) {
                if (i % 50 == 0) m_Server.addUser("user" + std::to_string(t), "pw");
                NvHandle<NvSipRequest> request = requestOf("OPTIONS");
                NvHandle<NvSipResponse> challenge = m_Server.request(request);
                if (challenge && client.response(challenge, request) && !m_Server.request(request)) ++accepted;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(800, accepted.load());
}

}  // namespace digest_auth_test
