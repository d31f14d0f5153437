// Key generation and editing: key pairs as the server makes them (RSA with an RSA subkey, DSA with
// an ElGamal subkey from a well-known or a fresh group), certification and revocation. Every key
// is protected with a passphrase, as users' keys are.
#include <zaf/zaf.h>

#include <benchmark/benchmark.h>
#include <vector>

namespace {

constexpr const char* kPass = "bench passphrase";

struct Store {
    Store() {
        ZAFNewContext(&ctx);
        ZAFNewKeyDB(ctx, &db);
    }
    ~Store() {
        ZAFFreeKeyDB(db);
        ZAFFreeContext(ctx);
    }
    ZAFKeyDBObjRef key(int32_t alg, uint32_t bits, const char* name) {
        ZAFKeyDBObjRef k = nullptr;
        if (ZAFGenerateKey(ctx, &k, ZAFOKeyDB(ctx, db), ZAFOKeyGenParams(ctx, alg, bits, 0),
                           ZAFOUserID(ctx, name), ZAFOPassphrase(ctx, kPass),
                           ZAFOLastOption()) != 0)
            return nullptr;
        return k;
    }
    bool subkey(ZAFKeyDBObjRef master, int32_t alg, uint32_t bits, bool fast) {
        ZAFKeyDBObjRef s = nullptr;
        return ZAFGenerateSubKey(ctx, &s, ZAFOMasterKey(ctx, master),
                                 ZAFOKeyGenParams(ctx, alg, bits, 0),
                                 ZAFOFastGeneration(ctx, fast ? 1 : 0), ZAFOPassphrase(ctx, kPass),
                                 ZAFOLastOption()) == 0;
    }
    ZAFContextRef ctx = nullptr;
    ZAFKeyDBRef db = nullptr;
};

void keyPair(benchmark::State& state, int32_t masterAlg, uint32_t masterBits, int32_t subAlg,
             uint32_t subBits, bool fast) {
    Store store;
    for (auto _ : state) {
        ZAFKeyDBObjRef k = store.key(masterAlg, masterBits, "Bench <bench@example.org>");
        if (k == nullptr || !store.subkey(k, subAlg, subBits, fast)) {
            state.SkipWithError("generation failed");
            break;
        }
    }
}

void BM_KeyPairRSA2048(benchmark::State& state) {
    keyPair(state, kZAFPublicKeyAlgorithm_RSA, 2048, kZAFPublicKeyAlgorithm_RSA, 2048, true);
}
BENCHMARK(BM_KeyPairRSA2048)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_KeyPairRSA4096(benchmark::State& state) {
    keyPair(state, kZAFPublicKeyAlgorithm_RSA, 4096, kZAFPublicKeyAlgorithm_RSA, 4096, true);
}
BENCHMARK(BM_KeyPairRSA4096)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_KeyPairDSA1024ElGamal2048Fast(benchmark::State& state) {
    keyPair(state, kZAFPublicKeyAlgorithm_DSA, 1024, kZAFPublicKeyAlgorithm_ElGamal, 2048, true);
}
BENCHMARK(BM_KeyPairDSA1024ElGamal2048Fast)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_KeyPairDSA1024ElGamal2048Fresh(benchmark::State& state) {
    keyPair(state, kZAFPublicKeyAlgorithm_DSA, 1024, kZAFPublicKeyAlgorithm_ElGamal, 2048, false);
}
BENCHMARK(BM_KeyPairDSA1024ElGamal2048Fresh)->Iterations(1)->Unit(benchmark::kMillisecond);

// Certifying a user ID with a trust signature: unlocking the signer, signing, rebuilding the key.
void BM_CertifyUserID(benchmark::State& state) {
    Store store;
    ZAFKeyDBObjRef signer = store.key(kZAFPublicKeyAlgorithm_RSA, 2048, "Signer");
    ZAFKeyDBObjRef target = store.key(kZAFPublicKeyAlgorithm_RSA, 2048, "Target");
    if (signer == nullptr || target == nullptr) {
        state.SkipWithError("generation failed");
        return;
    }
    ZAFKeyDBObjRef uid = nullptr;
    ZAFGetPrimaryUserID(target, &uid);
    for (auto _ : state) {
        if (ZAFCertifyUserID(uid, signer, ZAFOPassphrase(store.ctx, kPass),
                             ZAFOSignatureTrust(store.ctx, 1, kZAFKeyTrust_Complete),
                             ZAFOLastOption()) != 0) {
            state.SkipWithError("certification failed");
            break;
        }
    }
}
BENCHMARK(BM_CertifyUserID)->Iterations(3)->Unit(benchmark::kMillisecond);

// Revoking a key by itself; the keys are made beforehand, outside the timing.
void BM_RevokeKey(benchmark::State& state) {
    Store store;
    std::vector<ZAFKeyDBObjRef> keys;
    for (int i = 0; i < 3; ++i)
        keys.push_back(store.key(kZAFPublicKeyAlgorithm_RSA, 2048, "Revoked"));
    size_t next = 0;
    for (auto _ : state) {
        ZAFKeyDBObjRef k = next < keys.size() ? keys[next++] : nullptr;
        if (k == nullptr ||
            ZAFRevoke(k, nullptr, ZAFOPassphrase(store.ctx, kPass), ZAFOLastOption()) != 0) {
            state.SkipWithError("revocation failed");
            break;
        }
    }
}
BENCHMARK(BM_RevokeKey)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
