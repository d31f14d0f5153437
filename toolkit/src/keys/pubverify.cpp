// pubverify: signatures checked with public keys.
//
// Everything a check computes with is public (the key, the signature, the hash), so nothing here
// has to take constant time, while the crypto library's key objects are made for secret keys:
// setting one up computes the reduction constants of its modulus with a constant-time division
// that costs some 360 us at 2,048 bits, where an RSA check itself costs 26 us, and a ring read
// for the first time checks two or three signatures per key. So RSA is checked here: s^e mod n
// on variable-time Montgomery arithmetic whose set-up is one ordinary division
// (crypto/montgomery.h), compared as a number with the PKCS#1 v1.5 encoding of the digest:
// some 75 us for a key's first check at 2,048 bits instead of 470 us, 44 us for later ones
// (the library's: 33 us), until a key has made so many checks that the library's set-up pays.
// DSA, ECDSA and EdDSA use the library's verifier, set up once per key and thread. A DSA check
// on the same arithmetic was measured too (both powers in one pass): it saves the set-up
// (~500 us per key at 2,048 bits) but each check costs a third more than the library's
// (~800 against ~600 us), which evens out at the two or three checks a key gets.
// `VerifyWay::Library` checks RSA with the library too, so tests and the fuzz target hold both
// ways against each other (figures in the README, "Verifying once").
//
// Signing, decryption and key generation never come here: they keep the library's
// constant-time code.

#include "pubverify.h"

#include "crypto/crypto.h"
#include "keystore/keystore.h"

#include <botan/dsa.h>
#include <botan/ec_group.h>
#include <botan/ecdsa.h>
#include <botan/ed25519.h>
#include <botan/numthry.h>
#include <botan/pubkey.h>
#include <botan/rsa.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>

namespace zaf {

namespace {

Botan::BigInt toBig(const rfc4880::Mpi& m) {
    return Botan::BigInt(reinterpret_cast<const uint8_t*>(m.bytes.data()), m.bytes.size());
}

// An MPI as a big-endian number of exactly `width` bytes; empty when it does not fit.
std::vector<uint8_t> padded(const rfc4880::Mpi& m, size_t width) {
    std::string_view b = m.bytes;
    while (!b.empty() && b[0] == 0)
        b.remove_prefix(1);
    if (b.size() > width)
        return {};
    std::vector<uint8_t> out(width - b.size(), 0);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// A key as the checks of this thread last used it. A key's own self-signatures come in a row
// when a ring is read, so each thread keeps the last few keys.
struct PreparedKey {
    std::string body; // the signer's key packet body
    size_t width = 0; // RSA: bytes of the modulus; DSA, ECDSA, EdDSA: of each signature half
    // RSA (n, e) and DSA (p, q, g, y): the arithmetic modulo n or p, and the other values.
    std::unique_ptr<MontgomeryModulus> modulus;
    Botan::BigInt e, q, g, y;
    size_t directChecks = 0; // RSA, DSA: checks of this key the way `Cheapest` made directly
    // The library's verifier: made when first needed for RSA, at once for the others.
    std::unique_ptr<Botan::Public_Key> key;
    std::unique_ptr<Botan::PK_Verifier> verifier;
};

constexpr size_t kPreparedPerThread = 4;

// Checks of one key made here before the library's verifier is set up for it. RSA: a check here
// costs some 11 us more than the library's once that is set up (2,048 bits, e = 65537), and the
// set-up some 440 us, so it pays from about the fortieth check (a key that certified much, in
// a trust calculation). DSA: 745 us here against 609 us, with a set-up of 431 us (DSA-2048/256):
// from the fourth.
constexpr size_t kDirectRSAChecksPerKey = 40;
constexpr size_t kDirectDSAChecksPerKey = 3;

std::atomic<VerifyWay> gVerifyWay{VerifyWay::Cheapest};

// The thread's entry for the key, made (without the library's verifier for RSA) when it has
// none; null for an algorithm not checked here. Throws what the library throws on
// parameters it refuses.
PreparedKey* prepared(std::string_view body, const rfc4880::KeyInfo& info) {
    thread_local std::array<PreparedKey, kPreparedPerThread> slots;
    thread_local size_t next = 0;
    for (PreparedKey& p : slots)
        if (p.width != 0 && p.body == body)
            return &p;
    PreparedKey made;
    if (rfc4880::isRSA(info.algorithm)) {
        made.modulus = std::make_unique<MontgomeryModulus>(toBig(info.mpis[0]));
        made.e = toBig(info.mpis[1]);
        made.width = made.modulus->modulus().bytes();
    } else if (rfc4880::isDSA(info.algorithm)) {
        made.modulus = std::make_unique<MontgomeryModulus>(toBig(info.mpis[0]));
        made.q = toBig(info.mpis[1]);
        made.g = toBig(info.mpis[2]);
        made.y = toBig(info.mpis[3]);
        made.width = made.q.bytes();
    } else if (info.algorithm == 19) {
        Botan::EC_Group group(curveOid(info.curveOid));
        std::string_view pt = info.mpis[0].bytes;
        made.key = std::make_unique<Botan::ECDSA_PublicKey>(
            group, group.OS2ECP(reinterpret_cast<const uint8_t*>(pt.data()), pt.size()));
        made.verifier = std::make_unique<Botan::PK_Verifier>(*made.key, "Raw");
        made.width = (group.get_order().bits() + 7) / 8;
    } else if (info.algorithm == 22) {
        std::string_view pt = info.mpis[0].bytes;
        if (pt.size() != 33 || uint8_t(pt[0]) != 0x40)
            return nullptr;
        made.key = std::make_unique<Botan::Ed25519_PublicKey>(
            reinterpret_cast<const uint8_t*>(pt.data()) + 1, 32);
        made.verifier = std::make_unique<Botan::PK_Verifier>(*made.key, "Pure");
        made.width = 32;
    } else {
        return nullptr;
    }
    if (made.width == 0)
        return nullptr;
    made.body.assign(body);
    PreparedKey& slot = slots[next];
    next = (next + 1) % kPreparedPerThread;
    slot = std::move(made);
    return &slot;
}

// The library's verifier of an RSA or DSA entry, made when first needed.
Botan::PK_Verifier& libraryVerifier(PreparedKey& p) {
    if (p.verifier == nullptr) {
        const Botan::BigInt& n = p.modulus->modulus();
        if (p.q.is_zero()) {
            p.key = std::make_unique<Botan::RSA_PublicKey>(n, p.e);
            p.verifier = std::make_unique<Botan::PK_Verifier>(*p.key, "EMSA3(Raw)");
        } else {
            p.key = std::make_unique<Botan::DSA_PublicKey>(Botan::DL_Group(n, p.q, p.g), p.y);
            p.verifier = std::make_unique<Botan::PK_Verifier>(*p.key, "Raw");
        }
    }
    return *p.verifier;
}

// Whether `way` checks this one directly (counting it), rather than with the library.
bool checkDirectly(VerifyWay way, PreparedKey& p, size_t directLimit) {
    return way == VerifyWay::Direct ||
           (way == VerifyWay::Cheapest && ++p.directChecks <= directLimit);
}

} // namespace

bool rsaSignatureHolds(const MontgomeryModulus& n, const Botan::BigInt& e, const Botan::BigInt& s,
                       const std::vector<uint8_t>& t) {
    if (s >= n.modulus())
        return false;
    // EM = 00 01 PS 00 T, k bytes, PS at least eight bytes FF.
    const size_t k = n.modulus().bytes();
    if (k < t.size() + 11)
        return false;
    std::vector<uint8_t> em(k, 0xFF);
    em[0] = 0x00;
    em[1] = 0x01;
    em[k - t.size() - 1] = 0x00;
    std::copy(t.begin(), t.end(), em.end() - std::ptrdiff_t(t.size()));
    return n.power(s, e) == Botan::BigInt(em.data(), em.size());
}

bool dsaSignatureHolds(const MontgomeryModulus& p, const Botan::BigInt& q, const Botan::BigInt& g,
                       const Botan::BigInt& y, const Botan::BigInt& r, const Botan::BigInt& s,
                       const Botan::BigInt& h) {
    if (r.is_zero() || r >= q || s.is_zero() || s >= q)
        return false;
    const Botan::BigInt w = Botan::inverse_mod(s, q);
    if (w.is_zero())
        return false;
    const Botan::BigInt u1 = (h * w) % q, u2 = (r * w) % q;
    return p.power2(g, u1, y, u2) % q == r;
}

bool verifyWithKeyBy(VerifyWay way, std::string_view signerKeyBody, uint8_t hashAlg,
                     const uint8_t* digest, size_t digestLength, const rfc4880::SigInfo& sig) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(signerKeyBody, info, false) || !info.known ||
        !keyParametersAcceptable(info))
        return false;
    std::vector<uint8_t> msg(digest, digest + digestLength);
    try {
        if (rfc4880::isRSA(info.algorithm)) {
            std::string_view prefix = rfc4880::digestInfoPrefix(hashAlg);
            if (sig.mpis.size() != 1 || prefix.empty())
                return false;
            PreparedKey* p = prepared(signerKeyBody, info);
            if (p == nullptr)
                return false;
            std::vector<uint8_t> t(prefix.begin(), prefix.end());
            t.insert(t.end(), msg.begin(), msg.end());
            const std::vector<uint8_t> s = padded(sig.mpis[0], p->width);
            if (s.empty())
                return false;
            if (checkDirectly(way, *p, kDirectRSAChecksPerKey))
                return rsaSignatureHolds(*p->modulus, p->e, Botan::BigInt(s.data(), s.size()), t);
            return libraryVerifier(*p).verify_message(t, s);
        }
        const bool dsa = rfc4880::isDSA(info.algorithm);
        if (!(dsa || info.algorithm == 19 || info.algorithm == 22) || sig.mpis.size() != 2)
            return false;
        PreparedKey* p = prepared(signerKeyBody, info);
        if (p == nullptr)
            return false;
        // A hash longer than a DSA subgroup (SHA-256 with a 160-bit q) counts by its leftmost
        // bytes; the crypto library refuses longer input outright.
        if (dsa && msg.size() > p->width)
            msg.resize(p->width);
        std::vector<uint8_t> r = padded(sig.mpis[0], p->width), s = padded(sig.mpis[1], p->width);
        if (r.empty() || s.empty())
            return false;
        if (dsa && checkDirectly(way, *p, kDirectDSAChecksPerKey))
            return dsaSignatureHolds(
                *p->modulus, p->q, p->g, p->y, Botan::BigInt(r.data(), r.size()),
                Botan::BigInt(s.data(), s.size()), Botan::BigInt(msg.data(), msg.size()));
        r.insert(r.end(), s.begin(), s.end());
        return (dsa ? libraryVerifier(*p) : *p->verifier).verify_message(msg, r);
    } catch (const std::exception&) {
        return false;
    }
}

void setVerifyWay(VerifyWay way) { gVerifyWay = way; }

bool verifyWithKey(std::string_view signerKeyBody, uint8_t hashAlg, const uint8_t* digest,
                   size_t digestLength, const rfc4880::SigInfo& sig) {
    return verifyWithKeyBy(gVerifyWay.load(), signerKeyBody, hashAlg, digest, digestLength, sig);
}

} // namespace zaf
