// Fuzz target for the secure socket's record layer: hostile bytes arrive on a socket pair and are
// read until the channel fails or the input ends. Only CZAFSecSocketException is expected; any
// other throwable, a crash or a broken invariant ends the run.
//
// Input: byte 0 selects the mode, byte 1 the read size, the rest is the data.
//   mode 0: the data is the raw stream into a keyed socket (framing, bounds, MAC checks);
//   mode 1: the data is the raw stream into an unkeyed socket (plain records);
//   mode 2: the data is a list of chunks (one length byte, then that many bytes), each the
//           decrypted content of one record as the receiver will see it; the harness encrypts it
//           with the right key stream and gives it a valid MAC and sequence number, so the
//           padding checks and the pending plaintext see input the fuzzer controls.
#include "../oozaf/src/secsocket_internal.h"
#include "fuzz_support.h"

#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <zaf/zaf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <vector>

using namespace oozaf;
namespace ss = oozaf::secsocket;

namespace {

const size_t kMaxInput = 64 * 1024;
const unsigned char kSecret[ss::kModulusLength] = {0x5c};
const unsigned char kClientNonce[ss::kNonceLength] = {0x11};
const unsigned char kServerNonce[ss::kNonceLength] = {0x22};

using orxfuzz::require;

class CFuzzSocket final : public CZAFSecSocket {
public:
    using CZAFSecSocket::CZAFSecSocket;
    using CZAFSecSocket::keygen;
};

ZAFContextRef context() {
    static ZAFContextRef ctx = [] {
        require(ZAFsdkInit(kZAFFlags_LocalMode) == 0);
        ZAFContextRef made = nullptr;
        require(ZAFNewContext(&made) == 0);
        return made;
    }();
    return ctx;
}

// Encrypts and authenticates record contents the way the client side would send them.
class CRecordSealer {
public:
    CRecordSealer() {
        ss::deriveKeyMaterial(context(), kSecret, sizeof kSecret, kClientNonce, kServerNonce,
                              m_keys);
        require(ZAFNewSymmetricCipherContext(context(), kZAFCipherAlgorithm_AES128, &m_aes) == 0);
        require(ZAFInitSymmetricCipher(m_aes, m_keys.rToIEncryptionKey, 16) == 0);
        require(ZAFNewHMACContext(context(), kZAFHashAlgorithm_SHA1, m_keys.rToIMacKey, 16,
                                  &m_mac) == 0);
        std::memcpy(m_counter, m_keys.rToIIV, 16);
    }
    ~CRecordSealer() {
        ZAFFreeSymmetricCipherContext(m_aes);
        ZAFFreeHMACContext(m_mac);
    }
    CRecordSealer(const CRecordSealer&) = delete;
    CRecordSealer& operator=(const CRecordSealer&) = delete;

    void seal(const uint8_t* content, size_t length, std::vector<uint8_t>& out) {
        const size_t start = out.size();
        const uint32_t payload = uint32_t(length + ss::kMACLength);
        out.push_back(ss::kTypeData);
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(uint8_t(payload >> shift));
        for (size_t i = 0; i < length; ++i)
            out.push_back(content[i] ^ nextStreamByte());
        uint8_t sequence[8];
        for (int i = 0; i < 8; ++i)
            sequence[i] = uint8_t(m_sequence >> (56 - 8 * i));
        ++m_sequence;
        uint8_t mac[ss::kMACLength];
        require(ZAFContinueHMAC(m_mac, out.data() + start, out.size() - start) == 0);
        require(ZAFContinueHMAC(m_mac, sequence, sizeof sequence) == 0);
        require(ZAFFinalizeHMAC(m_mac, mac, sizeof mac) == 0);
        out.insert(out.end(), mac, mac + sizeof mac);
    }

private:
    uint8_t nextStreamByte() {
        if (m_used == 16) {
            require(ZAFSymmetricCipherEncrypt(m_aes, m_counter, m_block) == 0);
            for (int i = 15; i >= 0 && ++m_counter[i] == 0; --i) {
            }
            m_used = 0;
        }
        return m_block[m_used++];
    }

    ss::SKeyMaterial m_keys;
    ZAFSymmetricCipherContextRef m_aes = nullptr;
    ZAFHMACContextRef m_mac = nullptr;
    uint8_t m_counter[16];
    uint8_t m_block[16];
    size_t m_used = 16;
    uint64_t m_sequence = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > kMaxInput)
        return 0;
    const unsigned mode = data[0] % 3;
    static const unsigned int kReadSizes[] = {1, 7, 16, 100, 4096};
    const unsigned int readSize = kReadSizes[data[1] % 5];
    data += 2;
    size -= 2;

    std::vector<uint8_t> stream;
    if (mode == 2) {
        CRecordSealer sealer;
        size_t pos = 0;
        while (pos < size) {
            const size_t length = std::min<size_t>(data[pos], size - pos - 1);
            sealer.seal(data + pos + 1, length, stream);
            pos += 1 + length;
        }
    } else {
        stream.assign(data, data + size);
    }

    int fds[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int room = 1 << 20;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    CFuzzSocket reader(fds[0]);
    CZAFSocket writer(fds[1]);
    if (mode != 1)
        reader.keygen(context(), kSecret, sizeof kSecret, kClientNonce, kServerNonce, true);
    for (size_t sent = 0; sent < stream.size();) {
        const ssize_t count = ::send(fds[1], stream.data() + sent, stream.size() - sent, 0);
        require(count > 0);
        sent += size_t(count);
    }
    writer.close();

    // Every read returns data or throws; the peer's close ends the loop at the latest.
    std::vector<uint8_t> buffer(readSize);
    size_t received = 0;
    try {
        for (;;) {
            const int count = reader.read(buffer.data(), readSize);
            require(count > 0 && unsigned(count) <= readSize);
            received += size_t(count);
            require(received <= stream.size());
        }
    } catch (CZAFSecSocketException* e) {
        delete e;
    }
    require(reader.hasFailed());
    return 0;
}
