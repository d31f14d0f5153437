// Fuzz target for the server half of the secure handshake: the client's hello and signature
// messages come from the fuzzer. Only CZAFSecSocketException is expected; any other throwable, a
// crash or a keyed channel after a failure ends the run.
//
// Input: byte 0 holds flags, the rest is the client's side of the exchange.
//   bit 0: the server looks client keys up in a small key ring (RSA keys 1 and 2, DSA key 3 of
//          the bench rings; tests/data/secsocket/rsa-and-dsa-keys.skr);
//   bit 1: the server signs with RSA key 1, bit 2 (with bit 1): with DSA key 3 instead;
//   bit 3: the harness frames the messages: two length bytes, that many bytes of hello payload
//          (type 1), and the rest as the signature payload (type 3); otherwise the rest is the
//          raw stream.
// After a successful handshake the server reads one record, which must fail at the end of the
// input.
#include "fuzz_support.h"

#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <zaf/zaf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <vector>

using namespace oozaf;

namespace {

const size_t kMaxInput = 16 * 1024;

using orxfuzz::require;

struct SFixture {
    ZAFContextRef context = nullptr;
    ZAFKeyDBRef ring = nullptr;
    ZAFKeyDBObjRef rsaKey = nullptr;
    ZAFKeyDBObjRef dsaKey = nullptr;
};

const SFixture& fixture() {
    static SFixture fixed = [] {
        SFixture made;
        require(ZAFsdkInit(kZAFFlags_LocalMode) == 0);
        require(ZAFNewContext(&made.context) == 0);
        std::string path(__FILE__);
        path = path.substr(0, path.find_last_of('/')) +
               "/../tests/data/secsocket/rsa-and-dsa-keys.skr";
        std::ifstream in(path, std::ios::binary);
        const std::string ring((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (!ring.empty() && ZAFImport(made.context, &made.ring,
                                       ZAFOInputBuffer(made.context, ring.data(), ring.size()),
                                       ZAFOLastOption()) == 0) {
            ZAFKeyIterRef iter = nullptr;
            require(ZAFNewKeyIterFromKeyDB(made.ring, &iter) == 0);
            ZAFKeyDBObjRef key = nullptr;
            for (int i = 0; i < 3 && ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_Key, &key) == 0;
                 ++i) {
                if (i == 0)
                    made.rsaKey = key;
                if (i == 2)
                    made.dsaKey = key;
            }
            ZAFFreeKeyIter(iter);
        }
        return made;
    }();
    return fixed;
}

void appendFrame(std::vector<uint8_t>& out, uint8_t type, const uint8_t* payload, size_t length) {
    out.push_back(type);
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(length >> shift));
    out.insert(out.end(), payload, payload + length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxInput)
        return 0;
    const SFixture& fixed = fixture();
    const uint8_t flags = data[0];
    data += 1;
    size -= 1;

    std::vector<uint8_t> stream;
    if ((flags & 8) != 0 && size >= 2) {
        const size_t helloLength = std::min<size_t>((size_t(data[0]) << 8) | data[1], size - 2);
        appendFrame(stream, 1, data + 2, helloLength);
        appendFrame(stream, 3, data + 2 + helloLength, size - 2 - helloLength);
    } else {
        stream.assign(data, data + size);
    }

    int fds[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    CZAFSecSocket server(fds[0]);
    CZAFSocket client(fds[1]);
    server.setHandshakeTimeout(5000);
    for (size_t sent = 0; sent < stream.size();) {
        const ssize_t count = ::send(fds[1], stream.data() + sent, stream.size() - sent, 0);
        require(count > 0);
        sent += size_t(count);
    }
    // Only the write side is closed, so the server's reply still has room to go.
    ::shutdown(fds[1], SHUT_WR);

    ZAFKeyDBRef keyDB = (flags & 1) != 0 ? fixed.ring : nullptr;
    ZAFKeyDBObjRef ownKey = nullptr;
    if ((flags & 2) != 0)
        ownKey = (flags & 4) != 0 ? fixed.dsaKey : fixed.rsaKey;
    ZAFKeyDBObjRef remote = nullptr;
    try {
        server.serverHandshake(&remote, fixed.context, keyDB, ownKey, "");
        require(server.isKeyed());
        require(remote == nullptr || keyDB != nullptr);
        uint8_t buffer[64];
        server.read(buffer, sizeof buffer);
        std::abort(); // the input cannot hold a record sealed with this run's fresh keys
    } catch (CZAFSecSocketException* e) {
        delete e;
    }
    require(server.hasFailed());
    return 0;
}
