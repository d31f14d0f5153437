// keymodel_bench: the key model wrappers on the 7k bench rings: key look-up by ID, matching key
// sets, counting keys and a listing that reads every property a keys summary shows.
#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/throwable.h>

#include <benchmark/benchmark.h>
#include <memory>
#include <string>
#include <vector>

using namespace oozaf;

namespace {

std::string ringPath(const std::string& name) {
    return std::string(ORX_SHARED_DIR) + "/bench/" + name;
}

// The 7k rings opened read-only, and the short key IDs of a few keys spread over them.
struct SRings {
    std::unique_ptr<CZAFContext> context;
    std::unique_ptr<CZAFKeyDB> keyDB;
    std::vector<std::string> sampleIDs;
    std::string error;

    SRings() {
        try {
            context.reset(new CZAFContext());
            keyDB.reset(new CZAFKeyDB(*context, kZAFOpenKeyDBFileOptions_None,
                                      ringPath("pubring-7k.pkr"), ringPath("secring-7k.skr")));
            std::unique_ptr<CZAFIterator> iter(keyDB->getIterator());
            CZAFDatabaseObject* object = nullptr;
            for (unsigned int index = 0; iter->next(kZAFKeyDBObjType_Key, object) == 0; ++index) {
                std::unique_ptr<CZAFDatabaseObject> owned(object);
                if (index % 997 == 0)
                    sampleIDs.push_back(static_cast<CZAFKey*>(object)->getKeyIDString_Short());
            }
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            error = e->getDetailedMessage();
        }
    }
    ~SRings() {
        keyDB.reset();
        context.reset();
    }
};

SRings& rings() {
    static SRings r;
    return r;
}

bool ready(benchmark::State& state) {
    if (!rings().error.empty() || rings().sampleIDs.empty()) {
        state.SkipWithError(("cannot open the 7k rings: " + rings().error).c_str());
        return false;
    }
    return true;
}

// Whole walk over 7000 keys for keys spread from the first to the last.
void BM_KeyModel_GetKeyByID_7k(benchmark::State& state) {
    if (!ready(state))
        return;
    size_t next = 0;
    for (auto _ : state) {
        const std::string& id = rings().sampleIDs[next++ % rings().sampleIDs.size()];
        std::unique_ptr<CZAFKey> key(rings().keyDB->getKeyByID(id));
        benchmark::DoNotOptimize(key.get());
    }
}
BENCHMARK(BM_KeyModel_GetKeyByID_7k)->Unit(benchmark::kMillisecond);

void BM_KeyModel_MatchUserID_7k(benchmark::State& state) {
    if (!ready(state))
        return;
    for (auto _ : state) {
        std::unique_ptr<CZAFKeySet> set(
            rings().keyDB->getMatchingKeySet("Bench User 06999 ", 7, nullptr, nullptr));
        benchmark::DoNotOptimize(set.get());
    }
}
BENCHMARK(BM_KeyModel_MatchUserID_7k)->Unit(benchmark::kMillisecond);

void BM_KeyModel_MatchKeyID_7k(benchmark::State& state) {
    if (!ready(state))
        return;
    const std::string id = rings().sampleIDs.back();
    for (auto _ : state) {
        std::unique_ptr<CZAFKeySet> set(rings().keyDB->getMatchingKeySet(id, 7, nullptr, nullptr));
        benchmark::DoNotOptimize(set.get());
    }
}
BENCHMARK(BM_KeyModel_MatchKeyID_7k)->Unit(benchmark::kMillisecond);

// The empty pattern with both narrowing flags: every key passes every filter.
void BM_KeyModel_MatchAllUsable_7k(benchmark::State& state) {
    if (!ready(state))
        return;
    for (auto _ : state) {
        std::unique_ptr<CZAFKeySet> set(rings().keyDB->getMatchingKeySet("", 3, nullptr, nullptr));
        benchmark::DoNotOptimize(set.get());
    }
}
BENCHMARK(BM_KeyModel_MatchAllUsable_7k)->Unit(benchmark::kMillisecond);

void BM_KeyModel_CountKeys_7k(benchmark::State& state) {
    if (!ready(state))
        return;
    for (auto _ : state) {
        unsigned int keys = 0, pairs = 0;
        rings().keyDB->countKeys(keys, pairs);
        benchmark::DoNotOptimize(keys + pairs);
    }
}
BENCHMARK(BM_KeyModel_CountKeys_7k)->Unit(benchmark::kMillisecond);

// Every key with the properties, user IDs, signatures and subkeys a keys summary reads.
void BM_KeyModel_ListWithProperties_7k(benchmark::State& state) {
    if (!ready(state))
        return;
    for (auto _ : state) {
        size_t bytes = 0;
        std::unique_ptr<CZAFKeySet> set(rings().keyDB->getNewKeySet());
        std::unique_ptr<CZAFIterator> keys(set->getIterator());
        std::unique_ptr<CZAFIterator> inner(set->getIterator());
        CZAFDatabaseObject* object = nullptr;
        while (keys->next(kZAFKeyDBObjType_Key, object) == 0) {
            std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
            bytes += key->getKeyIDString_Short().size() + key->getKeyIDString_Long().size();
            bytes += size_t(key->getAlg()) + size_t(key->getSize()) + key->getTrust() +
                     size_t(key->getValidity()) + key->isDisabled() + key->isRevoked() +
                     key->isExpired() + key->isRevocable() + key->isSecret() +
                     key->isSecretShared() + key->hasUnverifiedRevocation();
            bytes += key->getCreationTime().getZAFTime() + key->getExpirationTime().getZAFTime();
            bytes += size_t(key->getCipher());
            std::vector<std::string> fingerprint;
            CZAFKey::formatFingerprint(key->getFingerprint(), eFingerprintViewHex, fingerprint);
            bytes += fingerprint.size();
            const std::string primary = key->getPrimaryUserIDName();
            inner->seek(key.get());
            CZAFDatabaseObject* child = nullptr;
            while (inner->next(kZAFKeyDBObjType_UserID, child) == 0) {
                std::unique_ptr<CZAFUserID> uid(static_cast<CZAFUserID*>(child));
                bytes +=
                    uid->getName().size() + size_t(uid->getType()) + (uid->getName() == primary);
                CZAFDatabaseObject* sig = nullptr;
                while (inner->next(kZAFKeyDBObjType_Signature, sig) == 0) {
                    std::unique_ptr<CZAFSignature> s(static_cast<CZAFSignature*>(sig));
                    bytes += s->getSignerID(false).size() + size_t(s->getAlg()) + s->isVerified() +
                             s->getCreationTime().getZAFTime();
                }
            }
            inner->seek(key.get());
            while (inner->next(kZAFKeyDBObjType_SubKey, child) == 0) {
                std::unique_ptr<CZAFSubKey> sub(static_cast<CZAFSubKey*>(child));
                bytes += sub->getSubkeyIDString_Short().size() + size_t(sub->getSize());
            }
            bytes += key->getRevokers().size() + key->getADKs().size();
        }
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_KeyModel_ListWithProperties_7k)->Unit(benchmark::kMillisecond);

} // namespace
