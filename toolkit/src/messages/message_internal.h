// message_internal: the handles of the message layer (sources, sinks, parameters, results) and
// the entry points of the encoder and the decoder behind the C calls.
#ifndef ZAF_MESSAGE_INTERNAL_H
#define ZAF_MESSAGE_INTERNAL_H

#include "api/api.h"
#include "keystore/keystore.h"
#include "message_stream.h"

#include <zaf/zafmessage.h>

#include <string>
#include <vector>

struct ZAFMessageSource {
    enum class Kind { FD, File, Memory, Callback };
    Kind kind = Kind::FD;
    ZAFContext* context = nullptr;
    int fd = -1;
    const uint8_t* memory = nullptr;
    size_t memorySize = 0;
    ZAFMessageReadFunc callback = nullptr;
    void* userData = nullptr;
    bool readAhead = false; // callback sources: reads return soon, on any thread
    bool spent = false;

    ~ZAFMessageSource();
    bool isMemory() const { return kind == Kind::Memory; }
    // The whole memory block the first time, nothing afterwards.
    zaf::msg::ByteView takeMemory();
    // Reads up to `size` bytes; 0 only at the end. Throws Failure (kZAFError_ReadFailed or the
    // callback's code).
    size_t read(uint8_t* out, size_t size);
};

struct ZAFMessageSink {
    enum class Kind { FD, File, Buffer, Callback };
    Kind kind = Kind::FD;
    ZAFContext* context = nullptr;
    int fd = -1;
    std::string target;   // file sinks: the final path
    std::string tempPath; // file sinks: the temporary file being written
    size_t maxSize = 0;
    zaf::msg::Secret buffer;
    bool committed = false;
    ZAFMessageWriteFunc writeFn = nullptr;
    ZAFMessageEndFunc endFn = nullptr;
    void* userData = nullptr;
    bool commitOnly = false; // callback sinks: nothing shows before the commit
    bool ended = false;

    ~ZAFMessageSink();
    // Whether what the sink receives may be seen before the call commits it: descriptors, and
    // callbacks not declared commit-only.
    bool showsUncommitted() const {
        return kind == Kind::FD || (kind == Kind::Callback && !commitOnly);
    }
    // Throws Failure (kZAFError_WriteFailed, kZAFError_BufferTooSmall or the callback's code).
    void write(const uint8_t* data, size_t size);
    // Ends the output once: keeps it when `commit`, else discards it. Returns the code of a
    // failed commit (a file that cannot be synced or renamed, a callback's refusal).
    ZAFError end(bool commit);
};

struct ZAFMessageParams {
    ZAFContext* context = nullptr;
    ZAFKeyDB* keyDB = nullptr;
    // Options by number (ZAFSetMessageOption), with their defaults.
    int32_t armor = 0;
    int32_t cipher = 0;
    int32_t hash = 0;
    int32_t compression = 0;
    int32_t compressLevel = 6;
    int32_t detached = 0;
    int32_t clearSign = 0;
    int32_t encryptToSelf = 0;
    int32_t enforceADK = 0;
    int32_t warnADK = 0;
    int32_t requestedADKs = 1;
    int32_t allowMissingMDC = 0;
    int32_t maxExpansion = 1024;
    int32_t expansionFloorKiB = 32768;
    uint32_t passphraseAttempts = 3; // callback questions per secret
    int32_t textSignature = -1;      // -1: from the literal mode
    int32_t streamUnverified = 0;
    int32_t holdMemoryKiB = 8192;
    // Literal fields.
    uint8_t literalMode = 'b';
    std::string literalName;
    bool literalDateSet = false;
    ZAFTime literalDate = 0;
    // Secrets.
    bool hasPassphrase = false;
    zaf::msg::Secret passphrase;
    bool hasKeyPassphrase = false;
    zaf::msg::Secret keyPassphrase;
    ZAFMessagePassphraseFunc passphraseFn = nullptr;
    void* passphraseUser = nullptr;
    // Recipients and signers, as (sub)key objects of the database's current keys.
    struct Recipient {
        zaf::KeyPtr key;
        uint32_t object = 0; // index into key->objs of the encryption (sub)key
        uint32_t flags = 0;  // kZAFRecipient_...
    };
    std::vector<Recipient> recipients;
    zaf::KeyPtr selfKey;
    struct Signer {
        zaf::KeyPtr key;
        uint32_t object = 0; // the signing (sub)key
    };
    std::vector<Signer> signers;
};

struct ZAFMessageResult {
    ZAFMessageInfo info{};
    std::vector<ZAFMessageSignature> signatures;
    std::vector<ZAFMessageRecipient> recipients;
    std::vector<std::pair<int32_t, ZAFKeyID>> warnings;
    void clear();
};

namespace zaf::msg {

// Handle checks (through the toolkit's registry of live handles).
bool isValidSource(const ZAFMessageSource* s);
bool isValidSink(const ZAFMessageSink* s);
bool isValidParams(const ZAFMessageParams* p);
bool isValidResult(const ZAFMessageResult* r);

// Asks for a passphrase: first `preset` (when set and attempt is 1), then the callback.
// Returns false when there is none.
bool askPassphrase(const ZAFMessageParams& params, const ZAFPassphraseRequest& request,
                   bool hasPreset, const Secret& preset, Secret& out);

// A key ID record for 8 ID bytes.
ZAFKeyID keyIDOf(const uint8_t id[8], int32_t algorithm);

// The encryption (sub)key of `key` as users expect it: `object` when it names a usable
// encryption subkey, else the newest usable encryption subkey, else the primary key of a key
// that can encrypt only with it. Throws Failure (kZAFError_KeyRevoked, kZAFError_KeyExpired,
// kZAFError_KeyCannotEncrypt).
uint32_t encryptionObject(const Key& key, uint32_t object);

// The calls behind ZAFEncodeMessage and ZAFDecodeMessage; they throw Failure.
void encodeMessage(ZAFMessageParams& params, ZAFMessageSource& input, ZAFMessageSink& output,
                   ZAFMessageResult& result);
void decodeMessage(ZAFMessageParams& params, ZAFMessageSource& input, ZAFMessageSource* signedData,
                   ZAFMessageSink* output, ZAFMessageResult& result);

} // namespace zaf::msg

#endif
