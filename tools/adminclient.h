// adminclient: the client side of the listener's administration protocol. Connects over TCP,
// follows the first byte (1: secure channel with the client half of the handshake, 0: plain),
// logs in and exchanges length-prefixed XML frames.
//
// Additions for knowing the listener (everything that existed before works as it did; the
// defaults change nothing):
//   - SConnectOptions::hostKeyPolicy with knownHostsFile and confirmHostKey pins the listener's
//     host key the way SSH users know it: the first contact asks the listener for its key (a
//     "host-key" request on a connection of its own), shows its fingerprint to confirmHostKey
//     (eAsk) or takes it (eAcceptNew) and writes it to the known-hosts file (see
//     adminhostkey.h); every connection then requires a handshake signed by that key and fails
//     with "The listener's host key has changed" otherwise, before anything is sent. A pinning
//     policy also refuses a plain listener unless allowPlain is set. Under eStrict a key given
//     in SConnectOptions::pinnedHostKey takes the known-hosts file's place.
//   - CAdminConnection::fetchHostKey() asks a connected, not logged-in listener for its key.
//   - SConnectOptions::sourceAddress picks the local address a connection comes from.
//   - gSplitKeyFile (adminhostkey.h) cuts a large key file into requests of whole keys, for an
//     import in several requests (orxadmin import does that with a progress line).
#ifndef VORNADMIN_ADMINCLIENT_H
#define VORNADMIN_ADMINCLIENT_H

#include "adminhostkey.h"
#include "adminpull.h"
#include "adminxml.h"

#include <oozaf/sockets.h>
#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vornadmin {

// The listener's port when none is given.
constexpr uint16_t kDefaultPort = 1718;
// Replies longer than this end the connection before anything is allocated for them.
constexpr uint32_t kDefaultMaxReply = 64u * 1024 * 1024;

// How to reach the listener and how long to wait for it.
struct SConnectOptions {
    // Host name or dotted IPv4 address (the listener serves IPv4 only).
    std::string host = "127.0.0.1";
    uint16_t port = kDefaultPort;
    // Refuse a listener that announces a plain connection.
    bool requireSecure = false;
    // Limit for connecting, for the first byte and the handshake, and for each send and receive
    // (milliseconds; 0 means no limit).
    unsigned int timeoutMs = 30000;
    uint32_t maxReply = kDefaultMaxReply;
    // Optional key material for the handshake. `keyDB` is where the listener's key is looked up
    // (null: the listener is not authenticated); `ownKey` signs for this side (null: this side
    // does not authenticate itself) with `passphrase`. The caller keeps them alive until connect
    // returns and then may free them; `context` (null: the connection makes its own) must live as
    // long as the connection.
    ZAFContextRef context = nullptr;
    ZAFKeyDBRef keyDB = nullptr;
    ZAFKeyDBObjRef ownKey = nullptr;
    std::string passphrase;

    // Pinning of the listener's host key (see the head of this file). With eIgnore (the
    // default) nothing is pinned and `keyDB` alone decides what is checked.
    enum class eHostKeyPolicy { eIgnore, eAsk, eAcceptNew, eStrict };
    eHostKeyPolicy hostKeyPolicy = eHostKeyPolicy::eIgnore;
    // The known-hosts file (empty: gDefaultKnownHostsFile()).
    std::string knownHostsFile;
    // Asked on first contact under eAsk with the listener ("host:port") and the fingerprint;
    // true accepts and remembers the key. Unset: the listener is refused.
    std::function<bool(const SHostKey& key)> confirmHostKey;
    // Under eStrict, a key here (publicKey not empty) is the one the listener must prove, and
    // the known-hosts file is not read: for callers whose configuration names the key.
    SHostKey pinnedHostKey;
    // Under a pinning policy a plain listener is refused unless this is set.
    bool allowPlain = false;
    // The local IPv4 address to connect from (empty: the system chooses).
    std::string sourceAddress;
    // The listener's socket for the web console (a Unix socket path; empty: TCP to host:port).
    // Only the account the listener names may use it, and it is plain: the listener's peer
    // check stands in for the handshake, and this side checks in turn that root listens on it.
    // No host key is pinned for it; logins on it name the browser's address.
    std::string unixSocket;
};

// One reply of the listener: the return code, the error text, the element that follows "error"
// (null when there is none) and the whole document.
struct SReply {
    int rc = -1;
    std::string error;
    // The "kind" the listener gives a failure a console can act on ("key-not-found",
    // "bad-passphrase"); empty when it gives none.
    std::string errorKind;
    SXmlElement root;
    std::string xml;

    bool ok() const { return rc == 0; }
    // The element after "error" (the request's result, or "info" for a login), or null.
    const SXmlElement* body() const;
};

// Reads a reply document: root "response" with a decimal "rc" attribute and an "error" element
// as its first child. Throws CAdminException when it does not have that shape.
SReply gParseReply(const std::string& xml);

// The start of a reply read with a pull reader: its return code, its error text and, when the
// reply has an element after "error", that element's name (the reader then stands just after its
// start, with its attributes readable).
struct SReplyHead {
    int rc = -1;
    std::string error;
    std::string errorKind; // as SReply::errorKind
    bool hasBody = false;
    std::string body;

    bool ok() const { return rc == 0; }
};

// Reads the start of a reply as gParseReply checks it, up to the start of the body. Throws
// CAdminException.
SReplyHead gReadReplyHead(CXmlPullReader& reader);
// Reads the rest of a reply after its head (or after its body's end) to the end of the document,
// skipping any further elements, so that a malformed reply is still refused. Throws
// CAdminException.
void gFinishReply(CXmlPullReader& reader);

// Called about every `interval` while waiting for a reply, with the milliseconds waited so far.
using ProgressCallback = std::function<void(unsigned int elapsedMs)>;

// One connection to the listener. Requests and replies strictly alternate. Used by one thread at
// a time; the object owns its socket (and its toolkit context when it made one).
class CAdminConnection {
public:
    // Connects, reads the first byte and runs the handshake when the listener is secure.
    // Throws CAdminException (with the socket or channel failure as root where there is one).
    static std::unique_ptr<CAdminConnection> connect(const SConnectOptions& options);
    ~CAdminConnection();
    CAdminConnection(const CAdminConnection&) = delete;
    CAdminConnection& operator=(const CAdminConnection&) = delete;

    // True when the listener announced the secure channel (the handshake then succeeded).
    bool isSecure() const { return m_secure; }

    // Sends the "auth" request and reads the reply (rc 0 to 5; "info" on success). The
    // password is wiped from every buffer of this library once sent. `clientAddress` (the
    // browser's IP address, on the web console's socket only) is sent when not empty.
    SReply login(const std::string& user, const std::string& password,
                 const std::string& domain = "", const std::string& clientAddress = "");
    // Asks a listener this connection has not logged in to for its host key (the listener then
    // ends the connection). Throws CAdminException when the reply carries no key.
    SHostKey fetchHostKey();
    // The key the handshake verified (a pinned connection), empty otherwise.
    const SHostKey& hostKey() const { return m_hostKey; }
    // Sends one request document and reads its reply. Throws CAdminException when the
    // connection fails or closes before a reply, or the reply cannot be read.
    SReply request(const std::string& xml, const ProgressCallback& progress = nullptr,
                   unsigned int progressIntervalMs = 1000);

    // ---- replies read as they arrive ----

    // Sends one request document and reads the length of its reply; the reply's bytes are then
    // read with readReply, all of them before the next request. Throws as request does.
    uint32_t beginReply(const std::string& xml, const ProgressCallback& progress = nullptr,
                        unsigned int progressIntervalMs = 1000);
    // Reads up to `capacity` more bytes of the reply begun by beginReply; returns 0 once all of
    // it has been read. Throws CAdminException when the connection fails or closes first.
    size_t readReply(char* buffer, size_t capacity);
    // Bytes of the current reply not read yet.
    uint32_t replyLeft() const { return m_replyLeft; }
    // A pull-reader source over readReply (the connection must outlive the reader).
    CXmlPullReader::Source replySource();

    // ---- frames, for tests and for callers that build their own exchanges ----

    // Sends one frame (4-byte big-endian length, then the payload) with one write.
    void sendFrame(const std::string& payload);
    // Reads one frame into `payload`. Returns false when the listener closed the connection
    // before a new frame began. A length above the reply limit, or a close in the middle of a
    // frame, throws CAdminException. The length may arrive in pieces.
    bool readFrame(std::string& payload);
    // Waits until reply bytes can be read, calling `progress` every `intervalMs`; throws
    // CAdminException when the time limit passes first. Call only between a request and its
    // reply (no record partly read).
    void waitForReply(const ProgressCallback& progress, unsigned int intervalMs);
    // Writes bytes as they are (one record on a secure channel).
    void writeRaw(const void* data, size_t length);
    // Changes the time limit for sends, receives and reply waits (milliseconds; 0: none).
    void setTimeout(unsigned int milliseconds);
    // Closes the connection (both directions); later calls fail.
    void close();

    oozaf::CZAFSocket& socket() { return *m_socket; }
    const SConnectOptions& options() const { return m_options; }

    // The frame's 4-byte length field.
    static std::string encodeLength(uint32_t length);

private:
    CAdminConnection() = default;
    // Connects once, checking the listener's key against `pinned` when it is not null.
    static std::unique_ptr<CAdminConnection> open(const SConnectOptions& options,
                                                  const SHostKey* pinned);
    // Reads exactly `length` bytes; returns false when the peer closed before the first byte.
    bool readExactly(unsigned char* buffer, size_t length);
    // One read of at most `length` bytes (never 0); returns 0 only when the peer closed and
    // `atStart` says that is an orderly end.
    size_t readSome(unsigned char* buffer, size_t length, bool atStart);
    // Reads a frame's length field and checks it against the reply limit; false when the peer
    // closed before a new frame began.
    bool readFrameLength(uint32_t& length);
    // Appends the rest of the current reply to `payload`.
    void readReplyInto(std::string& payload);

    SConnectOptions m_options;
    oozaf::CZAFSocket* m_socket = nullptr;
    bool m_secure = false;
    bool m_ownContext = false;
    bool m_sdkStarted = false;
    ZAFContextRef m_context = nullptr;
    SHostKey m_hostKey;
    uint32_t m_replyLeft = 0;
};

} // namespace vornadmin

#endif
