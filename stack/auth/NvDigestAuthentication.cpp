#include "stack/auth/NvDigestAuthentication.h"

#include "stack/base/NvException.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipIdentifiers.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipText.h"
#include "stack/timer/NvTime.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.sip.auth")

using NvSipText::equalsIgnoreCase;
using Algorithm = NvDigestAuthentication::Algorithm;

namespace {

const char* const kDigest = "Digest";
const char* const kAuth = "auth";

const EVP_MD* mdOf(Algorithm algorithm) {
    switch (algorithm) {
        case Algorithm::MD5:
        case Algorithm::MD5Sess: return EVP_md5();
        case Algorithm::SHA256:
        case Algorithm::SHA256Sess: return EVP_sha256();
        case Algorithm::SHA512_256:
        case Algorithm::SHA512_256Sess: return EVP_sha512_256();
    }
    return EVP_md5();
}

bool isSess(Algorithm algorithm) {
    return algorithm == Algorithm::MD5Sess || algorithm == Algorithm::SHA256Sess ||
           algorithm == Algorithm::SHA512_256Sess;
}

// Strength, for choosing among challenges: higher is better.
int strengthOf(Algorithm algorithm) {
    switch (algorithm) {
        case Algorithm::MD5:
        case Algorithm::MD5Sess: return 1;
        case Algorithm::SHA256:
        case Algorithm::SHA256Sess: return 2;
        case Algorithm::SHA512_256:
        case Algorithm::SHA512_256Sess: return 3;
    }
    return 0;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xf];
    }
    return hex;
}

std::string hashHex(Algorithm algorithm, std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, mdOf(algorithm), nullptr) != 1)
        NvException::sThrow(NvString(std::string("Digest authentication: OpenSSL cannot compute ") +
                                     NvDigestAuthentication::sAlgorithmName(algorithm)));
    return toHex(digest, length);
}

// The parts separated by ':', as every digest input is.
std::string joined(std::initializer_list<std::string_view> parts) {
    std::string text;
    bool first = true;
    for (std::string_view part : parts) {
        if (!first) text += ':';
        first = false;
        text.append(part);
    }
    return text;
}

// The random key of this process under which nonces are signed.
const std::array<unsigned char, 32>& processKey() {
    static const std::array<unsigned char, 32> key = [] {
        std::array<unsigned char, 32> bytes{};
        if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
            NvException::sThrow("Digest authentication: no random bytes for the nonce key");
        return bytes;
    }();
    return key;
}

// HMAC-SHA-256 of `text` under the process key, first 16 bytes in hex.
std::string nonceMac(std::string_view text) {
    const auto& key = processKey();
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
              text.size(), mac, &length))
        NvException::sThrow("Digest authentication: OpenSSL cannot compute the nonce HMAC");
    return toHex(mac, 16);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isLowerHex(std::string_view text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Header parameter values keep their escapes; digests are over the plain text.
std::string unescaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
    }
    return out;
}

std::string escaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string param(const NvSipAuthHeader& header, std::string_view name) {
    return unescaped(header.getParameter(name).view());
}

// "INVITE (Call-ID x, CSeq 1)", to say which message a log line is about.
std::string describe(const NvSipRequest& request) {
    std::string text = request.getMethod().str();
    text += " (Call-ID ";
    text += request.getCallID().str();
    if (auto cseq = request.getCSeqHeader()) text += ", CSeq " + std::to_string(cseq->getNumber());
    text += ')';
    return text;
}

uint64_t nowMicros() {
    const double now = NvTime::sGetCurrentTime();
    return now > 0 ? static_cast<uint64_t>(now) : 0;
}

bool isChallenge(NvSipHeaderID id) {
    return id == NvSipHeaderID::WWWAuthenticate || id == NvSipHeaderID::ProxyAuthenticate;
}

// A Digest challenge we are able to answer.
struct Challenge {
    bool proxy = false;
    std::string realm;
    std::string nonce;
    std::string opaque;
    bool hasOpaque = false;
    Algorithm algorithm = Algorithm::MD5;
    bool qopAuth = false;
    bool stale = false;
};

// Reads one Digest challenge; false (with a warning) when it cannot be answered.
bool parseChallenge(const NvSipAuthHeader& header, bool proxy, const std::string& where, Challenge& challenge) {
    const char* const name = proxy ? NvSipProxyAuthenticateHeader::sToken : NvSipWWWAuthenticateHeader::sToken;
    challenge.proxy = proxy;
    if (!header.hasParameter("realm")) {
        TELLAR_WARN(Tellar::fileScopeLogger(), name << " without realm in the answer to " << where << ": ignored");
        return false;
    }
    challenge.realm = param(header, "realm");
    challenge.nonce = param(header, "nonce");
    if (challenge.nonce.empty()) {
        TELLAR_WARN(Tellar::fileScopeLogger(), name << " of realm \"" << challenge.realm << "\" without nonce in the answer to "
                                                    << where << ": ignored");
        return false;
    }
    const std::string algorithm = param(header, "algorithm");
    if (!algorithm.empty() && !NvDigestAuthentication::sParseAlgorithm(algorithm, challenge.algorithm)) {
        TELLAR_WARN(Tellar::fileScopeLogger(), name << " of realm \"" << challenge.realm << "\" with unknown algorithm "
                                                    << algorithm << " in the answer to " << where << ": ignored");
        return false;
    }
    if (header.hasParameter("qop")) {
        const std::string qop = param(header, "qop");
        std::string_view rest = qop;
        while (!challenge.qopAuth && !rest.empty()) {
            const size_t comma = rest.find(',');
            challenge.qopAuth = equalsIgnoreCase(NvSipText::trim(rest.substr(0, comma)), kAuth);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
        if (!challenge.qopAuth) {
            TELLAR_WARN(Tellar::fileScopeLogger(), name << " of realm \"" << challenge.realm << "\" offers qop \"" << qop
                                                        << "\" without auth in the answer to " << where << ": ignored");
            return false;
        }
    }
    challenge.hasOpaque = header.hasParameter("opaque");
    challenge.opaque = param(header, "opaque");
    challenge.stale = equalsIgnoreCase(header.getParameter("stale").view(), "true");
    return true;
}

// Our earlier answer for `realm` in the request, or nil.
NvHandle<NvSipAuthHeader> findCredentials(const NvSipRequest& request, NvSipHeaderID id, const std::string& realm) {
    for (const auto& h : request.getHeaders()) {
        if (h->getID() != id) continue;
        NvHandle<NvSipAuthHeader> credentials(h);
        if (credentials && credentials->getScheme().equalsIgnoreCase(kDigest) && credentials->hasParameter("realm") &&
            param(*credentials, "realm") == realm)
            return credentials;
    }
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- digest

NvString NvDigestAuthentication::sComputeResponse(Algorithm algorithm, std::string_view user, std::string_view realm,
                                                  std::string_view password, std::string_view method,
                                                  std::string_view uri, std::string_view nonce, std::string_view nc,
                                                  std::string_view cnonce, std::string_view qop) {
    std::string ha1 = hashHex(algorithm, joined({user, realm, password}));
    if (isSess(algorithm)) ha1 = hashHex(algorithm, joined({ha1, nonce, cnonce}));
    const std::string ha2 = hashHex(algorithm, joined({method, uri}));
    if (qop.empty()) return hashHex(algorithm, joined({ha1, nonce, ha2}));
    return hashHex(algorithm, joined({ha1, nonce, nc, cnonce, qop, ha2}));
}

bool NvDigestAuthentication::sParseAlgorithm(std::string_view name, Algorithm& algorithm) {
    for (Algorithm a : {Algorithm::MD5, Algorithm::MD5Sess, Algorithm::SHA256, Algorithm::SHA256Sess,
                        Algorithm::SHA512_256, Algorithm::SHA512_256Sess}) {
        if (equalsIgnoreCase(name, sAlgorithmName(a))) {
            algorithm = a;
            return true;
        }
    }
    return false;
}

const char* NvDigestAuthentication::sAlgorithmName(Algorithm algorithm) {
    switch (algorithm) {
        case Algorithm::MD5: return "MD5";
        case Algorithm::MD5Sess: return "MD5-sess";
        case Algorithm::SHA256: return "SHA-256";
        case Algorithm::SHA256Sess: return "SHA-256-sess";
        case Algorithm::SHA512_256: return "SHA-512-256";
        case Algorithm::SHA512_256Sess: return "SHA-512-256-sess";
    }
    return "MD5";
}

// ---------------------------------------------------------------- configuration

NvDigestAuthentication::NvDigestAuthentication()
    : m_Algorithms{Algorithm::SHA256, Algorithm::MD5}, m_Opaque(NvSipRandom::sHex(16)) {}

NvDigestAuthentication::~NvDigestAuthentication() = default;

void NvDigestAuthentication::addCredentials(std::string_view realm, std::string_view user, std::string_view password) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_Credentials[std::string(realm)] = Credentials{std::string(user), std::string(password)};
}

void NvDigestAuthentication::setDefaultCredentials(std::string_view user, std::string_view password) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_DefaultCredentials = Credentials{std::string(user), std::string(password)};
    m_bHasDefaultCredentials = true;
}

void NvDigestAuthentication::clearCredentials() {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_Credentials.clear();
    m_DefaultCredentials = Credentials();
    m_bHasDefaultCredentials = false;
}

void NvDigestAuthentication::setServerRealm(std::string_view realm) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_ServerRealm.assign(realm);
}

void NvDigestAuthentication::addUser(std::string_view user, std::string_view password) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_Users[std::string(user)] = std::string(password);
}

void NvDigestAuthentication::removeUser(std::string_view user) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_Users.erase(std::string(user));
}

void NvDigestAuthentication::setChallengeProxy(bool proxy) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_bChallengeProxy = proxy;
}

void NvDigestAuthentication::setAlgorithms(const std::vector<Algorithm>& algorithms) {
    if (algorithms.empty()) return;
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_Algorithms = algorithms;
}

void NvDigestAuthentication::setNonceLifetime(unsigned seconds) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_NonceLifetime = seconds;
}

// ---------------------------------------------------------------- client side

bool NvDigestAuthentication::response(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request) {
    if (!response || !request) return false;
    const int status = response->getStatusCode();
    if (status != 401 && status != 407) return false;
    const std::string where = describe(*request);

    // The strongest answerable challenge of each realm (per header kind).
    std::vector<Challenge> chosen;
    for (const auto& h : response->getHeaders()) {
        if (!isChallenge(h->getID())) continue;
        const auto& header = static_cast<const NvSipAuthHeader&>(*h);
        const bool proxy = h->getID() == NvSipHeaderID::ProxyAuthenticate;
        if (!header.getScheme().equalsIgnoreCase(kDigest)) {
            TELLAR_DEBUG(Tellar::fileScopeLogger(), "Skipping a " << header.getScheme().str() << " challenge in the "
                                                                   << status << " to " << where);
            continue;
        }
        Challenge challenge;
        if (!parseChallenge(header, proxy, where, challenge)) continue;
        auto same = std::find_if(chosen.begin(), chosen.end(), [&](const Challenge& c) {
            return c.proxy == challenge.proxy && c.realm == challenge.realm;
        });
        if (same == chosen.end())
            chosen.push_back(std::move(challenge));
        else if (strengthOf(challenge.algorithm) > strengthOf(same->algorithm))
            *same = std::move(challenge);
    }
    if (chosen.empty()) {
        TELLAR_WARN(Tellar::fileScopeLogger(), "No Digest challenge to answer in the " << status << " to " << where);
        return false;
    }
    if (!request->getURI()) {
        TELLAR_WARN(Tellar::fileScopeLogger(), "No Request-URI in " << where << ": challenge not answered");
        return false;
    }

    // Decide for every realm before the request is changed at all.
    struct Answer {
        const Challenge* challenge;
        Credentials credentials;
        NvHandle<NvSipAuthHeader> previous;
    };
    std::vector<Answer> answers;
    for (const Challenge& c : chosen) {
        Answer answer{&c, {}, nullptr};
        bool known = true;
        {
            std::lock_guard<NvMutex> lock(m_Mutex);
            auto found = m_Credentials.find(c.realm);
            if (found != m_Credentials.end())
                answer.credentials = found->second;
            else if (m_bHasDefaultCredentials)
                answer.credentials = m_DefaultCredentials;
            else
                known = false;
        }
        if (!known) {
            TELLAR_INFO(Tellar::fileScopeLogger(), "No credentials for realm \"" << c.realm << "\" challenged in the "
                                                                                << status << " to " << where);
            return false;
        }
        const NvSipHeaderID kind = c.proxy ? NvSipHeaderID::ProxyAuthorization : NvSipHeaderID::Authorization;
        answer.previous = findCredentials(*request, kind, c.realm);
        if (answer.previous) {
            if (!c.stale) {
                TELLAR_INFO(Tellar::fileScopeLogger(), "Credentials of \"" << answer.credentials.user << "\" for realm \""
                                                                           << c.realm << "\" refused by the " << status
                                                                           << " to " << where);
                return false;
            }
            if (param(*answer.previous, "nonce") == c.nonce) {
                TELLAR_INFO(Tellar::fileScopeLogger(), "Realm \"" << c.realm << "\" calls its nonce stale again in the "
                                                                  << status << " to " << where << ": giving up");
                return false;
            }
        }
        answers.push_back(std::move(answer));
    }

    const std::string uri = request->getURI()->toString().str();
    const std::string method = request->getMethod().str();
    std::vector<NvHandle<NvSipAuthHeader>> headers;
    for (Answer& answer : answers) {
        const Challenge& c = *answer.challenge;
        std::string nc, cnonce;
        if (c.qopAuth || isSess(c.algorithm)) cnonce = NvSipRandom::sHex(32);
        if (c.qopAuth) {
            char text[9];
            std::snprintf(text, sizeof text, "%08x", nextNonceCount(c.realm, c.nonce));
            nc = text;
        }
        NvString digest;
        try {
            digest = sComputeResponse(c.algorithm, answer.credentials.user, c.realm, answer.credentials.password,
                                      method, uri, c.nonce, nc, cnonce, c.qopAuth ? kAuth : "");
        } catch (NvHandle<NvException>& e) {
            TELLAR_ERROR(Tellar::fileScopeLogger(), e->getMessage().str() << ": challenge of realm \"" << c.realm
                                                                          << "\" in the " << status << " to " << where
                                                                          << " not answered");
            return false;
        }

        NvHandle<NvSipAuthHeader> header;
        if (c.proxy)
            header = NvHandle<NvSipAuthHeader>(new NvSipProxyAuthorizationHeader());
        else
            header = NvHandle<NvSipAuthHeader>(new NvSipAuthorizationHeader());
        header->setScheme(kDigest);
        header->setParameter("username", escaped(answer.credentials.user), true);
        header->setParameter("realm", escaped(c.realm), true);
        header->setParameter("nonce", escaped(c.nonce), true);
        header->setParameter("uri", escaped(uri), true);
        header->setParameter("response", digest.view(), true);
        header->setParameter("algorithm", sAlgorithmName(c.algorithm), false);
        if (!cnonce.empty()) header->setParameter("cnonce", cnonce, true);
        if (c.hasOpaque) header->setParameter("opaque", escaped(c.opaque), true);
        if (c.qopAuth) {
            header->setParameter("qop", kAuth, false);
            header->setParameter("nc", nc, false);
        }
        headers.push_back(std::move(header));
    }
    for (size_t i = 0; i < answers.size(); ++i) {
        if (answers[i].previous) request->removeHeader(NvHandle<NvSipHeader>(answers[i].previous));
        request->addHeader(NvHandle<NvSipHeader>(headers[i]));
        TELLAR_DEBUG(Tellar::fileScopeLogger(), "Answered the " << sAlgorithmName(answers[i].challenge->algorithm)
                                                                << " challenge of realm \"" << answers[i].challenge->realm
                                                                << "\" as \"" << answers[i].credentials.user << "\" in "
                                                                << where);
    }
    return true;
}

uint32_t NvDigestAuthentication::nextNonceCount(const std::string& realm, const std::string& nonce) {
    std::string key = realm;
    key += '\n';
    key += nonce;
    std::lock_guard<NvMutex> lock(m_Mutex);
    auto found = m_ClientNonceCounts.find(key);
    if (found != m_ClientNonceCounts.end()) return ++found->second;
    if (m_ClientNonceOrder.size() >= sm_MaxClientNonces) {
        m_ClientNonceCounts.erase(m_ClientNonceOrder.front());
        m_ClientNonceOrder.pop_front();
    }
    m_ClientNonceCounts.emplace(key, 1);
    m_ClientNonceOrder.push_back(std::move(key));
    return 1;
}

// ---------------------------------------------------------------- server side

NvDigestAuthentication::ServerSettings NvDigestAuthentication::serverSettings() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return ServerSettings{m_ServerRealm, m_bChallengeProxy, m_Algorithms, uint64_t(m_NonceLifetime) * 1000000u,
                          m_Opaque};
}

NvHandle<NvSipResponse> NvDigestAuthentication::request(NvHandle<NvSipRequest> request) {
    if (!request) return nullptr;
    const ServerSettings settings = serverSettings();
    if (settings.realm.empty()) return nullptr;
    const NvString method = request->getMethod();
    if (method == NvSipAckMessage::sMethodName || method == NvSipCancelMessage::sMethodName) return nullptr;

    const std::string where = describe(*request);
    const NvSipHeaderID kind = settings.proxy ? NvSipHeaderID::ProxyAuthorization : NvSipHeaderID::Authorization;
    NvHandle<NvSipAuthHeader> credentials = findCredentials(*request, kind, settings.realm);
    if (!credentials) {
        TELLAR_DEBUG(Tellar::fileScopeLogger(), "Challenging " << where << ": no credentials for realm \""
                                                               << settings.realm << "\"");
        return challenge(request, settings, false);
    }
    switch (verify(*request, *credentials, settings, where)) {
        case Verdict::Accept: return nullptr;
        case Verdict::Stale: return challenge(request, settings, true);
        case Verdict::Refuse: break;
    }
    return challenge(request, settings, false);
}

NvDigestAuthentication::Verdict NvDigestAuthentication::verify(const NvSipRequest& request,
                                                               const NvSipAuthHeader& credentials,
                                                               const ServerSettings& settings,
                                                               const std::string& where) {
    const std::string user = param(credentials, "username");
    const std::string nonce = param(credentials, "nonce");
    const std::string uri = param(credentials, "uri");
    const std::string digest = lowered(param(credentials, "response"));
    const std::string qop = param(credentials, "qop");
    const std::string nc = param(credentials, "nc");
    const std::string cnonce = param(credentials, "cnonce");
    const std::string algorithmName = param(credentials, "algorithm");
    auto refuse = [&](const std::string& why) {
        TELLAR_INFO(Tellar::fileScopeLogger(), "Credentials of \"" << user << "\" in " << where << " refused: " << why);
        return Verdict::Refuse;
    };

    if (user.empty() || nonce.empty() || uri.empty() || digest.empty()) return refuse("incomplete");
    Algorithm algorithm = Algorithm::MD5;
    if (!algorithmName.empty() && !sParseAlgorithm(algorithmName, algorithm))
        return refuse("unknown algorithm " + algorithmName);
    if (std::find(settings.algorithms.begin(), settings.algorithms.end(), algorithm) == settings.algorithms.end())
        return refuse(std::string("algorithm ") + sAlgorithmName(algorithm) + " not offered");
    if (!equalsIgnoreCase(qop, kAuth)) return refuse("qop \"" + qop + "\" where auth was asked for");
    if (nc.size() != 8 || !isLowerHex(lowered(nc)) || cnonce.empty()) return refuse("bad nc or cnonce");
    const uint32_t count = static_cast<uint32_t>(std::stoul(nc, nullptr, 16));
    if (count == 0) return refuse("nc 0");

    std::string password;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        auto found = m_Users.find(user);
        if (found == m_Users.end()) return refuse("unknown user");
        password = found->second;
    }
    NvString expected;
    try {
        expected = sComputeResponse(algorithm, user, settings.realm, password, request.getMethod().view(), uri, nonce,
                                    nc, cnonce, kAuth);
    } catch (NvHandle<NvException>& e) {
        TELLAR_ERROR(Tellar::fileScopeLogger(), e->getMessage().str() << ": credentials of \"" << user << "\" in "
                                                                      << where << " cannot be checked");
        return Verdict::Refuse;
    }
    if (!constantTimeEquals(expected.view(), digest)) return refuse("wrong response (password)");

    // The password is right; whatever is wrong from here on is the nonce,
    // which a fresh challenge with stale=true replaces.
    auto stale = [&](const std::string& why) {
        TELLAR_INFO(Tellar::fileScopeLogger(), "Credentials of \"" << user << "\" in " << where << " need a new nonce: "
                                                                   << why);
        return Verdict::Stale;
    };
    uint64_t issued = 0;
    if (!sCheckNonce(nonce, settings.realm, issued)) return stale("nonce not issued here");
    if (param(credentials, "opaque") != settings.opaque) return stale("opaque not ours");
    const uint64_t now = nowMicros();
    if (now > issued && now - issued > settings.nonceLifetime) return stale("nonce expired");
    if (!acceptNonceCount(nonce, issued, count, now, settings.nonceLifetime)) return stale("nc " + nc + " already used");
    return Verdict::Accept;
}

NvHandle<NvSipResponse> NvDigestAuthentication::challenge(const NvHandle<NvSipRequest>& request,
                                                          const ServerSettings& settings, bool stale) {
    NvHandle<NvSipResponse> response(new NvSipResponse(settings.proxy ? 407 : 401, request));
    if (auto to = response->getToHeader())
        if (to->getTag().isEmpty()) to->setTag(NvSipTag::reGenerate(nullptr).view());
    const std::string nonce = issueNonce(settings.realm);
    for (Algorithm algorithm : settings.algorithms) {
        NvHandle<NvSipAuthHeader> header;
        if (settings.proxy)
            header = NvHandle<NvSipAuthHeader>(new NvSipProxyAuthenticateHeader());
        else
            header = NvHandle<NvSipAuthHeader>(new NvSipWWWAuthenticateHeader());
        header->setScheme(kDigest);
        header->setParameter("realm", escaped(settings.realm), true);
        header->setParameter("nonce", nonce, true);
        header->setParameter("opaque", settings.opaque, true);
        header->setParameter("algorithm", sAlgorithmName(algorithm), false);
        header->setParameter("qop", kAuth, true);
        if (stale) header->setParameter("stale", "true", false);
        response->addHeader(NvHandle<NvSipHeader>(header));
    }
    return response;
}

std::string NvDigestAuthentication::issueNonce(const std::string& realm) {
    uint64_t issued = nowMicros();
    {
        // Two nonces never share an issue time, so they never repeat.
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (issued <= m_LastIssued) issued = m_LastIssued + 1;
        m_LastIssued = issued;
    }
    char time[17];
    std::snprintf(time, sizeof time, "%016llx", static_cast<unsigned long long>(issued));
    return time + nonceMac(realm + ':' + time);
}

bool NvDigestAuthentication::sCheckNonce(std::string_view nonce, const std::string& realm, uint64_t& issued) {
    if (nonce.size() != 48 || !isLowerHex(nonce)) return false;
    const std::string time(nonce.substr(0, 16));
    if (!constantTimeEquals(nonceMac(realm + ':' + time), nonce.substr(16))) return false;
    issued = std::stoull(time, nullptr, 16);
    return true;
}

bool NvDigestAuthentication::acceptNonceCount(const std::string& nonce, uint64_t issued, uint32_t nc, uint64_t now,
                                              uint64_t lifetime) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    auto found = m_NonceUses.find(nonce);
    if (found == m_NonceUses.end()) {
        // A nonce that left the table may have been used with any nc.
        if (issued <= m_EvictedUpTo) return false;
        if (m_NonceUses.size() >= sm_MaxTrackedNonces) {
            for (auto it = m_NonceUses.begin(); it != m_NonceUses.end();) {
                if (now > it->second.issued && now - it->second.issued > lifetime) {
                    m_EvictedUpTo = std::max(m_EvictedUpTo, it->second.issued);
                    it = m_NonceUses.erase(it);
                } else {
                    ++it;
                }
            }
        }
        if (m_NonceUses.size() >= sm_MaxTrackedNonces) {
            auto oldest = std::min_element(m_NonceUses.begin(), m_NonceUses.end(), [](const auto& a, const auto& b) {
                return a.second.issued < b.second.issued;
            });
            m_EvictedUpTo = std::max(m_EvictedUpTo, oldest->second.issued);
            m_NonceUses.erase(oldest);
            if (issued <= m_EvictedUpTo) return false;
        }
        m_NonceUses.emplace(nonce, NonceUse{issued, nc, 1});
        return true;
    }
    NonceUse& use = found->second;
    if (nc > use.highest) {
        const uint32_t shift = nc - use.highest;
        use.seen = shift >= 64 ? 1 : (use.seen << shift) | 1;
        use.highest = nc;
        return true;
    }
    const uint32_t back = use.highest - nc;
    if (back >= 64 || (use.seen >> back) & 1) return false;
    use.seen |= uint64_t(1) << back;
    return true;
}
