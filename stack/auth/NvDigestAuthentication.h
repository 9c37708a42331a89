#pragma once
// NvDigestAuthentication: HTTP Digest authentication for SIP (RFC 2617,
// RFC 7616, RFC 3261 section 22) as an NvAuthenticationInterface, over
// OpenSSL's digests. Algorithms MD5, SHA-256 and SHA-512-256, each also in
// its "-sess" form; quality of protection "auth", or none for challenges in
// the older RFC 2069 style.
//
// Client side, response(): answers every Digest challenge of a 401 or 407
// (WWW-Authenticate gives Authorization, Proxy-Authenticate gives
// Proxy-Authorization) with the credentials configured for its realm, or the
// default credentials when none are. Of several challenges for one realm the
// strongest algorithm wins (SHA-512-256, then SHA-256, then MD5). A fresh
// cnonce goes with each answer, and nc counts the answers given per nonce.
// It refuses (returns false) when a realm has no credentials, and when the
// request already carries our answer for that realm and the new challenge
// does not say stale=true: the server refused those credentials, so trying
// them again would loop.
//
// Server side, request(): off until setServerRealm() names a realm. Then
// every request but ACK and CANCEL must carry valid credentials for that
// realm, or it gets a 401 (407 with setChallengeProxy(true)) with one
// challenge per configured algorithm (the response gets a To tag if it has
// none). Nonces validate themselves (issue time plus an HMAC over it and the
// realm, under a random key of this process), so no table of issued nonces
// is kept. Answers must use qop=auth. A wrong password gets a plain
// challenge; the right password over a nonce that is no longer good (past
// its lifetime, not issued by this process, or with an nc already used) gets
// a new challenge with stale=true. Used nc values are kept per nonce in a
// bounded table; a nonce that had to leave it counts as stale from then on.
// The digest covers the "uri" the client sent, which is not compared with
// the Request-URI (a proxy may have rewritten that).
//
// The owner keeps the object alive while it is installed as
// NvAuthenticationInterface::sm_AuthenticationInterface. Every operation may
// be called from any thread: m_Mutex guards the configuration and both nonce
// tables; digests are computed outside it. Messages passed in belong to the
// calling thread, as messages always do.
//
// Diagnostics go to the logger "lumbrook.sip.auth": WARN for challenges that
// cannot be answered, INFO for refused credentials, DEBUG for the rest.

#include "stack/auth/NvAuthenticationInterface.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvString.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class NvDigestAuthentication : public NvAuthenticationInterface {
public:
    enum class Algorithm { MD5, MD5Sess, SHA256, SHA256Sess, SHA512_256, SHA512_256Sess };

    // Seconds a nonce issued here stays valid, unless setNonceLifetime() changes it.
    static constexpr unsigned sm_DefaultNonceLifetime = 300;
    // Nonces whose nc values are remembered at once (server side).
    static constexpr size_t sm_MaxTrackedNonces = 4096;
    // Nonces whose answer count is remembered at once (client side).
    static constexpr size_t sm_MaxClientNonces = 256;

    NvDigestAuthentication();
    ~NvDigestAuthentication() override;
    NvDigestAuthentication(const NvDigestAuthentication&) = delete;
    NvDigestAuthentication& operator=(const NvDigestAuthentication&) = delete;

    // ------------------------------------------------------------ client
    // Credentials for challenges of `realm` (exact match); replaces earlier
    // ones for the same realm.
    void addCredentials(std::string_view realm, std::string_view user, std::string_view password);
    // Credentials for any realm that has none of its own.
    void setDefaultCredentials(std::string_view user, std::string_view password);
    // Forgets every client credential, the default included.
    void clearCredentials();

    // ------------------------------------------------------------ server
    // The realm of our challenges; an empty realm turns challenging off (the
    // initial state).
    void setServerRealm(std::string_view realm);
    // A user who may pass; replaces the password of a known user.
    void addUser(std::string_view user, std::string_view password);
    void removeUser(std::string_view user);
    // Challenge with 407 / Proxy-Authenticate instead of 401 / WWW-Authenticate.
    void setChallengeProxy(bool proxy);
    // The algorithms offered, one challenge each in this order, and the only
    // ones accepted. Initially SHA-256 then MD5. An empty list is ignored.
    void setAlgorithms(const std::vector<Algorithm>& algorithms);
    void setAlgorithm(Algorithm algorithm) { setAlgorithms({algorithm}); }
    void setNonceLifetime(unsigned seconds);

    // ------------------------------------------------------------ NvAuthenticationInterface
    NvHandle<NvSipResponse> request(NvHandle<NvSipRequest> request) override;
    bool response(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request) override;

    // ------------------------------------------------------------ digest
    // The request-digest in lower-case hex. With an empty `qop` it is the
    // RFC 2069 form H(HA1:nonce:HA2) and `nc` is not used; otherwise
    // H(HA1:nonce:nc:cnonce:qop:HA2). HA2 is H(method:uri) (qop "auth-int" is
    // not supported). The -sess algorithms use `cnonce` in HA1 as well.
    static NvString sComputeResponse(Algorithm algorithm, std::string_view user, std::string_view realm,
                                     std::string_view password, std::string_view method, std::string_view uri,
                                     std::string_view nonce, std::string_view nc, std::string_view cnonce,
                                     std::string_view qop);
    // The algorithm of its name ("MD5", "sha-256-sess"; any case); false when unknown.
    static bool sParseAlgorithm(std::string_view name, Algorithm& algorithm);
    // Its name as written on the wire ("SHA-256").
    static const char* sAlgorithmName(Algorithm algorithm);

private:
    struct Credentials {
        std::string user;
        std::string password;
    };
    // Server side: how a nonce in use has been answered so far.
    struct NonceUse {
        uint64_t issued;   // the nonce's issue time, microseconds
        uint32_t highest;  // highest nc accepted
        uint64_t seen;     // bit i: nc (highest - i) accepted
    };

    // What the server side needs of the configuration, read under the mutex.
    struct ServerSettings {
        std::string realm;
        bool proxy;
        std::vector<Algorithm> algorithms;
        uint64_t nonceLifetime;  // microseconds
        std::string opaque;
    };
    enum class Verdict { Accept, Refuse, Stale };

    ServerSettings serverSettings() const;
    Verdict verify(const NvSipRequest& request, const NvSipAuthHeader& credentials, const ServerSettings& settings,
                   const std::string& where);
    NvHandle<NvSipResponse> challenge(const NvHandle<NvSipRequest>& request, const ServerSettings& settings,
                                      bool stale);
    // A new nonce for `realm`: issue time in hex, then an HMAC over it.
    std::string issueNonce(const std::string& realm);
    // Whether `nonce` was issued by this process for `realm`; sets its issue time.
    static bool sCheckNonce(std::string_view nonce, const std::string& realm, uint64_t& issued);
    // Records nc for a nonce issued at `issued`; false for a replay or for a
    // nonce that has left the table.
    bool acceptNonceCount(const std::string& nonce, uint64_t issued, uint32_t nc, uint64_t now, uint64_t lifetime);
    // The next nc to send with `nonce` of `realm` (client side).
    uint32_t nextNonceCount(const std::string& realm, const std::string& nonce);

    mutable NvMutex m_Mutex;
    // client
    std::map<std::string, Credentials> m_Credentials;  // by realm
    Credentials m_DefaultCredentials;
    bool m_bHasDefaultCredentials = false;
    std::unordered_map<std::string, uint32_t> m_ClientNonceCounts;  // realm '\n' nonce -> last nc sent
    std::deque<std::string> m_ClientNonceOrder;                     // keys of m_ClientNonceCounts, oldest first
    // server
    std::string m_ServerRealm;
    std::map<std::string, std::string> m_Users;  // user -> password
    bool m_bChallengeProxy = false;
    std::vector<Algorithm> m_Algorithms;
    unsigned m_NonceLifetime = sm_DefaultNonceLifetime;
    std::string m_Opaque;
    uint64_t m_LastIssued = 0;
    std::unordered_map<std::string, NonceUse> m_NonceUses;
    uint64_t m_EvictedUpTo = 0;  // nonces issued up to then are stale unless in m_NonceUses
};
