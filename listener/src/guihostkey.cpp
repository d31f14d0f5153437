// guihostkey: making, reading and using the listener's host key.
#include <oozaf/util.h>
#include <vorngui/guihostkey.h>
#include <zaf/zafcontext.h>
#include <zaf/zafcrypto.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>
#include <zaf/zafrandom.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vorngui {

namespace {

[[noreturn]] void fail(const std::string& text) { throw new CGUIHostKeyException(text); }

void check(ZAFError rc, const char* what) {
    if (rc != kZAFError_NoErr)
        fail(std::string(what) + " failed (toolkit error " + std::to_string(rc) + ")");
}

// Owns a toolkit handle.
template <class T, ZAFError (*Free)(T)> struct SHandle {
    T handle = nullptr;
    ~SHandle() {
        if (handle != nullptr)
            Free(handle);
    }
};

struct SContext {
    ZAFContextRef handle = nullptr;
    SContext() { check(ZAFNewContext(&handle), "Creating a toolkit context"); }
    ~SContext() { ZAFFreeContext(handle); }
};

struct SData {
    void* data = nullptr;
    size_t size = 0;
    ~SData() {
        if (data != nullptr) {
            explicit_bzero(data, size);
            ZAFFreeData(data);
        }
    }
};

void checkPrivate(const std::string& path, bool folder) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        fail("cannot examine '" + path + "': " + std::strerror(errno));
    const bool rightType = folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
    if (!rightType || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)
        fail("'" + path + "' must be a " + (folder ? "folder" : "file") +
             " of the daemon's user that nobody else can use (mode 0700 or 0600)");
}

SHandle<ZAFKeyDBRef, ZAFFreeKeyDB> openRings(ZAFContextRef context, const std::string& folder,
                                             uint32_t options) {
    SHandle<ZAFFileSpecRef, ZAFFreeFileSpec> pub;
    SHandle<ZAFFileSpecRef, ZAFFreeFileSpec> sec;
    check(ZAFNewFileSpecFromFullPath(context, (folder + "/hostkey.pkr").c_str(), &pub.handle),
          "Naming the public ring");
    check(ZAFNewFileSpecFromFullPath(context, (folder + "/hostkey.skr").c_str(), &sec.handle),
          "Naming the secret ring");
    SHandle<ZAFKeyDBRef, ZAFFreeKeyDB> db;
    check(ZAFOpenKeyDBFile(context, options, pub.handle, sec.handle, &db.handle),
          "Opening the host key rings");
    return db;
}

std::string hostName() {
    char name[256] = {0};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

void generate(ZAFContextRef context, const std::string& folder) {
    const uint32_t options = kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create;
    SHandle<ZAFKeyDBRef, ZAFFreeKeyDB> db = openRings(context, folder, options);
    const std::string userID = "orxgui host key (" + hostName() + ")";
    ZAFKeyDBObjRef key = nullptr;
    check(ZAFGenerateKey(context, &key, ZAFOKeyDB(context, db.handle),
                         ZAFOKeyGenParams(context, kZAFPublicKeyAlgorithm_RSA, CGUIHostKey::kBits,
                                          kZAFKeyVersion_Default),
                         ZAFOUserID(context, userID.c_str()), ZAFOPassphrase(context, ""),
                         ZAFOLastOption()),
          "Generating the host key");
    check(ZAFFlushKeyDB(db.handle), "Saving the host key");
    for (const char* name : {"/hostkey.pkr", "/hostkey.skr"})
        ::chmod((folder + name).c_str(), 0600);
}

// The key set exported: the pair in binary form, or the public key armoured.
std::string exportKey(ZAFContextRef c, ZAFKeySetRef set, bool pair) {
    SData out;
    check(ZAFExport(c, ZAFOExportKeySet(c, set),
                    ZAFOAllocatedOutputBuffer(c, &out.data, 0, &out.size),
                    ZAFOExportPrivateKeys(c, pair ? 1 : 0), ZAFOArmorOutput(c, pair ? 0 : 1),
                    ZAFOLastOption()),
          pair ? "Exporting the host key" : "Exporting the host key's public part");
    return std::string(static_cast<const char*>(out.data), out.size);
}

} // namespace

std::string gFormatFingerprint(const unsigned char* bytes, std::size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0 && i % 2 == 0)
            out += ' ';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

std::unique_ptr<CGUIHostKey> CGUIHostKey::open(const std::string& folder) {
    std::unique_ptr<CGUIHostKey> hostKey(new CGUIHostKey());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        fail("cannot create the folder '" + folder + "': " + std::strerror(errno));
    checkPrivate(folder, true);
    SContext context;
    struct stat info {};
    if (::lstat((folder + "/hostkey.skr").c_str(), &info) != 0) {
        generate(context.handle, folder);
        hostKey->m_new = true;
    }
    checkPrivate(folder + "/hostkey.skr", false);
    SHandle<ZAFKeyDBRef, ZAFFreeKeyDB> db =
        openRings(context.handle, folder, kZAFOpenKeyDBFileOptions_None);
    SHandle<ZAFKeyIterRef, ZAFFreeKeyIter> iter;
    check(ZAFNewKeyIterFromKeyDB(db.handle, &iter.handle), "Reading the host key rings");
    ZAFKeyDBObjRef key = nullptr;
    for (;;) {
        ZAFKeyDBObjRef candidate = nullptr;
        if (ZAFKeyIterNextKeyDBObj(iter.handle, kZAFKeyDBObjType_Key, &candidate) !=
                kZAFError_NoErr ||
            candidate == nullptr)
            break;
        ZAFBoolean secret = 0;
        if (ZAFGetKeyDBObjBooleanProperty(candidate, kZAFKeyProperty_IsSecret, &secret) ==
                kZAFError_NoErr &&
            secret) {
            key = candidate;
            break;
        }
    }
    if (key == nullptr)
        fail("the rings in '" + folder + "' hold no key pair");
    ZAFKeyID id{};
    check(ZAFGetKeyID(key, &id), "Reading the host key's ID");
    std::memcpy(hostKey->m_keyID, id.bytes, sizeof hostKey->m_keyID);
    unsigned char fingerprint[32] = {0};
    size_t length = 0;
    check(ZAFGetKeyDBObjDataProperty(key, kZAFKeyProperty_Fingerprint, fingerprint,
                                     sizeof fingerprint, &length),
          "Reading the host key's fingerprint");
    hostKey->m_fingerprint = gFormatFingerprint(fingerprint, length);

    SHandle<ZAFKeySetRef, ZAFFreeKeySet> set;
    check(ZAFNewSingletonKeySet(key, &set.handle), "Selecting the host key");
    hostKey->m_secret = exportKey(context.handle, set.handle, true);
    hostKey->m_publicKey = exportKey(context.handle, set.handle, false);
    return hostKey;
}

CGUIHostKey::~CGUIHostKey() { oozaf::CZAFUtil::wipe(m_secret); }

std::vector<unsigned char> CGUIHostKey::sign(const unsigned char* digest,
                                             std::size_t length) const {
    SContext context;
    SHandle<ZAFKeyDBRef, ZAFFreeKeyDB> db;
    check(ZAFImport(context.handle, &db.handle,
                    ZAFOInputBuffer(context.handle, m_secret.data(), m_secret.size()),
                    ZAFOLastOption()),
          "Loading the host key");
    ZAFKeyID id{};
    check(ZAFNewKeyID(m_keyID, sizeof m_keyID, -1, &id), "Naming the host key");
    ZAFKeyDBObjRef key = nullptr;
    check(ZAFFindKeyByKeyID(db.handle, &id, &key), "Finding the host key");
    SHandle<ZAFPrivateKeyContextRef, ZAFFreePrivateKeyContext> privateKey;
    check(ZAFNewPrivateKeyContext(key, "", 0, &privateKey.handle), "Unlocking the host key");
    std::vector<unsigned char> signature(4096);
    size_t size = 0;
    check(ZAFPrivateKeySign(privateKey.handle, kZAFHashAlgorithm_SHA1, digest, length,
                            signature.data(), signature.size(), &size),
          "Signing with the host key");
    signature.resize(std::min(size, signature.size()));
    return signature;
}

} // namespace vorngui
