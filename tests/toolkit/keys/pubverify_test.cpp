// Signatures checked with public keys: the crypto library's verifier and the RSA equation computed
// directly must give the same verdict on every signature, good, forged or malformed, and the
// way the key store picks must agree with both; DSA verdicts on the same kinds of damage.
#include "key_packets.h"
#include "keys/pubverify.h"
#include "message_test_util.h"
#include "signing_keys.h"

#include <botan/chacha_rng.h>

#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {

using namespace signingkeys;
using zaf::VerifyWay;
namespace rfc4880 = zaf::rfc4880;

// The verdict of every way on one signature (its values as MPI bodies, leading zeros kept);
// the test fails where they differ.
bool verdict(const std::string& label, const std::string& key, uint8_t hashAlg,
             const std::vector<uint8_t>& digest, const std::vector<std::string>& values) {
    rfc4880::SigInfo sig;
    for (const std::string& v : values)
        sig.mpis.push_back({uint16_t(v.size() * 8), v});
    auto by = [&](VerifyWay way) {
        return zaf::verifyWithKeyBy(way, key, hashAlg, digest.data(), digest.size(), sig);
    };
    const bool library = by(VerifyWay::Library);
    EXPECT_EQ(library, by(VerifyWay::Direct)) << label;
    EXPECT_EQ(library, by(VerifyWay::Cheapest)) << label;
    return library;
}

std::string flipBit(std::string s, size_t bit) {
    s[bit / 8] = char(uint8_t(s[bit / 8]) ^ (0x80 >> (bit % 8)));
    return s;
}

// ---- RSA ----

struct RsaCase {
    size_t bits;
    uint32_t e;
};

std::string digestInfo(uint8_t hashAlg, const std::vector<uint8_t>& digest) {
    return signingkeys::digestInfo(rfc4880::digestInfoPrefix(hashAlg), digest);
}

TEST(PublicVerify, RsaWaysAgreeOnGoodForgedAndMalformedSignatures) {
    Botan::ChaCha_RNG rng(Botan::secure_vector<uint8_t>(32, 0x52));
    const std::vector<RsaCase> cases = {{1024, 3},     {1024, 65537}, {2048, 17},
                                        {2048, 65537}, {3072, 3},     {4096, 65537}};
    for (const RsaCase& c : cases) {
        RsaKey key(rng, c.bits, c.e);
        const std::string tag = "RSA-" + std::to_string(c.bits) + " e=" + std::to_string(c.e);
        SCOPED_TRACE(tag);
        const std::vector<uint8_t> digest = hashOf("SHA-256", tag);
        const std::string good = key.signEncoded(digestInfo(8, digest));
        auto check = [&](const std::string& what, const std::vector<std::string>& values,
                         uint8_t hashAlg = 8) {
            return verdict(tag + ": " + what, key.body, hashAlg, digest, values);
        };

        // Good signatures, for every hash with a DigestInfo; several in a row from one key.
        for (uint8_t alg : {1, 2, 3, 8, 9, 10, 11}) {
            const std::vector<uint8_t> d = hashOf(rfc4880::hashName(alg), tag);
            const std::string s = key.signEncoded(digestInfo(alg, d));
            for (int again = 0; again < 3; ++again)
                EXPECT_TRUE(verdict(tag + " hash " + std::to_string(alg), key.body, alg, d, {s}));
        }
        EXPECT_TRUE(check("written with leading zero bytes", {std::string(2, 0) + good}));

        // Changed values.
        for (size_t i = 0; i < 16; ++i)
            EXPECT_FALSE(check("bit flipped", {flipBit(good, i * (good.size() * 8 - 1) / 15)}));
        const std::string n = bytesOf(key.n());
        EXPECT_FALSE(check("s = 0", {std::string(1, 0)}));
        EXPECT_FALSE(check("s = 1", {std::string(1, 1)}));
        EXPECT_FALSE(check("s = n - 1", {bytesOf(key.n() - 1)}));
        EXPECT_FALSE(check("s = n", {n}));
        EXPECT_FALSE(check("s = n + 1", {bytesOf(key.n() + 1)}));
        EXPECT_FALSE(check("s = good + n", {bytesOf(numberOf(good) + key.n())}));
        EXPECT_FALSE(check("one byte longer than n", {std::string(1, 1) + good}));
        EXPECT_FALSE(check("last byte cut off", {good.substr(0, good.size() - 1)}));
        EXPECT_FALSE(check("two values", {good, good}));
        EXPECT_FALSE(check("no value", {}));

        // What was signed differs from what is checked.
        std::vector<uint8_t> other = digest;
        other[31] ^= 1;
        EXPECT_FALSE(verdict(tag + ": other digest", key.body, 8, other, {good}));
        const std::vector<uint8_t> sha1 = hashOf("SHA-1", tag);
        const std::string bySha1 = key.signEncoded(digestInfo(2, sha1));
        EXPECT_FALSE(verdict(tag + ": prefix of another hash of the same size", key.body, 3, sha1,
                             {bySha1}));
        EXPECT_FALSE(verdict(tag + ": hash without a prefix", key.body, 7, digest, {good}));
        // DigestInfo without the NULL parameters, and naming SHA-512 over a SHA-256 digest.
        const std::string noNull = std::string("\x30\x2f\x30\x0b\x06\x09\x60\x86\x48\x01\x65\x03"
                                               "\x04\x02\x01\x04\x20",
                                               17) +
                                   std::string(digest.begin(), digest.end());
        EXPECT_FALSE(check("DigestInfo without NULL", {key.signEncoded(noNull)}));
        EXPECT_FALSE(check("DigestInfo of SHA-512",
                           {key.signEncoded(std::string(rfc4880::digestInfoPrefix(10)) +
                                            std::string(digest.begin(), digest.end()))}));

        // Encodings around the right one, each signed with the key.
        const std::string t = digestInfo(8, digest);
        const size_t k = key.width();
        auto encoded = [&](const std::string& em) { return key.signRaw(em); };
        const std::string ps(k - t.size() - 3, char(0xFF));
        EXPECT_TRUE(check("built here", {encoded(std::string{0, 1} + ps + '\0' + t)}));
        EXPECT_FALSE(check("block type 2", {encoded(std::string{0, 2} + ps + '\0' + t)}));
        EXPECT_FALSE(
            check("no zero after the padding", {encoded(std::string{0, 1} + ps + '\xFF' + t)}));
        EXPECT_FALSE(check("zero inside the padding",
                           {encoded(std::string{0, 1} + ps.substr(1) + '\0' + '\0' + t)}));
        EXPECT_FALSE(
            check("one byte short", {encoded(std::string{0, 0, 1} + ps.substr(1) + '\0' + t)}));
        EXPECT_FALSE(check("a byte after the hash",
                           {encoded(std::string{0, 1} + ps.substr(1) + '\0' + t + '\x42')}));
        EXPECT_FALSE(
            check("hash in front of the padding", {encoded(std::string{0, 1, 0} + t + ps)}));
    }
}

TEST(PublicVerify, RsaPaddingOfEightBytesAtLeast) {
    // SHA-512's DigestInfo is 83 bytes: a 94-byte modulus leaves the eight bytes of padding
    // needed, a 93-byte one seven, so nothing signed with SHA-512 verifies by it.
    Botan::ChaCha_RNG rng(Botan::secure_vector<uint8_t>(32, 0x53));
    const std::vector<uint8_t> d = hashOf("SHA-512", "small");
    const std::string t = digestInfo(10, d);
    RsaKey roomy(rng, 752, 65537), tight(rng, 744, 65537);
    ASSERT_EQ(94u, roomy.width());
    ASSERT_EQ(93u, tight.width());
    EXPECT_TRUE(verdict("eight bytes", roomy.body, 10, d, {roomy.signEncoded(t)}));
    EXPECT_FALSE(verdict("seven bytes", tight.body, 10, d, {tight.signEncoded(t)}));
}

// ---- DSA ----

TEST(PublicVerify, DsaVerdictsOnGoodForgedAndMalformedSignatures) {
    Botan::ChaCha_RNG rng(Botan::secure_vector<uint8_t>(32, 0x44));
    // 1024/160, 2048/256 and 3072/256 as published; 2048/224 made here.
    std::vector<Botan::DL_Group> groups = {
        Botan::DL_Group("dsa/jce/1024"), Botan::DL_Group("dsa/botan/2048"),
        Botan::DL_Group("dsa/botan/3072"),
        Botan::DL_Group(rng, Botan::DL_Group::Prime_Subgroup, 2048, 224)};
    for (const Botan::DL_Group& group : groups) {
        DsaKey key(rng, group);
        const std::string& body = key.body;
        const Botan::BigInt& q = group.get_q();
        const size_t w = q.bytes();
        const std::string tag =
            "DSA-" + std::to_string(group.get_p().bits()) + "/" + std::to_string(q.bits());
        SCOPED_TRACE(tag);
        auto sign = [&](const std::vector<uint8_t>& msg) { return key.sign(msg); };

        // Good signatures: hashes shorter than, as long as and longer than the subgroup.
        for (uint8_t alg : {2, 8, 10, 11}) {
            const std::vector<uint8_t> d = hashOf(rfc4880::hashName(alg), tag);
            const std::vector<std::string> rs = sign(d);
            for (int again = 0; again < 2; ++again)
                EXPECT_TRUE(verdict(tag + " hash " + std::to_string(alg), body, alg, d, rs));
        }
        const std::vector<uint8_t> digest = hashOf("SHA-256", tag);
        const std::vector<std::string> good = sign(digest);
        auto check = [&](const std::string& what, const std::vector<std::string>& values) {
            return verdict(tag + ": " + what, body, 8, digest, values);
        };
        EXPECT_TRUE(check("written with leading zero bytes",
                          {std::string(1, 0) + good[0], std::string(3, 0) + good[1]}));
        // A hash that is a multiple of the subgroup's order: the generator's power is zero.
        const Botan::secure_vector<uint8_t> qBig = Botan::BigInt::encode_1363(q, w);
        const std::vector<uint8_t> qHash(qBig.begin(), qBig.end());
        EXPECT_TRUE(verdict(tag + ": hash = q", body, 8, qHash, sign(qHash)));

        const std::string zero(w, 0), one(1, 1), qBytes = bytesOf(q), top(w, char(0xFF));
        for (const auto& [what, values] :
             std::vector<std::pair<std::string, std::vector<std::string>>>{
                 {"r = 0", {zero, good[1]}},
                 {"s = 0", {good[0], zero}},
                 {"r = q", {qBytes, good[1]}},
                 {"s = q", {good[0], qBytes}},
                 // s without an inverse makes both powers 1: only the range check refuses these.
                 {"r = 1, s = 0", {one, zero}},
                 {"r = 1, s = q", {one, qBytes}},
                 {"r = 2^n - 1", {top, good[1]}},
                 {"s = 2^n - 1", {good[0], top}},
                 {"r and s swapped", {good[1], good[0]}},
                 {"r longer than q", {std::string(1, 1) + good[0], good[1]}},
                 {"s longer than q", {good[0], std::string(1, 1) + good[1]}},
                 {"one value", {good[0]}},
                 {"three values", {good[0], good[1], good[1]}}})
            EXPECT_FALSE(check(what, values));
        const Botan::BigInt r = numberOf(good[0]);
        if ((r + q).bytes() <= w) {
            EXPECT_FALSE(check("r + q", {bytesOf(r + q), good[1]}));
        }
        for (size_t i = 0; i < 8; ++i) {
            const size_t bit = i * (w * 8 - 1) / 7;
            EXPECT_FALSE(check("bit of r flipped", {flipBit(good[0], bit), good[1]}));
            EXPECT_FALSE(check("bit of s flipped", {good[0], flipBit(good[1], bit)}));
        }
        std::vector<uint8_t> other = digest;
        other[0] ^= 0x80;
        EXPECT_FALSE(verdict(tag + ": other digest", body, 8, other, good));
    }
}

// ---- signatures of real rings ----

struct RingCheck {
    std::string sig, key, parent, signer;
    uint8_t parentTag = 0;
};

// Every signature of a ring whose issuer the ring holds, with what it covers.
std::vector<RingCheck> ringChecks(const std::string& ring) {
    std::vector<keypackets::Packet> packets = keypackets::split(ring);
    std::map<std::string, std::string> byKeyID;
    for (const keypackets::Packet& p : packets) {
        rfc4880::KeyInfo info;
        if ((p.tag == 6 || p.tag == 14) && rfc4880::parseKeyPacket(p.body, info))
            byKeyID[std::string(reinterpret_cast<const char*>(info.keyID), 8)] = p.body;
    }
    std::vector<RingCheck> out;
    RingCheck at;
    for (const keypackets::Packet& p : packets) {
        if (p.tag == 6) {
            at = RingCheck{};
            at.key = p.body;
        } else if (p.tag == 13 || p.tag == 14 || p.tag == 17) {
            at.parentTag = p.tag;
            at.parent = p.body;
        } else if (p.tag == 2) {
            rfc4880::SigInfo sig;
            if (!rfc4880::parseSignature(p.body, sig) || !sig.hasIssuer)
                continue;
            auto signer = byKeyID.find(std::string(reinterpret_cast<const char*>(sig.issuer), 8));
            if (signer == byKeyID.end())
                continue;
            RingCheck c = at;
            c.sig = p.body;
            c.signer = signer->second;
            out.push_back(std::move(c));
        }
    }
    return out;
}

// Every way verifies each signature, and a copy with one bit of its value changed by none.
void expectRingAgrees(const std::string& name, const std::vector<RingCheck>& checks,
                      size_t& verified) {
    for (const RingCheck& c : checks) {
        rfc4880::SigInfo sig;
        const std::vector<uint8_t> digest =
            zaf::signatureDigest(c.sig, c.key, c.parentTag, c.parent, sig);
        ASSERT_FALSE(digest.empty()) << name;
        ASSERT_EQ(digest[0], sig.left16[0]) << name;
        std::vector<std::string> values;
        for (const rfc4880::Mpi& m : sig.mpis)
            values.emplace_back(m.bytes);
        EXPECT_TRUE(verdict(name, c.signer, sig.hashAlg, digest, values));
        values.back() = flipBit(values.back(), values.back().size() * 4);
        EXPECT_FALSE(verdict(name + " (changed)", c.signer, sig.hashAlg, digest, values));
        ++verified;
    }
}

TEST(PublicVerify, WaysAgreeOnTheSignaturesOfTheFixtureKeys) {
    size_t verified = 0;
    for (const std::string& name : msgtest::fixtureKeyNames())
        expectRingAgrees(name, ringChecks(msgtest::fixture("keys/" + name + ".pub")), verified);
    EXPECT_EQ(8u, verified); // a self-signature and a subkey binding each
}

TEST(PublicVerify, WaysAgreeOnASampleOfTheCorpus) {
    const std::string path = kstest::benchPath("pubring-7k.pkr");
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "no 7k corpus at " << path;
    const std::string ring = kstest::readAll(path);
    // Keys 1-20 certify others; every 97th key besides, with the certifications among them.
    const std::vector<size_t> offsets = kstest::keyOffsets(ring);
    std::string sample = ring.substr(0, offsets[20]);
    for (size_t i = 20; i + 1 < offsets.size(); i += 97)
        sample += ring.substr(offsets[i], offsets[i + 1] - offsets[i]);
    const std::vector<RingCheck> checks = ringChecks(sample);
    size_t verified = 0, dsa = 0;
    for (const RingCheck& c : checks)
        dsa += uint8_t(c.signer[5]) == 17 ? 1 : 0;
    expectRingAgrees("corpus", checks, verified);
    EXPECT_GT(verified, 150u);
    EXPECT_GT(dsa, 30u);
}

TEST(PublicVerify, FixtureMessagesVerifyTheSameEitherWay) {
    std::istringstream manifest(msgtest::fixture("MANIFEST.tsv"));
    std::string line;
    size_t rows = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> f;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            f.push_back(cell);
        if (f.size() != 6 || f[1].rfind("verify", 0) != 0)
            continue;
        SCOPED_TRACE(f[0] + " " + f[1]);
        const std::string message = msgtest::fixture("msg/" + f[0]);
        std::string data;
        if (f[1].rfind("verify-detached", 0) == 0) {
            const std::string target = f[1].substr(16);
            data = msgtest::fixture(
                (std::filesystem::exists(msgtest::fixturePath("plain/" + target)) ? "plain/"
                                                                                  : "msg/") +
                target);
        }
        std::vector<std::pair<ZAFError, std::vector<int32_t>>> seen;
        for (VerifyWay way : {VerifyWay::Library, VerifyWay::Direct}) {
            zaf::setVerifyWay(way);
            zaf::clearCachedChecks();
            msgtest::Keys keys;
            msgtest::Params params(keys.ctx(), keys.db());
            msgtest::Decoded d =
                msgtest::decode(keys.ctx(), params, message, data.empty() ? nullptr : &data);
            std::vector<int32_t> statuses;
            for (const ZAFMessageSignature& s : d.signatures)
                statuses.push_back(s.status);
            seen.emplace_back(d.rc, statuses);
        }
        zaf::setVerifyWay(VerifyWay::Cheapest);
        ASSERT_EQ(1u, seen[0].second.size());
        EXPECT_EQ(f[3].find("good") == 0 ? kZAFSigStatus_Good : kZAFSigStatus_Bad,
                  seen[0].second[0]);
        EXPECT_EQ(seen[0], seen[1]);
        ++rows;
    }
    EXPECT_EQ(11u, rows);
}

} // namespace
