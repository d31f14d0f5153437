// guichannel: the messages between the listener's privileged process and the processes of one
// connection, and the socket that carries them.
//
// Each connection has a login process (which runs the secure handshake and reads the login
// request as an unprivileged account) and, after a successful login, a session process (which
// serves the requests as the user). Both talk to the privileged process over a socket pair of
// datagrams (SOCK_SEQPACKET): one message per datagram, a descriptor passed along where needed.
// What a login process sends is treated as hostile: it parses the network's bytes.
#ifndef VORNGUI_GUICHANNEL_H
#define VORNGUI_GUICHANNEL_H

#include <oozaf/obj.h>
#include <vorngui/guiexceptions.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vorngui {

// The kinds of messages. Setups go from the privileged process to a new process; a login
// process asks for a handshake signature and for the verdict on a login.
enum class eGUIMessage : uint8_t {
    // privileged -> login process: what the login needs (see guiprocess.h).
    eLoginSetup = 1,
    // login -> privileged: the 20-byte digest the handshake signature covers.
    eSign = 2,
    // privileged -> login: the signature (empty when it could not be made).
    eSignature = 3,
    // login -> privileged: user name, password, domain, client address (web socket only).
    eAuth = 4,
    // privileged -> login: the login's return code and error text; with rc 0 (logged in) over
    // the secure channel, the descriptor of the session process's connection rides along.
    eVerdict = 5,
    // privileged -> session process: the user's identity and the session's limits.
    eSessionSetup = 6
};

// A malformed message, a channel that failed or closed in the middle of an exchange.
class CGUIChannelException final : public CGUIException {
public:
    explicit CGUIChannelException(const std::string& text) : m_text(text) {}
    std::string getMessage() const override { return "Process channel: " + m_text; }

private:
    std::string m_text;
};

// One message: its type and its fields in order. Encoded as the type byte, then per field its
// length (4 bytes, big-endian) and its bytes; numbers are 8-byte big-endian fields. The buffer is
// wiped when the message goes (a login carries a password).
class CGUIMessage final {
public:
    // The largest message (a setup carries the host key and up to kMaxGroups groups).
    static constexpr std::size_t kMaxBytes = 64 * 1024;

    explicit CGUIMessage(eGUIMessage type);
    // Reads a received message. Throws CGUIChannelException for an empty one, an unknown type or
    // one longer than kMaxBytes; the fields are checked as they are read.
    static CGUIMessage decode(const std::string& bytes);
    ~CGUIMessage();
    CGUIMessage(CGUIMessage&& other) noexcept;
    CGUIMessage& operator=(CGUIMessage&&) = delete;
    CGUIMessage(const CGUIMessage&) = delete;
    CGUIMessage& operator=(const CGUIMessage&) = delete;

    eGUIMessage getType() const { return static_cast<eGUIMessage>(m_bytes[0]); }
    const std::string& bytes() const { return m_bytes; }

    CGUIMessage& add(const std::string& text);
    CGUIMessage& add(uint64_t number);

    // The next field. Throws CGUIChannelException when there is none, when it runs past the end
    // or is longer than `maxLength`, or (numbers) when it is not 8 bytes or above `maximum`.
    std::string text(std::size_t maxLength);
    uint64_t number(uint64_t maximum);
    // Throws CGUIChannelException when fields are left: a message holds what its type says.
    void expectEnd() const;

private:
    CGUIMessage() = default;
    std::string m_bytes;
    std::size_t m_read = 1;
};

// One end of a channel; owns the descriptor. Used by one thread at a time.
class CGUIChannel final : public oozaf::CZAFObj {
public:
    explicit CGUIChannel(int descriptor) : m_descriptor(descriptor) {}
    ~CGUIChannel() override;
    CGUIChannel(const CGUIChannel&) = delete;
    CGUIChannel& operator=(const CGUIChannel&) = delete;

    int getDescriptor() const { return m_descriptor; }
    // Sends one message, with `passed` (when not -1) as a descriptor the receiver gets a copy of.
    // Throws CGUIChannelException.
    void send(const CGUIMessage& message, int passed = -1);
    // Waits up to `milliseconds` (-1: for ever) for one message. Returns false when the other
    // end closed; a descriptor that came with the message is stored in `*passed` (the caller
    // owns it). Throws CGUIChannelException on a time-out, a failure, a truncated message, and
    // for descriptors nobody asked for (without `passed`, or more than one), which are closed.
    bool receive(std::string& bytes, int milliseconds = -1, int* passed = nullptr);
    // Sends `request` and waits for the answer of type `answer`; false when the other end
    // closed. Throws CGUIChannelException for anything else.
    bool exchange(const CGUIMessage& request, eGUIMessage answer, std::string& bytes,
                  int* passed = nullptr);
    void close();

private:
    int m_descriptor;
};

// What a login process is told when it starts.
struct SGUILoginSetup {
    bool secure = true;
    // A connection of orxweb's socket: the login names the browser's address.
    bool web = false;
    unsigned int loginTimeout = 30000;
    uint32_t maxLoginFrame = 64u * 1024;
    int logLevel = 2;
    // The peer, for the log ("web socket" for orxweb's).
    std::string peerAddress;
    // The host key's public part, fingerprint and 8-byte ID (empty: no host key).
    std::string hostKeyText;
    std::string hostKeyFingerprint;
    std::string hostKeyID;
    // The account to become and the empty folder to be shut into (when the daemon is root).
    uid_t uid = 65534;
    gid_t gid = 65534;
    std::string emptyFolder;

    CGUIMessage encode() const;
    // Throws CGUIChannelException.
    static SGUILoginSetup decode(const std::string& bytes);
};

// What a session process is told when it starts.
struct SGUISessionSetup {
    std::string username;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    // The client's address for the log and the transaction log (the browser's for orxweb).
    std::string clientAddress;
    bool local = false;
    int logLevel = 2;
    unsigned int idleTimeout = 30u * 60 * 1000;
    uint32_t maxFrame = 64u * 1024 * 1024;

    CGUIMessage encode() const;
    // Throws CGUIChannelException.
    static SGUISessionSetup decode(const std::string& bytes);
};

} // namespace vorngui

#endif
