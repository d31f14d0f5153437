// adminhostkey: known listeners and the cutting of key files.
#include "adminhostkey.h"

#include "adminrequests.h"
#include "adminxml.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vornadmin {

namespace {

constexpr std::size_t kMaxKnownHostsFile = 4u * 1024 * 1024;

std::string withoutBlanks(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ')
            out += c;
    return out;
}

std::string grouped(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        if (i != 0 && i % 4 == 0)
            out += ' ';
        out += hex[i];
    }
    return out;
}

// One packet's header at `at`: its tag and the offset after the whole packet. False when the
// bytes there are not a packet header this cutter accepts (partial lengths only belong to data
// packets, indeterminate ones to old compressed data: neither is part of a key).
bool nextPacket(const std::string& bytes, std::size_t at, int& tag, std::size_t& end) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (at >= bytes.size() || (byte(at) & 0x80) == 0)
        return false;
    const unsigned char first = byte(at);
    std::size_t length = 0;
    std::size_t header = 0;
    if ((first & 0x40) != 0) {
        tag = first & 0x3F;
        if (at + 1 >= bytes.size())
            return false;
        const unsigned char l0 = byte(at + 1);
        if (l0 < 192) {
            length = l0;
            header = 2;
        } else if (l0 < 224) {
            if (at + 2 >= bytes.size())
                return false;
            length = ((std::size_t(l0) - 192) << 8) + byte(at + 2) + 192;
            header = 3;
        } else if (l0 == 255) {
            if (at + 5 >= bytes.size())
                return false;
            length = (std::size_t(byte(at + 2)) << 24) | (std::size_t(byte(at + 3)) << 16) |
                     (std::size_t(byte(at + 4)) << 8) | byte(at + 5);
            header = 6;
        } else {
            return false;
        }
    } else {
        tag = (first >> 2) & 0x0F;
        const int type = first & 3;
        if (type == 3)
            return false;
        const std::size_t count = type == 0 ? 1 : type == 1 ? 2 : 4;
        if (at + count >= bytes.size())
            return false;
        for (std::size_t i = 0; i < count; ++i)
            length = (length << 8) | byte(at + 1 + i);
        header = 1 + count;
    }
    if (length > bytes.size() - at - header)
        return false;
    end = at + header + length;
    return true;
}

// The binary content of every armoured block in `text`, concatenated; false when a block is
// malformed.
bool dearmor(const std::string& text, std::string& out) {
    std::size_t at = 0;
    bool any = false;
    for (;;) {
        const std::size_t begin = text.find("-----BEGIN ", at);
        if (begin == std::string::npos)
            return any;
        const std::size_t headerEnd = text.find('\n', begin);
        if (headerEnd == std::string::npos)
            return false;
        // Armour headers ("Version: ...") end at the first empty line.
        std::size_t body = headerEnd + 1;
        for (;;) {
            const std::size_t lineEnd = text.find('\n', body);
            if (lineEnd == std::string::npos)
                return false;
            std::string line = text.substr(body, lineEnd - body);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find(':') == std::string::npos) {
                if (line.empty())
                    body = lineEnd + 1;
                break;
            }
            body = lineEnd + 1;
        }
        const std::size_t end = text.find("-----END ", body);
        if (end == std::string::npos)
            return false;
        std::string base64;
        std::istringstream lines(text.substr(body, end - body));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty() && line[0] == '=')
                break; // the checksum line
            base64 += line;
        }
        try {
            out += gDecodeBase64(base64);
        } catch (CAdminException* e) {
            delete e;
            return false;
        }
        any = true;
        at = end + 9;
    }
}

} // namespace

bool CKnownHosts::find(const std::string& listener, SHostKey& out) const {
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return false;
        throw new CAdminException("Cannot read the known listeners '" + m_path +
                                  "': " + std::strerror(errno));
    }
    std::string line;
    std::size_t total = 0;
    while (std::getline(in, line)) {
        total += line.size() + 1;
        if (total > kMaxKnownHostsFile)
            throw new CAdminException("The known listeners '" + m_path + "' exceed 4 MiB");
        std::istringstream fields(line);
        std::string name;
        std::string fingerprint;
        std::string key;
        if (!(fields >> name >> fingerprint >> key) || name != listener)
            continue;
        try {
            out.publicKey = gDecodeBase64(key);
        } catch (CAdminException* e) {
            delete e;
            continue;
        }
        out.listener = name;
        out.fingerprint = grouped(fingerprint);
        return true;
    }
    return false;
}

void CKnownHosts::add(const SHostKey& key) const {
    const std::size_t slash = m_path.rfind('/');
    if (slash != std::string::npos && slash != 0) {
        const std::string folder = m_path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            throw new CAdminException("Cannot create the folder '" + folder +
                                      "': " + std::strerror(errno));
    }
    const int fd =
        ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw new CAdminException("Cannot write the known listeners '" + m_path +
                                  "': " + std::strerror(errno));
    const std::string line = key.listener + " " + withoutBlanks(key.fingerprint) + " " +
                             gEncodeBase64(key.publicKey) + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (!written)
        throw new CAdminException("Cannot write the known listeners '" + m_path + "'");
}

std::string gDefaultKnownHostsFile() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    std::string home;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir != nullptr)
        home = found->pw_dir;
    if (home.empty())
        throw new CAdminException("Cannot find your home folder for the known listeners; name "
                                  "a file with --known-hosts");
    return home + "/.orxadmin/known_hosts";
}

ZAFKeyDBRef gLoadHostKey(ZAFContextRef context, const std::string& publicKey,
                         std::string& fingerprint) {
    ZAFKeyDBRef db = nullptr;
    if (ZAFImport(context, &db, ZAFOInputBuffer(context, publicKey.data(), publicKey.size()),
                  ZAFOLastOption()) != kZAFError_NoErr ||
        db == nullptr)
        throw new CAdminException("The listener's host key cannot be read");
    ZAFKeyIterRef iter = nullptr;
    ZAFKeyDBObjRef key = nullptr;
    if (ZAFNewKeyIterFromKeyDB(db, &iter) == kZAFError_NoErr) {
        ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_Key, &key);
        ZAFFreeKeyIter(iter);
    }
    unsigned char bytes[32] = {0};
    size_t length = 0;
    if (key == nullptr || ZAFGetKeyDBObjDataProperty(key, kZAFKeyProperty_Fingerprint, bytes,
                                                     sizeof bytes, &length) != kZAFError_NoErr) {
        ZAFFreeKeyDB(db);
        throw new CAdminException("The listener's host key holds no key");
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 15];
    }
    fingerprint = grouped(hex);
    return db;
}

std::vector<std::string> gSplitKeyFile(const std::string& bytes, std::size_t limit,
                                       std::vector<std::size_t>& keys) {
    keys.clear();
    std::string binary;
    const std::string* source = &bytes;
    // A file that starts with a packet header is binary, whatever its packets hold: a user ID
    // or a photo may well contain an armour header line, which must not be taken for the file.
    const bool packets = !bytes.empty() && (static_cast<unsigned char>(bytes[0]) & 0x80) != 0;
    if (!packets && bytes.find("-----BEGIN ") != std::string::npos) {
        if (!dearmor(bytes, binary) || binary.empty()) {
            keys.push_back(0);
            return {bytes};
        }
        source = &binary;
    }
    // Offsets where a key begins (a public or secret primary key packet).
    std::vector<std::size_t> starts;
    std::size_t at = 0;
    while (at < source->size()) {
        int tag = 0;
        std::size_t end = 0;
        if (!nextPacket(*source, at, tag, end)) {
            keys.assign(1, 0);
            return {bytes};
        }
        if (tag == 5 || tag == 6 || starts.empty())
            starts.push_back(at);
        at = end;
    }
    std::vector<std::string> pieces;
    std::size_t pieceStart = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t keyEnd = i + 1 < starts.size() ? starts[i + 1] : source->size();
        if (count != 0 && keyEnd - pieceStart > limit) {
            pieces.push_back(source->substr(pieceStart, starts[i] - pieceStart));
            keys.push_back(count);
            pieceStart = starts[i];
            count = 0;
        }
        ++count;
    }
    if (count != 0 || pieces.empty()) {
        pieces.push_back(source->substr(pieceStart));
        keys.push_back(count);
    }
    return pieces;
}

} // namespace vornadmin
