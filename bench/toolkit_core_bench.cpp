// Throughput of the toolkit's hash, HMAC and AES counter-mode calls, with Botan's own AES-128 CTR
// and HMAC-SHA-1 alongside as the reference for what the C boundary costs.
#include <zaf/zaf.h>

#include <botan/cipher_mode.h>
#include <botan/mac.h>
#include <botan/stream_cipher.h>

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

ZAFContextRef benchContext() {
    static ZAFContextRef context = [] {
        ZAFContextRef made = nullptr;
        if (ZAFNewContext(&made) != kZAFError_NoErr)
            std::abort();
        return made;
    }();
    return context;
}

std::vector<uint8_t> payload(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

void BM_ZAFHash(benchmark::State& state) {
    const auto algorithm = static_cast<int32_t>(state.range(0));
    const auto data = payload(static_cast<size_t>(state.range(1)));
    ZAFHashContextRef hash = nullptr;
    ZAFNewHashContext(benchContext(), algorithm, &hash);
    uint8_t digest[kZAFHashMaxSize];
    for (auto _ : state) {
        ZAFContinueHash(hash, data.data(), data.size());
        ZAFFinalizeHash(hash, digest, sizeof digest);
        benchmark::DoNotOptimize(digest);
    }
    ZAFFreeHashContext(hash);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}
BENCHMARK(BM_ZAFHash)
    ->ArgNames({"alg", "bytes"})
    ->Args({kZAFHashAlgorithm_SHA1, 16384})
    ->Args({kZAFHashAlgorithm_SHA256, 16384})
    ->Args({kZAFHashAlgorithm_SHA512, 16384})
    ->Args({kZAFHashAlgorithm_SHA1, 64});

void BM_ZAFHMACSHA1(benchmark::State& state) {
    const auto data = payload(static_cast<size_t>(state.range(0)));
    const std::vector<uint8_t> key(16, 0x42);
    ZAFHMACContextRef mac = nullptr;
    ZAFNewHMACContext(benchContext(), kZAFHashAlgorithm_SHA1, key.data(), key.size(), &mac);
    uint8_t out[20];
    for (auto _ : state) {
        ZAFContinueHMAC(mac, data.data(), data.size());
        ZAFFinalizeHMAC(mac, out, sizeof out);
        benchmark::DoNotOptimize(out);
    }
    ZAFFreeHMACContext(mac);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ZAFHMACSHA1)->Arg(64)->Arg(16384);

// Counter mode as the secure channel builds it: make the counter blocks, encrypt them with one
// call, XOR the key stream in. `perBlock` makes one call per block instead, for comparison.
void runCounterMode(benchmark::State& state, bool perBlock) {
    const size_t size = static_cast<size_t>(state.range(0));
    const size_t blocks = (size + 15) / 16;
    auto data = payload(size);
    const std::vector<uint8_t> key(16, 0x17);
    ZAFSymmetricCipherContextRef cipher = nullptr;
    ZAFNewSymmetricCipherContext(benchContext(), kZAFCipherAlgorithm_AES128, &cipher);
    ZAFInitSymmetricCipher(cipher, key.data(), key.size());
    std::vector<uint8_t> counters(blocks * 16);
    std::vector<uint8_t> stream(blocks * 16);
    uint64_t counter = 0;
    for (auto _ : state) {
        for (size_t b = 0; b < blocks; ++b) {
            uint64_t value = counter++;
            for (int i = 15; i >= 8; --i, value >>= 8)
                counters[b * 16 + static_cast<size_t>(i)] = static_cast<uint8_t>(value);
        }
        if (perBlock) {
            for (size_t b = 0; b < blocks; ++b)
                ZAFSymmetricCipherEncrypt(cipher, &counters[b * 16], &stream[b * 16]);
        } else {
            ZAFSymmetricCipherEncryptBlocks(cipher, counters.data(), stream.data(), blocks);
        }
        for (size_t i = 0; i < size; ++i)
            data[i] ^= stream[i];
        benchmark::DoNotOptimize(data.data());
    }
    ZAFFreeSymmetricCipherContext(cipher);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ZAFAES128CTRManyBlocks(benchmark::State& state) { runCounterMode(state, false); }
BENCHMARK(BM_ZAFAES128CTRManyBlocks)->Arg(64)->Arg(16384);

void BM_ZAFAES128CTROneBlockPerCall(benchmark::State& state) { runCounterMode(state, true); }
BENCHMARK(BM_ZAFAES128CTROneBlockPerCall)->Arg(16384);

// One secure-channel record's worth of work: counter-mode encryption plus HMAC-SHA-1.
void BM_ZAFRecordCTRPlusHMAC(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const size_t blocks = (size + 15) / 16;
    auto data = payload(size);
    const std::vector<uint8_t> key(16, 0x17);
    ZAFSymmetricCipherContextRef cipher = nullptr;
    ZAFNewSymmetricCipherContext(benchContext(), kZAFCipherAlgorithm_AES128, &cipher);
    ZAFInitSymmetricCipher(cipher, key.data(), key.size());
    ZAFHMACContextRef mac = nullptr;
    ZAFNewHMACContext(benchContext(), kZAFHashAlgorithm_SHA1, key.data(), key.size(), &mac);
    std::vector<uint8_t> counters(blocks * 16, 0);
    std::vector<uint8_t> stream(blocks * 16);
    uint8_t tag[20];
    for (auto _ : state) {
        counters[15]++;
        ZAFSymmetricCipherEncryptBlocks(cipher, counters.data(), stream.data(), blocks);
        for (size_t i = 0; i < size; ++i)
            data[i] ^= stream[i];
        ZAFContinueHMAC(mac, data.data(), data.size());
        ZAFFinalizeHMAC(mac, tag, sizeof tag);
        benchmark::DoNotOptimize(tag);
    }
    ZAFFreeHMACContext(mac);
    ZAFFreeSymmetricCipherContext(cipher);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ZAFRecordCTRPlusHMAC)->Arg(16384);

void BM_BotanAES128CTRPlusHMACSHA1(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    auto data = payload(size);
    const std::vector<uint8_t> key(16, 0x17);
    const std::vector<uint8_t> iv(16, 0);
    auto ctr = Botan::StreamCipher::create_or_throw("CTR(AES-128)");
    ctr->set_key(key);
    ctr->set_iv(iv.data(), iv.size());
    auto mac = Botan::MessageAuthenticationCode::create_or_throw("HMAC(SHA-1)");
    mac->set_key(key);
    uint8_t tag[20];
    for (auto _ : state) {
        ctr->cipher1(data.data(), data.size());
        mac->update(data.data(), data.size());
        mac->final(tag);
        benchmark::DoNotOptimize(tag);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BotanAES128CTRPlusHMACSHA1)->Arg(16384);

void BM_BotanAES128CTR(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    auto data = payload(size);
    const std::vector<uint8_t> key(16, 0x17);
    const std::vector<uint8_t> iv(16, 0);
    auto ctr = Botan::StreamCipher::create_or_throw("CTR(AES-128)");
    ctr->set_key(key);
    ctr->set_iv(iv.data(), iv.size());
    for (auto _ : state) {
        ctr->cipher1(data.data(), data.size());
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_BotanAES128CTR)->Arg(16384);

} // namespace
