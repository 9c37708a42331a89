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

using Auth = NvDigestAuthentication;
using Algorithm = Auth::Algorithm;
const std::string kUri = "sip:bob@biloxi.example.com;transport=udp";

NvHandle<NvSipRequest> request(const std::string& method = "INVITE") {
    return NvHandle<NvSipRequest>(parse(method + " " + kUri + " SIP/2.0\r\nVia: SIP/2.0/UDP pc33.atlanta.example.com;"
        "branch=z9hG4bK776asdhds\r\nTo: <sip:bob@biloxi.example.com>\r\nFrom: <sip:alice@atlanta.example.com>;tag=1928"
        "\r\nCall-ID: a84b4c76e66710@pc33.atlanta.example.com\r\nCSeq: 314159 " + method + "\r\n\r\n"));
}

auto copyOf(const NvHandle<NvSipRequest>& r) { return NvHandle<NvSipRequest>(static_cast<NvSipRequest*>(r->clone())); }

std::string challenge(const std::string& realm, const std::string& nonce, const std::string& rest = "qop=\"auth\"") {
    return "Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\", " + rest;
}

auto auths(const NvHandle<NvSipRequest>& request) { return request->getHeaders<NvSipAuthorizationHeader>(); }

// Whether credentials carry the digest of their own fields with `password`.
void expectDigest(const NvSipAuthHeader& credentials, const std::string& password) {
    const auto field = [&](const char* name) { return credentials.getParameter(name).str(); };
    Algorithm algorithm = Algorithm::MD5;
    EXPECT_TRUE(Auth::sParseAlgorithm(field("algorithm"), algorithm));
    EXPECT_EQ(Auth::sComputeResponse(algorithm, field("username"), field("realm"), password, "INVITE", field("uri"),
                                     field("nonce"), field("nc"), field("cnonce"), field("qop")).str(),
              field("response"));
}

// Known values: MD5 without qop (H(HA1:nonce:HA2), nc and cnonce unused), then every algorithm with qop=auth.
TEST(DigestAuthDigest, KnownValues) {
    EXPECT_EQ("670fd8c2df070c60b045671b8b24ff02", Auth::sComputeResponse(Algorithm::MD5, "Mufasa", "testrealm@host.com",
                  "Circle Of Life", "GET", "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001",
                  "0a4f113b", "").str());
    const std::pair<Algorithm, const char*> byAlgorithm[] = {
        {Algorithm::MD5, "8ca523f5e9506fed4657c9700eebdbec"}, {Algorithm::MD5Sess, "e783283f46242139c486a698fec7211d"},
        {Algorithm::SHA256, "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
        {Algorithm::SHA256Sess, "2fd51b3a77ad75bad6afad6003e818d767133c46d9e2749e7f5232ae1ea3efd7"},
        {Algorithm::SHA512_256, "430d05014cecc49cab6fbe03176d41a1da86cbfe24a16580e22aaad928d960d0"},
        {Algorithm::SHA512_256Sess, "3f2a34f923c38b0fb26dce2fdfc2ce326c23cecf86fbb1444f3e51fbbc2cb92e"}};
    for (const auto& [algorithm, expected] : byAlgorithm)
        EXPECT_EQ(expected, Auth::sComputeResponse(algorithm, "Mufasa", "http-auth@example.org", "Circle of Life",
                                "GET", "/dir/index.html", "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
                                "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", "auth").str())
            << Auth::sAlgorithmName(algorithm);
}

// A client with alice's credentials for atlanta and biloxi; a server for biloxi that knows her.
class DigestAuth : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* realm : {"atlanta.example.com", "biloxi.example.com"})
            m_Client.addCredentials(realm, "alice", "secret");
        m_Server.setServerRealm("biloxi.example.com");
        m_Server.addUser("alice", "secret");
    }
    // Whether the client answers a `status` response to `invite` with these WWW- and Proxy-Authenticate values.
    bool answer(const NvHandle<NvSipRequest>& invite, const Lines& www, int status = 401, const Lines& proxy = {}) {
        NvHandle<NvSipResponse> response(new NvSipResponse(status, invite));
        for (const std::string& value : www) response->addHeader(NvSipHeader::sCreate("WWW-Authenticate", value));
        for (const std::string& value : proxy) response->addHeader(NvSipHeader::sCreate("Proxy-Authenticate", value));
        return m_Client.response(response, invite);
    }
    static std::string atlanta(const std::string& nonce, const std::string& rest = "qop=\"auth\"") {
        return challenge("atlanta.example.com", nonce, rest);
    }
    struct Issued { std::string nonce, opaque; };  // what a challenge of the server gave
    static Issued issuedIn(const NvHandle<NvSipAuthHeader>& c) {
        return {c->getParameter("nonce").str(), c->getParameter("opaque").str()};
    }
    Issued issue() { return issuedIn(m_Server.request(request())->getHeader<NvSipWWWAuthenticateHeader>()); }
    // `invite` challenged by the server and answered by `client`.
    NvHandle<NvSipRequest> answered(NvDigestAuthentication& client, NvHandle<NvSipRequest> invite = request()) {
        NvHandle<NvSipResponse> challenge = m_Server.request(invite);
        EXPECT_TRUE(challenge && client.response(challenge, invite));
        return invite;
    }
    // An INVITE with credentials made by hand for `issued` with alice's password (the digest is the qop=auth one).
    static NvHandle<NvSipRequest> requestWith(const Issued& issued, const std::string& user, unsigned nc,
                                              Algorithm algorithm = Algorithm::MD5, bool withQop = true) {
        char count[9];
        std::snprintf(count, sizeof count, "%08x", nc);
        const std::string response = Auth::sComputeResponse(algorithm, user, "biloxi.example.com", "secret", "INVITE",
                                                            kUri, issued.nonce, count, "0a4f113b", "auth").str();
        NvHandle<NvSipRequest> r = request();
        r->addHeader(NvSipHeader::sCreate(
            "Authorization", "Digest username=\"" + user + "\", realm=\"biloxi.example.com\", nonce=\"" + issued.nonce +
                                 "\", uri=\"" + kUri + "\", response=\"" + response + "\", algorithm=" +
                                 Auth::sAlgorithmName(algorithm) + ", opaque=\"" + issued.opaque +
                                 "\", cnonce=\"0a4f113b\", nc=" + count + (withQop ? ", qop=auth" : "")));
        return r;
    }
    static bool isStale(const NvHandle<NvSipResponse>& response) {
        NvHandle<NvSipAuthHeader> c = response ? response->getHeader<NvSipWWWAuthenticateHeader>() : nullptr;
        return c && c->getParameter("stale").equalsIgnoreCase("true");
    }
    NvDigestAuthentication m_Server, m_Client;
};

// One Authorization that verifies, every field on the wire (algorithm MD5 when the challenge names none; qop and nc
// are tokens); nc counts the answers per nonce, and each cnonce is fresh. Without qop: neither nc nor cnonce; and
// quoted values are unescaped for the digest and escaped on the wire. Credentials of the realm first, then the
// default, else the request stays as it was: every realm challenged in one response (a forking proxy may gather a
// proxy's and a user agent's) is answered, or none.
TEST_F(DigestAuth, AnswersEveryRealmWithItsCredentialsOrNoneCountingNcPerNonce) {
    Lines ncs;
    std::set<std::string> cnonces;
    for (const char* nonce : {"n-one", "n-one", "n-two", "n-one"}) {
        NvHandle<NvSipRequest> invite = request();
        ASSERT_TRUE(answer(invite, {atlanta(nonce, "opaque=\"5ccc\", qop=\"auth\"")}));
        ASSERT_EQ(1u, invite->getHeaders().size() - request()->getHeaders().size()) << "one header added";
        const NvSipAuthHeader& a = *auths(invite).at(0);
        expectDigest(a, "secret");
        ncs.push_back(a.getParameter("nc").str());
        const std::string cnonce = *cnonces.insert(a.getParameter("cnonce").str()).first;
        EXPECT_EQ("Digest username=\"alice\", realm=\"atlanta.example.com\", nonce=\"" + std::string(nonce) +
                      "\", uri=\"" + kUri + "\", response=\"" + a.getParameter("response").str() +
                      "\", algorithm=MD5, cnonce=\"" + cnonce + "\", opaque=\"5ccc\", qop=auth, nc=" + ncs.back(),
                  a.getValue().str());
    }
    EXPECT_EQ((Lines{"00000001", "00000002", "00000001", "00000003"}), ncs);
    EXPECT_EQ(4u, cnonces.size()) << "a cnonce was used twice";

    m_Client.addCredentials("Bob's \"home\" realm", "al\\ice", "pw");
    NvHandle<NvSipRequest> invite = request();
    ASSERT_TRUE(answer(invite, {challenge("Bob's \\\"home\\\" realm", "n", "algorithm=MD5")}));
    const std::string digest = auths(invite).at(0)->getParameter("response").str();
    EXPECT_EQ("Digest username=\"al\\\\ice\", realm=\"Bob's \\\"home\\\" realm\", nonce=\"n\", uri=\"" + kUri +
                  "\", response=\"" + digest + "\", algorithm=MD5",
              auths(invite)[0]->getValue().str());
    EXPECT_EQ(Auth::sComputeResponse(Algorithm::MD5, "al\\ice", "Bob's \"home\" realm", "pw", "INVITE", kUri, "n", "",
                                     "", "").str(), digest);
    invite = request();
    const std::string before = invite->toString();
    EXPECT_FALSE(answer(invite, {challenge("chicago.example.com", "n")}));
    EXPECT_FALSE(answer(invite, {challenge("Atlanta.example.com", "n")})) << "realms match exactly";
    EXPECT_FALSE(answer(invite, {atlanta("n"), challenge("chicago.org", "m")})) << "one realm without credentials";
    EXPECT_EQ(before, invite->toString());

    m_Client.setDefaultCredentials("guest", "anyone");
    m_Client.addCredentials("proxy.example.com", "alice-at-proxy", "p4ss");
    ASSERT_TRUE(answer(invite, {atlanta("ua-nonce")}, 401,
                       {challenge("proxy.example.com", "p-nonce"), challenge("chicago.example.com", "c-nonce")}));
    const auto proxy = invite->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_TRUE(auths(invite).size() == 1u && proxy.size() == 2u);
    const std::tuple<NvHandle<NvSipAuthHeader>, const char*, const char*, const char*> expected[] = {
        {auths(invite)[0], "alice", "ua-nonce", "secret"}, {proxy[0], "alice-at-proxy", "p-nonce", "p4ss"},
        {proxy[1], "guest", "c-nonce", "anyone"}};
    for (const auto& [a, user, nonce, password] : expected) {
        EXPECT_EQ(user, a->getParameter("username"));
        EXPECT_EQ(nonce, a->getParameter("nonce"));
        expectDigest(*a, password);
    }
    m_Client.clearCredentials();
    EXPECT_FALSE(answer(request(), {atlanta("n")})) << "realm and default are gone";
}

// Not answered, with a warning naming the call that says why: unusable challenges (a usable one beside them is
// answered) and any but 401 and 407. Challenged again, the client gives up unless the nonce was stale; the stale
// answer replaces its own earlier one only, and a nonce called stale twice is not followed.
TEST_F(DigestAuth, UnusableChallengesAreNotAnsweredAndChallengedAgainGivesUpUnlessTheNonceWasStale) {
    Tellar::LogCapture log("lumbrook.sip.auth", Tellar::DEBUG);
    const std::pair<const char*, const char*> bad[] = {  // challenge, what the warning must say
        {"Digest nonce=\"n\", qop=\"auth\"", "without realm"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"\", qop=\"auth\"", "without nonce"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", algorithm=SHA-1", "unknown algorithm SHA-1"},
        {"Digest realm=\"atlanta.example.com\", nonce=\"n\", qop=\"auth-int\"", "qop \"auth-int\""},
        {"Basic realm=\"atlanta.example.com\"", "No Digest challenge to answer in the 401"}};
    for (const auto& [challenge, reason] : bad) {
        log.clear();
        NvHandle<NvSipRequest> invite = request();
        EXPECT_FALSE(answer(invite, {challenge}) || !auths(invite).empty()) << challenge;
        const auto records = log.records();
        EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const Tellar::CapturedRecord& r) {
            return r.level == Tellar::WARN && mentions(r.text, reason) && mentions(r.text, "a84b4c76e66710@pc33");
        })) << "a warning naming the call should say '" << reason << "':\n" << log.dump();
    }
    NvHandle<NvSipRequest> invite = request();
    EXPECT_FALSE(answer(invite, {atlanta("n")}, 403));
    invite->addHeader(NvSipHeader::sCreate(  // someone else's, for another realm: it must survive
        "Authorization", "Digest username=\"x\", realm=\"other.example.com\", nonce=\"z\", uri=\"a\", response=\"\""));
    ASSERT_TRUE(answer(invite, {bad[2].first, atlanta("old", "qop=\"auth,auth-int\"")}));
    const std::string answered = invite->toString();
    EXPECT_FALSE(answer(copyOf(invite), {atlanta("old")})) << "the retry, a clone, challenged again";
    EXPECT_FALSE(answer(invite, {atlanta("second")})) << "a new nonce without stale: the credentials were refused";
    EXPECT_EQ(answered, invite->toString());
    ASSERT_TRUE(answer(invite, {atlanta("fresh", "qop=\"auth\", stale=TRUE")}));
    auto a = auths(invite);
    ASSERT_EQ(2u, a.size()) << "the stale answer replaces ours";
    EXPECT_TRUE(a[0]->getParameter("realm") == "other.example.com" && a[1]->getParameter("nonce") == "fresh");
    expectDigest(*a[1], "secret");
    EXPECT_FALSE(answer(invite, {atlanta("fresh", "qop=\"auth\", stale=true")}));
}

// Every request but ACK and CANCEL is challenged once a realm is set: a 401 with a To tag offering SHA-256 then
// MD5 with a new nonce each time. The right answer passes once with every algorithm; nc may arrive out of order but
// never twice (nor far behind the highest: 1 after 100). Refused: no qop, a removed user, an algorithm not offered;
// with the right password a new nonce is offered as stale for a nonce not issued here (or with its issue time
// altered) or a foreign opaque. As a proxy: a 407 that only Proxy-Authorization answers.
TEST_F(DigestAuth, ChallengesAndAcceptsTheRightAnswerOnceWithEveryAlgorithmAsAProxyWith407) {
    for (const char* method : {"OPTIONS", "BYE"}) EXPECT_TRUE(m_Server.request(request(method))) << method;
    for (const char* method : {"ACK", "CANCEL"}) EXPECT_FALSE(m_Server.request(request(method))) << method;
    NvHandle<NvSipRequest> invite = request();
    NvHandle<NvSipResponse> response = m_Server.request(invite);
    ASSERT_EQ(401, response ? response->getStatusCode() : 0);
    EXPECT_FALSE(response->getToHeader()->getTag().isEmpty() || response->getHeader<NvSipProxyAuthenticateHeader>());
    auto challenges = response->getHeaders<NvSipWWWAuthenticateHeader>();
    ASSERT_EQ(2u, challenges.size());
    const std::string nonce = challenges[0]->getParameter("nonce").str();
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ("Digest realm=\"biloxi.example.com\", nonce=\"" + nonce + "\", opaque=\"" +
                      challenges[0]->getParameter("opaque").str() + "\", algorithm=" + (i == 0 ? "SHA-256" : "MD5") +
                      ", qop=\"auth\"", challenges[i]->getValue().str());
    EXPECT_NE(nonce, issue().nonce);
    ASSERT_TRUE(m_Client.response(response, invite));
    EXPECT_EQ("SHA-256", invite->getHeader<NvSipAuthorizationHeader>()->getParameter("algorithm")) << "the strongest";
    EXPECT_FALSE(m_Server.request(invite));
    EXPECT_TRUE(isStale(m_Server.request(copyOf(invite)))) << "the password was right: only the nonce must change";
    const Issued issued = issue();
    const std::pair<unsigned, bool> sequence[] = {{3, true},    {1, true},  {2, true},  {2, false}, {3, false},
                                                  {100, true}, {1, false}, {99, true}, {99, false}};
    for (const auto& [nc, passes] : sequence)
        EXPECT_EQ(passes, m_Server.request(requestWith(issued, "alice", nc)).isNil()) << "nc " << nc;
    EXPECT_TRUE(m_Server.request(requestWith(issued, "alice", 101, Algorithm::MD5, false))) << "qop is required";
    m_Server.addUser("mallory", "secret");
    m_Server.removeUser("mallory");
    EXPECT_TRUE(m_Server.request(requestWith(issued, "mallory", 102)));
    std::string tampered = issued.nonce;  // its issue time altered, so that its MAC no longer matches
    tampered[14] = tampered[14] == 'f' ? '0' : 'f';
    for (const Issued& wrong : {Issued{"dcd98b7102dd2f0e8b11d0f600bfb0c093", issued.opaque},
                                Issued{tampered, issued.opaque}, Issued{issued.nonce, "00000000"}})
        EXPECT_TRUE(isStale(m_Server.request(requestWith(wrong, "alice", 103)))) << wrong.nonce << ' ' << wrong.opaque;
    for (Algorithm algorithm : {Algorithm::MD5, Algorithm::MD5Sess, Algorithm::SHA256Sess, Algorithm::SHA512_256,
                                Algorithm::SHA512_256Sess, Algorithm::SHA256}) {
        m_Server.setAlgorithm(algorithm);
        EXPECT_FALSE(m_Server.request(answered(m_Client, request("OPTIONS")))) << Auth::sAlgorithmName(algorithm);
    }
    EXPECT_TRUE(m_Server.request(requestWith(issued, "alice", 104))) << "MD5 is no longer offered";

    m_Server.setChallengeProxy(true);
    invite = request();
    response = m_Server.request(invite);
    ASSERT_EQ(407, response ? response->getStatusCode() : 0);
    const auto proxyChallenges = response->getHeaders<NvSipProxyAuthenticateHeader>();
    ASSERT_TRUE(proxyChallenges.size() == 1u && !response->getHeader<NvSipWWWAuthenticateHeader>());
    EXPECT_EQ("SHA-256", proxyChallenges[0]->getParameter("algorithm"));
    ASSERT_TRUE(m_Client.response(response, invite));
    EXPECT_FALSE(m_Server.request(invite));
    EXPECT_TRUE(m_Server.request(requestWith(issuedIn(proxyChallenges[0]), "alice", 1, Algorithm::SHA256)))
        << "Authorization does not answer a proxy challenge";
    m_Server.setServerRealm("");
    EXPECT_FALSE(m_Server.request(request()));
}

// The replay table holds a bounded number of nonces: one that left it stays refused, even once a longer lifetime
// would let it pass again. An expired nonce is stale and the client answers again; a wrong password is a plain
// refusal, fresh or expired, and the client gives up rather than loop.
TEST_F(DigestAuth, NonceThatLeftTheReplayTableOrExpiredIsStaleButAWrongPasswordIsNot) {
    NvTestClock clock;
    m_Server.setNonceLifetime(30);
    NvHandle<NvSipRequest> first = answered(m_Client);
    EXPECT_FALSE(m_Server.request(first));
    for (size_t i = 0; i < Auth::sm_MaxTrackedNonces; ++i)  // newer nonces in use push the first out
        ASSERT_FALSE(m_Server.request(requestWith(issue(), "alice", 1))) << i;
    EXPECT_TRUE(isStale(m_Server.request(copyOf(first)))) << "a forgotten nonce must not accept its old nc again";
    clock.advance(31000);  // all expired: new nonces in use clear them from the table
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(m_Server.request(requestWith(issue(), "alice", 1)));
    m_Server.setNonceLifetime(3600);
    EXPECT_TRUE(isStale(m_Server.request(copyOf(first))));
    m_Server.setNonceLifetime(30);
    NvHandle<NvSipRequest> invite = answered(m_Client), late = answered(m_Client);
    clock.advance(29000);
    EXPECT_FALSE(m_Server.request(invite)) << "still within its lifetime";
    clock.advance(2000);
    NvHandle<NvSipResponse> stale = m_Server.request(late);
    ASSERT_TRUE(isStale(stale) && m_Client.response(stale, late)) << "stale: the same credentials are tried again";
    EXPECT_FALSE(m_Server.request(late));
    m_Client.addCredentials("biloxi.example.com", "alice", "Secret");
    for (uint64_t wait : {0, 31000}) {
        NvHandle<NvSipRequest> guess = answered(m_Client);
        clock.advance(wait);
        NvHandle<NvSipResponse> refused = m_Server.request(guess);
        EXPECT_TRUE(refused && !isStale(refused) && !m_Client.response(refused, guess)) << wait;
    }
}

}  // namespace digest_auth_test
