// Benchmarks of the secure socket: a whole handshake, record-layer throughput over a socket pair
// for 1 KiB and 64 KiB writes, and for comparison the toolkit's raw AES-128 counter mode plus
// HMAC-SHA-1 over the same sizes (the work one record costs its sender, without the socket).
// All are timed on the wall clock: the record benchmark has a sender and a receiver thread.
#include "../oozaf/src/secsocket_internal.h"

#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <zaf/zaf.h>

#include <benchmark/benchmark.h>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace oozaf;
namespace ss = oozaf::secsocket;

namespace {

class CBenchSocket final : public CZAFSecSocket {
public:
    using CZAFSecSocket::CZAFSecSocket;
    using CZAFSecSocket::keygen;
};

ZAFContextRef benchContext() {
    static ZAFContextRef ctx = [] {
        ZAFsdkInit(kZAFFlags_LocalMode);
        ZAFContextRef made = nullptr;
        ZAFNewContext(&made);
        return made;
    }();
    return ctx;
}

void makeSocketPair(int fds[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        std::abort();
    int room = 1 << 20;
    for (int i = 0; i < 2; ++i) {
        ::setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        ::setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
}

// The first RSA key of the small ring kept with the tests, for signed handshakes.
struct SSigningKey {
    ZAFContextRef context = nullptr;
    ZAFKeyDBRef ring = nullptr;
    ZAFKeyDBObjRef key = nullptr;
};

const SSigningKey& signingKey() {
    static SSigningKey fixed = [] {
        SSigningKey made;
        benchContext();
        ZAFNewContext(&made.context);
        std::string path(__FILE__);
        path = path.substr(0, path.find_last_of('/')) +
               "/../tests/data/secsocket/rsa-and-dsa-keys.skr";
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        if (!bytes.empty() && ZAFImport(made.context, &made.ring,
                                        ZAFOInputBuffer(made.context, bytes.data(), bytes.size()),
                                        ZAFOLastOption()) == 0) {
            ZAFKeyIterRef iter = nullptr;
            if (ZAFNewKeyIterFromKeyDB(made.ring, &iter) == 0) {
                ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_Key, &made.key);
                ZAFFreeKeyIter(iter);
            }
        }
        return made;
    }();
    return fixed;
}

// One handshake per iteration over a fresh socket pair; the server signs when `signed` is set
// and the client then verifies with the same ring.
void handshakes(benchmark::State& state, bool isSigned) {
    const SSigningKey& signer = signingKey();
    if (isSigned && signer.key == nullptr) {
        state.SkipWithError("the test key ring is missing");
        return;
    }
    ZAFContextRef clientContext = nullptr;
    ZAFNewContext(&clientContext);
    ZAFKeyDBRef clientRing = nullptr;
    if (isSigned) {
        ZAFKeySetRef all = ZAFPeekKeyDBRootKeySet(signer.ring);
        ZAFNewKeyDB(clientContext, &clientRing);
        ZAFCopyKeys(all, clientRing, nullptr);
    }
    for (auto _ : state) {
        int fds[2];
        makeSocketPair(fds);
        CZAFSecSocket server(fds[0]);
        CZAFSecSocket client(fds[1]);
        std::thread serverSide([&] {
            try {
                server.serverHandshake(nullptr, signer.context, nullptr,
                                       isSigned ? signer.key : nullptr, "");
            } catch (CZAFThrowable* e) {
                delete e;
            }
        });
        try {
            client.clientHandshake(nullptr, clientContext, clientRing, nullptr, "");
        } catch (CZAFThrowable* e) {
            state.SkipWithError(e->getMessage().c_str());
            delete e;
        }
        serverSide.join();
    }
    if (clientRing != nullptr)
        ZAFFreeKeyDB(clientRing);
    ZAFFreeContext(clientContext);
}

void BM_SecSocketHandshake(benchmark::State& state) { handshakes(state, false); }
BENCHMARK(BM_SecSocketHandshake)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SecSocketHandshakeServerSigns(benchmark::State& state) { handshakes(state, true); }
BENCHMARK(BM_SecSocketHandshakeServerSigns)->Unit(benchmark::kMillisecond)->UseRealTime();

const unsigned char kSecret[ss::kModulusLength] = {1};
const unsigned char kNonce[ss::kNonceLength] = {2};

// Writes of `size` bytes through a keyed pair while another thread reads them back: sealing,
// the socket copy and opening all count.
void BM_SecSocketRecordThroughput(benchmark::State& state) {
    const auto size = static_cast<unsigned int>(state.range(0));
    int fds[2];
    makeSocketPair(fds);
    CBenchSocket writer(fds[0]);
    CBenchSocket reader(fds[1]);
    writer.keygen(benchContext(), kSecret, sizeof kSecret, kNonce, kNonce, false);
    ZAFContextRef readerContext = nullptr;
    ZAFNewContext(&readerContext);
    reader.keygen(readerContext, kSecret, sizeof kSecret, kNonce, kNonce, true);
    std::thread drain([&] {
        std::vector<unsigned char> buffer(size);
        try {
            for (;;)
                reader.read(buffer.data(), size);
        } catch (CZAFThrowable* e) { // the writer's close ends the loop
            delete e;
        }
    });
    std::vector<unsigned char> data(size, 0x5a);
    for (auto _ : state)
        writer.writeAll(data.data(), size);
    writer.close();
    drain.join();
    ZAFFreeContext(readerContext);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_SecSocketRecordThroughput)->Arg(1024)->Arg(64 * 1024)->UseRealTime();

// The sending side alone: keyed writes of `size` bytes while another thread drains the socket
// with plain reads (no checking, no decryption); sealing, batching and the send count. This is
// what compares with the primitives below, which work on one side too.
void BM_SecSocketSealThroughput(benchmark::State& state) {
    const auto size = static_cast<unsigned int>(state.range(0));
    int fds[2];
    makeSocketPair(fds);
    CBenchSocket writer(fds[0]);
    writer.keygen(benchContext(), kSecret, sizeof kSecret, kNonce, kNonce, false);
    const int drainFd = fds[1];
    std::thread drain([drainFd] {
        std::vector<unsigned char> buffer(256 * 1024);
        while (::read(drainFd, buffer.data(), buffer.size()) > 0) {
        }
    });
    std::vector<unsigned char> data(size, 0x5a);
    for (auto _ : state)
        writer.writeAll(data.data(), size);
    writer.close();
    drain.join();
    ::close(drainFd);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_SecSocketSealThroughput)->Arg(1024)->Arg(64 * 1024)->UseRealTime();

// The toolkit's primitives alone: counter blocks, one multi-block AES-128 call, the XOR and an
// HMAC-SHA-1, for one buffer of `size` bytes.
void BM_ToolkitAes128CtrHmacSha1(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    ZAFContextRef ctx = benchContext();
    const unsigned char key[16] = {3};
    ZAFSymmetricCipherContextRef aes = nullptr;
    ZAFNewSymmetricCipherContext(ctx, kZAFCipherAlgorithm_AES128, &aes);
    ZAFInitSymmetricCipher(aes, key, sizeof key);
    ZAFHMACContextRef mac = nullptr;
    ZAFNewHMACContext(ctx, kZAFHashAlgorithm_SHA1, key, sizeof key, &mac);
    const size_t blocks = (size + 15) / 16;
    std::vector<unsigned char> counters(blocks * 16);
    std::vector<unsigned char> stream(blocks * 16);
    std::vector<unsigned char> data(size, 0x5a);
    unsigned char counter[16] = {0};
    unsigned char tag[20];
    for (auto _ : state) {
        for (size_t i = 0; i < blocks; ++i) {
            std::memcpy(counters.data() + 16 * i, counter, 16);
            for (int b = 15; b >= 0 && ++counter[b] == 0; --b) {
            }
        }
        ZAFSymmetricCipherEncryptBlocks(aes, counters.data(), stream.data(), blocks);
        for (size_t i = 0; i < size; ++i)
            data[i] ^= stream[i];
        ZAFResetHMAC(mac);
        ZAFContinueHMAC(mac, data.data(), size);
        ZAFFinalizeHMAC(mac, tag, sizeof tag);
        benchmark::DoNotOptimize(tag);
    }
    ZAFFreeSymmetricCipherContext(aes);
    ZAFFreeHMACContext(mac);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_ToolkitAes128CtrHmacSha1)->Arg(1024)->Arg(64 * 1024)->UseRealTime();

} // namespace
