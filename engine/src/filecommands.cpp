// filecommands: files and signers around the message commands. Several input files in one run
// (--multi), the file name stored in the literal data (--force-filename, Discard-Paths) and
// restored on decrypting (--preserve-name: a base name only, never a hidden or special file,
// never over an existing file without --overwrite), input that is no message copied unchanged
// (--pass-through), decrypting and verifying that succeed only with a good signature by named
// keys (--signed-by) or by a valid key (--authenticate), and the message passphrase of
// --conventional-passphrase-fd.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace oozaf;

namespace orxengine {

namespace {

const size_t kPeek = 64 * 1024;              // bytes looked at to tell a message from other data
const size_t kHeldOutput = size_t(64) << 20; // standard output held back for signer checks

unsigned int byteAt(const std::string& d, size_t i) { return static_cast<unsigned char>(d[i]); }

// The first packet's tag and the offset of its body, or false when `head` starts with no packet
// header that a message may start with.
bool firstPacket(const std::string& head, unsigned int& tag, size_t& body) {
    if (head.empty() || (byteAt(head, 0) & 0x80) == 0)
        return false;
    const unsigned int first = byteAt(head, 0);
    if (first & 0x40) {
        tag = first & 0x3F;
        if (head.size() < 2)
            return false;
        const unsigned int o1 = byteAt(head, 1);
        body = o1 < 192 ? 2 : o1 < 224 ? 3 : o1 == 255 ? 6 : 2;
    } else {
        tag = (first >> 2) & 0x0F;
        const unsigned int type = first & 3;
        body = 1 + (type == 3 ? 0 : (size_t(1) << type));
    }
    return body < head.size();
}

} // namespace

bool gLooksLikeMessage(const std::string& head) {
    // Armour: a "-----BEGIN " line at the start of a line.
    for (size_t at = head.find("-----BEGIN "); at != std::string::npos;
         at = head.find("-----BEGIN ", at + 1))
        if (at == 0 || head[at - 1] == '\n')
            return true;
    unsigned int tag = 0;
    size_t body = 0;
    if (!firstPacket(head, tag, body))
        return false;
    const unsigned int v = byteAt(head, body);
    switch (tag) {
    case 1: // public-key encrypted session key
        return v == 3;
    case 2: // signature (a detached one, or an old-style signed message)
        return v == 3 || v == 4;
    case 3: // symmetric-key encrypted session key
        return v == 4;
    case 4: // one-pass signature
        return v == 3;
    case 8: // compressed data
        return v <= 3;
    case 9: // symmetrically encrypted data
        return true;
    case 10:                                               // marker
        return head.compare(body, 3, "\x50\x47\x50") == 0; // the marker's three fixed bytes
    case 11:                                               // literal data
        return v == 'b' || v == 't' || v == 'u' || v == '1';
    case 18: // integrity-protected encrypted data
        return v == 1;
    default:
        return false;
    }
}

bool gPassThrough(CEngineRun& run, const std::string& path) {
    if (!run.setting(eZAFOpPassThrough, false))
        return false;
    std::string head;
    int fd = -1;
    struct SCloser {
        int& fd;
        ~SCloser() {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{fd};
    char buffer[65536];
    if (path.empty()) {
        while (head.size() < kPeek) {
            const size_t n = run.readStdin(buffer, std::min(sizeof buffer, kPeek - head.size()));
            if (n == 0)
                break;
            head.append(buffer, n);
        }
    } else {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            fail(kZAFvorn_IO, "cannot read " + path + ": " + std::strerror(errno));
        for (;;) {
            const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kPeek - head.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(kZAFvorn_IO, "cannot read " + path + ": " + std::strerror(errno));
            if (n == 0 || (head.append(buffer, static_cast<size_t>(n)), head.size() >= kPeek))
                break;
        }
    }
    if (gLooksLikeMessage(head)) {
        if (path.empty())
            run.unreadStdin(head);
        return false;
    }
    // Not a message: the input goes to the output as it is.
    std::unique_ptr<COutput> output(run.openOutput(false));
    if (run.command().op == eZAFOpDecrypt && run.setting(eZAFOpPreserveFilename, false)) {
        if (path.empty())
            fail(kZAFvorn_BadData, "--preserve-name: standard input is no message and has no name");
        const std::string folder = run.outputFolder();
        const std::string base = path.substr(path.rfind('/') + 1);
        output->retarget(folder == "." ? base : folder + "/" + base,
                         run.setting(eZAFOpOverwrite, false));
    }
    output->write(head);
    for (;;) {
        run.checkCancel();
        size_t n = 0;
        if (path.empty()) {
            n = run.readStdin(buffer, sizeof buffer);
        } else {
            const ssize_t r = ::read(fd, buffer, sizeof buffer);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                fail(kZAFvorn_IO, "cannot read " + path + ": " + std::strerror(errno));
            n = static_cast<size_t>(r);
        }
        if (n == 0)
            break;
        output->write(buffer, n);
    }
    output->commit();
    run.note((path.empty() ? std::string("standard input") : path) +
             " is no message; passed through unchanged");
    return true;
}

std::string gLiteralName(CEngineRun& run, const std::string& path) {
    std::string name = run.cmd().has("--force-filename") ? run.cmd().arg("--force-filename") : path;
    if (run.setting(eZAFOpDiscardPaths, true)) {
        while (!name.empty() && name.back() == '/')
            name.pop_back();
        name = name.substr(name.rfind('/') + 1);
    }
    if (name.size() > 255)
        fail(kZAFvorn_Usage, "the file name to store has more than 255 bytes");
    return name;
}

bool gHoldsOutput(const CEngineRun& run) {
    return run.cmd().has("--signed-by") || run.setting(eZAFOpAuthenticate, false);
}

size_t gHeldOutputLimit() { return kHeldOutput; }

void gCheckSigners(CEngineRun& run, ZAFMessageResultRef result) {
    const bool authenticate = run.setting(eZAFOpAuthenticate, false);
    std::vector<std::string> wanted;
    if (const auto* names = run.cmd().getArgs("--signed-by"))
        wanted = *names;
    else if (run.cmd().has("--signed-by") || !run.setting(eZAFOpSignedBy, std::string()).empty())
        wanted.push_back(run.setting(eZAFOpSignedBy, std::string()));
    if (wanted.empty() && !authenticate)
        return;
    std::set<std::string> allowed; // fingerprints of the keys named
    std::string names;
    for (const std::string& name : wanted) {
        std::unique_ptr<CZAFKey> key = run.findKey(name);
        allowed.insert(key->getFingerprint());
        names += (names.empty() ? "" : ", ") + gKeyName(*key);
    }
    ZAFMessageInfo info{};
    if (ZAFGetMessageInfo(result, &info) != kZAFError_NoErr)
        fail(kZAFvorn_BadSignature, "the message's signatures cannot be read");
    for (uint32_t i = 0; i < info.signatureCount; ++i) {
        ZAFMessageSignature sig{};
        if (ZAFGetMessageSignature(result, i, &sig) != kZAFError_NoErr ||
            sig.status != kZAFSigStatus_Good || sig.key == nullptr)
            continue;
        CZAFKey signer(sig.key);
        if (!allowed.empty() && allowed.count(signer.getFingerprint()) == 0)
            continue;
        if (authenticate && sig.validity != oozaf::kZAFValidity_Complete)
            continue;
        return;
    }
    if (!allowed.empty())
        fail(kZAFvorn_BadSignature, "no good signature by " + names +
                                        (authenticate ? " (with a valid key)" : "") +
                                        "; the data is not released");
    fail(kZAFvorn_BadSignature,
         "--authenticate: no good signature by a valid key; the data is not released");
}

std::string gPreservedName(CEngineRun& run, ZAFMessageResultRef result) {
    ZAFMessageInfo info{};
    if (ZAFGetMessageInfo(result, &info) != kZAFError_NoErr || info.literalMode == 0)
        fail(kZAFvorn_BadData, "--preserve-name: the message holds no literal data");
    std::string name(reinterpret_cast<const char*>(info.literalName),
                     std::min<uint32_t>(info.literalNameLength, 255));
    // A base name only: whatever path the sender stored is dropped.
    name = name.substr(name.rfind('/') + 1);
    std::string why;
    if (name.empty())
        why = "it stores no file name";
    else if (name[0] == '.')
        why = "the stored name '" + name + "' would make a hidden file";
    for (unsigned char c : name)
        if (why.empty() && (c < 0x20 || c == 0x7F || c == '\\'))
            why = "the stored name holds a control character or a backslash";
    if (!why.empty())
        fail(kZAFvorn_BadData, "--preserve-name: " + why);
    const std::string folder = run.outputFolder();
    return folder == "." ? name : folder + "/" + name;
}

std::string CEngineRun::outputFolder() const {
    std::string folder = m_currentOutput.empty() ? m_cmd.arg("--output") : m_currentOutput;
    if (folder.empty())
        return ".";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

size_t CEngineRun::readStdin(char* buffer, size_t size) {
    if (!m_pushback.empty()) {
        const size_t n = std::min(size, m_pushback.size());
        std::memcpy(buffer, m_pushback.data(), n);
        m_pushback.erase(0, n);
        return n;
    }
    return m_io.readIn(buffer, size);
}

void CEngineRun::unreadStdin(const std::string& bytes) { m_pushback = bytes + m_pushback; }

void CEngineRun::readMessagePassphrase(const std::string& what, CSecret& secret) {
    const int fd = setting(eZAFOpConventionalPassphraseFD, -1);
    if (fd < 0) {
        readPassphrase(what, secret);
        return;
    }
    readSecretLine(fd, what, secret);
}

bool CEngineRun::asksMessagePassphraseTwice() const {
    return setting(eZAFOpPassphraseFD, -1) < 0 && setting(eZAFOpConventionalPassphraseFD, -1) < 0;
}

namespace {

// The output of one file of a --multi run, beside it or in the folder of --output.
std::string multiOutput(CEngineRun& run, const std::string& input, bool decoding) {
    std::string base = input.substr(input.rfind('/') + 1);
    std::string folder =
        run.cmd().arg("--output").empty()
            ? (input.rfind('/') == std::string::npos ? std::string(".")
                                                     : input.substr(0, input.rfind('/')))
            : run.cmd().arg("--output");
    if (decoding) {
        bool stripped = false;
        for (const char* ext : {".zaf", ".asc", ".gpg", ".sig"}) {
            const size_t n = std::strlen(ext);
            if (base.size() > n && base.compare(base.size() - n, n, ext) == 0) {
                base.erase(base.size() - n);
                stripped = true;
                break;
            }
        }
        if (!stripped)
            base += ".out";
    } else {
        base += run.cmd().has("--detached")                                          ? ".sig"
                : run.setting(eZAFOpArmor, false) || run.setting(eZAFOpClear, false) ? ".asc"
                                                                                     : ".zaf";
    }
    return folder + "/" + base;
}

} // namespace

std::vector<std::string> gMultiFiles(CEngineRun& run, std::vector<std::string> files) {
    if (const auto* more = run.cmd().getArgs("--multi"))
        files.insert(files.end(), more->begin(), more->end());
    return files;
}

void gRunMulti(CEngineRun& run, const std::vector<std::string>& files, bool decoding,
               bool verifying, const std::function<void()>& one) {
    if (files.empty())
        fail(kZAFvorn_Usage, "--multi needs the files to work on");
    if (!run.cmd().arg("--output").empty()) {
        struct stat st {};
        if (::stat(run.cmd().arg("--output").c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            fail(kZAFvorn_Usage, "--output with --multi names the folder of the outputs");
    }
    int32_t first = kZAFvorn_OK;
    unsigned int failed = 0;
    for (const std::string& file : files) {
        run.checkCancel();
        const std::string output = verifying && run.cmd().arg("--output").empty() ? std::string()
                                   : run.setting(eZAFOpPreserveFilename, false) && decoding
                                       ? run.cmd().arg("--output")
                                       : multiOutput(run, file, decoding);
        run.setCurrentFiles(file, output);
        try {
            one();
            if (!verifying)
                run.out(file + ": " + (output.empty() ? "done" : "written to " + run.lastOutput()) +
                        "\n");
        } catch (SEngineError& e) {
            ++failed;
            if (first == kZAFvorn_OK)
                first = e.code;
            run.io().writeErr(run.program() + ": " + file + ": " + e.message + "\n");
        } catch (CZAFThrowable* t) {
            const SEngineError e = gDescribeThrowable(t);
            ++failed;
            if (first == kZAFvorn_OK)
                first = e.code;
            run.io().writeErr(run.program() + ": " + file + ": " + e.message + "\n");
        }
        run.setCurrentFiles(std::string(), std::string());
    }
    if (failed > 0)
        fail(first,
             std::to_string(failed) + " of " + std::to_string(files.size()) + " files failed");
}

} // namespace orxengine
