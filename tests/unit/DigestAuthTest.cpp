// NvDigestAuthentication: the digest against known values, the client answering 401 and 407 challenges, the
// server challenging and checking credentials (nonce lifetime, nc replay), and both sides together.

#include "SipTestText.h"
#include "stack/auth/NvDigestAuthentication.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/timer/NvTestClock.h"

#include <cstdio>
#include <set>

namespace digest_auth_test {

using Algorithm = NvDigestAuthentication::Algorithm;
using Challenges = std::vector<std::string>;

// A request from alice to bob.
NvHandle<NvSipRequest> request(const std::string& method = "INVITE") {
    return NvHandle<NvSipRequest>(parse(method + " sip:bob@biloxi.example.com;transport=udp SIP/2.0\r\n"
                                                 "Via: SIP/2.0/UDP pc33.atlanta.example.com;branch=z9hG4bK776asdhds\r\n"
                                                 "Max-Forwards: 70\r\nTo: Bob <sip:bob@biloxi.example.com>\r\n"
                                                 "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\r\n"
                                                 "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\r\nCSeq: 314159 " +
                                        method + "\r\nContent-Length: 0\r\n\r\n"));
}

NvHandle<NvSipRequest> copyOf(const NvHandle<NvSipRequest>& request) {
    return NvHandle<NvSipRequest>(static_cast<NvSipRequest*>(request->clone()));
}

// A 401 (or 407) to `request` carrying the given challenge header values.
NvHandle<NvSipResponse> challengeTo(const NvHandle<NvSipRequest>& request, int status, const Challenges& challenges) {
    NvHandle<NvSipResponse> response(new NvSipResponse(status, request));
    for (const std::string& value : challenges)
        response->addHeader(NvSipHeader::sCreate(status == 407 ? "Proxy-Authenticate" : "WWW-Authenticate", value));
    return response;
}

std::string digestChallenge(const std::string& realm, const std::string& nonce,
                            const std::string& rest = "qop=\"auth\"") {
    return "Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\", " + rest;
}

std::vector<NvHandle<NvSipAuthorizationHeader>> auths(const NvHandle<NvSipRequest>& request) {
    return request->getHeaders<NvSipAuthorizationHeader>();
}

// Whether credentials carry the digest of their own fields with `password`.
void expectDigest(const NvSipAuthHeader& credentials, const std::string& password) {
    Algorithm algorithm = Algorithm::MD5;
    EXPECT_TRUE(NvDigestAuthentication::sParseAlgorithm(credentials.getParameter("algorithm").view(), algorithm));
    const auto field = [&](const char* name) { return credentials.getParameter(name).str(); };
    EXPECT_EQ(NvDigestAuthentication::sComputeResponse(algorithm, field("username"), field("realm"), password, "INVITE",
                                                       field("uri"), field("nonce"), field("nc"), field("cnonce"),
                                                       field("qop"))
                  .str(),
              field("response"));
}

// Known values: MD5 with qop=auth and without (H(HA1:nonce:HA2)), then every algorithm with the same inputs.
TEST(DigestAuthDigest, KnownValues) {
    const std::pair<const char*, const char*> md5[] = {{"auth", "6629fae49393a05397450978507c4ef1"},
                                                       {"", "670fd8c2df070c60b045671b8b24ff02"}};
    for (const auto& [qop, expected] : md5) {
        EXPECT_EQ(expected, NvDigestAuthentication::sComputeResponse(
                                Algorithm::MD5, "Mufasa", "testrealm@host.com", "Circle Of Life", "GET",
                                "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", qop)
                                .str());
    }
    const std::pair<Algorithm, const char*> byAlgorithm[] = {
        {Algorithm::MD5, "8ca523f5e9506fed4657c9700eebdbec"},
        {Algorithm::SHA256, "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
        {Algorithm::MD5Sess, "e783283f46242139c486a698fec7211d"},
        {Algorithm::SHA256Sess, "2fd51b3a77ad75bad6afad6003e818d767133c46d9e2749e7f5232ae1ea3efd7"},
        {Algorithm::SHA512_256, "430d05014cecc49cab6fbe03176d41a1da86cbfe24a16580e22aaad928d960d0"},
        {Algorithm::SHA512_256Sess, "3f2a34f923c38b0fb26dce2fdfc2ce326c23cecf86fbb1444f3e51fbbc2cb92e"}};
    for (const auto& [algorithm, expected] : byAlgorithm) {
        EXPECT_EQ(expected, NvDigestAuthentication::sComputeResponse(
                                algorithm, "Mufasa", "http-auth@example.org", "Circle of Life", "GET",
                                "/dir/index.html", "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
                                "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", "auth")
                                .str())
            << NvDigestAuthentication::sAlgorithmName(algorithm);
    }
}

class DigestAuthClient : public ::testing::Test {
protected:
    void SetUp() override { m_Client.addCredentials("atlanta.example.com", "alice", "secret"); }

    // Challenges `invite` with one 401 (or 407) and returns whether it was answered.
    bool answer(const NvHandle<NvSipRequest>& invite, const Challenges& challenges, int status = 401) {
        return m_Client.response(challengeTo(invite, status, challenges), invite);
    }

    NvDigestAuthentication m_Client;
};

// One Authorization that verifies, every field on the wire (algorithm MD5 when the challenge names none; qop
// and nc are tokens); nc counts the answers per nonce, and each cnonce is fresh.
TEST_F(DigestAuthClient, Answers401WithAuthorizationThatVerifiesCountingNcPerNonce) {
    std::vector<std::string> ncs;
    std::set<std::string> cnonces;
    for (const char* nonce : {"n-one", "n-one", "n-two", "n-one"}) {
        NvHandle<NvSipRequest> invite = request();
        ASSERT_TRUE(answer(invite, {digestChallenge("atlanta.example.com", nonce, "opaque=\"5ccc\", qop=\"auth\"")}));
        ASSERT_EQ(1u, invite->getHeaders().size() - request()->getHeaders().size()) << "one header added";
        const NvSipAuthHeader& a = *auths(invite).at(0);
        expectDigest(a, "secret");
        ncs.push_back(a.getParameter("nc").str());
        const std::string cnonce = a.getParameter("cnonce").str();
        EXPECT_GE(cnonce.length(), 16u);
        cnonces.insert(cnonce);
        EXPECT_EQ("Digest username=\"alice\", realm=\"atlanta.example.com\", nonce=\"" + std::string(nonce) +
                      "\", uri=\"sip:bob@biloxi.example.com;transport=udp\", response=\"" +
                      a.getParameter("response").str() + "\", algorithm=MD5, cnonce=\"" + cnonce +
                      "\", opaque=\"5ccc\", qop=auth, nc=" + ncs.back(),
                  a.getValue().str());
    }
    EXPECT_EQ((std::vector<std::string>{"00000001", "00000002", "00000001", "00000003"}), ncs);
    EXPECT_EQ(4u, cnonces.size()) << "a cnonce was used twice";
}

TEST_F(DigestAuthClient, RealmCredentialsFirstThenTheDefaultElseTheRequestStaysAsItWasEveryRealmAnswered) {
    NvHandle<NvSipRequest> invite = request();
    const std::string before = invite->toString();
    EXPECT_FALSE(answer(invite, {digestChallenge("chicago.example.com", "n")}));
    EXPECT_FALSE(answer(invite, {digestChallenge("Atlanta.example.com", "n")})) << "realms match exactly";
    // One realm without credentials leaves the other unanswered too.
    EXPECT_FALSE(answer(invite, {digestChallenge("atlanta.example.com", "n"), digestChallenge("chicago.org", "m")}));
    EXPECT_EQ(before, invite->toString());

    m_Client.setDefaultCredentials("guest", "anyone");
    ASSERT_TRUE(answer(invite, {digestChallenge("atlanta.example.com", "n")}));
    EXPECT_EQ("alice", auths(invite)[0]->getParameter("username"));
    NvHandle<NvSipRequest> other = request();
    ASSERT_TRUE(answer(other, {digestChallenge("chicago.example.com", "m")}, 407));
    auto a = other->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_TRUE(a.size() == 1u && auths(other).empty());
    EXPECT_EQ("guest", a[0]->getParameter("username"));
    expectDigest(*a[0], "anyone");

    // A forking proxy may gather a proxy's and a user agent's challenges in one 401: both are answered.
    m_Client.addCredentials("proxy.example.com", "alice-at-proxy", "p4ss");
    NvHandle<NvSipRequest> both = request();
    NvHandle<NvSipResponse> response = challengeTo(both, 401, {digestChallenge("atlanta.example.com", "ua-nonce")});
    response->addHeader(NvSipHeader::sCreate("Proxy-Authenticate", digestChallenge("proxy.example.com", "p-nonce")));
    ASSERT_TRUE(m_Client.response(response, both));
    const auto proxy = both->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_TRUE(auths(both).size() == 1u && proxy.size() == 1u);
    EXPECT_EQ("ua-nonce", auths(both)[0]->getParameter("nonce"));
    EXPECT_EQ("p-nonce", proxy[0]->getParameter("nonce"));
    expectDigest(*auths(both)[0], "secret");
    expectDigest(*proxy[0], "p4ss");

    m_Client.clearCredentials();
    EXPECT_FALSE(answer(request(), {digestChallenge("atlanta.example.com", "n")})) << "realm and default are gone";
}

TEST_F(DigestAuthClient, QuotedValuesAreUnescapedForTheDigestAndEscapedOnTheWire) {
    m_Client.addCredentials("Bob's \"home\" realm", "al\\ice", "pw");
    NvHandle<NvSipRequest> invite = request();
    ASSERT_TRUE(answer(invite, {digestChallenge("Bob's \\\"home\\\" realm", "n")}));
    const NvSipAuthHeader& a = *auths(invite).at(0);
    const std::string text = a.getValue().str();
    EXPECT_EQ(0u, text.find("Digest username=\"al\\\\ice\", realm=\"Bob's \\\"home\\\" realm\", ")) << text;
    EXPECT_EQ(NvDigestAuthentication::sComputeResponse(Algorithm::MD5, "al\\ice", "Bob's \"home\" realm", "pw",
                                                       "INVITE", "sip:bob@biloxi.example.com;transport=udp", "n",
                                                       "00000001", a.getParameter("cnonce").view(), "auth")
                  .str(),
              a.getParameter("response").str());
}

TEST_F(DigestAuthClient, ChallengedAgainGivesUpUnlessTheNonceWasStale) {
    NvHandle<NvSipRequest> invite = request();
    // Someone else's credentials for another realm must survive.
    invite->addHeader(NvSipHeader::sCreate(
        "Authorization", "Digest username=\"x\", realm=\"other.example.com\", nonce=\"z\", uri=\"a\", response=\"\""));
    const std::string challenge = digestChallenge("atlanta.example.com", "old");
    ASSERT_TRUE(answer(invite, {challenge}));
    const std::string answered = invite->toString();
    // The retry is the answered request cloned; the server challenges it again.
    EXPECT_FALSE(answer(copyOf(invite), {challenge}));
    // A new nonce without stale means the credentials were refused.
    EXPECT_FALSE(answer(invite, {digestChallenge("atlanta.example.com", "second")}));
    EXPECT_EQ(answered, invite->toString()) << "the earlier answer stays as it was";

    ASSERT_TRUE(answer(invite, {digestChallenge("atlanta.example.com", "fresh", "qop=\"auth\", stale=TRUE")}));
    auto a = auths(invite);
    ASSERT_EQ(2u, a.size()) << "the stale answer replaces ours";
    EXPECT_EQ("other.example.com", a[0]->getParameter("realm"));
    EXPECT_EQ("fresh", a[1]->getParameter("nonce"));
    expectDigest(*a[1], "secret");
    // A server that calls the nonce it just gave stale again is not followed.
    EXPECT_FALSE(answer(invite, {digestChallenge("atlanta.example.com", "fresh", "qop=\"auth\", stale=true")}));
}

TEST_F(DigestAuthClient, UnusableChallengesAreNotAnsweredAndAreLogged) {
    Tellar::LogCapture log("lumbrook.sip.auth", Tellar::DEBUG);
    const std::pair<const char*, const char*> bad[] = {
        // challenge, what the warning must say
        {"Digest nonce=\"n\", qop=\"auth\"", "without realm"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"\", qop=\"auth\"", "without nonce"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", algorithm=SHA-1", "unknown algorithm SHA-1"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth-int\"", "qop \"auth-int\""},
        {"Basic realm=\"atlanta.example.com\"", "No Digest challenge to answer in the 401"},
    };
    for (const auto& [challenge, reason] : bad) {
        log.clear();
        NvHandle<NvSipRequest> invite = request();
        EXPECT_FALSE(answer(invite, {challenge})) << challenge;
        EXPECT_TRUE(auths(invite).empty()) << challenge;
        bool explained = false;
        for (const auto& record : log.records())
            explained = explained || (record.level == Tellar::WARN && mentions(record.text, reason) &&
                                      mentions(record.text, "a84b4c76e66710@pc33.atlanta.example.com"));
        EXPECT_TRUE(explained) << "a warning naming the call should say '" << reason << "':\n" << log.dump();
    }
    NvHandle<NvSipRequest> invite = request();
    EXPECT_FALSE(answer(invite, {digestChallenge("atlanta.example.com", "n")}, 403));
    // A usable challenge next to an unusable one is still answered.
    EXPECT_TRUE(answer(invite, {bad[2].first, digestChallenge("atlanta.example.com", "m", "qop=\"auth,auth-int\"")}));
    EXPECT_EQ("m", auths(invite).at(0)->getParameter("nonce"));
}

class DigestAuthServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_Server.setServerRealm("biloxi.example.com");
        m_Server.addUser("alice", "secret");
        m_Client.addCredentials("biloxi.example.com", "alice", "secret");
    }

    // What a challenge of the server gave: its nonce and opaque.
    struct Issued {
        std::string nonce;
        std::string opaque;
    };
    Issued issue() {
        NvHandle<NvSipWWWAuthenticateHeader> c = firstChallenge(m_Server.request(request()));
        return {c->getParameter("nonce").str(), c->getParameter("opaque").str()};
    }

    // `invite` challenged by the server and answered by `client`.
    NvHandle<NvSipRequest> answered(NvDigestAuthentication& client, NvHandle<NvSipRequest> invite = request()) {
        NvHandle<NvSipResponse> challenge = m_Server.request(invite);
        EXPECT_TRUE(challenge && client.response(challenge, invite));
        return invite;
    }

    // `method` with credentials made by hand for `issued` with alice's
    // password; the digest is the qop=auth one whatever `wireQop` says.
    static NvHandle<NvSipRequest> requestWith(const Issued& issued, const std::string& user, unsigned nc,
                                              Algorithm algorithm = Algorithm::MD5,
                                              const std::string& method = "INVITE",
                                              const std::string& wireQop = "auth") {
        NvHandle<NvSipRequest> r = request(method);
        const std::string uri = r->getURI()->toString().str();
        char count[9];
        std::snprintf(count, sizeof count, "%08x", nc);
        const std::string response = NvDigestAuthentication::sComputeResponse(algorithm, user, "biloxi.example.com",
                                                                              "secret", method, uri, issued.nonce,
                                                                              count, "0a4f113b", "auth")
                                         .str();
        r->addHeader(NvSipHeader::sCreate(
            "Authorization", "Digest username=\"" + user + "\", realm=\"biloxi.example.com\", nonce=\"" +
                                 issued.nonce + "\", uri=\"" + uri + "\", response=\"" + response + "\", algorithm=" +
                                 NvDigestAuthentication::sAlgorithmName(algorithm) + ", opaque=\"" + issued.opaque +
                                 "\", cnonce=\"0a4f113b\", nc=" + count + (wireQop.empty() ? "" : ", qop=" + wireQop)));
        return r;
    }

    static NvHandle<NvSipWWWAuthenticateHeader> firstChallenge(const NvHandle<NvSipResponse>& response) {
        return response ? response->getHeader<NvSipWWWAuthenticateHeader>() : nullptr;
    }

    // Whether `response` is a challenge saying stale=true.
    static bool isStale(const NvHandle<NvSipResponse>& response) {
        NvHandle<NvSipWWWAuthenticateHeader> challenge = firstChallenge(response);
        return challenge && challenge->getParameter("stale").equalsIgnoreCase("true");
    }

    NvDigestAuthentication m_Server;
    NvDigestAuthentication m_Client;
};

// Every request but ACK and CANCEL is challenged, once a realm is set: SHA-256 then MD5, a new nonce each time.
TEST_F(DigestAuthServer, ChallengeOffersSha256ThenMd5WithANewNonceEachTimeAsAProxyWith407) {
    for (const char* method : {"OPTIONS", "BYE"}) EXPECT_TRUE(m_Server.request(request(method))) << method;
    for (const char* method : {"ACK", "CANCEL"}) EXPECT_FALSE(m_Server.request(request(method))) << method;
    NvHandle<NvSipResponse> response = m_Server.request(request());
    ASSERT_TRUE(response);
    EXPECT_EQ(401, response->getStatusCode());
    EXPECT_FALSE(response->getToHeader()->getTag().isEmpty()) << "a 401 carries a To tag";
    EXPECT_FALSE(response->getHeader<NvSipProxyAuthenticateHeader>());
    auto challenges = response->getHeaders<NvSipWWWAuthenticateHeader>();
    ASSERT_EQ(2u, challenges.size());
    const std::string nonce = challenges[0]->getParameter("nonce").str();
    const std::string opaque = challenges[0]->getParameter("opaque").str();
    EXPECT_FALSE(nonce.empty() || opaque.empty());
    for (std::size_t i = 0; i < challenges.size(); ++i) {
        EXPECT_EQ("Digest realm=\"biloxi.example.com\", nonce=\"" + nonce + "\", opaque=\"" + opaque +
                      "\", algorithm=" + (i == 0 ? "SHA-256" : "MD5") + ", qop=\"auth\"",
                  challenges[i]->getValue().str());
    }
    EXPECT_NE(nonce, issue().nonce);

    // As a proxy: 407, and only Proxy-Authorization answers it.
    m_Server.setChallengeProxy(true);
    m_Server.setAlgorithm(Algorithm::SHA256);
    NvHandle<NvSipRequest> invite = request();
    response = m_Server.request(invite);
    ASSERT_TRUE(response);
    EXPECT_EQ(407, response->getStatusCode());
    EXPECT_FALSE(response->getHeader<NvSipWWWAuthenticateHeader>());
    auto proxyChallenges = response->getHeaders<NvSipProxyAuthenticateHeader>();
    ASSERT_EQ(1u, proxyChallenges.size());
    EXPECT_EQ("SHA-256", proxyChallenges[0]->getParameter("algorithm"));
    ASSERT_TRUE(m_Client.response(response, invite));
    EXPECT_EQ(1u, invite->getHeaders<NvSipProxyAuthorizationHeader>().size());
    EXPECT_FALSE(m_Server.request(invite));
    const Issued issued{proxyChallenges[0]->getParameter("nonce").str(),
                        proxyChallenges[0]->getParameter("opaque").str()};
    EXPECT_TRUE(m_Server.request(requestWith(issued, "alice", 1, Algorithm::SHA256)))
        << "Authorization does not answer a proxy challenge";
    m_Server.setServerRealm("");
    EXPECT_FALSE(m_Server.request(request()));
}

// The right answer passes once with every algorithm; nc may arrive out of order but never twice (nor far behind
// the highest: 1 after 100).
TEST_F(DigestAuthServer, AcceptsTheRightAnswerWithEveryAlgorithmButNotItsReplay) {
    NvHandle<NvSipRequest> invite = answered(m_Client);
    EXPECT_EQ("SHA-256", invite->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm"));
    EXPECT_FALSE(m_Server.request(invite));
    EXPECT_TRUE(isStale(m_Server.request(copyOf(invite)))) << "the password was right: only the nonce must change";

    for (Algorithm algorithm : {Algorithm::MD5, Algorithm::MD5Sess, Algorithm::SHA256, Algorithm::SHA256Sess,
                                Algorithm::SHA512_256, Algorithm::SHA512_256Sess}) {
        m_Server.setAlgorithm(algorithm);
        NvHandle<NvSipRequest> options = answered(m_Client, request("OPTIONS"));
        EXPECT_EQ(NvDigestAuthentication::sAlgorithmName(algorithm),
                  options->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm"));
        EXPECT_FALSE(m_Server.request(options)) << NvDigestAuthentication::sAlgorithmName(algorithm);
    }
    m_Server.setAlgorithm(Algorithm::MD5);
    const Issued issued = issue();
    const std::pair<unsigned, bool> sequence[] = {{3, true},    {1, true},  {2, true},  {2, false}, {3, false},
                                                  {100, true}, {1, false}, {99, true}, {99, false}};
    for (const auto& [nc, passes] : sequence)
        EXPECT_EQ(passes, m_Server.request(requestWith(issued, "alice", nc)).isNil()) << "nc " << nc;
}

TEST_F(DigestAuthServer, RefusesUnknownUsersOtherRealmsForeignNoncesAlgorithmsNotOfferedAndNoQop) {
    const Issued issued = issue();
    EXPECT_FALSE(m_Server.request(requestWith(issued, "alice", 1))) << "the hand-made answer is right";
    EXPECT_TRUE(m_Server.request(requestWith(issued, "alice", 2, Algorithm::MD5, "INVITE", ""))) << "qop is required";
    m_Server.addUser("mallory", "secret");
    m_Server.removeUser("mallory");
    EXPECT_TRUE(m_Server.request(requestWith(issued, "mallory", 2)));

    NvDigestAuthentication other;
    other.setServerRealm("elsewhere.example.com");
    other.addUser("alice", "secret");
    EXPECT_TRUE(other.request(requestWith(issued, "alice", 3))) << "credentials for another realm do not count";

    // A nonce we never issued, answered with the right password: a new nonce is offered as stale.
    const Issued foreign{"dcd98b7102dd2f0e8b11d0f600bfb0c093", issued.opaque};
    NvHandle<NvSipResponse> refused = m_Server.request(requestWith(foreign, "alice", 1));
    EXPECT_TRUE(isStale(refused));
    EXPECT_NE(foreign.nonce, firstChallenge(refused)->getParameter("nonce").str());
    // Our nonce with its issue time altered (to outlive its lifetime) no longer verifies; nor a foreign opaque.
    std::string tampered = issued.nonce;
    tampered[14] = tampered[14] == 'f' ? '0' : 'f';
    EXPECT_TRUE(m_Server.request(requestWith({tampered, issued.opaque}, "alice", 1)));
    EXPECT_TRUE(m_Server.request(requestWith({issued.nonce, "00000000"}, "alice", 5))) << "opaque not ours";
    m_Server.setAlgorithm(Algorithm::SHA256);
    EXPECT_TRUE(m_Server.request(requestWith(issued, "alice", 4))) << "MD5 is no longer offered";
}

TEST_F(DigestAuthServer, ExpiredNonceIsStaleAndTheClientAnswersAgainButAWrongPasswordIsNot) {
    NvTestClock clock;
    m_Server.setNonceLifetime(30);
    NvHandle<NvSipRequest> invite = answered(m_Client);
    clock.advance(29000);
    EXPECT_FALSE(m_Server.request(copyOf(invite))) << "still within its lifetime";

    NvHandle<NvSipRequest> late = answered(m_Client);
    clock.advance(31000);
    NvHandle<NvSipResponse> stale = m_Server.request(late);
    ASSERT_TRUE(isStale(stale));
    ASSERT_TRUE(m_Client.response(stale, late)) << "stale=true: the same credentials are tried again";
    EXPECT_EQ(1u, late->getHeaders<NvSipAuthorizationHeader>().size());
    EXPECT_FALSE(m_Server.request(late));

    // A wrong password is a plain refusal, fresh or expired, and the client gives up rather than loop.
    NvDigestAuthentication wrong;
    wrong.addCredentials("biloxi.example.com", "alice", "Secret");
    for (uint64_t wait : {0, 31000}) {
        NvHandle<NvSipRequest> guess = answered(wrong);
        clock.advance(wait);
        NvHandle<NvSipResponse> refused = m_Server.request(guess);
        ASSERT_TRUE(refused);
        EXPECT_FALSE(isStale(refused)) << wait;
        EXPECT_FALSE(wrong.response(refused, guess)) << wait;
    }
}

// The replay table holds a bounded number of nonces; one that left it stays
// refused, even once a longer lifetime would let it pass again.
TEST_F(DigestAuthServer, NonceThatLeftTheReplayTableCannotBeReplayed) {
    NvTestClock clock;
    m_Server.setNonceLifetime(30);
    NvHandle<NvSipRequest> first = answered(m_Client);
    EXPECT_FALSE(m_Server.request(first));
    // Enough newer nonces in use to push the first out of the table.
    for (size_t i = 0; i < NvDigestAuthentication::sm_MaxTrackedNonces; ++i)
        ASSERT_FALSE(m_Server.request(requestWith(issue(), "alice", 1))) << i;
    EXPECT_TRUE(isStale(m_Server.request(copyOf(first)))) << "a forgotten nonce must not accept its old nc again";

    // Once all have expired, new nonces in use clear the table: the first
    // fills it again, the second finds it full and drops the expired ones.
    clock.advance(31000);
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(m_Server.request(requestWith(issue(), "alice", 1)));
    m_Server.setNonceLifetime(3600);
    EXPECT_TRUE(isStale(m_Server.request(copyOf(first))));
}

}  // namespace digest_auth_test
