// Fuzz target for the console's cutting of key files into import requests and for its known
// listeners file. The first byte chooses: even, the rest is a key file, whose pieces (with a
// small limit) must hold every byte of it in order, or be the file itself, with as many key
// counts as pieces; odd, the rest is a known-hosts file, read for one listener.
#include "../tests/support/zaf_temp_dir.h"
#include "fuzz_support.h"

#include <adminhostkey.h>
#include <adminxml.h>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

using namespace vornadmin;

namespace {

const std::size_t kMaxInput = 1 << 20;

using orxfuzz::require;

void split(const std::string& bytes) {
    std::vector<std::size_t> keys;
    const std::vector<std::string> pieces = gSplitKeyFile(bytes, 256, keys);
    require(!pieces.empty() && pieces.size() == keys.size());
    if (pieces.size() == 1 && pieces[0] == bytes)
        return;
    std::string joined;
    for (const std::string& piece : pieces) {
        require(!piece.empty());
        joined += piece;
    }
    // Binary input (it starts with a packet header, or holds no armour) comes back whole;
    // armoured input comes back as its decoded packets.
    const bool packets = (static_cast<unsigned char>(bytes[0]) & 0x80) != 0;
    if (packets || bytes.find("-----BEGIN ") == std::string::npos)
        require(joined == bytes);
}

void knownHosts(const std::string& text) {
    static ZafTempDir dir;
    const std::string path = dir.file("known_hosts");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    SHostKey found;
    try {
        if (CKnownHosts(path).find("127.0.0.1:1718", found))
            require(found.listener == "127.0.0.1:1718");
    } catch (CAdminException* e) {
        delete e;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxInput)
        return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        split(rest);
    else
        knownHosts(rest);
    return 0;
}
