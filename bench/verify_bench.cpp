// verify_bench: what one signature check costs each way (the crypto library's verifier, the
// equation computed directly, and the key store's choice), by algorithm and key size: the first
// check by a key (whatever the way sets up for it included) and a later check by the same key.
// DSA has one way, the library's.
#include "keys/pubverify.h"
#include "keystore/keystore_internal.h"
#include "signing_keys.h"

#include <botan/chacha_rng.h>

#include <benchmark/benchmark.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace signingkeys;
using zaf::VerifyWay;

// More keys than a thread keeps set up, so that taking them in turn makes every check a first.
constexpr size_t kKeys = 6;

struct Material {
    std::vector<std::string> bodies;
    std::vector<std::vector<std::string>> values; // one good signature per key
    uint8_t hashAlg = 0;
    std::vector<uint8_t> digest;
};

Botan::RandomNumberGenerator& rng() {
    static Botan::ChaCha_RNG r(Botan::secure_vector<uint8_t>(32, 0x42));
    return r;
}

const Material& rsaMaterial(size_t bits, uint32_t e) {
    static std::map<std::pair<size_t, uint32_t>, Material> made;
    Material& m = made[{bits, e}];
    if (m.bodies.empty()) {
        m.hashAlg = 10; // SHA-512, as the corpus's RSA keys sign
        m.digest = hashOf("SHA-512", "bench");
        const std::string t = digestInfo(zaf::rfc4880::digestInfoPrefix(10), m.digest);
        for (size_t i = 0; i < kKeys; ++i) {
            RsaKey key(rng(), bits, e);
            m.bodies.push_back(key.body);
            m.values.push_back({key.signEncoded(t)});
        }
    }
    return m;
}

const Material& dsaMaterial(size_t pBits, size_t qBits) {
    static std::map<std::pair<size_t, size_t>, Material> made;
    Material& m = made[{pBits, qBits}];
    if (m.bodies.empty()) {
        m.hashAlg = 8; // SHA-256, as the corpus's DSA keys sign
        m.digest = hashOf("SHA-256", "bench");
        const Botan::DL_Group group(rng(), Botan::DL_Group::Prime_Subgroup, pBits, qBits);
        for (size_t i = 0; i < kKeys; ++i) {
            DsaKey key(rng(), group);
            m.bodies.push_back(key.body);
            m.values.push_back(key.sign(m.digest));
        }
    }
    return m;
}

void BM_Check(benchmark::State& state, const Material* m, VerifyWay way, bool first) {
    std::vector<zaf::rfc4880::SigInfo> sigs(m->values.size());
    for (size_t k = 0; k < sigs.size(); ++k)
        for (const std::string& v : m->values[k])
            sigs[k].mpis.push_back({uint16_t(v.size() * 8), v});
    size_t k = 0;
    for (auto _ : state) {
        const bool ok = zaf::verifyWithKeyBy(way, m->bodies[k], m->hashAlg, m->digest.data(),
                                             m->digest.size(), sigs[k]);
        if (!ok) {
            state.SkipWithError("a good signature did not verify");
            break;
        }
        if (first)
            k = (k + 1) % sigs.size();
    }
}

const bool registered = [] {
    struct Kind {
        std::string name;
        const Material* (*make)();
    };
    const std::vector<Kind> kinds = {
        {"RSA-1024 e=3", [] { return &rsaMaterial(1024, 3); }},
        {"RSA-1024 e=65537", [] { return &rsaMaterial(1024, 65537); }},
        {"RSA-2048 e=3", [] { return &rsaMaterial(2048, 3); }},
        {"RSA-2048 e=17", [] { return &rsaMaterial(2048, 17); }},
        {"RSA-2048 e=65537", [] { return &rsaMaterial(2048, 65537); }},
        {"RSA-3072 e=65537", [] { return &rsaMaterial(3072, 65537); }},
        {"RSA-4096 e=3", [] { return &rsaMaterial(4096, 3); }},
        {"RSA-4096 e=65537", [] { return &rsaMaterial(4096, 65537); }},
        {"DSA-1024/160", [] { return &dsaMaterial(1024, 160); }},
        {"DSA-2048/224", [] { return &dsaMaterial(2048, 224); }},
        {"DSA-2048/256", [] { return &dsaMaterial(2048, 256); }},
        {"DSA-3072/256", [] { return &dsaMaterial(3072, 256); }},
    };
    const std::pair<const char*, VerifyWay> ways[] = {{"library", VerifyWay::Library},
                                                      {"direct", VerifyWay::Direct},
                                                      {"chosen", VerifyWay::Cheapest}};
    for (const Kind& kind : kinds)
        for (bool first : {true, false})
            for (const auto& [wayName, way] : ways) {
                const std::string name =
                    "BM_Check/" + kind.name + (first ? "/first/" : "/later/") + wayName;
                // Keys are made when the benchmark runs, so a filter makes only what it runs.
                benchmark::RegisterBenchmark(name.c_str(), [make = kind.make, way = way,
                                                            first](benchmark::State& state) {
                    BM_Check(state, make(), way, first);
                })->Unit(benchmark::kMicrosecond);
            }
    return true;
}();

} // namespace
