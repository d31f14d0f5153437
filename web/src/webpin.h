// webpin: how orxweb knows the listener it passes passwords to. The listener signs every
// handshake with its host key; orxweb pins that key, so that nothing in the path between the two
// can pose as the listener and read the passwords browsers send.
//
//   - Known hosts (the default): the key is kept in a known-hosts file (orxweb's state folder or
//     --known-hosts, the format of adminhostkey.h). The first contact takes the key the listener
//     names and logs its fingerprint; from then on a handshake not signed by it is refused.
//   - Strict (--listener-host-key): the key is named outright, by its public key file or by its
//     fingerprint; nothing is learnt and no known-hosts file is read.
//   - A listener that offers only a plain connection is refused unless plain is allowed (never
//     in strict mode).
#ifndef VORNWEB_WEBPIN_H
#define VORNWEB_WEBPIN_H

#include <adminclient.h>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace vornweb {

// A listener orxweb does not log anyone in to: message() is for the browser (no file names),
// logLine() says why in the log.
class CListenerRefused {
public:
    enum class eKind { eIdentityChanged, ePlain };
    CListenerRefused(eKind kind, std::string message, std::string logLine)
        : m_kind(kind), m_message(std::move(message)), m_logLine(std::move(logLine)) {}
    eKind kind() const { return m_kind; }
    // "identity-changed" or "plain", for the page.
    const char* kindName() const {
        return m_kind == eKind::eIdentityChanged ? "identity-changed" : "plain";
    }
    const std::string& message() const { return m_message; }
    const std::string& logLine() const { return m_logLine; }

private:
    eKind m_kind;
    std::string m_message;
    std::string m_logLine;
};

// A host key fingerprint as a user may write it (groups of four, colons, lower case) to its
// upper-case digits without separators; false unless it has 32 or 40 hexadecimal digits.
bool gNormalFingerprint(const std::string& text, std::string& digits);

class CListenerPin {
public:
    // `namedKey` empty: known hosts in `knownHostsFile`. Otherwise strict: a fingerprint (see
    // gNormalFingerprint), else the path of the listener's public key file, read at once. Throws
    // std::runtime_error when that file cannot be used.
    CListenerPin(std::string host, uint16_t port, std::string knownHostsFile,
                 const std::string& namedKey, bool allowPlain);
    CListenerPin(const CListenerPin&) = delete;
    CListenerPin& operator=(const CListenerPin&) = delete;

    // A connection to the listener whose handshake proved the pinned key (or a plain one where
    // allowed), nothing sent yet. Throws CListenerRefused, or the library's CZAFThrowable* when
    // the listener cannot be reached.
    std::unique_ptr<vornadmin::CAdminConnection> connect(unsigned int timeoutMs);

    // How the listener is known, for the start-up log.
    std::string describe() const;

    // "host:port".
    std::string listener() const { return m_host + ":" + std::to_string(m_port); }

private:
    vornadmin::SConnectOptions baseOptions(unsigned int timeoutMs) const;
    std::unique_ptr<vornadmin::CAdminConnection> connectKnownHosts(unsigned int timeoutMs);
    std::unique_ptr<vornadmin::CAdminConnection> connectStrict(unsigned int timeoutMs);
    // The key named by fingerprint, asked of the listener and checked (once; then kept).
    vornadmin::SHostKey learnNamedKey(unsigned int timeoutMs);
    // Turns the library's refusals into CListenerRefused; other failures are thrown again.
    [[noreturn]] void refuse(oozaf::CZAFThrowable* failure, const std::string& pinnedFingerprint,
                             const std::string& where) const;

    std::string m_host;
    uint16_t m_port;
    std::string m_knownHostsFile;
    bool m_allowPlain;
    bool m_strict = false;
    // Strict: the fingerprint named (digits only) and the named file, when a file was named.
    std::string m_namedFingerprint;
    std::string m_namedFile;
    // First contacts one at a time (one line per listener in the known-hosts file), and the key
    // named by fingerprint once the listener showed it.
    std::mutex m_mutex;
    vornadmin::SHostKey m_namedKey;
};

} // namespace vornweb

#endif
