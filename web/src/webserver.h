// webserver: the HTTPS server of orxweb: the page's files, the login and the JSON API that turns
// each page action into listener requests made in the user's own listener session.
#ifndef VORNWEB_WEBSERVER_H
#define VORNWEB_WEBSERVER_H

#include "webconn.h"
#include "webkeys.h"
#include "weblogin.h"
#include "webpin.h"
#include "websession.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vornweb {

class CHttpEngine;

// The TLS 1.2 cipher suites orxweb offers: forward secret key exchange (ECDHE) and
// authenticated encryption only. TLS 1.3 keeps its own (all of them are both).
extern const char* const kTls12Ciphers;

// Limits of the HTTP side.
constexpr size_t kMaxFormBody = 256 * 1024;
constexpr size_t kMaxAssets = 64;
constexpr size_t kMaxAssetSize = 2 * 1024 * 1024;
constexpr size_t kMaxHeaders = 100;

struct SWebOptions {
    std::string address = "127.0.0.1";
    // 0: any free port (see CWebServer::port()).
    uint16_t port = 8443;
    std::string listenerHost = "127.0.0.1";
    uint16_t listenerPort = 1718;
    // The listener's socket for the web console (empty: none). Logins go there, naming the
    // browser's address, so that the listener counts failed logins per browser and logs each
    // browser's address; when nothing is at the path, logins go to host:port as before.
    std::string listenerSocket;
    // How the listener's host key is pinned (see webpin.h): the known-hosts file, or the key
    // named outright (its public key file or fingerprint; strict, nothing is learnt).
    std::string knownHostsFile;
    std::string listenerHostKey;
    // Accept a listener that offers only plain connections (passwords would travel in clear).
    bool allowPlainListener = false;
    unsigned int listenerTimeoutMs = 30000;
    std::string certFile;
    std::string keyFile;
    // The page's files: every regular file directly in this folder is served under its name.
    std::string assetsDir;
    // The site policy file whose settings the configuration view shows as fixed.
    std::string policyFile;
    size_t maxSessions = 16;
    // Sessions of one user; a further login ends the user's least recently used one.
    size_t maxSessionsPerUser = 4;
    unsigned int idleSeconds = 900;
    unsigned int threads = 8;
    // Limits of connections, request heads and bodies (threads are set from `threads`).
    SReceptionLimits reception;
    // The throttle of failed logins and the cap on logins in progress.
    SLoginLimits logins;
    // How long a request waits for another request of the same session to finish.
    unsigned int busyWaitSeconds = 60;
};

class CWebServer {
public:
    // Loads the page's files, the certificate and a listener host key named outright. Throws
    // std::runtime_error naming the problem.
    explicit CWebServer(SWebOptions options);
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Binds and starts serving on a thread of its own. Throws std::runtime_error when the
    // address cannot be bound.
    void start();
    // Stops serving, ends every session and joins the threads.
    void stop();
    uint16_t port() const { return m_port; }
    CSessionStore& sessions() { return m_sessions; }
    CListenerPin& pin() { return m_pin; }
    size_t connections() const;
    const SWebOptions& options() const { return m_options; }

private:
    void loadAssets();
    void routes();
    // A connection for a login: on the listener's web socket when there is one (see
    // SWebOptions::listenerSocket), else pinned by TCP. Throws as CListenerPin::connect does.
    std::unique_ptr<vornadmin::CAdminConnection> connectListener();
    // Where logins go, for messages: the socket's path or host:port.
    std::string listenerName() const;
    // Takes one piece of a key file the page sends (see /api/import/upload). Throws
    // CWebInputException.
    void receivePiece(CWebSession& session, const std::string& offset, const std::string& size,
                      const std::string& body);

    SWebOptions m_options;
    // Before the sessions, whose key files count against it.
    CUploadBudget m_uploads{128u * 1024 * 1024};
    CSessionStore m_sessions;
    CListenerPin m_pin;
    // Set once orxweb logged that the web socket is missing (logins go by TCP).
    std::atomic<bool> m_socketMissingLogged{false};
    CLoginGuard m_logins;
    struct SAsset {
        std::string type;
        std::string bytes;
        std::string gzipped; // empty when compressing gains nothing
    };
    std::map<std::string, SAsset> m_assets;
    CKeyCache m_keys;
    std::unique_ptr<CHttpEngine> m_server;
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> m_tls;
    std::unique_ptr<CReception> m_reception;
    uint16_t m_port = 0;
    std::thread m_sweepThread;
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
    bool m_stopping = false;
};

// Writes one line to standard error with the time; never pass a secret.
void gLog(const std::string& line);

} // namespace vornweb

#endif
