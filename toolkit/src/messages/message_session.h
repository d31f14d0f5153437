// message_session: session keys and the packets that carry them (public-key and passphrase
// encrypted session keys).
#ifndef ZAF_MESSAGE_SESSION_H
#define ZAF_MESSAGE_SESSION_H

#include "keystore/keystore.h"
#include "message_stream.h"

#include <botan/pk_keys.h>

#include <memory>
#include <string>
#include <string_view>

namespace zaf::msg {

struct SessionKey {
    uint8_t algorithm = 0;
    Secret key;
};

// A fresh random session key for the cipher.
SessionKey newSessionKey(uint8_t algorithm);

// The body of a public-key encrypted session key packet (version 3) for the encryption key
// `keyBody` (a key packet body: RSA, ElGamal, or ECDH on Curve25519 or a NIST curve) whose
// key ID is `keyID`. kZAFError_UnsupportedAlg for other keys.
std::string makePKESK(std::string_view keyBody, const uint8_t keyID[8], const SessionKey& sk);

// The body of a passphrase encrypted session key packet (version 4, iterated and salted S2K
// with SHA-256, the S2K key's cipher `cipher`). With `sk` the session key is carried encrypted;
// without, the S2K output is the session key and lands in `derived`.
std::string makeSKESK(uint8_t cipher, std::string_view passphrase, const SessionKey* sk,
                      SessionKey* derived);

// An unlocked secret key that can open session keys.
class DecryptionKey {
public:
    virtual ~DecryptionKey() = default;
    virtual uint8_t algorithm() const = 0;
    // Opens a PKESK body. Returns false, with `out` untouched, when the result is not a session
    // key; a wrong key, bad padding and a failed key agreement are not told apart, and the
    // padding is checked in constant time (a bad one yields random bytes, then fails the
    // checksum like any wrong key).
    virtual bool open(std::string_view pkeskBody, SessionKey& out) const = 0;
};

// Unlocks the secret (sub)key packet `secretBody` with `passphrase`. Errors:
// kZAFError_BadPassphrase, kZAFError_UnsupportedAlg (not an encryption algorithm we handle),
// kZAFError_CorruptData.
ZAFError unlockDecryptionKey(std::string_view secretBody, std::string_view passphrase,
                             std::unique_ptr<DecryptionKey>& out);

// Opens a SKESK body with a passphrase. Returns kZAFError_NoErr, kZAFError_BadPassphrase when
// the carried session key does not decode (a wrong passphrase), kZAFError_UnsupportedAlg or
// kZAFError_CorruptData. Without a carried session key any passphrase "opens" it; the caller
// finds out with the quick check of the encrypted data.
ZAFError openSKESK(std::string_view body, std::string_view passphrase, SessionKey& out);

// Checks the decrypted session key block "algorithm, key, two-byte checksum"; false when it is
// not one.
bool parseSessionKeyBlock(const Secret& block, SessionKey& out);

} // namespace zaf::msg

#endif
