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
                        "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bK74bf9\r\nMax-Forwards: 70\r\n"
                        "To: <sip:bob@biloxi.example.com>\r\nFrom: <sip:alice@atlanta.example.com>;tag=9fxced76sl\r\n"
                        "Call-ID: 3848276298220188511@atlanta.example.com\r\nCSeq: 2 " + method +
                        "\r\nContent-Length: 0\r\n\r\n");
}

// A 401 (or 407) to `request` carrying the given challenge header values.
NvHandle<NvSipResponse> challengeTo(const NvHandle<NvSipRequest>& request, int status,
                                    const std::vector<std::string>& challenges) {
    NvHandle<NvSipResponse> response(new NvSipResponse(status, request));
    const char* name = status == 407 ? "Proxy-Authenticate" : "WWW-Authenticate";
    for (const std::string& value : challenges) response->addHeader(NvSipHeader::sCreate(name, value));
    return response;
}

std::vector<NvHandle<NvSipAuthorizationHeader>> auths(const NvHandle<NvSipRequest>& request) {
    return request->getHeaders<NvSipAuthorizationHeader>();
}

// A challenge of `realm` with `nonce`, qop=auth unless other parameters are given.
std::string digestChallenge(const std::string& realm, const std::string& nonce,
                            const std::string& rest = "qop=\"auth\"") {
    return "Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\", " + rest;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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

std::string rfc2617(const char* qop) {
    return NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "Mufasa", "testrealm@host.com", "Circle Of Life",
                                                    "GET", "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                                    "00000001", "0a4f113b", qop)
        .str();
}

TEST(DigestAuthDigest, Rfc2617WorkedExampleAndTheOlderFormWithoutQop) {
    EXPECT_EQ("6629fae49393a05397450978507c4ef1", rfc2617("auth"));
    // H(HA1:nonce:HA2), no nc or cnonce (computed independently).
    EXPECT_EQ("670fd8c2df070c60b045671b8b24ff02", rfc2617(""));
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

TEST(DigestAuthDigest, AlgorithmNamesParseInAnyCaseAndUnknownOnesAreRefused) {
    const std::pair<const char*, Algorithm> good[] = {
        {"sha-256", Algorithm::SHA256}, {"MD5-SESS", Algorithm::MD5Sess}, {"SHA-512-256", Algorithm::SHA512_256}};
    for (const auto& g : good) {
        Algorithm a = Algorithm::MD5;
        EXPECT_TRUE(NvDigestAuthentication::sParseAlgorithm(g.first, a)) << g.first;
        EXPECT_EQ(g.second, a) << g.first;
    }
    for (const char* bad : {"SHA-1", "", "MD5x"}) {
        Algorithm a = Algorithm::SHA256;
        EXPECT_FALSE(NvDigestAuthentication::sParseAlgorithm(bad, a)) << bad;
        EXPECT_EQ(Algorithm::SHA256, a) << "a failed parse leaves the value alone";
    }
}

// ================================================================ client

class DigestAuthClient : public ::testing::Test {
protected:
    void SetUp() override { m_Client.addCredentials("atlanta.example.com", "alice", "secret"); }

    // Challenges `request` with one 401 (or 407) and returns whether it was answered.
    bool answer(const NvHandle<NvSipRequest>& request, const std::vector<std::string>& challenges, int status = 401) {
        return m_Client.response(challengeTo(request, status, challenges), request);
    }

    static void expectDigest(const NvSipAuthHeader& a, const std::string& password) {
        EXPECT_EQ(expectedResponse(a, password, "INVITE"), a.getParameter("response").str());
    }

    NvDigestAuthentication m_Client;
};

TEST_F(DigestAuthClient, Answers401WithAuthorizationThatVerifies) {
    NvHandle<NvSipRequest> request = invite();
    ASSERT_TRUE(answer(request, {"Digest realm=\"atlanta.example.com\", nonce=\"84a4cc6f3082121f32b42a2187831a9e\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", qop=\"auth\", algorithm=MD5"}));

    auto authorizations = auths(request);
    ASSERT_EQ(1u, authorizations.size());
    EXPECT_TRUE(request->getHeaders<NvSipProxyAuthorizationHeader>().empty());
    const NvSipAuthHeader& a = *authorizations[0];
    EXPECT_TRUE(a.getScheme().equals("Digest"));
    EXPECT_GE(a.getParameter("cnonce").length(), 16u);
    expectDigest(a, "secret");
    EXPECT_NE(expectedResponse(a, "secreT", "INVITE"), a.getParameter("response").str());

    // Every field on the wire: algorithm, qop and nc are tokens, the rest quoted.
    const std::string text = wire(authorizations[0]);
    EXPECT_EQ(0u, text.find("Digest ")) << text;
    for (const char* part : {"username=\"alice\"", "realm=\"atlanta.example.com\"",
                             "nonce=\"84a4cc6f3082121f32b42a2187831a9e\"",
                             "uri=\"sip:bob@biloxi.example.com;transport=udp\"", "response=\"",
                             "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"", "cnonce=\"", "algorithm=MD5",
                             "qop=auth", "nc=00000001"})
        EXPECT_TRUE(contains(text, part)) << part << " missing in " << text;
    for (const char* part : {"qop=\"", "nc=\"", "algorithm=\""}) EXPECT_FALSE(contains(text, part)) << text;

    // The request still goes out whole, and reads back with the same credentials.
    auto again = auths(parseRequest(request->toString()));
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ(a.getParameter("response"), again[0]->getParameter("response"));
}

TEST_F(DigestAuthClient, Answers407WithProxyAuthorization) {
    NvHandle<NvSipRequest> request = invite();
    ASSERT_TRUE(answer(request, {digestChallenge("atlanta.example.com", "wf84f1ceczx41ae6cbe5aea9c8e88d359")}, 407));

    EXPECT_TRUE(auths(request).empty());
    auto proxyAuthorizations = request->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_EQ(1u, proxyAuthorizations.size());
    const NvSipAuthHeader& a = *proxyAuthorizations[0];
    EXPECT_EQ("wf84f1ceczx41ae6cbe5aea9c8e88d359", a.getParameter("nonce"));
    EXPECT_EQ("MD5", a.getParameter("algorithm")) << "no algorithm in the challenge means MD5";
    EXPECT_FALSE(a.hasParameter("opaque")) << "no opaque was given";
    expectDigest(a, "secret");
}

TEST_F(DigestAuthClient, ChallengeWithoutQopGetsTheOlderAnswer) {
    m_Client.addCredentials("biloxi.com", "bob", "zanzibar");
    NvHandle<NvSipRequest> request = parseRequest(
        "INVITE sip:bob@biloxi.com SIP/2.0\r\n"
        "Via: SIP/2.0/UDP pc33.atlanta.com;branch=z9hG4bKnashds8\r\n"
        "To: Bob <sip:bob@biloxi.com>\r\nFrom: Alice <sip:alice@atlanta.com>;tag=1928301774\r\n"
        "Call-ID: a84b4c76e66710\r\nCSeq: 314159 INVITE\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(answer(request, {"Digest realm=\"biloxi.com\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\""}));

    auto a = auths(request);
    ASSERT_EQ(1u, a.size());
    for (const char* absent : {"qop", "nc", "cnonce"}) EXPECT_FALSE(a[0]->hasParameter(absent)) << absent;
    // Computed independently: MD5 of HA1:nonce:HA2.
    EXPECT_EQ("bf57e4e0d0bffc0fbaedce64d59add5e", a[0]->getParameter("response"));
}

TEST_F(DigestAuthClient, NcCountsAnswersPerNonceAndCnonceIsFresh) {
    std::vector<std::string> ncs, cnonces;
    for (const char* nonce : {"n-one", "n-one", "n-two", "n-one"}) {
        NvHandle<NvSipRequest> request = invite();
        ASSERT_TRUE(answer(request, {digestChallenge("atlanta.example.com", nonce)}));
        auto a = auths(request);
        ASSERT_EQ(1u, a.size());
        ncs.push_back(a[0]->getParameter("nc").str());
        cnonces.push_back(a[0]->getParameter("cnonce").str());
        expectDigest(*a[0], "secret");
    }
    EXPECT_EQ((std::vector<std::string>{"00000001", "00000002", "00000001", "00000003"}), ncs);
    EXPECT_EQ(4u, std::set<std::string>(cnonces.begin(), cnonces.end()).size()) << "a cnonce was used twice";
}

TEST_F(DigestAuthClient, PrefersSha256OverMd5WhateverTheOrder) {
    const std::string md5 = digestChallenge("atlanta.example.com", "n1", "qop=\"auth\", algorithm=MD5");
    const std::string sha = digestChallenge("atlanta.example.com", "n2", "qop=\"auth\", algorithm=SHA-256");
    for (const auto& order : {std::vector<std::string>{md5, sha}, std::vector<std::string>{sha, md5}}) {
        NvHandle<NvSipRequest> request = invite();
        ASSERT_TRUE(answer(request, order));
        auto a = auths(request);
        ASSERT_EQ(1u, a.size()) << "one answer per realm";
        EXPECT_EQ("SHA-256", a[0]->getParameter("algorithm"));
        EXPECT_EQ("n2", a[0]->getParameter("nonce"));
        EXPECT_EQ(64u, a[0]->getParameter("response").length());
        expectDigest(*a[0], "secret");
    }
}

TEST_F(DigestAuthClient, UnknownRealmIsAnsweredOnlyWithTheDefaultCredentials) {
    NvHandle<NvSipRequest> request = invite();
    const std::string before = request->toString();
    EXPECT_FALSE(answer(request, {digestChallenge("chicago.example.com", "n")}));
    EXPECT_EQ(before, request->toString()) << "the request must stay as it was";
    EXPECT_FALSE(answer(request, {digestChallenge("Atlanta.example.com", "n")})) << "realms match exactly";

    m_Client.clearCredentials();
    EXPECT_FALSE(answer(request, {digestChallenge("atlanta.example.com", "n")}));
    EXPECT_EQ(before, request->toString());

    // One realm without credentials leaves the other unanswered too.
    m_Client.addCredentials("atlanta.example.com", "alice", "secret");
    NvHandle<NvSipResponse> response = challengeTo(request, 401, {digestChallenge("atlanta.example.com", "n")});
    response->addHeader(NvSipHeader::sCreate("Proxy-Authenticate", digestChallenge("chicago.example.com", "m")));
    EXPECT_FALSE(m_Client.response(response, request));
    EXPECT_EQ(before, request->toString());

    // Realm credentials come before the default.
    m_Client.setDefaultCredentials("guest", "anyone");
    NvHandle<NvSipRequest> own = invite();
    ASSERT_TRUE(answer(own, {digestChallenge("atlanta.example.com", "n")}));
    EXPECT_EQ("alice", auths(own)[0]->getParameter("username"));
    expectDigest(*auths(own)[0], "secret");

    NvHandle<NvSipRequest> other = invite();
    ASSERT_TRUE(answer(other, {digestChallenge("chicago.example.com", "n")}, 407));
    auto a = other->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ("guest", a[0]->getParameter("username"));
    expectDigest(*a[0], "anyone");
}

TEST_F(DigestAuthClient, AnswersEveryRealmOfAnAggregated401) {
    // A forking proxy may gather a proxy's and a user agent's challenges in one 401.
    m_Client.addCredentials("proxy.example.com", "alice-at-proxy", "p4ss");
    NvHandle<NvSipRequest> request = invite();
    NvHandle<NvSipResponse> response = challengeTo(request, 401, {digestChallenge("atlanta.example.com", "ua-nonce")});
    response->addHeader(NvSipHeader::sCreate(
        "Proxy-Authenticate", digestChallenge("proxy.example.com", "proxy-nonce", "algorithm=SHA-256, qop=\"auth\"")));
    ASSERT_TRUE(m_Client.response(response, request));

    auto ua = auths(request);
    auto proxy = request->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_EQ(1u, ua.size());
    ASSERT_EQ(1u, proxy.size());
    EXPECT_EQ("alice", ua[0]->getParameter("username"));
    EXPECT_EQ("ua-nonce", ua[0]->getParameter("nonce"));
    expectDigest(*ua[0], "secret");
    EXPECT_EQ("alice-at-proxy", proxy[0]->getParameter("username"));
    EXPECT_EQ("proxy-nonce", proxy[0]->getParameter("nonce"));
    EXPECT_EQ("SHA-256", proxy[0]->getParameter("algorithm"));
    expectDigest(*proxy[0], "p4ss");
}

TEST_F(DigestAuthClient, ChallengedAgainWithoutStaleGivesUp) {
    NvHandle<NvSipRequest> request = invite();
    const std::string challenge = digestChallenge("atlanta.example.com", "once");
    ASSERT_TRUE(answer(request, {challenge}));
    const std::string answered = request->toString();

    // The retry is the answered request cloned; the server challenges it again.
    EXPECT_FALSE(answer(NvHandle<NvSipRequest>(static_cast<NvSipRequest*>(request->clone())), {challenge}));
    EXPECT_FALSE(answer(request, {challenge}));
    // A new nonce without stale means the credentials were refused.
    EXPECT_FALSE(answer(request, {digestChallenge("atlanta.example.com", "second")}));
    EXPECT_EQ(answered, request->toString()) << "the earlier answer stays as it was";
}

TEST_F(DigestAuthClient, StaleNonceIsAnsweredAgainReplacingTheEarlierAnswer) {
    NvHandle<NvSipRequest> request = invite();
    // Someone else's credentials for another realm must survive.
    request->addHeader(NvSipHeader::sCreate(
        "Authorization", "Digest username=\"x\", realm=\"other.example.com\", nonce=\"z\", uri=\"sip:a\", response=\"0\""));
    ASSERT_TRUE(answer(request, {digestChallenge("atlanta.example.com", "old")}));
    ASSERT_TRUE(answer(request, {digestChallenge("atlanta.example.com", "fresh", "qop=\"auth\", stale=TRUE")}));

    auto a = auths(request);
    ASSERT_EQ(2u, a.size());
    EXPECT_EQ("other.example.com", a[0]->getParameter("realm"));
    EXPECT_EQ("fresh", a[1]->getParameter("nonce"));
    EXPECT_EQ("00000001", a[1]->getParameter("nc"));
    expectDigest(*a[1], "secret");

    // A server that calls the nonce it just gave stale again is not followed.
    EXPECT_FALSE(answer(request, {digestChallenge("atlanta.example.com", "fresh", "qop=\"auth\", stale=true")}));
}

TEST_F(DigestAuthClient, MalformedChallengesAreNotAnsweredAndAreLogged) {
    Tellar::LogCapture log(kAuthLogger, Tellar::DEBUG);
    const std::pair<const char*, const char*> bad[] = {
        // challenge, what the warning must say
        {"Digest nonce=\"n\", qop=\"auth\"", "without realm"},
        {"Digest realm=\"atlanta.example.com\", qop=\"auth\"", "without nonce"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"\", qop=\"auth\"", "without nonce"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", algorithm=SHA-1", "unknown algorithm SHA-1"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth-int\"", "qop \"auth-int\""},
    };
    for (const auto& b : bad) {
        log.clear();
        NvHandle<NvSipRequest> request = invite();
        EXPECT_FALSE(answer(request, {b.first})) << b.first;
        EXPECT_TRUE(auths(request).empty()) << b.first;
        bool explained = false;
        for (const auto& record : log.records())
            explained = explained || (record.level == Tellar::WARN && contains(record.text, b.second) &&
                                      contains(record.text, "a84b4c76e66710@pc33.atlanta.example.com"));
        EXPECT_TRUE(explained) << "a warning naming the call should say '" << b.second << "':\n" << log.dump();
    }

    // A usable challenge next to a malformed one is still answered.
    NvHandle<NvSipRequest> request = invite();
    EXPECT_TRUE(answer(request, {"Digest realm=\"atlanta.example.com\", nonce=\"n\", algorithm=SHA-1",
                                 "Digest realm=\"atlanta.example.com\", nonce=\"m\", qop=\"auth,auth-int\", algorithm=MD5"}));
    auto a = auths(request);
    ASSERT_EQ(1u, a.size());
    EXPECT_EQ("m", a[0]->getParameter("nonce"));
    EXPECT_EQ("auth", a[0]->getParameter("qop"));
}

TEST_F(DigestAuthClient, OnlyDigestChallengesOf401And407AreAnswered) {
    NvHandle<NvSipRequest> request = invite();
    EXPECT_FALSE(answer(request, {"Basic realm=\"atlanta.example.com\""}));
    NvHandle<NvSipResponse> notAChallenge = challengeTo(request, 401, {digestChallenge("atlanta.example.com", "n")});
    notAChallenge->setStatusCode(403);
    EXPECT_FALSE(m_Client.response(notAChallenge, request));
    EXPECT_FALSE(answer(request, {}));
    EXPECT_FALSE(m_Client.response(nullptr, request));
    EXPECT_TRUE(auths(request).empty());
}

TEST_F(DigestAuthClient, QuotedValuesAreUnescapedForTheDigestAndEscapedOnTheWire) {
    m_Client.addCredentials("Bob's \"home\" realm", "al\\ice", "pw");
    NvHandle<NvSipRequest> request = invite();
    ASSERT_TRUE(answer(request, {digestChallenge("Bob's \\\"home\\\" realm", "n")}));
    auto a = auths(request);
    ASSERT_EQ(1u, a.size());
    const std::string text = wire(a[0]);
    EXPECT_TRUE(contains(text, "realm=\"Bob's \\\"home\\\" realm\"")) << text;
    EXPECT_TRUE(contains(text, "username=\"al\\\\ice\"")) << text;
    EXPECT_EQ(NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "al\\ice", "Bob's \"home\" realm", "pw", "INVITE",
                                                       "sip:bob@biloxi.example.com;transport=udp", "n", "00000001",
                                                       a[0]->getParameter("cnonce").view(), "auth")
                  .str(),
              a[0]->getParameter("response").str());
}

// ================================================================ server

class DigestAuthServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_Server.setServerRealm("biloxi.example.com");
        m_Server.addUser("alice", "secret");
        m_Client.addCredentials("biloxi.example.com", "alice", "secret");
    }

    // `request` challenged by the server and answered by `client`.
    NvHandle<NvSipRequest> answered(NvDigestAuthentication& client, NvHandle<NvSipRequest> request = invite()) {
        NvHandle<NvSipResponse> challenge = m_Server.request(request);
        EXPECT_TRUE(challenge && client.response(challenge, request));
        return request;
    }

    static NvHandle<NvSipRequest> copyOf(const NvHandle<NvSipRequest>& request) {
        return NvHandle<NvSipRequest>(static_cast<NvSipRequest*>(request->clone()));
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

    // An INVITE carrying credentials made by hand for `challenge`.
    NvHandle<NvSipRequest> inviteWith(const NvSipAuthHeader& challenge, const std::string& user, unsigned nc,
                                      Algorithm algorithm = Algorithm::MD5) {
        NvHandle<NvSipRequest> request = invite();
        request->addHeader(handMade(request, challenge, user, "secret", nc, algorithm));
        return request;
    }

    // An INVITE answered by hand to a challenge of the given nonce and opaque.
    NvHandle<NvSipRequest> answeredTo(const std::string& nonce, const std::string& opaque) {
        NvHandle<NvSipResponse> challenge = challengeTo(
            invite(), 401, {"Digest realm=\"biloxi.example.com\", nonce=\"" + nonce + "\", opaque=\"" + opaque + "\""});
        return inviteWith(*firstChallenge(challenge), "alice", 1);
    }

    // The MD5 one of the server's two challenges.
    NvHandle<NvSipWWWAuthenticateHeader> md5Challenge() {
        NvHandle<NvSipResponse> challenge = m_Server.request(invite());
        EXPECT_TRUE(challenge);
        return challenge->getHeaders<NvSipWWWAuthenticateHeader>()[1];
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

TEST_F(DigestAuthServer, NothingIsChallengedWithoutARealmNorAckOrCancel) {
    EXPECT_FALSE(m_Server.request(requestOf("ACK")));
    EXPECT_FALSE(m_Server.request(requestOf("CANCEL")));
    EXPECT_TRUE(m_Server.request(requestOf("OPTIONS")));
    EXPECT_TRUE(m_Server.request(requestOf("BYE")));

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
        EXPECT_FALSE(c->getParameter("nonce").isEmpty());
        EXPECT_FALSE(c->getParameter("opaque").isEmpty());
        EXPECT_FALSE(c->hasParameter("stale"));
        const std::string text = wire(c);
        EXPECT_TRUE(contains(text, "qop=\"auth\"") && contains(text, "realm=\"biloxi.example.com\"")) << text;
        EXPECT_FALSE(contains(text, "algorithm=\"")) << text;
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

    EXPECT_TRUE(m_Server.request(inviteWith(*challenges[0], "alice", 1, Algorithm::SHA256)))
        << "Authorization does not answer a proxy challenge";
}

TEST_F(DigestAuthServer, AcceptsTheRightAnswerWithEveryAlgorithmOfferedButNotItsReplay) {
    NvHandle<NvSipRequest> invited = answered(m_Client);
    EXPECT_EQ("SHA-256", invited->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm"));
    EXPECT_FALSE(m_Server.request(invited));
    // The same request again: same nonce, same nc.
    NvHandle<NvSipResponse> refused = m_Server.request(copyOf(invited));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(isStale(refused)) << "the password was right: only the nonce must change";

    for (Algorithm algorithm : {Algorithm::MD5, Algorithm::MD5Sess, Algorithm::SHA256, Algorithm::SHA256Sess,
                                Algorithm::SHA512_256, Algorithm::SHA512_256Sess}) {
        m_Server.setAlgorithm(algorithm);
        NvHandle<NvSipRequest> request = answered(m_Client, requestOf("OPTIONS"));
        EXPECT_EQ(NvDigestAuthentication::sAlgorithmName(algorithm),
                  request->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm"));
        EXPECT_FALSE(m_Server.request(request)) << NvDigestAuthentication::sAlgorithmName(algorithm);
    }
}

TEST_F(DigestAuthServer, RefusesUnknownUsersOtherRealmsAndAlgorithmsNotOffered) {
    const auto hMd5 = md5Challenge();  // keeps the header alive
    const NvSipAuthHeader& md5 = *hMd5;
    EXPECT_FALSE(m_Server.request(inviteWith(md5, "alice", 1))) << "the hand-made answer is right";

    m_Server.addUser("mallory", "secret");
    m_Server.removeUser("mallory");
    EXPECT_TRUE(m_Server.request(inviteWith(md5, "mallory", 1)));

    m_Server.setAlgorithm(Algorithm::SHA256);
    EXPECT_TRUE(m_Server.request(inviteWith(md5, "alice", 2))) << "MD5 is no longer offered";

    NvDigestAuthentication other;
    other.setServerRealm("elsewhere.example.com");
    other.addUser("alice", "secret");
    EXPECT_TRUE(other.request(inviteWith(md5, "alice", 3))) << "credentials for another realm do not count";

    // An answer without qop=auth.
    m_Server.setAlgorithm(Algorithm::MD5);
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
    const auto hOurs = md5Challenge();
    const NvSipAuthHeader& ours = *hOurs;
    const std::string opaque = ours.getParameter("opaque").str();

    // A nonce we never issued, answered with the right password: a new nonce is offered as stale.
    NvHandle<NvSipResponse> refused = m_Server.request(answeredTo("dcd98b7102dd2f0e8b11d0f600bfb0c093", opaque));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(isStale(refused));
    EXPECT_NE("dcd98b7102dd2f0e8b11d0f600bfb0c093", firstChallenge(refused)->getParameter("nonce"));

    // Our nonce with its issue time altered (to outlive its lifetime) no longer verifies.
    std::string tampered = ours.getParameter("nonce").str();
    tampered[14] = tampered[14] == 'f' ? '0' : 'f';
    EXPECT_TRUE(m_Server.request(answeredTo(tampered, opaque)));
    // Our own nonce with an opaque that is not ours.
    EXPECT_TRUE(m_Server.request(answeredTo(ours.getParameter("nonce").str(), "00000000")));

    // A nonce of another realm (same process key) does not pass here either.
    NvDigestAuthentication other;
    other.setServerRealm("elsewhere.example.com");
    NvHandle<NvSipResponse> otherChallenge = other.request(invite());
    ASSERT_TRUE(otherChallenge);
    EXPECT_TRUE(m_Server.request(answeredTo(firstChallenge(otherChallenge)->getParameter("nonce").str(), opaque)));
}

TEST_F(DigestAuthServer, NcMayArriveOutOfOrderButNeverTwice) {
    m_Server.setAlgorithm(Algorithm::MD5);
    NvHandle<NvSipResponse> challenge = m_Server.request(invite());
    ASSERT_TRUE(challenge);
    const NvSipAuthHeader& c = *firstChallenge(challenge);
    auto passes = [&](unsigned nc) { return m_Server.request(inviteWith(c, "alice", nc)).isNil(); };
    // Far behind the highest nc (1 after 100): refused.
    const std::pair<unsigned, bool> sequence[] = {{3, true},    {1, true},  {2, true},  {2, false}, {3, false},
                                                  {100, true}, {1, false}, {99, true}, {99, false}};
    for (const auto& step : sequence) EXPECT_EQ(step.second, passes(step.first)) << "nc " << step.first;
}

TEST_F(DigestAuthServer, ExpiredNonceIsStaleAndTheClientAnswersAgain) {
    ManualClock clock;
    m_Server.setNonceLifetime(30);
    NvHandle<NvSipRequest> request = answered(m_Client);
    clock.advanceSeconds(29);
    EXPECT_FALSE(m_Server.request(copyOf(request))) << "still within its lifetime";

    NvHandle<NvSipRequest> late = answered(m_Client);
    clock.advanceSeconds(31);
    NvHandle<NvSipResponse> stale = m_Server.request(late);
    ASSERT_TRUE(stale);
    EXPECT_TRUE(isStale(stale));
    EXPECT_NE(late->getHeader<NvSipAuthorizationHeader>()->getParameter("nonce"),
              firstChallenge(stale)->getParameter("nonce"));

    ASSERT_TRUE(m_Client.response(stale, late)) << "stale=true: the same credentials are tried again";
    EXPECT_EQ(1u, late->getHeaders<NvSipAuthorizationHeader>().size());
    EXPECT_FALSE(m_Server.request(late));

    // A wrong password is a plain refusal, fresh or expired, and the client gives up rather than loop.
    NvDigestAuthentication wrong;
    wrong.addCredentials("biloxi.example.com", "alice", "Secret");
    NvHandle<NvSipRequest> guess = answered(wrong);
    NvHandle<NvSipResponse> refused = m_Server.request(guess);
    ASSERT_TRUE(refused);
    EXPECT_EQ(401, refused->getStatusCode());
    EXPECT_FALSE(isStale(refused));
    EXPECT_FALSE(wrong.response(refused, guess));
    guess = answered(wrong);
    clock.advanceSeconds(31);
    refused = m_Server.request(guess);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(isStale(refused));
}

TEST_F(DigestAuthServer, NonceThatLeftTheReplayTableCannotBeReplayed) {
    m_Server.setAlgorithm(Algorithm::MD5);
    NvHandle<NvSipRequest> first = answered(m_Client);
    EXPECT_FALSE(m_Server.request(first));
    NvHandle<NvSipRequest> replay = copyOf(first);

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
