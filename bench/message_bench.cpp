// Message throughput over a large file in tmpfs (encrypt, decrypt, sign, verify; RSA-2048
// recipient and signer, AES-256, SHA-256, no compression), the peak resident memory, a 10 MiB
// clearsign, and the raw Botan primitives the message layer is built on, measured in the same
// run so that the figures can be set side by side.
//
// ORX_MESSAGE_BENCH_MIB sets the file size (default 1024); ORX_MESSAGE_BENCH_DIR the folder
// (default /dev/shm).
#include <zaf/zaf.h>

#include <botan/block_cipher.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

struct Bench {
    ZAFContextRef ctx = nullptr;
    ZAFKeyDBRef db = nullptr;
    ZAFKeyDBObjRef key = nullptr;
    std::string dir;
    uint64_t size = 0;

    Bench() {
        const char* mib = std::getenv("ORX_MESSAGE_BENCH_MIB");
        size = uint64_t(mib ? std::atoi(mib) : 1024) << 20;
        const char* d = std::getenv("ORX_MESSAGE_BENCH_DIR");
        dir = d ? d : "/dev/shm";
        dir += "/orx-message-bench-" + std::to_string(::getpid());
        if (std::system(("mkdir -p " + dir).c_str()) != 0)
            std::abort();
        ZAFNewContext(&ctx);
        // The fixtures' RSA-2048 key with an RSA-2048 subkey, secret part unprotected.
        std::string keys = std::string(ORX_SOURCE_DIR) + "/tests/data/fixtures/messages/keys/";
        std::string bytes;
        for (const char* name : {"dave.pub", "dave.sec"}) {
            std::ifstream in(keys + name, std::ios::binary);
            bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        if (ZAFImport(ctx, &db, ZAFOInputBuffer(ctx, bytes.data(), bytes.size()),
                      ZAFOLastOption()) != 0)
            std::abort();
        ZAFKeyIterRef it = nullptr;
        ZAFNewKeyIterFromKeyDB(db, &it);
        ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &key);
        ZAFFreeKeyIter(it);
        writeRandom(path("plain"), size);
        std::ofstream text(path("text"), std::ios::binary);
        const std::string line =
            "A line of text for a cleartext signature, with trailing blanks  \n";
        for (size_t n = 0; n < (10u << 20); n += line.size())
            text << line;
    }
    ~Bench() {
        if (std::system(("rm -rf " + dir).c_str()) != 0)
            std::perror("rm");
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    static void writeRandom(const std::string& file, uint64_t bytes) {
        // Random-looking data from AES in counter mode, written in 4 MiB blocks.
        auto aes = Botan::BlockCipher::create("AES-128");
        aes->set_key(std::vector<uint8_t>(16, 0x42));
        std::vector<uint8_t> block(4u << 20);
        FILE* f = std::fopen(file.c_str(), "wb");
        for (uint64_t done = 0, counter = 0; done < bytes; done += block.size()) {
            for (size_t i = 0; i < block.size(); i += 16, ++counter)
                std::memcpy(&block[i], &counter, sizeof counter);
            aes->encrypt_n(block.data(), block.data(), block.size() / 16);
            size_t n = size_t(std::min<uint64_t>(block.size(), bytes - done));
            if (std::fwrite(block.data(), 1, n, f) != n)
                std::abort();
        }
        std::fclose(f);
    }

    // Runs an encode or decode from file `in` (with `data` for detached checks) to file `out`.
    ZAFError run(bool encode, ZAFMessageParamsRef params, const std::string& in,
                 const std::string& out, const std::string& data = "") const {
        ZAFFileSpecRef inSpec = nullptr, outSpec = nullptr, dataSpec = nullptr;
        ZAFMessageSourceRef src = nullptr, signedData = nullptr;
        ZAFMessageSinkRef sink = nullptr;
        ZAFNewFileSpecFromFullPath(ctx, path(in).c_str(), &inSpec);
        ZAFNewFileSpecFromFullPath(ctx, path(out).c_str(), &outSpec);
        ZAFNewMessageSourceFromFile(ctx, inSpec, &src);
        ZAFNewMessageSinkToFile(ctx, outSpec, 0600, &sink);
        if (!data.empty()) {
            ZAFNewFileSpecFromFullPath(ctx, path(data).c_str(), &dataSpec);
            ZAFNewMessageSourceFromFile(ctx, dataSpec, &signedData);
        }
        ZAFError rc = encode ? ZAFEncodeMessage(params, src, sink, nullptr)
                             : ZAFDecodeMessage(params, src, signedData, sink, nullptr);
        ZAFFreeMessageSink(sink);
        ZAFFreeMessageSource(src);
        if (signedData)
            ZAFFreeMessageSource(signedData);
        ZAFFreeFileSpec(inSpec);
        ZAFFreeFileSpec(outSpec);
        if (dataSpec)
            ZAFFreeFileSpec(dataSpec);
        return rc;
    }
};

Bench& bench() {
    static Bench b;
    return b;
}

// The process' peak resident memory since the last reset (VmHWM; writing 5 to clear_refs
// resets it), in MiB.
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }
double peakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Times one call three ways: wall clock; the calling thread's CPU time; and the CPU time of the
// rest of the process (the hasher's thread and the read-ahead's). On a shared, loaded machine
// the wall clock mostly measures the neighbours; the larger of the two CPU times is what the
// call takes when the calling thread has a core and the others share one.
struct Timing {
    double wall = 0, mainCpu = 0, otherCpu = 0, peak = 0;
    template <class F> void run(F&& f) {
        resetPeakRss();
        double p0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        double t0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        auto w0 = std::chrono::steady_clock::now();
        f();
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        mainCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        otherCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - p0 - mainCpu;
        peak = peakRssMiB();
    }
    void report(benchmark::State& state, uint64_t bytes) const {
        double mib = double(bytes) / double(1 << 20);
        state.counters["wall_MiB/s"] = mib / wall;
        state.counters["cpu_MiB/s"] = mib / std::max(mainCpu, otherCpu);
        state.counters["main_cpu_s"] = mainCpu;
        state.counters["hash_cpu_s"] = otherCpu;
        state.counters["peak_rss_MiB"] = peak;
    }
};

enum Op { kEncrypt, kDecrypt, kSign, kVerify, kSignOnePass, kVerifyOnePass };

void BM_Message(benchmark::State& state) {
    Bench& b = bench();
    Op op = Op(state.range(0));
    ZAFMessageParamsRef p = nullptr;
    ZAFNewMessageParams(b.ctx, b.db, &p);
    ZAFSetMessageOption(p, kZAFMessageOption_Cipher, 9);
    ZAFSetMessageOption(p, kZAFMessageOption_Hash, 8);
    // What decrypt and verify read is made once, outside the timing.
    if (op == kDecrypt || op == kVerify || op == kVerifyOnePass) {
        ZAFMessageParamsRef make = nullptr;
        ZAFNewMessageParams(b.ctx, b.db, &make);
        ZAFSetMessageOption(make, kZAFMessageOption_Cipher, 9);
        ZAFSetMessageOption(make, kZAFMessageOption_Hash, 8);
        if (op == kDecrypt)
            ZAFAddMessageRecipient(make, b.key);
        else
            ZAFAddMessageSigner(make, b.key);
        ZAFSetMessageOption(make, kZAFMessageOption_Detached, op == kVerify);
        if (b.run(true, make, "plain", "input") != 0)
            state.SkipWithError("making the input failed");
        ZAFFreeMessageParams(make);
    }
    if (op == kEncrypt)
        ZAFAddMessageRecipient(p, b.key);
    if (op == kSign || op == kSignOnePass)
        ZAFAddMessageSigner(p, b.key);
    ZAFSetMessageOption(p, kZAFMessageOption_Detached, op == kSign);
    Timing timing;
    for (auto _ : state) {
        ZAFError rc = 0;
        // Freeing the last run's output is not this run's work (orxcmd_bench.sh removes it too).
        state.PauseTiming();
        ::unlink(b.path("output").c_str());
        state.ResumeTiming();
        timing.run([&] {
            switch (op) {
            case kEncrypt:
            case kSign:
            case kSignOnePass:
                rc = b.run(true, p, "plain", "output");
                break;
            case kDecrypt:
            case kVerifyOnePass:
                rc = b.run(false, p, "input", "output");
                break;
            case kVerify:
                rc = b.run(false, p, "input", "output", "plain");
                break;
            }
        });
        if (rc != 0)
            state.SkipWithError("message call failed");
    }
    ZAFFreeMessageParams(p);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(b.size));
    timing.report(state, b.size);
}
BENCHMARK(BM_Message)
    ->ArgName("op")
    ->Arg(kEncrypt)
    ->Arg(kDecrypt)
    ->Arg(kSign)
    ->Arg(kVerify)
    ->Arg(kSignOnePass)
    ->Arg(kVerifyOnePass)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(false)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_MessageClearSign10MiB(benchmark::State& state) {
    Bench& b = bench();
    ZAFMessageParamsRef p = nullptr;
    ZAFNewMessageParams(b.ctx, b.db, &p);
    ZAFAddMessageSigner(p, b.key);
    ZAFSetMessageOption(p, kZAFMessageOption_ClearSign, 1);
    ZAFSetMessageOption(p, kZAFMessageOption_Hash, 8);
    Timing timing;
    for (auto _ : state)
        timing.run([&] {
            if (b.run(true, p, "text", "clear") != 0)
                state.SkipWithError("clearsign failed");
        });
    ZAFFreeMessageParams(p);
    timing.report(state, 10u << 20);
    state.SetBytesProcessed(int64_t(state.iterations()) * (10 << 20));
}
BENCHMARK(BM_MessageClearSign10MiB)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- raw primitives, 64 KiB buffers ----

constexpr size_t kRawBuffer = 64u << 10;

void BM_RawCFB(benchmark::State& state) {
    bool encrypt = state.range(0) != 0;
    auto mode =
        Botan::Cipher_Mode::create("AES-256/CFB", encrypt ? Botan::ENCRYPTION : Botan::DECRYPTION);
    mode->set_key(std::vector<uint8_t>(32, 1));
    mode->start(std::vector<uint8_t>(16, 2));
    std::vector<uint8_t> buf(kRawBuffer, 3);
    for (auto _ : state) {
        mode->process(buf.data(), buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRawBuffer));
}
BENCHMARK(BM_RawCFB)->ArgName("encrypt")->Arg(1)->Arg(0);

void BM_RawAES256Blocks(benchmark::State& state) {
    auto aes = Botan::BlockCipher::create("AES-256");
    aes->set_key(std::vector<uint8_t>(32, 1));
    std::vector<uint8_t> buf(kRawBuffer, 3);
    for (auto _ : state) {
        aes->encrypt_n(buf.data(), buf.data(), buf.size() / 16);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRawBuffer));
}
BENCHMARK(BM_RawAES256Blocks);

void BM_RawHash(benchmark::State& state) {
    auto h = Botan::HashFunction::create(state.range(0) == 1 ? "SHA-1" : "SHA-256");
    std::vector<uint8_t> buf(kRawBuffer, 3);
    for (auto _ : state)
        h->update(buf.data(), buf.size());
    benchmark::DoNotOptimize(h->final());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRawBuffer));
}
BENCHMARK(BM_RawHash)->ArgName("sha")->Arg(1)->Arg(256);

// CFB encryption with the MDC's SHA-1 over the same buffer, one after the other on one core.
void BM_RawCFBPlusSHA1(benchmark::State& state) {
    auto mode = Botan::Cipher_Mode::create("AES-256/CFB", Botan::ENCRYPTION);
    mode->set_key(std::vector<uint8_t>(32, 1));
    mode->start(std::vector<uint8_t>(16, 2));
    auto sha1 = Botan::HashFunction::create("SHA-1");
    std::vector<uint8_t> buf(kRawBuffer, 3);
    for (auto _ : state) {
        sha1->update(buf.data(), buf.size());
        mode->process(buf.data(), buf.size());
    }
    benchmark::DoNotOptimize(sha1->final());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRawBuffer));
}
BENCHMARK(BM_RawCFBPlusSHA1);

} // namespace
