// guihostkey: the listener's host key, which signs every secure handshake so that a console can
// tell the daemon it pinned from a relay in the path.
#ifndef VORNGUI_GUIHOSTKEY_H
#define VORNGUI_GUIHOSTKEY_H

#include <oozaf/secsocket.h>
#include <vorngui/guiexceptions.h>
#include <zaf/zafcontext.h>

#include <memory>
#include <string>
#include <vector>

namespace vorngui {

// The host key could not be made, read or used; the message says why.
class CGUIHostKeyException final : public CGUIException {
public:
    explicit CGUIHostKeyException(const std::string& text) : m_text(text) {}
    std::string getMessage() const override { return "Host key: " + m_text; }

private:
    std::string m_text;
};

// A key pair kept in a folder of its own ("hostkey.pkr" and "hostkey.skr", secret part not
// protected by a passphrase). Read once at start-up by the privileged process, which alone holds
// it; every signature is made with a copy of its own (the toolkit's objects belong to one
// thread), so the object is read-only after open().
class CGUIHostKey final {
public:
    static constexpr const char* kFolderName = "hostkey";
    static constexpr unsigned int kBits = 3072;

    // Reads the pair from `folder`; when the folder holds no secret ring, first makes a new
    // RSA 3072 pair there. A missing folder is created with mode 0700. The folder must be a real
    // folder of the daemon's user closed to everybody else, and the secret ring a regular file
    // only that user can read; otherwise CGUIHostKeyException, as for any toolkit failure.
    static std::unique_ptr<CGUIHostKey> open(const std::string& folder);
    ~CGUIHostKey();
    CGUIHostKey(const CGUIHostKey&) = delete;
    CGUIHostKey& operator=(const CGUIHostKey&) = delete;

    // The key's fingerprint as upper-case hexadecimal digits in groups of four.
    const std::string& fingerprint() const { return m_fingerprint; }
    // The public key as an armoured block, handed to consoles that ask.
    const std::string& publicKey() const { return m_publicKey; }
    // Whether the pair was made by this open().
    bool isNew() const { return m_new; }

    // The key's 8-byte ID, which a handshake names.
    const unsigned char* keyID() const { return m_keyID; }
    // Signs a handshake's SHA-1 digest (20 bytes) for a login process, which runs the handshake
    // without the key. Thread-safe (each call works on a copy of the key of its own). Throws
    // CGUIHostKeyException.
    std::vector<unsigned char> sign(const unsigned char* digest, std::size_t length) const;

private:
    CGUIHostKey() = default;

    std::string m_secret; // the exported pair, binary; wiped by the destructor
    std::string m_publicKey;
    std::string m_fingerprint;
    unsigned char m_keyID[8] = {0};
    bool m_new = false;
};

// The fingerprint text of a raw fingerprint: upper-case hex in groups of four.
std::string gFormatFingerprint(const unsigned char* bytes, std::size_t length);

} // namespace vorngui

#endif
