// gui: one console connection of the listener (CGUIClient): its thread, the login and the
// identity switch, the framed XML request protocol and the handlers. The request table that
// validation and dispatch walk is in guiprotocol.h, the request lock and the login deadline in
// guisync.h.
#ifndef VORNGUI_GUI_H
#define VORNGUI_GUI_H

#include <oozaf/mutex.h>
#include <oozaf/obj.h>
#include <oozaf/sockets.h>
#include <oozaf/thread.h>
#include <vorngui/guishape.h>
#include <vorngui/guisite.h>
#include <vorngui/guisync.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace oozaf {
class CVornServer;
class CVornServerCfgPart;
} // namespace oozaf

namespace vorngui {

class CGUIHostKey;
class CGUIFrameTooLongException;

// The authenticated user's ids and the daemon's own ids to return to.
struct SSecurityCredentials : public oozaf::CZAFObj {
    uid_t userID = 0;
    gid_t groupID = 0;
    uid_t savedUserID = 0;
    gid_t savedGroupID = 0;
    // Supplementary groups: the user's (from the group database) and the daemon's. They are
    // switched only when the daemon runs privileged (saved user id 0); an unprivileged daemon
    // can only serve its own account and keeps its groups.
    std::vector<gid_t> groups;
    std::vector<gid_t> savedGroups;
    bool switchGroups = false;
    bool isSet = false;
};

// Limits of one session, and what the daemon shares with every session.
struct SGUIClientSettings {
    // Largest request frame after the login (--max-frame), and the largest login request.
    uint32_t maxFrame = 64u * 1024 * 1024;
    uint32_t maxLoginFrame = 64u * 1024;
    // Time for the secure handshake and the login request together; 0 means no limit.
    unsigned int loginTimeout = 30000;
    // A logged-in session that sends nothing for this long is closed (--idle-timeout); 0: never.
    unsigned int idleTimeout = 30u * 60 * 1000;
    // The shape bound of every request document.
    SGUIShapeLimits shape;
    // Account rules and the throttle (null: defaults, no throttle).
    const SGUISiteSettings* site = nullptr;
    CGUIThrottle* throttle = nullptr;
    // The key that signs every handshake (null: the handshake is not signed).
    const CGUIHostKey* hostKey = nullptr;
};

// Logged-in sessions of the daemon, against SGUISiteSettings::maxSessions.
extern std::atomic<std::size_t> gLoggedInSessions;

// One console connection. The accept loop creates it on an accepted socket and starts it; the
// session then runs on its own thread: secure handshake (when the socket is secure), login,
// server facade for the user, request loop. The maintenance thread (or the end of the accept
// loop) stops and deletes it; a session never deletes itself.
//
// start(), isActive(), stop() and the destructor may be called from other threads; everything
// else runs on the session's thread (or, for a client made without a socket, on the caller's).
class CGUIClient : public oozaf::CZAFObj {
public:
    static const std::string GUICMD_KEYSSUMMARY; // "keys-summary"
    static const std::string GUICMD_KEYGEN;      // "key-gen"
    static const std::string GUICMD_ENTROPYPAIR; // "entropy-pair"
    static const std::string GUICMD_ENTROPYSUBK; // "entropy-subkey"
    static const std::string GUICMD_ENTROPYSUPP; // "entropy-supply"
    static const std::string GUICMD_SUBKEYGEN;   // "subkey-gen"
    static const std::string GUICMD_KEYREMOVE;   // "key-remove"
    static const std::string GUICMD_KEYSIGN;     // "key-sign"
    static const std::string GUICMD_REV_KEY;     // "key-revoke"
    static const std::string GUICMD_ADD_USERID;  // "userid-add"
    static const std::string GUICMD_REM_USERID;  // "userid-remove"
    static const std::string GUICMD_KEYIMPORT;   // "key-add"
    static const std::string GUICMD_KEYEXPORT;   // "key-export"
    static const std::string GUICMD_GET_PICTURE; // "get-picture"
    static const std::string GUICMD_GETLOG;      // "log-get"
    static const std::string GUICMD_GET_CL;      // "get-cmdline-options"
    static const std::string GUICMD_GETCONF;     // "conf-get"
    static const std::string GUICMD_SETCONF;     // "conf-set"
    static const std::string GUICMD_AUTH;        // "auth"
    // Answered before a login only: the listener's host key, so that a console can pin it.
    static const std::string GUICMD_HOSTKEY; // "host-key"

    // Login reply codes (also the session thread's result); 6 and 7 are thread results only.
    enum eLoginResult {
        eLoginOK = 0,
        eLoginFormat = 1,
        eLoginCommunication = 2,
        eLoginRefused = 3,
        eLoginImpersonation = 4,
        eLoginServerOpen = 5,
        eSessionException = 6,
        eSessionError = 7
    };
    // Request return codes.
    enum eRequestResult {
        eRequestOK = 0,
        eRequestFailed = 8,
        eRequestFormat = 12,
        eRequestUnknown = 16,
        eRequestImpersonation = 20
    };
    // Frames are read in pieces of this size, so memory grows with the bytes that really arrive
    // and not with the length a peer announces.
    static constexpr uint32_t kReadChunk = 64 * 1024;

    // Takes ownership of `socket` (a CZAFSecSocket for a secure listener). A null socket makes a
    // client that only answers requests in memory (answer()); it cannot be started. The XML
    // library must be initialised.
    explicit CGUIClient(oozaf::CZAFSocket* socket,
                        const SGUIClientSettings& settings = SGUIClientSettings());
    ~CGUIClient() override;
    CGUIClient(const CGUIClient&) = delete;
    CGUIClient& operator=(const CGUIClient&) = delete;

    // Session lifecycle.

    // Marks the client active and starts its thread; a start failure (CZAFThreadStartException)
    // passes to the caller and leaves the client inactive.
    void start();
    bool isActive() { return m_active.get(); }
    // Marks the client inactive, interrupts its connection (a blocked read or write fails) and
    // joins its thread. Safe to call again and after the session ended by itself.
    void stop();
    // Closes the socket under the socket mutex; a failure is logged as a warning.
    void closeSocket();
    static void* clientThreadProxy(void* client);
    // The session body; returns the session's result (eLoginResult).
    int clientThread();
    // The request loop of an authenticated session.
    void run();
    // The session thread's result once stop() has joined it.
    int getResult() const { return m_result.load(); }

    // Connection bookkeeping of the accept loop: the peer's address (dotted IPv4, "" for a
    // client without a socket), the order of acceptance, whether the login succeeded, and
    // eviction (the connection is interrupted and the session ends without a login).
    const std::string& getPeerAddress() const { return m_peerAddress; }
    void setSerial(uint64_t serial) { m_serial = serial; }
    uint64_t getSerial() const { return m_serial; }
    bool isLoggedIn() const { return m_loggedIn.load(); }
    bool isEvicted() const { return m_evicted.load(); }
    void evict();

    // Login and identity.

    // Reads the first request (at most maxLoginFrame bytes) and copies the "username",
    // "password" and "domain" attributes of its "data" element.
    void getAuthenticationData(std::string& username, std::string& password, std::string& domain);
    // Checks the password; throws CGUIBadPasswordException (or CGUIAuthSystemException) on any
    // refusal. Unknown users and wrong passwords take the same path.
    void setSecurityCredentials(const std::string& username, const std::string& password,
                                const std::string& domain);
    // Takes gRequestMutex and switches the supplementary groups, group and user to the
    // credentials (only the lock when none are set). Throws CGUIImpersonationException after
    // restoring what was switched and releasing the lock.
    void impersonate();
    // Switches back (failures are logged) and releases gRequestMutex; harmless when not
    // impersonating.
    void unimpersonate() noexcept;
    bool isImpersonating() const { return m_impersonating; }
    const SSecurityCredentials& getCredentials() const { return m_credentials; }
    // Sets "rng", "platform" and "log" on the login reply's "info" element.
    void feedFeatures(CGUIElement& info);

    // Protocol.

    // Reads one frame of at most `limit` bytes into `command` (cut at its first NUL byte).
    // Returns false, with `command` empty, when the peer closed before a frame began; a frame
    // of length 0 gives true and an empty command. Throws CGUICommunicationException (a longer
    // frame, a connection failure, the login time limit).
    bool getCommand(std::string& command, uint32_t limit);
    // Checks the request's shape against the session's bound, then parses it; the caller
    // releases the document. Throws CGUIFormatException, whose text never holds the request.
    xercesc::DOMDocument* parseCommand(const std::string& command);
    // The structural checks every request passes, then those of its type's row in the request
    // table (guiprotocol.h), in order; throws CGUIFormatException or
    // CGUIUnknownRequestException.
    static void validateRequest(const xercesc::DOMDocument* request);
    // Runs the handler of the request's type (from the request table) on a validated request;
    // returns the element to append to the response's root, or null.
    std::unique_ptr<CGUIElement> processRequest(const xercesc::DOMDocument* request);
    // A new response root element "response".
    static std::unique_ptr<CGUIElement> createResponseDocument();
    // The serialised form of a response.
    static std::string serialize(const CGUIElement& response);
    void reply(const CGUIElement& response);
    // Sends the 4-byte big-endian length, then the data.
    void reply(const void* data, unsigned int length);
    // Fills in the length field of a frame (4 bytes, then the payload) and sends it in one write.
    void sendFrame(std::string& frame);
    // Answers one request text as the request loop does (parse and validation, then the
    // handler under impersonation, failures as return codes); returns the serialised response
    // and sets `rc`. Parsing holds no lock and runs with the daemon's identity.
    std::string answer(const std::string& command, int& rc);

    // The server facade of the session, owned; null before the login.
    oozaf::CVornServer* getServer() { return m_server.get(); }
    // Hands the client a facade (for clients without a socket), replacing (and closing) the one
    // it had. The facade saves the user's files when it goes: call while impersonating.
    void setServer(std::unique_ptr<oozaf::CVornServer> server);
    // The facade; an internal error before the login.
    oozaf::CVornServer& server();
    // The "host-key" element of a reply (null without a host key).
    std::unique_ptr<CGUIElement> hostKeyElement() const;

    // Handlers. Each takes the request's "data" element when it reads parameters and returns
    // the element to append to the response (null for none). Failures of the facade or the
    // configuration classes come out as CGUIRequestFailedException.
    std::unique_ptr<CGUIElement> doKeysSummary();
    std::unique_ptr<CGUIElement> doGetLog();
    std::unique_ptr<CGUIElement> doGetCLOpts();
    std::unique_ptr<CGUIElement> doGetConf();
    std::unique_ptr<CGUIElement> doSetConf(const xercesc::DOMElement* data);
    // The key requests are the handlers of CGUIKeyRequests (guikeys.h), which the request
    // table runs on the session's facade.

private:
    static void expireLogin(void* client);
    // Shuts the connection down in both directions without closing the descriptor, so that a
    // thread blocked on it wakes up and no other connection can take its number.
    void interruptSocket();
    void runHandshake();
    void readExactly(void* buffer, unsigned int length, bool& closed);
    void sendLoginReply(int rc, const std::string& errorText);
    void sendHostKey();
    // Takes in the rest of an over-long frame (bounded in time) and answers it with rc 12.
    void answerTooLong(const CGUIFrameTooLongException& tooLong);
    // Waits `milliseconds` or until the connection is interrupted.
    void pause(unsigned int milliseconds);
    void login(std::string& username, std::string& password, std::string& domain);
    void endSession();
    // Deletes the facade as the user; logs and leaves it open when the identity cannot be taken.
    void closeServer();

    // First, so that it owns the socket before anything else can fail.
    std::unique_ptr<oozaf::CZAFSocket> m_socket;
    oozaf::CZAFThread m_thread;
    oozaf::CZAFSynchObject<bool> m_active;
    oozaf::CZAFMutex m_socketMutex;
    xercesc::DOMImplementation* m_domImplementation;
    std::unique_ptr<oozaf::CVornServer> m_server;
    SSecurityCredentials m_credentials;
    SGUIClientSettings m_settings;
    CGUIDeadline m_loginDeadline;
    std::atomic<bool> m_loginExpired{false};
    std::atomic<bool> m_loggedIn{false};
    std::atomic<bool> m_evicted{false};
    std::string m_peerAddress;
    uint64_t m_serial = 0;
    bool m_hostKeyRequest = false;
    std::atomic<int> m_result{0};
    bool m_impersonating = false;
};

// Takes on the session's identity (CGUIClient::impersonate) for the lifetime of the scope, and
// gives it back at its end. The constructor passes on CGUIImpersonationException.
class CGUIImpersonation final {
public:
    explicit CGUIImpersonation(CGUIClient& client) : m_client(client) { m_client.impersonate(); }
    ~CGUIImpersonation() { m_client.unimpersonate(); }
    CGUIImpersonation(const CGUIImpersonation&) = delete;
    CGUIImpersonation& operator=(const CGUIImpersonation&) = delete;

private:
    CGUIClient& m_client;
};

// The XML form of a configuration layer: "configuration" with "aliases" (one "alias" per alias,
// attributes "code" and "command") and "values" (one element per value, named by its directive,
// text = the value, attribute "type" boolean/integer/string).
std::unique_ptr<CGUIElement> gWriteToXML(const oozaf::CVornServerCfgPart& part);
// Feeds the first "aliases" and "values" elements below `data` into `part` through
// processKeyValue; texts holding a blank or a tab are quoted first. A child of "values" that is
// not text-only gets CGUIFormatException naming it. The part's own exceptions pass out.
void gReadFromXML(oozaf::CVornServerCfgPart& part, const xercesc::DOMElement* data);

// Replaces the values of attributes named password or passphrase in a request text by "***",
// so that request texts can be logged.
std::string gMaskSecrets(const std::string& request);
// What the log says about a request it could not use: the type when known, the length and at
// most the first 48 bytes, secrets masked and control characters escaped as \xNN.
std::string gDescribeRequest(const std::string& request, const std::string& type);
// Text from a client made fit for one log line: at most `limit` bytes, control characters and
// bytes from 0x7F escaped as \xNN, so it never starts a line of its own.
std::string gLogSafe(const std::string& text, std::size_t limit = 256);

} // namespace vorngui

#endif
