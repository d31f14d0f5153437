// gui: one console connection of the listener as its processes see it (CGUIClient): the login,
// the framed XML request protocol and the handlers. The request table that validation and
// dispatch walk is in guiprotocol.h, the login deadline in guisync.h; the daemon's side of a
// connection is in guiconnection.h.
#ifndef VORNGUI_GUI_H
#define VORNGUI_GUI_H

#include <oozaf/mutex.h>
#include <oozaf/obj.h>
#include <oozaf/sockets.h>
#include <vorngui/guichannel.h>
#include <vorngui/guishape.h>
#include <vorngui/guisync.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace oozaf {
class CVornServer;
class CVornServerCfgPart;
} // namespace oozaf

namespace vorngui {

class CGUIFrameTooLongException;

// Limits of one session, and what its processes know of the daemon.
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
    // The host key's public part, armoured, and its fingerprint (empty: no host key), for the
    // "host-key" request; its ID and the signer that signs each handshake for a login process,
    // which does not hold the key (no signer: the handshake is not signed).
    std::string hostKeyText;
    std::string hostKeyFingerprint;
    std::string hostKeyID;
    std::function<std::vector<unsigned char>(const unsigned char* digest, std::size_t length)>
        signer;
    // A connection of the web socket: its login request names the browser's address.
    bool webSocket = false;
    // CPU and wall-clock seconds one request (and opening the user's server) may take before
    // the session process is ended (0: no bound).
    unsigned int requestCPUSeconds = 0;
    unsigned int requestWallSeconds = 0;
    // The logged-in user and the client's address (the browser's for the web socket), for the
    // log.
    std::string username;
    std::string clientAddress;
};

// One console connection, as its processes see it (guiprocess.h): the login process runs
// login() (the secure handshake, the login request, the daemon's verdict, the reply to a refused
// login), the session process serve() (the user's server facade, the login reply, the request
// loop). Each runs on the process's main thread; a login's time limit interrupts the connection
// from a timer thread. A client made without a socket answers requests in memory (answer()).
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

    // Login reply codes (also the result of a connection's processes); 6 and 7 are results
    // only.
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

    // Takes ownership of `socket` (a CZAFSecSocket for the login of a secure listener). A null
    // socket makes a client that only answers requests in memory (answer()). The XML library
    // must be initialised.
    explicit CGUIClient(oozaf::CZAFSocket* socket,
                        const SGUIClientSettings& settings = SGUIClientSettings());
    ~CGUIClient() override;
    CGUIClient(const CGUIClient&) = delete;
    CGUIClient& operator=(const CGUIClient&) = delete;

    // The login process's part: runs the secure handshake (when the socket is secure), reads the
    // login request (or answers a "host-key" request), sends the daemon the user name, password,
    // domain and client address and waits for its verdict; a refused login is answered here.
    // Returns the result (eLoginResult); eLoginOK when the daemon let the user in, and then, over
    // the secure channel, `sessionDescriptor` is the descriptor of the session process's
    // connection (the caller owns it), -1 otherwise.
    int login(CGUIChannel& daemon, int& sessionDescriptor);
    // The session process's part, as the user: opens the user's server facade, answers the login
    // (rc 0 and "info", or rc 5 when the server cannot be opened) and serves requests until the
    // console leaves. Returns the result (eLoginResult).
    int serve();
    // Answers the login with `rc` and `errorText` (a session process that could not take the
    // user's identity answers rc 4). Communication failures are logged.
    void refuseLogin(int rc, const std::string& errorText);
    // The request loop of an authenticated session.
    void run();

    // Closes the socket's descriptor (no shutdown, so a connection handed on lives on) under
    // the socket mutex; a failure is logged as a warning.
    void closeSocket();
    oozaf::CZAFSocket* getSocket() { return m_socket.get(); }

    // Login.

    // Reads the first request (at most maxLoginFrame bytes) and copies the "username",
    // "password" and "domain" attributes of its "data" element, and for the web socket its
    // "client-address" (CGUIFormatException when it is missing or not an IP address).
    void getAuthenticationData(std::string& username, std::string& password, std::string& domain,
                               std::string& clientAddress);
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
    // handler, failures as return codes); returns the serialised response and sets `rc`.
    std::string answer(const std::string& command, int& rc);

    // The server facade of the session, owned; null before the login.
    oozaf::CVornServer* getServer() { return m_server.get(); }
    // Hands the client a facade (for clients without a socket), replacing (and closing) the one
    // it had.
    void setServer(std::unique_ptr<oozaf::CVornServer> server);
    // The facade; an internal error before the login.
    oozaf::CVornServer& server();
    // The "host-key" element of a reply (null without a host key).
    std::unique_ptr<CGUIElement> hostKeyElement() const;

    // Handlers. Each takes the request's "data" element when it reads parameters and returns
    // the element to append to the response (null for none). Failures of the facade or the
    // configuration classes come out as CGUIRequestFailedException.
    // A summary kept beside the rings for their version answers without reading them; a new
    // one is kept there when every check it rests on was made.
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
    // Reads the login request and asks the daemon; returns the verdict's code and text.
    int askDaemon(CGUIChannel& daemon, std::string& errorText, int& sessionDescriptor);
    // Whether the summary kept beside the rings was made from them as they are now and still
    // holds (its head alone is read): then the session reads the rings only when a request
    // needs them.
    bool keptSummaryFits();
    // Bounds the time of what follows (a request, the server's opening), and lifts the bound.
    void limitWork();
    void endWorkLimit();
    // Appends the transaction log line of a request that changes state, when a log is
    // configured; a log that cannot be written is a warning.
    void audit(const std::string& start, const std::string& type,
               const xercesc::DOMDocument* request, int rc);

    // First, so that it owns the socket before anything else can fail.
    std::unique_ptr<oozaf::CZAFSocket> m_socket;
    oozaf::CZAFMutex m_socketMutex;
    xercesc::DOMImplementation* m_domImplementation;
    std::unique_ptr<oozaf::CVornServer> m_server;
    SGUIClientSettings m_settings;
    CGUIDeadline m_loginDeadline;
    std::atomic<bool> m_loginExpired{false};
    bool m_hostKeyRequest = false;
    // What the reply to a login request that did not parse shows of it.
    std::string m_loginEcho;
    // The last keys summary as written, with the version it was made from and the time up to
    // which it stays true: a repeated keys-summary costs the copy, not the walk. Every request
    // that may change state drops it.
    struct SKeysSummary {
        std::string rings;
        std::string written;
        int64_t validUntil = 0;
    } m_keysSummary;
};

// The XML form of a configuration layer: "configuration" with "aliases" (one "alias" per alias,
// attributes "code" and "command") and "values" (one element per value, named by its directive,
// text = the value, attribute "type" boolean/integer/string).
std::unique_ptr<CGUIElement> gWriteToXML(const oozaf::CVornServerCfgPart& part);
// Feeds the first "aliases" and "values" elements below `data` into `part` through
// processKeyValue; texts holding a blank or a tab are quoted first. A child of "values" that is
// not text-only gets CGUIFormatException naming it. The part's own exceptions pass out.
void gReadFromXML(oozaf::CVornServerCfgPart& part, const xercesc::DOMElement* data);

// Replaces the values of attributes named password or passphrase (also as the last part of a
// hyphenated name, "new-passphrase") in a request text by "***", so that request texts can be
// logged.
std::string gMaskSecrets(const std::string& request);
// What the reply to a request that is not well-formed XML shows of it: its first
// kEchoedRequest bytes, secrets masked, "..." when it was longer.
constexpr std::size_t kEchoedRequest = 4096;
std::string gEchoRequest(const std::string& request);
// A parse error's text followed by "Failing data : --->" + `echo` + "<---" on a line of its own.
std::string gWithFailingData(const std::string& errorText, const std::string& echo);
// What the log says about a request it could not use: the type when known, the length and at
// most the first 48 bytes, secrets masked and control characters escaped as \xNN.
std::string gDescribeRequest(const std::string& request, const std::string& type);
// Text from a client made fit for one log line: at most `limit` bytes, control characters and
// bytes from 0x7F escaped as \xNN, so it never starts a line of its own.
std::string gLogSafe(const std::string& text, std::size_t limit = 256);

} // namespace vorngui

#endif
