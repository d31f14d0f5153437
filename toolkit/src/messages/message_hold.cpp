// message_hold: holding decrypted output in memory, then in a private encrypted file, until the
// message proves intact.
#include "message_hold.h"

#include "crypto/crypto.h"
#include "keystore/keystore.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zaf::msg {

namespace {

void writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(kZAFError_WriteFailed);
        data += n;
        size -= size_t(n);
    }
}

} // namespace

std::string heldOutputFolder(const ZAFContext* context) {
    std::string folder = context ? envString(context, kZAFEnv_TempDirectory) : std::string();
    for (const char* name : {"TMP", "TMPDIR"}) {
        if (!folder.empty())
            break;
        const char* value = std::getenv(name);
        if (value != nullptr)
            folder = value;
    }
    return folder.empty() ? "/tmp" : folder;
}

HeldOutput::HeldOutput(std::string folder, size_t memoryBytes)
    : m_folder(std::move(folder)), m_memoryBytes(memoryBytes) {}

HeldOutput::~HeldOutput() { wipe(); }

void HeldOutput::openFile() {
    // An unnamed file where the file system has them: nobody can open it by name, and it goes
    // with its descriptor whatever happens to the process.
    int fd = ::open(m_folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string path = m_folder + "/zaftemp.$XXXXXX";
        fd = ::mkostemp(&path[0], O_CLOEXEC);
        if (fd < 0)
            fail(kZAFError_WriteFailed);
        ::unlink(path.c_str());
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        fail(kZAFError_WriteFailed);
    }
    m_fd = fd;
    m_cipher = Botan::StreamCipher::create_or_throw("CTR-BE(AES-256)");
    Secret key(32);
    poolRng().randomize(key.data(), key.size());
    m_cipher->set_key(key);
    static const uint8_t kIV[16] = {};
    m_cipher->set_iv(kIV, sizeof kIV);
    m_scratch = Buffer(kChunk);
}

void HeldOutput::write(const uint8_t* data, size_t size) {
    while (size > 0 && m_memoryUsed < m_memoryBytes) {
        size_t inChunk = m_memoryUsed % kChunk;
        if (inChunk == 0)
            m_chunks.emplace_back(kChunk);
        size_t take = std::min({size, kChunk - inChunk, m_memoryBytes - m_memoryUsed});
        std::memcpy(m_chunks.back().data() + inChunk, data, take);
        m_memoryUsed += take;
        data += take;
        size -= take;
    }
    if (size == 0)
        return;
    if (m_fd < 0)
        openFile();
    while (size > 0) {
        size_t take = std::min(size, m_scratch.size());
        m_cipher->cipher(data, m_scratch.data(), take);
        writeAll(m_fd, m_scratch.data(), take);
        m_fileUsed += take;
        data += take;
        size -= take;
    }
}

void HeldOutput::release(OutStream& to) {
    for (size_t i = 0, left = m_memoryUsed; left > 0; ++i) {
        size_t take = std::min(left, kChunk);
        to.write(m_chunks[i].data(), take);
        left -= take;
    }
    if (m_fd >= 0) {
        m_cipher->seek(0);
        uint64_t offset = 0;
        while (offset < m_fileUsed) {
            size_t want = size_t(std::min<uint64_t>(m_scratch.size(), m_fileUsed - offset));
            ssize_t n = ::pread(m_fd, m_scratch.data(), want, off_t(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail(kZAFError_ReadFailed);
            m_cipher->cipher1(m_scratch.data(), size_t(n));
            to.write(m_scratch.data(), size_t(n));
            offset += uint64_t(n);
        }
    }
    wipe();
}

void HeldOutput::wipe() {
    std::vector<Buffer>().swap(m_chunks);
    m_memoryUsed = 0;
    if (m_fd < 0)
        return;
    // Only cipher text ever reached the file, and its key goes with this object; the blocks are
    // still overwritten, so that not even that is left where the file was.
    Buffer zeros(std::min<uint64_t>(kChunk, std::max<uint64_t>(m_fileUsed, 1)));
    for (uint64_t offset = 0; offset < m_fileUsed;) {
        size_t take = size_t(std::min<uint64_t>(zeros.size(), m_fileUsed - offset));
        ssize_t n = ::pwrite(m_fd, zeros.data(), take, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        offset += uint64_t(n);
    }
    ::close(m_fd);
    m_fd = -1;
    m_fileUsed = 0;
    m_cipher.reset();
}

} // namespace zaf::msg
