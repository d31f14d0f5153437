// webpin: the listener's host key, pinned by known hosts or named outright.
#include "webpin.h"

#include "webserver.h"

#include <zaf/zaf.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vornweb {

using vornadmin::CAdminConnection;
using vornadmin::SConnectOptions;
using vornadmin::SHostKey;
using ePolicy = SConnectOptions::eHostKeyPolicy;

namespace {

// A public key file is a few kilobytes; anything much larger is not one.
constexpr std::streamoff kMaxKeyFile = 1024 * 1024;

// The library's texts for the refusals orxweb tells apart (see adminclient.h).
const char* const kChangedText = "The listener's host key has changed";
const char* const kPlainText = "offers only a plain connection";

std::string grouped(const std::string& digits) {
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && i % 4 == 0)
            out += ' ';
        out += digits[i];
    }
    return out;
}

std::string readKeyFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read the listener's host key file " + path + ": " +
                                 std::strerror(errno));
    if (in.tellg() > kMaxKeyFile)
        throw std::runtime_error("the listener's host key file " + path +
                                 " is larger than a public key");
    in.seekg(0);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Reads `key.publicKey` and fills in its fingerprint; it must hold exactly one key.
void checkNamedKey(SHostKey& key, const std::string& path) {
    ZAFContextRef context = nullptr;
    if (ZAFsdkInit(kZAFFlags_LocalMode) != 0)
        throw std::runtime_error("cannot start the toolkit to read " + path);
    std::string problem;
    if (ZAFNewContext(&context) != 0) {
        problem = "cannot make a toolkit context to read " + path;
    } else {
        try {
            ZAFKeyDBRef db = vornadmin::gLoadHostKey(context, key.publicKey, key.fingerprint);
            uint32_t count = 0;
            if (ZAFCountKeysInKeyDB(db, &count) != kZAFError_NoErr || count != 1)
                problem = "the listener's host key file " + path + " holds " +
                          std::to_string(count) + " keys; name the listener's key alone";
            ZAFFreeKeyDB(db);
        } catch (oozaf::CZAFThrowable* e) {
            oozaf::CZAFThrowableGuard guard(e);
            problem = "the listener's host key file " + path + " holds no public key (" +
                      e->getMessage() + ")";
        }
        ZAFFreeContext(context);
    }
    ZAFsdkCleanup();
    if (!problem.empty())
        throw std::runtime_error(problem);
}

} // namespace

bool gNormalFingerprint(const std::string& text, std::string& digits) {
    std::string out;
    for (const unsigned char c : text) {
        if (c == ' ' || c == ':')
            continue;
        if (!std::isxdigit(c))
            return false;
        out += static_cast<char>(std::toupper(c));
    }
    if (out.size() != 32 && out.size() != 40)
        return false;
    digits = out;
    return true;
}

CListenerPin::CListenerPin(std::string host, uint16_t port, std::string knownHostsFile,
                           const std::string& namedKey, bool allowPlain)
    : m_host(std::move(host)), m_port(port), m_knownHostsFile(std::move(knownHostsFile)),
      m_allowPlain(allowPlain) {
    if (namedKey.empty()) {
        if (m_knownHostsFile.empty())
            throw std::runtime_error("no known-hosts file for the listener's host key");
        return;
    }
    m_strict = true;
    m_allowPlain = false;
    if (gNormalFingerprint(namedKey, m_namedFingerprint))
        return;
    m_namedFile = namedKey;
    m_namedKey.publicKey = readKeyFile(namedKey);
    checkNamedKey(m_namedKey, namedKey);
    gNormalFingerprint(m_namedKey.fingerprint, m_namedFingerprint);
}

std::string CListenerPin::describe() const {
    if (!m_strict)
        return "the listener " + listener() + " must prove the host key pinned for it in " +
               m_knownHostsFile + " (a first contact pins the key it names)" +
               (m_allowPlain ? "; a plain listener is accepted (--allow-plain-listener)" : "");
    return "the listener " + listener() + " must prove the host key " +
           (m_namedFile.empty() ? "with the fingerprint "
                                : "in " + m_namedFile + ", fingerprint ") +
           grouped(m_namedFingerprint) + " (strict)";
}

SConnectOptions CListenerPin::baseOptions(unsigned int timeoutMs) const {
    SConnectOptions options;
    options.host = m_host;
    options.port = m_port;
    options.timeoutMs = timeoutMs;
    options.allowPlain = m_allowPlain;
    options.requireSecure = !m_allowPlain;
    return options;
}

std::unique_ptr<CAdminConnection> CListenerPin::connect(unsigned int timeoutMs) {
    return m_strict ? connectStrict(timeoutMs) : connectKnownHosts(timeoutMs);
}

std::unique_ptr<CAdminConnection> CListenerPin::connectKnownHosts(unsigned int timeoutMs) {
    SConnectOptions options = baseOptions(timeoutMs);
    options.hostKeyPolicy = ePolicy::eAsk;
    options.knownHostsFile = m_knownHostsFile;
    options.confirmHostKey = [this](const SHostKey& key) {
        gLog("first contact with the listener " + key.listener +
             ": trusting its host key, fingerprint " + key.fingerprint + ", and pinning it in " +
             m_knownHostsFile + " (compare it with the fingerprint orxgui logs at start-up)");
        return true;
    };
    SHostKey known;
    const vornadmin::CKnownHosts hosts(m_knownHostsFile);
    std::unique_lock<std::mutex> firstContact(m_mutex, std::defer_lock);
    try {
        if (!hosts.find(listener(), known))
            firstContact.lock();
        return CAdminConnection::connect(options);
    } catch (oozaf::CZAFThrowable* e) {
        if (known.fingerprint.empty()) {
            try {
                hosts.find(listener(), known);
            } catch (oozaf::CZAFThrowable* unreadable) {
                delete unreadable;
            }
        }
        refuse(e, known.fingerprint, "pinned for it in " + m_knownHostsFile);
    }
}

SHostKey CListenerPin::learnNamedKey(unsigned int timeoutMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_namedKey.publicKey.empty())
        return m_namedKey;
    SConnectOptions options = baseOptions(timeoutMs);
    options.requireSecure = true;
    SHostKey offered;
    try {
        std::unique_ptr<CAdminConnection> probe = CAdminConnection::connect(options);
        offered = probe->fetchHostKey();
    } catch (oozaf::CZAFThrowable* e) {
        refuse(e, grouped(m_namedFingerprint), "named by --listener-host-key");
    }
    std::string digits;
    if (!gNormalFingerprint(offered.fingerprint, digits) || digits != m_namedFingerprint)
        throw CListenerRefused(
            CListenerRefused::eKind::eIdentityChanged,
            "The listener's identity has changed: the listener at " + listener() +
                " shows another host key than the one orxweb was told to expect. Nothing was "
                "sent to it. An administrator has to check the listener before anyone can log "
                "in.",
            "refused the listener at " + listener() + ": its host key has the fingerprint " +
                offered.fingerprint + ", not " + grouped(m_namedFingerprint) +
                " as named by --listener-host-key; either its key was changed or something in "
                "the path is posing as it. Nothing was sent; if the change is intended, name "
                "the new key");
    gLog("the listener " + listener() +
         " shows the host key with the fingerprint named by "
         "--listener-host-key (" +
         offered.fingerprint + "); pinned it");
    m_namedKey = offered;
    return m_namedKey;
}

std::unique_ptr<CAdminConnection> CListenerPin::connectStrict(unsigned int timeoutMs) {
    SConnectOptions options = baseOptions(timeoutMs);
    options.hostKeyPolicy = ePolicy::eStrict;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        options.pinnedHostKey = m_namedKey;
    }
    if (options.pinnedHostKey.publicKey.empty())
        options.pinnedHostKey = learnNamedKey(timeoutMs);
    try {
        return CAdminConnection::connect(options);
    } catch (oozaf::CZAFThrowable* e) {
        refuse(e, options.pinnedHostKey.fingerprint, "named by --listener-host-key");
    }
}

void CListenerPin::refuse(oozaf::CZAFThrowable* failure, const std::string& pinnedFingerprint,
                          const std::string& where) const {
    const std::string text = failure->getMessage();
    if (text.rfind(kChangedText, 0) == 0) {
        delete failure;
        std::string remedy = m_strict ? "name the new key with --listener-host-key"
                                      : "remove the listener's line from " + m_knownHostsFile;
        throw CListenerRefused(
            CListenerRefused::eKind::eIdentityChanged,
            "The listener's identity has changed: the listener at " + listener() +
                " did not prove the host key orxweb knows for it. Either its key was replaced "
                "or something between orxweb and the listener is posing as it. Your password "
                "was not sent. An administrator has to check the listener before anyone can "
                "log in.",
            "refused the listener at " + listener() +
                ": its handshake is not signed by the host key " + where + " (fingerprint " +
                pinnedFingerprint +
                "); either its key was changed or something in the path is posing as it. "
                "Nothing was sent; if the change is intended, " +
                remedy);
    }
    if (text.find(kPlainText) != std::string::npos) {
        delete failure;
        throw CListenerRefused(
            CListenerRefused::eKind::ePlain,
            "The listener at " + listener() +
                " offers only an unencrypted connection. orxweb does not send passwords over "
                "it; your password was not sent.",
            "refused the listener at " + listener() +
                ": it offers only a plain connection, over which passwords would travel in "
                "clear (orxgui --non-secure; --allow-plain-listener accepts it)");
    }
    throw failure;
}

} // namespace vornweb
