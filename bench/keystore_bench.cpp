// keystore_bench: opening, listing, trust calculation and import of the bench key rings.
#include "bench_support.h"
#include "keys/pubverify.h"
#include "keystore/keystore_internal.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>

namespace {

std::string ringPath(const std::string& name) {
    return std::string(ORX_SHARED_DIR) + "/bench/" + name;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Ctx {
    ZAFContextRef ctx = nullptr;
    Ctx() { ZAFNewContext(&ctx); }
    ~Ctx() { ZAFFreeContext(ctx); }
};

ZAFKeyDBRef openRings(ZAFContextRef ctx, const std::string& size, bool withSecret) {
    ZAFFileSpecRef pub = nullptr, sec = nullptr;
    ZAFNewFileSpecFromFullPath(ctx, ringPath("pubring-" + size + ".pkr").c_str(), &pub);
    if (withSecret)
        ZAFNewFileSpecFromFullPath(ctx, ringPath("secring-" + size + ".skr").c_str(), &sec);
    ZAFKeyDBRef db = nullptr;
    ZAFOpenKeyDBFile(ctx, kZAFOpenKeyDBFileOptions_None, pub, sec, &db);
    ZAFFreeFileSpec(pub);
    if (sec)
        ZAFFreeFileSpec(sec);
    return db;
}

// A copy of the rings written once by this store (so they hold its check results), in a
// temporary folder; null paths when the copy could not be made.
struct OwnRings {
    std::string dir, pub, sec;
    explicit OwnRings(const std::string& size) {
        char tmpl[] = "/tmp/keystore_benchXXXXXX";
        if (::mkdtemp(tmpl) == nullptr)
            return;
        dir = tmpl;
        pub = dir + "/pub.pkr";
        sec = dir + "/sec.skr";
        std::ofstream(pub, std::ios::binary) << readAll(ringPath("pubring-" + size + ".pkr"));
        std::ofstream(sec, std::ios::binary) << readAll(ringPath("secring-" + size + ".skr"));
        Ctx c;
        ZAFKeyDBRef db = open(c.ctx, kZAFOpenKeyDBFileOptions_Mutable);
        if (db == nullptr || ZAFSetKeyOwnerTrust(&db->keys[0]->objs[0], 6) != 0 ||
            ZAFFlushKeyDB(db) != 0)
            pub.clear();
        if (db)
            ZAFFreeKeyDB(db);
    }
    ~OwnRings() {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
    ZAFKeyDBRef open(ZAFContextRef ctx, uint32_t options = kZAFOpenKeyDBFileOptions_None) const {
        if (pub.empty())
            return nullptr;
        ZAFFileSpecRef p = nullptr, s = nullptr;
        ZAFNewFileSpecFromFullPath(ctx, pub.c_str(), &p);
        ZAFNewFileSpecFromFullPath(ctx, sec.c_str(), &s);
        ZAFKeyDBRef db = nullptr;
        ZAFOpenKeyDBFile(ctx, options, p, s, &db);
        ZAFFreeFileSpec(p);
        ZAFFreeFileSpec(s);
        return db;
    }
};

// Opening rings another program wrote: `fresh` verifies every self-signature that decides (the
// process-wide check cache emptied first), otherwise the cache of the first run answers.
void BM_OpenRings(benchmark::State& state, const char* size, bool fresh) {
    Ctx c;
    for (auto _ : state) {
        if (fresh) {
            state.PauseTiming();
            zaf::clearCachedChecks();
            state.ResumeTiming();
        }
        ZAFKeyDBRef db = openRings(c.ctx, size, true);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        ZAFFreeKeyDB(db);
    }
}

// First reads of the 7k rings another program wrote (the process's check cache emptied before
// each), the keys built (and their deciding self-signatures verified) by `threads` threads.
void firstReads(benchmark::State& state, unsigned threads) {
    Ctx c;
    zaf::setKeyBuildThreads(threads);
    for (auto _ : state) {
        state.PauseTiming();
        zaf::clearCachedChecks();
        state.ResumeTiming();
        ZAFKeyDBRef db = openRings(c.ctx, "7k", true);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        ZAFFreeKeyDB(db);
    }
    zaf::setKeyBuildThreads(0);
}

// The first read with 1, 2 or 4 threads.
void BM_OpenRingsThreads(benchmark::State& state) { firstReads(state, unsigned(state.range(0))); }

// The first read on one thread with every check computed one way: the crypto library's
// verifier, the RSA equation computed directly, or the way chosen per key.
void BM_OpenRingsByWay(benchmark::State& state, zaf::VerifyWay way) {
    zaf::setVerifyWay(way);
    firstReads(state, 1);
    zaf::setVerifyWay(zaf::VerifyWay::Cheapest);
}

// Opening rings another program wrote in a new process once an earlier one kept its check
// results beside them: the results come from that file (the process-wide cache emptied first).
void BM_OpenRingsWithCheckFile(benchmark::State& state, const char* size) {
    Ctx c;
    char tmpl[] = "/tmp/keystore_benchXXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string dir = tmpl;
    std::ofstream(dir + "/pub.pkr", std::ios::binary)
        << readAll(ringPath(std::string("pubring-") + size + ".pkr"));
    std::ofstream(dir + "/sec.skr", std::ios::binary)
        << readAll(ringPath(std::string("secring-") + size + ".skr"));
    auto open = [&] {
        ZAFFileSpecRef p = nullptr, s = nullptr;
        ZAFNewFileSpecFromFullPath(c.ctx, (dir + "/pub.pkr").c_str(), &p);
        ZAFNewFileSpecFromFullPath(c.ctx, (dir + "/sec.skr").c_str(), &s);
        ZAFKeyDBRef db = nullptr;
        ZAFOpenKeyDBFile(c.ctx, kZAFOpenKeyDBFileOptions_None, p, s, &db);
        ZAFFreeFileSpec(p);
        ZAFFreeFileSpec(s);
        return db;
    };
    if (ZAFKeyDBRef first = open())
        ZAFFreeKeyDB(first);
    const uint64_t before = zaf::verificationsMade();
    for (auto _ : state) {
        state.PauseTiming();
        zaf::clearCachedChecks();
        state.ResumeTiming();
        ZAFKeyDBRef db = open();
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        ZAFFreeKeyDB(db);
    }
    state.counters["verified"] = double(zaf::verificationsMade() - before);
    std::filesystem::remove_all(dir);
}

// Opening rings this store wrote: the check results come from the rings, nothing is verified.
void BM_OpenOwnRings(benchmark::State& state, const char* size) {
    Ctx c;
    OwnRings rings(size);
    for (auto _ : state) {
        state.PauseTiming();
        zaf::clearCachedChecks();
        state.ResumeTiming();
        ZAFKeyDBRef db = rings.open(c.ctx);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        ZAFFreeKeyDB(db);
    }
    state.counters["verified"] = double(zaf::cachedCheckCount());
}

// Reads what a keys summary shows of every key, user ID, signature and subkey.
void BM_ListKeys(benchmark::State& state, const char* size) {
    Ctx c;
    ZAFKeyDBRef db = openRings(c.ctx, size, true);
    if (db == nullptr) {
        state.SkipWithError("cannot open rings");
        return;
    }
    for (auto _ : state)
        listKeysSummary(db);
    ZAFFreeKeyDB(db);
}

// Public ring only, key 1 trusted implicitly and the other certifiers completely, so the whole
// web of certifications is checked. The first run checks signatures; a run over a changed
// database finds the checks cached; a run over an unchanged one keeps the last result.
enum class TrustRun { First, ChecksCached, Unchanged };

void BM_Trust(benchmark::State& state, const char* size, TrustRun run) {
    Ctx c;
    if (run == TrustRun::Unchanged) {
        ZAFKeyDBRef db = openRings(c.ctx, size, false);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            return;
        }
        for (size_t i = 0; i < 20; ++i)
            ZAFSetKeyOwnerTrust(&db->keys[i]->objs[0], i == 0 ? 7 : 6);
        ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
        for (auto _ : state)
            ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
        ZAFFreeKeyDB(db);
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        ZAFKeyDBRef db = openRings(c.ctx, size, false);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        for (size_t i = 0; i < 20; ++i)
            ZAFSetKeyOwnerTrust(&db->keys[i]->objs[0], i == 0 ? 7 : 6);
        zaf::clearCachedChecks();
        if (run == TrustRun::ChecksCached)
            ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
        db->generation++; // as after any change of a key
        state.ResumeTiming();
        ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
        state.PauseTiming();
        ZAFFreeKeyDB(db);
        state.ResumeTiming();
    }
}

void BM_Import(benchmark::State& state, const char* size) {
    Ctx c;
    std::string bytes = readAll(ringPath(std::string("pubring-") + size + ".pkr")) +
                        readAll(ringPath(std::string("secring-") + size + ".skr"));
    for (auto _ : state) {
        state.PauseTiming();
        zaf::clearCachedChecks(); // every signature verified, as for input never seen
        state.ResumeTiming();
        ZAFKeyDBRef in = nullptr, dest = nullptr;
        ZAFImport(c.ctx, &in, ZAFOInputBuffer(c.ctx, bytes.data(), bytes.size()), ZAFOLastOption());
        ZAFNewKeyDB(c.ctx, &dest);
        if (in == nullptr || dest == nullptr) {
            state.SkipWithError("import failed");
            break;
        }
        ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), dest, nullptr);
        ZAFFreeKeyDB(in);
        ZAFFreeKeyDB(dest);
    }
}

// Peak resident memory of the process with the 7k rings open (reported as a counter, in MiB).
void BM_PeakMemory7k(benchmark::State& state) {
    Ctx c;
    for (auto _ : state) {
        ZAFKeyDBRef db = openRings(c.ctx, "7k", true);
        if (db == nullptr) {
            state.SkipWithError("cannot open rings");
            break;
        }
        ZAFFreeKeyDB(db);
    }
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_MiB"] = double(ru.ru_maxrss) / 1024.0;
}

} // namespace

BENCHMARK(BM_PeakMemory7k)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRings, 1k_first, "1k", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRings, 7k_first, "7k", true)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRings, 1k_again, "1k", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRings, 7k_again, "7k", false)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenRingsThreads)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRingsByWay, library, zaf::VerifyWay::Library)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRingsByWay, direct, zaf::VerifyWay::Direct)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRingsByWay, chosen, zaf::VerifyWay::Cheapest)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRingsWithCheckFile, 1k, "1k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenRingsWithCheckFile, 7k, "7k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenOwnRings, 1k, "1k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenOwnRings, 7k, "7k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ListKeys, 1k, "1k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ListKeys, 7k, "7k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trust, 1k_first, "1k", TrustRun::First)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trust, 1k_cached, "1k", TrustRun::ChecksCached)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trust, 1k_unchanged, "1k", TrustRun::Unchanged)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Trust, 7k_first, "7k", TrustRun::First)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trust, 7k_cached, "7k", TrustRun::ChecksCached)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Trust, 7k_unchanged, "7k", TrustRun::Unchanged)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Import, 1k, "1k")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Import, 7k, "7k")->Iterations(1)->Unit(benchmark::kMillisecond);
