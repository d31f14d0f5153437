// message_hold: decrypted output held back until the message is known to be intact.
#ifndef ZAF_MESSAGE_HOLD_H
#define ZAF_MESSAGE_HOLD_H

#include "message_stream.h"

#include <botan/stream_cipher.h>

#include <memory>
#include <string>
#include <vector>

namespace zaf::msg {

// Keeps everything written to it until release() hands it on, or until it is destroyed (then it
// is wiped and dropped). The first `memoryBytes` stay in wiped memory; beyond them the bytes go
// to a private file in `folder` (mode 0600, never linked into the folder where the system allows
// it, otherwise removed as soon as it is open), encrypted with a key of this object's own, so
// that nothing readable reaches the disk even when the process dies. The file is overwritten
// with zeros before it is closed.
class HeldOutput final : public OutStream {
public:
    HeldOutput(std::string folder, size_t memoryBytes);
    ~HeldOutput() override;
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;

    // Throws Failure kZAFError_WriteFailed when the file cannot be made or written.
    void write(const uint8_t* data, size_t size) override;
    void finish() override {}
    // Writes everything held to `to`, in order, then wipes it. Throws Failure
    // (kZAFError_ReadFailed, or whatever `to` throws).
    void release(OutStream& to);
    uint64_t size() const { return m_memoryUsed + m_fileUsed; }
    // Whether the bytes outgrew memory (the file exists).
    bool spilled() const { return m_fd >= 0; }

private:
    void openFile();
    void wipe();

    std::string m_folder;
    size_t m_memoryBytes;
    std::vector<Buffer> m_chunks;
    size_t m_memoryUsed = 0;
    int m_fd = -1;
    uint64_t m_fileUsed = 0;
    std::unique_ptr<Botan::StreamCipher> m_cipher;
    Buffer m_scratch;
};

// The folder for held output: the context's temporary directory, else TMP, else TMPDIR, else
// "/tmp" (the order the class library reads them in).
std::string heldOutputFolder(const ZAFContext* context);

} // namespace zaf::msg

#endif
