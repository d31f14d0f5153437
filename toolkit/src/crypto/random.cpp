// random: the process-wide random pool, entropy accounting, feature flags and algorithm list.
#include "api/api.h"
#include "random_internal.h"

#include <zaf/zafrandom.h>

#include <botan/hmac_drbg.h>
#include <botan/mac.h>
#include <botan/system_rng.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

namespace zaf {

namespace {

// The operating system's source is drawn on again after this many output bytes, so a long-lived
// process keeps folding in fresh randomness.
constexpr size_t kReseedAfterBytes = 1 << 20;
// One add_entropy call of at least this many bytes counts as a full (re)seed of the generator.
constexpr size_t kSeedBytes = 64;

bool systemSourceWorks() {
    try {
        std::array<uint8_t, 16> probe{};
        Botan::system_rng().randomize(probe.data(), probe.size());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool osSourceSwitchedOff() {
    const char* value = std::getenv("ORX_ZAF_NO_OS_RANDOM");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// What varies between processes and calls even without a random source: clocks, ids, a stack
// address. Only used to keep the generator running in the test mode without the OS source.
void fillWithCircumstance(uint8_t* out, size_t length) {
    std::memset(out, 0, length);
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
    const pid_t pid = getpid();
    const void* stackAddress = &now;
    size_t at = 0;
    auto put = [&](const void* p, size_t n) {
        for (size_t i = 0; i < n && at < length; ++i)
            out[at++] = static_cast<const uint8_t*>(p)[i];
    };
    put(&now, sizeof now);
    put(&wall, sizeof wall);
    put(&pid, sizeof pid);
    put(&stackAddress, sizeof stackAddress);
}

class Pool {
public:
    void randomize(uint8_t* out, size_t length) {
        std::lock_guard<std::mutex> hold(m_lock);
        ensureReadyLocked();
        if (m_osInUse && m_bytesSinceReseed >= kReseedAfterBytes)
            seedLocked();
        m_drbg->randomize(out, length);
        m_bytesSinceReseed += length;
    }

    void mix(const uint8_t* data, size_t length) {
        std::lock_guard<std::mutex> hold(m_lock);
        ensureReadyLocked();
        m_drbg->add_entropy(data, length);
        m_bytesMixed += length;
    }

    uint64_t bytesMixed() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bytesMixed;
    }

    void addKeystroke(int32_t keystroke) {
        std::array<uint8_t, 12> event{};
        const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
        std::memcpy(event.data(), &keystroke, sizeof keystroke);
        std::memcpy(event.data() + 4, &now, std::min(sizeof now, size_t{8}));
        std::lock_guard<std::mutex> hold(m_lock);
        ensureReadyLocked();
        m_drbg->add_entropy(event.data(), event.size());
        m_credited = std::min<size_t>(m_credited + 1, kZAFRandomPoolCapacity);
    }

    void reconfigure() {
        std::lock_guard<std::mutex> hold(m_lock);
        configureLocked();
    }

    bool osInUse() {
        std::lock_guard<std::mutex> hold(m_lock);
        ensureReadyLocked();
        return m_osInUse;
    }

    size_t available() {
        std::lock_guard<std::mutex> hold(m_lock);
        ensureReadyLocked();
        return m_osInUse ? size_t{kZAFRandomPoolCapacity} : m_credited;
    }

    bool consume(size_t bytes) {
        std::lock_guard<std::mutex> hold(m_lock);
        ensureReadyLocked();
        if (m_osInUse)
            return true;
        if (bytes > m_credited)
            return false;
        m_credited -= bytes;
        return true;
    }

private:
    void ensureReadyLocked() {
        if (!m_drbg)
            configureLocked();
        else if (m_pid != getpid())
            seedLocked(); // a forked child must not repeat its parent's output
    }

    void configureLocked() {
        if (!m_drbg)
            m_drbg = std::make_unique<Botan::HMAC_DRBG>(
                Botan::MessageAuthenticationCode::create_or_throw("HMAC(SHA-512)"));
        m_osInUse = !osSourceSwitchedOff() && systemSourceWorks();
        seedLocked();
    }

    void seedLocked() {
        std::array<uint8_t, kSeedBytes> seed{};
        if (m_osInUse)
            Botan::system_rng().randomize(seed.data(), seed.size());
        else
            fillWithCircumstance(seed.data(), seed.size());
        m_drbg->add_entropy(seed.data(), seed.size());
        Botan::secure_scrub_memory(seed.data(), seed.size());
        m_bytesSinceReseed = 0;
        m_pid = getpid();
    }

    std::mutex m_lock;
    std::unique_ptr<Botan::HMAC_DRBG> m_drbg;
    bool m_osInUse = false;
    size_t m_credited = 0;
    size_t m_bytesSinceReseed = 0;
    uint64_t m_bytesMixed = 0;
    pid_t m_pid = 0;
};

// Never destroyed: contexts freed by static destructors elsewhere still write their seed files.
Pool& pool() {
    static Pool* instance = new Pool;
    return *instance;
}

// The face of the pool that Botan's key generators take.
class PoolRng final : public Botan::RandomNumberGenerator {
public:
    void randomize(uint8_t output[], size_t length) override { pool().randomize(output, length); }
    bool accepts_input() const override { return true; }
    void add_entropy(const uint8_t input[], size_t length) override { pool().mix(input, length); }
    std::string name() const override { return "ZAF pool"; }
    void clear() override {}
    bool is_seeded() const override { return true; }
};

struct AlgorithmRow {
    int32_t algorithm;
    const char* shortName;
    const char* longName;
    bool canGenerate;
    bool canSign;
    bool canEncrypt;
    uint32_t minSize;
    uint32_t maxSize;
};

// What the key store can do with each algorithm: generation covers RSA, DSA 1024/160 with its
// ElGamal subkey; the elliptic-curve algorithms are read, listed and verified only.
const AlgorithmRow kAlgorithms[] = {
    {kZAFPublicKeyAlgorithm_RSA, "RSA", "ZAF RSA", true, true, true, 1024, 4096},
    {kZAFPublicKeyAlgorithm_DSA, "DSA", "ZAF DSA", true, true, false, 1024, 1024},
    {kZAFPublicKeyAlgorithm_ElGamal, "ElGamal", "ZAF ElGamal", true, false, true, 1024, 4096},
    {kZAFPublicKeyAlgorithm_ECDH, "ECDH", "ZAF ECDH", false, false, true, 256, 521},
    {kZAFPublicKeyAlgorithm_ECDSA, "ECDSA", "ZAF ECDSA", false, true, false, 256, 521},
    {kZAFPublicKeyAlgorithm_EdDSA, "EdDSA", "ZAF EdDSA (Ed25519)", false, true, false, 256, 256},
};

void copyText(char* out, size_t size, const char* text) {
    std::strncpy(out, text, size - 1);
    out[size - 1] = '\0';
}

} // namespace

Botan::RandomNumberGenerator& poolRng() {
    static PoolRng* instance = new PoolRng;
    return *instance;
}

void mixIntoPool(const uint8_t* data, size_t length) { pool().mix(data, length); }

uint64_t bytesMixedIntoPool() { return pool().bytesMixed(); }

void reconfigurePool() { pool().reconfigure(); }

bool osRandomInUse() { return pool().osInUse(); }

size_t entropyAvailable() { return pool().available(); }

bool consumeEntropy(size_t bytes) { return pool().consume(bytes); }

} // namespace zaf

extern "C" {

ZAFError ZAFContextGetRandomBytes(ZAFContextRef context, void* buffer, size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        if (length == 0)
            return kZAFError_NoErr;
        if (buffer == nullptr)
            return kZAFError_BadParams;
        zaf::pool().randomize(static_cast<uint8_t*>(buffer), length);
        return kZAFError_NoErr;
    });
}

int32_t ZAFContextReserveRandomBytes(ZAFContextRef context, uint32_t /*bytesWanted*/) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        return static_cast<int32_t>(zaf::entropyAvailable());
    });
}

ZAFError ZAFContextConsumeEntropy(ZAFContextRef context, uint32_t bytes) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        return zaf::consumeEntropy(bytes) ? kZAFError_NoErr : kZAFError_NotEnoughEntropy;
    });
}

ZAFError ZAFGlobalRandomPoolAddKeystroke(int32_t keystroke) {
    return zaf::guard([&]() -> ZAFError {
        zaf::pool().addKeystroke(keystroke);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetFeatureFlags(uint32_t selector, uint32_t* outFlags) {
    return zaf::guard([&]() -> ZAFError {
        if (outFlags == nullptr || selector != kZAFFeatureSelector_Basic)
            return kZAFError_BadParams;
        *outFlags = zaf::osRandomInUse() ? uint32_t{kZAFFeatureMask_OSRandom} : 0u;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFCountPublicKeyAlgorithms(uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = static_cast<uint32_t>(std::size(zaf::kAlgorithms));
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetIndexedPublicKeyAlgorithmInfo(uint32_t index, ZAFPublicKeyAlgorithmInfo* outInfo) {
    return zaf::guard([&]() -> ZAFError {
        if (outInfo == nullptr || index >= std::size(zaf::kAlgorithms))
            return kZAFError_BadParams;
        const zaf::AlgorithmRow& row = zaf::kAlgorithms[index];
        ZAFPublicKeyAlgorithmInfo info{};
        info.algorithm = row.algorithm;
        zaf::copyText(info.shortName, sizeof info.shortName, row.shortName);
        zaf::copyText(info.longName, sizeof info.longName, row.longName);
        zaf::copyText(info.notice, sizeof info.notice, "");
        info.canGenerate = row.canGenerate;
        info.canSign = row.canSign;
        info.canEncrypt = row.canEncrypt;
        info.minSize = row.minSize;
        info.maxSize = row.maxSize;
        *outInfo = info;
        return kZAFError_NoErr;
    });
}

} // extern "C"
