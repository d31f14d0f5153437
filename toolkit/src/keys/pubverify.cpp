// pubverify: signatures checked with public keys.
//
// Everything a check computes with is public (the key, the signature, the hash), so nothing here
// has to take constant time, while the crypto library's key objects are made for secret keys:
// setting one up computes the reduction constants of its modulus with a constant-time division
// that costs as much as some sixteen variable-time reductions, whatever the modulus size. A
// ring read for the first time checks two or three signatures per key, so that set-up is most
// of what an RSA check costs. Each way is chosen by what it costs for the key at hand (figures
// in the README, "Verifying once"):
//  - RSA: s^e mod n by squaring and multiplying with the library's variable-time division while
//    the reductions spent on a key stay within what its set-up costs (exponents such as 3 and
//    17, for a few checks); then, and for long exponents such as 65537 from the start, the
//    library's verifier, set up once per key and thread.
//  - DSA, ECDSA and EdDSA: the library's verifier, set up once per key and thread. A DSA check
//    needs the Montgomery arithmetic modulo p that the set-up makes: with the variable-time
//    division instead it would take some 350 divisions of 25 us each at 2,048 bits, fifteen
//    times what a check costs; and the equation computed here over that arithmetic saved no
//    more than 3-8% of a check, not worth a second way.
//
// Signing, decryption and key generation never come here: they keep the library's
// constant-time code.

#include "pubverify.h"

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

// What the library's set-up of an RSA key costs, in reductions of the direct way (measured
// from 1,024 to 4,096 bits: 13 to 17).
constexpr size_t kSetupReductions = 16;

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
    std::string body;   // the signer's key packet body
    size_t width = 0;   // RSA: bytes of the modulus; DSA, ECDSA, EdDSA: of each signature half
    Botan::BigInt n, e; // RSA
    size_t directReductions = 0; // RSA: reductions the direct way spent on this key so far
    // The library's verifier, made when first needed for RSA.
    std::unique_ptr<Botan::Public_Key> key;
    std::unique_ptr<Botan::PK_Verifier> verifier;
};

constexpr size_t kPreparedPerThread = 4;

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
        made.n = toBig(info.mpis[0]);
        made.e = toBig(info.mpis[1]);
        made.width = info.mpis[0].bytes.size();
    } else if (rfc4880::isDSA(info.algorithm)) {
        Botan::DL_Group group(toBig(info.mpis[0]), toBig(info.mpis[1]), toBig(info.mpis[2]));
        made.key = std::make_unique<Botan::DSA_PublicKey>(group, toBig(info.mpis[3]));
        made.verifier = std::make_unique<Botan::PK_Verifier>(*made.key, "Raw");
        made.width = (group.get_q().bits() + 7) / 8;
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

// The library's verifier of an RSA entry, made when first needed.
Botan::PK_Verifier& libraryVerifier(PreparedKey& p) {
    if (p.verifier == nullptr) {
        p.key = std::make_unique<Botan::RSA_PublicKey>(p.n, p.e);
        p.verifier = std::make_unique<Botan::PK_Verifier>(*p.key, "EMSA3(Raw)");
    }
    return *p.verifier;
}

} // namespace

size_t rsaReductions(const Botan::BigInt& e) {
    const size_t bits = e.bits();
    if (bits == 0)
        return 0;
    size_t ones = 0;
    for (size_t i = 0; i < bits; ++i)
        ones += e.get_bit(i) ? 1 : 0;
    return (bits - 1) + (ones - 1);
}

Botan::BigInt rsaPublicPower(const Botan::BigInt& s, const Botan::BigInt& e,
                             const Botan::BigInt& n) {
    if (e.is_zero())
        return Botan::BigInt(1) % n;
    Botan::BigInt v = s % n;
    const Botan::BigInt base = v;
    for (size_t i = e.bits() - 1; i-- > 0;) {
        v = Botan::square(v) % n;
        if (e.get_bit(i))
            v = (v * base) % n;
    }
    return v;
}

bool rsaSignatureHolds(const Botan::BigInt& n, const Botan::BigInt& e, const Botan::BigInt& s,
                       const std::vector<uint8_t>& t) {
    if (s >= n)
        return false;
    // EM = 00 01 PS 00 T, k bytes, PS at least eight bytes FF.
    const size_t k = n.bytes();
    if (k < t.size() + 11)
        return false;
    std::vector<uint8_t> em(k, 0xFF);
    em[0] = 0x00;
    em[1] = 0x01;
    em[k - t.size() - 1] = 0x00;
    std::copy(t.begin(), t.end(), em.end() - std::ptrdiff_t(t.size()));
    return rsaPublicPower(s, e, n) == Botan::BigInt(em.data(), em.size());
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
            bool direct = way == VerifyWay::Direct;
            if (way == VerifyWay::Cheapest && p->verifier == nullptr) {
                // Direct while the reductions spent on this key stay within its set-up's cost.
                const size_t cost = rsaReductions(p->e);
                direct = p->directReductions + cost <= kSetupReductions;
                if (direct)
                    p->directReductions += cost;
            }
            if (direct)
                return rsaSignatureHolds(p->n, p->e, Botan::BigInt(s.data(), s.size()), t);
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
        r.insert(r.end(), s.begin(), s.end());
        return p->verifier->verify_message(msg, r);
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
