// message_api: the C interface of the message layer: sources, sinks, parameters, results and
// the encode and decode calls.
#include "api/api.h"
#include "keys/keys.h"
#include "message_cfb.h"
#include "message_internal.h"

#include <botan/mem_ops.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zaf;
using namespace zaf::msg;

// ---- sources and sinks ----

ZAFMessageSource::~ZAFMessageSource() {
    if (kind == Kind::File && fd >= 0)
        ::close(fd);
}

ByteView ZAFMessageSource::takeMemory() {
    if (spent)
        return ByteView();
    spent = true;
    return ByteView{memory, memorySize};
}

size_t ZAFMessageSource::read(uint8_t* out, size_t size) {
    if (spent || size == 0)
        return 0;
    if (kind == Kind::Callback) {
        size_t got = 0;
        ZAFError err = callback(userData, out, size, &got);
        if (err != kZAFError_NoErr)
            fail(err);
        if (got > size)
            fail(kZAFError_BadParams);
        if (got == 0)
            spent = true;
        return got;
    }
    for (;;) {
        ssize_t n = ::read(fd, out, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(kZAFError_ReadFailed);
        if (n == 0)
            spent = true;
        return size_t(n);
    }
}

ZAFMessageSink::~ZAFMessageSink() {
    if (!ended)
        end(false);
}

void ZAFMessageSink::write(const uint8_t* data, size_t size) {
    if (ended)
        fail(kZAFError_BadParams);
    switch (kind) {
    case Kind::Buffer:
        if (maxSize != 0 && size > maxSize - buffer.size())
            fail(kZAFError_BufferTooSmall);
        buffer.insert(buffer.end(), data, data + size);
        return;
    case Kind::Callback: {
        ZAFError err = writeFn(userData, data, size);
        if (err != kZAFError_NoErr)
            fail(err);
        return;
    }
    case Kind::FD:
    case Kind::File:
        while (size > 0) {
            ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail(kZAFError_WriteFailed);
            data += n;
            size -= size_t(n);
        }
        return;
    }
}

ZAFError ZAFMessageSink::end(bool commit) {
    if (ended)
        return kZAFError_NoErr;
    ended = true;
    switch (kind) {
    case Kind::FD:
        return kZAFError_NoErr;
    case Kind::Buffer:
        committed = commit;
        if (!commit)
            Secret().swap(buffer);
        return kZAFError_NoErr;
    case Kind::Callback:
        if (endFn == nullptr)
            return kZAFError_NoErr;
        return commit ? endFn(userData, 1) : (endFn(userData, 0), kZAFError_NoErr);
    case Kind::File: {
        bool ok = commit && ::fsync(fd) == 0;
        if (::close(fd) != 0)
            ok = false;
        fd = -1;
        if (ok && ::rename(tempPath.c_str(), target.c_str()) == 0) {
            size_t slash = target.rfind('/');
            std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
            int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (d >= 0) {
                ::fsync(d);
                ::close(d);
            }
            return kZAFError_NoErr;
        }
        ::unlink(tempPath.c_str());
        return commit ? kZAFError_WriteFailed : kZAFError_NoErr;
    }
    }
    return kZAFError_NoErr;
}

void ZAFMessageResult::clear() {
    info = ZAFMessageInfo();
    info.compression = -1;
    signatures.clear();
    recipients.clear();
    warnings.clear();
}

namespace zaf::msg {

bool isValidSource(const ZAFMessageSource* s) { return isRegistered(s, HandleKind::MessageSource); }
bool isValidSink(const ZAFMessageSink* s) { return isRegistered(s, HandleKind::MessageSink); }
bool isValidParams(const ZAFMessageParams* p) { return isRegistered(p, HandleKind::MessageParams); }
bool isValidResult(const ZAFMessageResult* r) { return isRegistered(r, HandleKind::MessageResult); }

ZAFKeyID keyIDOf(const uint8_t id[8], int32_t algorithm) {
    ZAFKeyID k;
    std::memset(&k, 0, sizeof k);
    std::memcpy(k.bytes, id, 8);
    k.length = 8;
    k.algorithm = algorithm;
    return k;
}

bool askPassphrase(const ZAFMessageParams& params, const ZAFPassphraseRequest& request,
                   bool hasPreset, const Secret& preset, Secret& out) {
    if (request.attempt == 1 && hasPreset) {
        out = preset;
        return true;
    }
    if (params.passphraseFn == nullptr)
        return false;
    Secret buffer(kZAFMaxPassphraseLength);
    size_t length = 0;
    ZAFError err =
        params.passphraseFn(params.passphraseUser, &request, reinterpret_cast<char*>(buffer.data()),
                            buffer.size(), &length);
    if (err != kZAFError_NoErr || length > buffer.size())
        return false;
    out.assign(buffer.begin(), buffer.begin() + long(length));
    return true;
}

namespace {

bool boolProperty(const ZAFKeyDBObj& o, int32_t property) {
    ZAFBoolean v = 0;
    ZAFGetKeyDBObjBooleanProperty(const_cast<ZAFKeyDBObj*>(&o), property, &v);
    return v != 0;
}

} // namespace

uint32_t encryptionObject(const Key& key, uint32_t object) {
    const ZAFKeyDBObj& primary = key.objs[0];
    if (boolProperty(primary, kZAFKeyProperty_IsRevoked))
        fail(kZAFError_KeyRevoked);
    if (boolProperty(primary, kZAFKeyProperty_IsExpired))
        fail(kZAFError_KeyExpired);
    // Which subkeys may receive is the key model's rule: a verified binding granting
    // encryption, neither revoked nor expired. Subkeys without a verified binding are not in
    // the object list at all.
    const std::vector<uint32_t> usable = encryptionSubkeys(key);
    auto why = [&](const ZAFKeyDBObj& o) -> ZAFError {
        if (!rfc4880::canAlgEncrypt(o.algorithm) || (o.usage & kUsageEncrypt) == 0)
            return kZAFError_KeyCannotEncrypt;
        if (boolProperty(o, kZAFSubKeyProperty_IsRevoked))
            return kZAFError_KeyRevoked;
        if (boolProperty(o, kZAFSubKeyProperty_IsExpired))
            return kZAFError_KeyExpired;
        return kZAFError_KeyCannotEncrypt;
    };
    if (object != 0) {
        if (std::find(usable.begin(), usable.end(), object) == usable.end())
            fail(why(key.objs[object]));
        return object;
    }
    // The newest usable encryption subkey.
    int32_t best = -1;
    for (uint32_t i : usable)
        if (best < 0 || key.objs[i].created >= key.objs[size_t(best)].created)
            best = int32_t(i);
    if (best >= 0)
        return uint32_t(best);
    // The primary key receives only when it is meant to: a legacy key, or a key without
    // subkeys.
    if (primaryEncrypts(key))
        return 0;
    // The state of the newest subkey meant for encryption explains the refusal.
    int32_t newest = -1;
    for (const ZAFKeyDBObj& o : key.objs)
        if (o.type == kZAFKeyDBObjType_SubKey && (o.usage & kUsageEncrypt) != 0 &&
            rfc4880::canAlgEncrypt(o.algorithm) &&
            (newest < 0 || o.created >= key.objs[size_t(newest)].created))
            newest = int32_t(o.index);
    fail(newest >= 0 ? why(key.objs[size_t(newest)]) : kZAFError_KeyCannotEncrypt);
}

} // namespace zaf::msg

// ---- the C interface ----

namespace {

template <class T> bool release(T* handle, HandleKind kind) {
    if (!unregisterHandle(handle, kind))
        return false;
    delete handle;
    return true;
}

template <class T> ZAFError adopt(std::unique_ptr<T> object, HandleKind kind, T** out) {
    registerHandle(object.get(), kind);
    *out = object.release();
    return kZAFError_NoErr;
}

// Runs a call, turning failures into codes.
template <class F> ZAFError run(F&& body) {
    return guard([&]() -> ZAFError {
        try {
            return body();
        } catch (const Failure& f) {
            return f.code();
        } catch (const Botan::Exception&) {
            return kZAFError_CorruptData;
        }
    });
}

// Makes a handle of the context: `fill` sets it up (and may refuse with a code).
template <class T, class F>
ZAFError make(ZAFContextRef context, HandleKind kind, T** out, F&& fill) {
    if (!isValidCtx(context))
        return kZAFError_InvalidHandle;
    if (out == nullptr)
        return kZAFError_BadParams;
    return run([&]() -> ZAFError {
        auto made = std::make_unique<T>();
        ZAFError err = fill(*made);
        return err != kZAFError_NoErr ? err : adopt(std::move(made), kind, out);
    });
}

// Runs `body` on the database's current version of the key `obj` belongs to and the index of
// `obj` in it.
template <class F> ZAFError onKey(ZAFMessageParamsRef params, ZAFKeyDBObjRef obj, F&& body);

ZAFError setSecret(ZAFMessageParamsRef params, const char* text, size_t length, bool& has,
                   Secret& out) {
    if (!isValidParams(params))
        return kZAFError_InvalidHandle;
    if ((text == nullptr && length != 0) || length > kZAFMaxPassphraseLength)
        return kZAFError_BadParams;
    return run([&]() -> ZAFError {
        out.assign(text, text + length);
        has = text != nullptr;
        return kZAFError_NoErr;
    });
}

// The database's current version of the key `obj` belongs to, and the index of `obj` in it.
ZAFError currentObject(ZAFMessageParamsRef params, ZAFKeyDBObjRef obj, KeyPtr& key,
                       uint32_t& index) {
    if (!isValidObj(obj))
        return kZAFError_InvalidHandle;
    if (obj->type != kZAFKeyDBObjType_Key && obj->type != kZAFKeyDBObjType_SubKey)
        return kZAFError_BadParams;
    if (params->keyDB == nullptr || obj->key->owner != params->keyDB)
        return kZAFError_BadParams;
    key = edit::currentKey(obj);
    if (!key)
        return kZAFError_ItemNotFound;
    int32_t i = edit::matchObject(*key, *obj);
    if (i < 0)
        return kZAFError_ItemNotFound;
    index = uint32_t(i);
    return kZAFError_NoErr;
}

template <class F> ZAFError onKey(ZAFMessageParamsRef params, ZAFKeyDBObjRef obj, F&& body) {
    if (!isValidParams(params))
        return kZAFError_InvalidHandle;
    return run([&]() -> ZAFError {
        KeyPtr key;
        uint32_t index = 0;
        ZAFError err = currentObject(params, obj, key, index);
        return err != kZAFError_NoErr ? err : body(key, index);
    });
}

ZAFError addRecipientKey(ZAFMessageParamsRef params, const KeyPtr& key, uint32_t object,
                         uint32_t flags = kZAFRecipient_Named) {
    uint32_t enc = encryptionObject(*key, object);
    for (auto& r : params->recipients)
        if (r.key->fingerprintKey() == key->fingerprintKey() && r.object == enc) {
            r.flags |= flags;
            return kZAFError_NoErr;
        }
    if (params->recipients.size() >= kZAFMessageMaxRecipients)
        return kZAFError_TooLarge;
    params->recipients.push_back({key, enc, flags});
    return kZAFError_NoErr;
}

template <class T> ZAFError indexed(const std::vector<T>& list, uint32_t index, T* out) {
    if (out == nullptr)
        return kZAFError_BadParams;
    if (index >= list.size())
        return kZAFError_ItemNotFound;
    *out = list[index];
    return kZAFError_NoErr;
}

// The object that signs when a key is named as a whole: the newest valid signing subkey whose
// secret part is held, or the primary key when its key flags let it sign and nothing newer
// may; a subkey wins a tie. kZAFError_KeyCannotSign when nothing may sign,
// kZAFError_NoSecretKey when what may sign is held without its secret part.
ZAFError signingObject(const Key& key, uint32_t& out) {
    int32_t best = -1;
    bool withoutSecret = false;
    for (uint32_t i : signingSubkeys(key)) {
        if (secretPacketBody(key, key.objs[i]).empty()) {
            withoutSecret = true;
            continue;
        }
        if (best < 0 || key.objs[i].created >= key.objs[size_t(best)].created)
            best = int32_t(i);
    }
    if (primarySigns(key)) {
        if (secretPacketBody(key, key.objs[0]).empty())
            withoutSecret = true;
        else if (best < 0 || key.objs[0].created > key.objs[size_t(best)].created)
            best = 0;
    }
    if (best < 0)
        return withoutSecret ? ZAFError(kZAFError_NoSecretKey) : ZAFError(kZAFError_KeyCannotSign);
    out = uint32_t(best);
    return kZAFError_NoErr;
}

bool containsIgnoringCase(std::string_view hay, std::string_view needle) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (needle.size() > hay.size())
        return false;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t j = 0;
        while (j < needle.size() && lower(hay[i + j]) == lower(needle[j]))
            ++j;
        if (j == needle.size())
            return true;
    }
    return false;
}

} // namespace

extern "C" {

ZAFError ZAFNewMessageSourceFromFD(ZAFContextRef context, int fd, ZAFMessageSourceRef* out) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageSource, out, [&](ZAFMessageSource& s) -> ZAFError {
            if (fd < 0)
                return kZAFError_BadParams;
            s.context = context;
            s.kind = ZAFMessageSource::Kind::FD;
            s.fd = fd;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFNewMessageSourceFromFile(ZAFContextRef context, ZAFFileSpecRef file,
                                     ZAFMessageSourceRef* out) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidFileSpec(file))
            return kZAFError_InvalidHandle;
        return make(context, HandleKind::MessageSource, out, [&](ZAFMessageSource& s) -> ZAFError {
            int fd = ::open(file->path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return errno == ENOENT   ? kZAFError_FileNotFound
                       : errno == EACCES ? kZAFError_FilePermissions
                                         : kZAFError_FileOpenFailed;
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            s.context = context;
            s.kind = ZAFMessageSource::Kind::File;
            s.fd = fd;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFNewMessageSourceFromBuffer(ZAFContextRef context, const void* data, size_t size,
                                       ZAFMessageSourceRef* out) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageSource, out, [&](ZAFMessageSource& s) -> ZAFError {
            if (data == nullptr && size != 0)
                return kZAFError_BadParams;
            s.context = context;
            s.kind = ZAFMessageSource::Kind::Memory;
            s.memory = static_cast<const uint8_t*>(data);
            s.memorySize = size;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFNewMessageSourceFromCallback(ZAFContextRef context, ZAFMessageReadFunc read,
                                         void* userData, ZAFMessageSourceRef* out) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageSource, out, [&](ZAFMessageSource& s) -> ZAFError {
            if (read == nullptr)
                return kZAFError_BadParams;
            s.context = context;
            s.kind = ZAFMessageSource::Kind::Callback;
            s.callback = read;
            s.userData = userData;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFSetMessageSourceReadAhead(ZAFMessageSourceRef source, ZAFBoolean readAhead) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSource(source))
            return kZAFError_InvalidHandle;
        if (source->kind != ZAFMessageSource::Kind::Callback)
            return kZAFError_BadParams;
        source->readAhead = readAhead != 0;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeMessageSource(ZAFMessageSourceRef source) {
    return zaf::guard([&]() -> ZAFError {
        return release(source, HandleKind::MessageSource) ? kZAFError_NoErr
                                                          : kZAFError_InvalidHandle;
    });
}

ZAFError ZAFNewMessageSinkToFD(ZAFContextRef context, int fd, ZAFMessageSinkRef* out) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageSink, out, [&](ZAFMessageSink& s) -> ZAFError {
            if (fd < 0)
                return kZAFError_BadParams;
            s.context = context;
            s.kind = ZAFMessageSink::Kind::FD;
            s.fd = fd;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFNewMessageSinkToFile(ZAFContextRef context, ZAFFileSpecRef file, uint32_t mode,
                                 ZAFMessageSinkRef* out) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidFileSpec(file))
            return kZAFError_InvalidHandle;
        return make(context, HandleKind::MessageSink, out, [&](ZAFMessageSink& s) -> ZAFError {
            s.ended = true; // nothing to remove until the temporary file exists
            if (mode > 07777)
                return kZAFError_BadParams;
            s.context = context;
            s.kind = ZAFMessageSink::Kind::File;
            s.target = file->path;
            s.tempPath = file->path + ".tmpXXXXXX";
            int fd = ::mkostemp(&s.tempPath[0], O_CLOEXEC);
            if (fd < 0)
                return errno == EACCES ? kZAFError_FilePermissions : kZAFError_FileOpenFailed;
            s.fd = fd;
            s.ended = false;
            if (::fchmod(fd, mode_t(mode)) != 0) {
                s.end(false);
                return kZAFError_FilePermissions;
            }
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFNewMessageSinkToBuffer(ZAFContextRef context, size_t maxSize, ZAFMessageSinkRef* out) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageSink, out, [&](ZAFMessageSink& s) -> ZAFError {
            s.context = context;
            s.kind = ZAFMessageSink::Kind::Buffer;
            s.maxSize = maxSize;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFGetMessageSinkData(ZAFMessageSinkRef sink, const void** outData, size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSink(sink))
            return kZAFError_InvalidHandle;
        if (outData == nullptr || outSize == nullptr || sink->kind != ZAFMessageSink::Kind::Buffer)
            return kZAFError_BadParams;
        if (!sink->committed)
            return kZAFError_ItemNotFound;
        *outData = sink->buffer.data();
        *outSize = sink->buffer.size();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewMessageSinkFromCallback(ZAFContextRef context, ZAFMessageWriteFunc write,
                                       ZAFMessageEndFunc end, void* userData,
                                       ZAFMessageSinkRef* out) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageSink, out, [&](ZAFMessageSink& s) -> ZAFError {
            if (write == nullptr)
                return kZAFError_BadParams;
            s.context = context;
            s.kind = ZAFMessageSink::Kind::Callback;
            s.writeFn = write;
            s.endFn = end;
            s.userData = userData;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFSetMessageSinkCommitOnly(ZAFMessageSinkRef sink, ZAFBoolean commitOnly) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSink(sink))
            return kZAFError_InvalidHandle;
        if (sink->kind != ZAFMessageSink::Kind::Callback)
            return kZAFError_BadParams;
        sink->commitOnly = commitOnly != 0;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeMessageSink(ZAFMessageSinkRef sink) {
    return zaf::guard([&]() -> ZAFError {
        return release(sink, HandleKind::MessageSink) ? kZAFError_NoErr : kZAFError_InvalidHandle;
    });
}

ZAFError ZAFNewMessageParams(ZAFContextRef context, ZAFKeyDBRef keyDB,
                             ZAFMessageParamsRef* outParams) {
    return zaf::guard([&]() -> ZAFError {
        if (keyDB != nullptr && !isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        return make(context, HandleKind::MessageParams, outParams, [&](ZAFMessageParams& p) {
            p.context = context;
            p.keyDB = keyDB;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFFreeMessageParams(ZAFMessageParamsRef params) {
    return zaf::guard([&]() -> ZAFError {
        return release(params, HandleKind::MessageParams) ? kZAFError_NoErr
                                                          : kZAFError_InvalidHandle;
    });
}

ZAFError ZAFSetMessageOption(ZAFMessageParamsRef params, int32_t option, int32_t value) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        auto flag = [&](int32_t& field) {
            if (value != 0 && value != 1)
                return kZAFError_BadParams;
            field = value;
            return kZAFError_NoErr;
        };
        switch (option) {
        case kZAFMessageOption_Armor:
            return flag(params->armor);
        case kZAFMessageOption_Cipher:
            if (value != 0 && (value < 0 || value > 255 || cipherKeyLength(uint8_t(value)) == 0))
                return kZAFError_UnsupportedCipher;
            params->cipher = value;
            return kZAFError_NoErr;
        case kZAFMessageOption_Hash:
            if (value != 0 &&
                (value < 0 || value > 255 || rfc4880::hashName(uint8_t(value)) == nullptr))
                return kZAFError_UnsupportedAlg;
            params->hash = value;
            return kZAFError_NoErr;
        case kZAFMessageOption_Compression:
            if (value != 0 && value != 2)
                return kZAFError_UnsupportedAlg;
            params->compression = value;
            return kZAFError_NoErr;
        case kZAFMessageOption_CompressLevel:
            if (value < 1 || value > 9)
                return kZAFError_BadParams;
            params->compressLevel = value;
            return kZAFError_NoErr;
        case kZAFMessageOption_Detached:
            return flag(params->detached);
        case kZAFMessageOption_ClearSign:
            return flag(params->clearSign);
        case kZAFMessageOption_EncryptToSelf:
            return flag(params->encryptToSelf);
        case kZAFMessageOption_EnforceADK:
            return flag(params->enforceADK);
        case kZAFMessageOption_WarnADK:
            return flag(params->warnADK);
        case kZAFMessageOption_RequestedADKs:
            return flag(params->requestedADKs);
        case kZAFMessageOption_AllowMissingMDC:
            return flag(params->allowMissingMDC);
        case kZAFMessageOption_MaxExpansion:
            if (value < 0)
                return kZAFError_BadParams;
            params->maxExpansion = value;
            return kZAFError_NoErr;
        case kZAFMessageOption_ExpansionFloorKiB:
            if (value < 0)
                return kZAFError_BadParams;
            params->expansionFloorKiB = value;
            return kZAFError_NoErr;
        case kZAFMessageOption_PassphraseAttempts:
            if (value < 1 || value > 10)
                return kZAFError_BadParams;
            params->passphraseAttempts = uint32_t(value);
            return kZAFError_NoErr;
        case kZAFMessageOption_TextSignature:
            return flag(params->textSignature);
        case kZAFMessageOption_StreamUnverified:
            return flag(params->streamUnverified);
        case kZAFMessageOption_HoldMemoryKiB:
            if (value < 0)
                return kZAFError_BadParams;
            params->holdMemoryKiB = value;
            return kZAFError_NoErr;
        default:
            return kZAFError_BadParams;
        }
    });
}

ZAFError ZAFSetMessageLiteral(ZAFMessageParamsRef params, int32_t mode, const void* name,
                              size_t nameLength, ZAFTime date) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        if ((mode != 'b' && mode != 't' && mode != 'u') || nameLength > 255 ||
            (name == nullptr && nameLength != 0))
            return kZAFError_BadParams;
        return run([&]() -> ZAFError {
            params->literalMode = uint8_t(mode);
            params->literalName.assign(static_cast<const char*>(name ? name : ""), nameLength);
            params->literalDate = date;
            params->literalDateSet = true;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFSetMessagePassphrase(ZAFMessageParamsRef params, const char* passphrase,
                                 size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        return setSecret(params, passphrase, length, params->hasPassphrase, params->passphrase);
    });
}

ZAFError ZAFSetMessageKeyPassphrase(ZAFMessageParamsRef params, const char* passphrase,
                                    size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        return setSecret(params, passphrase, length, params->hasKeyPassphrase,
                         params->keyPassphrase);
    });
}

ZAFError ZAFSetMessagePassphraseCallback(ZAFMessageParamsRef params,
                                         ZAFMessagePassphraseFunc callback, void* userData) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        params->passphraseFn = callback;
        params->passphraseUser = userData;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFAddMessageRecipient(ZAFMessageParamsRef params, ZAFKeyDBObjRef keyOrSubKey) {
    return zaf::guard([&]() -> ZAFError {
        return onKey(params, keyOrSubKey, [&](const KeyPtr& key, uint32_t index) {
            return addRecipientKey(params, key, index);
        });
    });
}

ZAFError ZAFAddMessageAdditionalRecipient(ZAFMessageParamsRef params, ZAFKeyDBObjRef keyOrSubKey) {
    return zaf::guard([&]() -> ZAFError {
        return onKey(params, keyOrSubKey, [&](const KeyPtr& key, uint32_t index) {
            return addRecipientKey(params, key, index, kZAFRecipient_ADK);
        });
    });
}

ZAFError ZAFAddMessageRecipientKeyID(ZAFMessageParamsRef params, const ZAFKeyID* keyID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        if (keyID == nullptr || params->keyDB == nullptr)
            return kZAFError_BadParams;
        return run([&]() -> ZAFError {
            // The ID may name a primary key or a subkey; a subkey's ID picks that subkey. Short
            // IDs compare on their low bytes.
            ZAFKeyDBObj* found = nullptr;
            size_t length = keyID->length >= 8 ? 8 : keyID->length;
            if (length == 0)
                return kZAFError_BadParams;
            auto matches = [&](const ZAFKeyDBObj& o) {
                return (o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) &&
                       std::memcmp(o.keyID + 8 - length, keyID->bytes + 8 - length, length) == 0;
            };
            Key* indexed = length == 8 ? params->keyDB->findByKeyID(keyID->bytes) : nullptr;
            for (const KeyPtr& k : params->keyDB->keys) {
                if (found != nullptr || (length == 8 && k.get() != indexed))
                    continue;
                for (ZAFKeyDBObj& o : k->objs)
                    if (found == nullptr && matches(o))
                        found = &o;
            }
            if (found == nullptr)
                return kZAFError_ItemNotFound;
            return ZAFAddMessageRecipient(params, found);
        });
    });
}

ZAFError ZAFAddMessageRecipientUserID(ZAFMessageParamsRef params, const char* text) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        if (text == nullptr || *text == 0 || params->keyDB == nullptr)
            return kZAFError_BadParams;
        return run([&]() -> ZAFError {
            KeyPtr found;
            ZAFError firstRefusal = kZAFError_ItemNotFound;
            for (const KeyPtr& k : params->keyDB->keys) {
                bool matches = false;
                for (const ZAFKeyDBObj& o : k->objs)
                    if (o.type == kZAFKeyDBObjType_UserID && o.attributeType == 0 &&
                        containsIgnoringCase(k->packetBody(o.packet), text))
                        matches = true;
                if (!matches)
                    continue;
                // Keys that cannot receive are passed over; the first one's reason is kept.
                ZAFError why = kZAFError_NoErr;
                if (k->disabled) {
                    why = kZAFError_KeyCannotEncrypt;
                } else {
                    try {
                        encryptionObject(*k, 0);
                    } catch (const Failure& f) {
                        why = f.code();
                    }
                }
                if (why != kZAFError_NoErr) {
                    if (firstRefusal == kZAFError_ItemNotFound)
                        firstRefusal = why;
                    continue;
                }
                if (found && found->fingerprintKey() != k->fingerprintKey())
                    return kZAFError_AmbiguousUserID;
                found = k;
            }
            if (!found)
                return firstRefusal;
            return addRecipientKey(params, found, 0);
        });
    });
}

ZAFError ZAFAddMessageRecipientGroup(ZAFMessageParamsRef params, ZAFGroupSetRef groups,
                                     ZAFGroupID group, uint32_t* outNotFound) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params))
            return kZAFError_InvalidHandle;
        if (params->keyDB == nullptr)
            return kZAFError_BadParams;
        return run([&]() -> ZAFError {
            ZAFKeySetRef set = nullptr;
            uint32_t notFound = 0;
            ZAFError err = ZAFNewKeySetFromGroup(groups, group, params->keyDB, &set, &notFound);
            if (err != kZAFError_NoErr)
                return err;
            std::vector<KeyPtr> keys = set->keys;
            ZAFFreeKeySet(set);
            for (const KeyPtr& k : keys) {
                err = ZAFAddMessageRecipient(params, &k->objs[0]);
                if (err != kZAFError_NoErr)
                    return err;
            }
            if (outNotFound)
                *outNotFound = notFound;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFSetMessageSelfKey(ZAFMessageParamsRef params, ZAFKeyDBObjRef key) {
    return zaf::guard([&]() -> ZAFError {
        return onKey(params, key, [&](const KeyPtr& current, uint32_t) {
            params->selfKey = current;
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFAddMessageSigner(ZAFMessageParamsRef params, ZAFKeyDBObjRef keyOrSubKey) {
    return zaf::guard([&]() -> ZAFError {
        return onKey(params, keyOrSubKey, [&](const KeyPtr& key, uint32_t named) -> ZAFError {
            if (boolProperty(key->objs[0], kZAFKeyProperty_IsRevoked))
                return kZAFError_KeyRevoked;
            if (boolProperty(key->objs[0], kZAFKeyProperty_IsExpired))
                return kZAFError_KeyExpired;
            uint32_t index = named;
            if (named == 0) {
                ZAFError err = signingObject(*key, index);
                if (err != kZAFError_NoErr)
                    return err;
            }
            const ZAFKeyDBObj& o = key->objs[index];
            // A subkey signs only when the key model grants it signing (a verified binding that
            // allows it, with a verified back signature).
            if (!rfc4880::canAlgSign(o.algorithm) || (index != 0 && (o.usage & kUsageSign) == 0))
                return kZAFError_UnsupportedAlg;
            if (secretPacketBody(*key, o).empty())
                return kZAFError_NoSecretKey;
            if (index != 0 && boolProperty(o, kZAFSubKeyProperty_IsRevoked))
                return kZAFError_KeyRevoked;
            if (index != 0 && boolProperty(o, kZAFSubKeyProperty_IsExpired))
                return kZAFError_KeyExpired;
            if (params->signers.size() >= kZAFMessageMaxSignatures)
                return kZAFError_TooLarge;
            for (const auto& s : params->signers)
                if (s.key->fingerprintKey() == key->fingerprintKey() && s.object == index)
                    return kZAFError_NoErr;
            params->signers.push_back({key, index});
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFEncodeMessage(ZAFMessageParamsRef params, ZAFMessageSourceRef input,
                          ZAFMessageSinkRef output, ZAFMessageResultRef result) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params) || !isValidSource(input) || !isValidSink(output) ||
            (result != nullptr && !isValidResult(result)))
            return kZAFError_InvalidHandle;
        ZAFMessageResult scratch;
        ZAFMessageResult& r = result ? *result : scratch;
        r.clear();
        ZAFError err = run([&]() -> ZAFError {
            encodeMessage(*params, *input, *output, r);
            return kZAFError_NoErr;
        });
        ZAFError ended = output->end(err == kZAFError_NoErr);
        return err != kZAFError_NoErr ? err : ended;
    });
}

ZAFError ZAFDecodeMessage(ZAFMessageParamsRef params, ZAFMessageSourceRef input,
                          ZAFMessageSourceRef signedData, ZAFMessageSinkRef output,
                          ZAFMessageResultRef result) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidParams(params) || !isValidSource(input) ||
            (signedData != nullptr && !isValidSource(signedData)) ||
            (output != nullptr && !isValidSink(output)) ||
            (result != nullptr && !isValidResult(result)))
            return kZAFError_InvalidHandle;
        ZAFMessageResult scratch;
        ZAFMessageResult& r = result ? *result : scratch;
        r.clear();
        ZAFError err = run([&]() -> ZAFError {
            decodeMessage(*params, *input, signedData, output, r);
            return kZAFError_NoErr;
        });
        ZAFError ended = output ? output->end(err == kZAFError_NoErr) : kZAFError_NoErr;
        return err != kZAFError_NoErr ? err : ended;
    });
}

ZAFError ZAFNewMessageResult(ZAFContextRef context, ZAFMessageResultRef* outResult) {
    return zaf::guard([&]() -> ZAFError {
        return make(context, HandleKind::MessageResult, outResult, [](ZAFMessageResult& r) {
            r.clear();
            return kZAFError_NoErr;
        });
    });
}

ZAFError ZAFFreeMessageResult(ZAFMessageResultRef result) {
    return zaf::guard([&]() -> ZAFError {
        return release(result, HandleKind::MessageResult) ? kZAFError_NoErr
                                                          : kZAFError_InvalidHandle;
    });
}

ZAFError ZAFGetMessageInfo(ZAFMessageResultRef result, ZAFMessageInfo* outInfo) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidResult(result))
            return kZAFError_InvalidHandle;
        if (outInfo == nullptr)
            return kZAFError_BadParams;
        *outInfo = result->info;
        outInfo->signatureCount = uint32_t(result->signatures.size());
        outInfo->recipientCount = uint32_t(result->recipients.size());
        outInfo->warningCount = uint32_t(result->warnings.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetMessageSignature(ZAFMessageResultRef result, uint32_t index,
                                ZAFMessageSignature* out) {
    return zaf::guard([&]() -> ZAFError {
        return isValidResult(result) ? indexed(result->signatures, index, out)
                                     : kZAFError_InvalidHandle;
    });
}

ZAFError ZAFGetMessageRecipient(ZAFMessageResultRef result, uint32_t index,
                                ZAFMessageRecipient* out) {
    return zaf::guard([&]() -> ZAFError {
        return isValidResult(result) ? indexed(result->recipients, index, out)
                                     : kZAFError_InvalidHandle;
    });
}

ZAFError ZAFGetMessageWarning(ZAFMessageResultRef result, uint32_t index, int32_t* outWarning,
                              ZAFKeyID* outKeyID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidResult(result))
            return kZAFError_InvalidHandle;
        if (outWarning == nullptr)
            return kZAFError_BadParams;
        if (index >= result->warnings.size())
            return kZAFError_ItemNotFound;
        *outWarning = result->warnings[index].first;
        if (outKeyID)
            *outKeyID = result->warnings[index].second;
        return kZAFError_NoErr;
    });
}

} // extern "C"
