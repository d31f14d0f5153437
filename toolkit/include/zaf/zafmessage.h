/* RFC 4880 messages: encrypting, decrypting, signing and verifying data as a stream.
 *
 * Data flows from a source to a sink; the toolkit never holds a whole message in memory (peak
 * use stays in the low megabytes whatever the size). One call does one job:
 *
 *   ZAFEncodeMessage  literal data in, a message out: encrypted to recipients and/or a passphrase,
 *                     signed (one-pass, detached or cleartext) by one or more keys, compressed,
 *                     armoured, in any sensible combination;
 *   ZAFDecodeMessage  a message in (binary or armoured, of any kind), its literal data out, after
 *                     working out what it was given: decrypting, decompressing and checking every
 *                     signature on the way.
 *
 * What the call is to do is set on a parameter handle (recipients, signers, passphrase, options);
 * what it found is written to a result handle (signatures with their status, session key, MDC,
 * literal packet fields, recipients, warnings), which the caller reads back afterwards, also when
 * the call failed.
 *
 * The sink is always told at the end whether to keep what it received: its end callback gets
 * `commit` 1 only when the call succeeds. A message is known to be intact only when its end has
 * been read, so decoding never hands a sink that shows what it gets (a descriptor, a callback)
 * anything before then: the output is held (in memory up to a bound, beyond it in a private
 * temporary file) and released once the integrity check and every signature check passed.
 * Sinks that show nothing before their commit (a file, a buffer, a callback declared with
 * ZAFSetMessageSinkCommitOnly) receive the data as it comes. Streaming unverified data to any
 * sink takes kZAFMessageOption_StreamUnverified.
 *
 * Ownership and threads: as everywhere in the toolkit. Every handle made by a ZAFNew... call is
 * released by its ZAFFree... call; sources, sinks, parameters and results belong to the context
 * they were made from and are used by one thread at a time. A source and a sink serve one call;
 * afterwards they are spent (a spent source reads as empty, a spent sink refuses to write). A
 * call may hash on a second thread of its own for large inputs; the thread ends before the call
 * returns, and callbacks are only ever called on the caller's thread.
 *
 * Secrets: passphrases given to the toolkit, session keys and unlocked key material are held in
 * memory that is wiped when it is released, and never logged. */
#ifndef ZAF_ZAFMESSAGE_H
#define ZAF_ZAFMESSAGE_H

#include <zaf/zafbase.h>
#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZAFMessageSource* ZAFMessageSourceRef;
typedef struct ZAFMessageSink* ZAFMessageSinkRef;
typedef struct ZAFMessageParams* ZAFMessageParamsRef;
typedef struct ZAFMessageResult* ZAFMessageResultRef;

/* Result codes of the message layer (texts from ZAFGetErrorString). Other codes that the calls
 * below return: kZAFError_BadPassphrase, kZAFError_CorruptData (malformed input),
 * kZAFError_BadSignature, kZAFError_UnsupportedAlg, kZAFError_NoSecretKey, kZAFError_KeyRevoked,
 * kZAFError_KeyExpired, kZAFError_ReadFailed, kZAFError_WriteFailed, kZAFError_MissingOption,
 * kZAFError_ConflictingOptions, kZAFError_ItemNotFound, kZAFError_BadParams,
 * kZAFError_InvalidHandle, kZAFError_OutOfMemory. */
enum {
    kZAFError_NoDecryptionKey = -12400,  /* no held secret key and no passphrase opens it */
    kZAFError_DecryptionFailed = -12401, /* a held key was tried and did not give the session key */
    kZAFError_IntegrityFailure = -12402, /* the MDC does not match: the message was changed */
    kZAFError_MissingMDC = -12403,       /* encrypted without an MDC (refused unless allowed) */
    kZAFError_Truncated = -12404,        /* the message ends before its packets do */
    kZAFError_NestingTooDeep = -12405,   /* more than kZAFMessageMaxNesting levels, or a
                                            compressed packet inside a compressed packet */
    kZAFError_RatioExceeded = -12406,    /* decompression went past the output limit */
    kZAFError_UnknownPacket = -12407,    /* a packet that may not be skipped is not understood */
    kZAFError_NotAMessage = -12408,      /* the input holds no message (for example a key block) */
    kZAFError_NoSignedData = -12409,     /* a detached signature was given without its data */
    kZAFError_ADKUnavailable = -12410,   /* an enforced additional decryption key is not usable */
    kZAFError_KeyCannotEncrypt = -12411, /* a recipient has no usable encryption key */
    kZAFError_AmbiguousUserID = -12412,  /* a user ID names more than one usable key */
    kZAFError_TooLarge = -12413,         /* a length in the input is beyond the toolkit's bounds */
    kZAFError_KeyCannotSign = -12414,    /* a signer has no usable key that may sign data */
    kZAFError_HashTooShort = -12415, /* the hash asked for is shorter than a signing key needs */
    kZAFError_UnsupportedCipher = -12416 /* a symmetric cipher the toolkit does not have */
};

/* ---- sources: where input comes from ---- */

/* Reads up to `size` bytes into `buffer`; sets *outRead to the number read (0 only at the end of
 * the data) and returns 0, or returns a non-zero code to stop the call with that code. */
typedef ZAFError (*ZAFMessageReadFunc)(void* userData, void* buffer, size_t size, size_t* outRead);

/* Reads from an open file descriptor until end of file; the descriptor stays open. */
ZAF_API ZAFError ZAFNewMessageSourceFromFD(ZAFContextRef context, int fd,
                                           ZAFMessageSourceRef* outSource);
/* Opens the file now (kZAFError_FileNotFound, kZAFError_FilePermissions,
 * kZAFError_FileOpenFailed) and closes it when the source is freed. */
ZAF_API ZAFError ZAFNewMessageSourceFromFile(ZAFContextRef context, ZAFFileSpecRef file,
                                             ZAFMessageSourceRef* outSource);
/* Reads `size` bytes of the caller's memory, which must stay unchanged while the source is used
 * (nothing is copied). */
ZAF_API ZAFError ZAFNewMessageSourceFromBuffer(ZAFContextRef context, const void* data, size_t size,
                                               ZAFMessageSourceRef* outSource);
ZAF_API ZAFError ZAFNewMessageSourceFromCallback(ZAFContextRef context, ZAFMessageReadFunc read,
                                                 void* userData, ZAFMessageSourceRef* outSource);
/* Declares that a callback source's reads return soon (it reads a regular file, not a pipe or a
 * terminal) and that its callback may run on another thread than the call's. A large input is
 * then read ahead on a thread of the call's own, so that reading overlaps the work done on it.
 * Descriptor and file sources do this by themselves when they read a regular file.
 * kZAFError_BadParams for other sources. */
ZAF_API ZAFError ZAFSetMessageSourceReadAhead(ZAFMessageSourceRef source, ZAFBoolean readAhead);
ZAF_API ZAFError ZAFFreeMessageSource(ZAFMessageSourceRef source);

/* ---- sinks: where output goes ---- */

/* Takes the next `size` bytes of output; returns 0, or a non-zero code to stop the call. */
typedef ZAFError (*ZAFMessageWriteFunc)(void* userData, const void* data, size_t size);
/* Called once when the call ends: `commit` 1 keeps the output, 0 discards it. A non-zero return
 * on commit turns a successful call into a failure with that code (kZAFError_WriteFailed, for
 * example, when a final flush fails). */
typedef ZAFError (*ZAFMessageEndFunc)(void* userData, ZAFBoolean commit);

/* Writes to an open file descriptor (which stays open). Decoding writes to it only once the
 * message proved intact (see kZAFMessageOption_StreamUnverified). */
ZAF_API ZAFError ZAFNewMessageSinkToFD(ZAFContextRef context, int fd, ZAFMessageSinkRef* outSink);
/* Writes a new temporary file (mode `mode`, for example 0600) in the target's folder; a committed
 * call syncs it and renames it over `file`, a discarded or abandoned one removes it. The target
 * is never touched unless the call succeeds. */
ZAF_API ZAFError ZAFNewMessageSinkToFile(ZAFContextRef context, ZAFFileSpecRef file, uint32_t mode,
                                         ZAFMessageSinkRef* outSink);
/* Collects the output in memory, at most `maxSize` bytes (0: no limit; more fails the call with
 * kZAFError_BufferTooSmall). The data is wiped when discarded and when the sink is freed. */
ZAF_API ZAFError ZAFNewMessageSinkToBuffer(ZAFContextRef context, size_t maxSize,
                                           ZAFMessageSinkRef* outSink);
/* The committed output of a buffer sink; valid until the sink is freed. kZAFError_ItemNotFound
 * before a commit and after a discard, kZAFError_BadParams for other sinks. */
ZAF_API ZAFError ZAFGetMessageSinkData(ZAFMessageSinkRef sink, const void** outData,
                                       size_t* outSize);
/* `end` may be NULL. */
ZAF_API ZAFError ZAFNewMessageSinkFromCallback(ZAFContextRef context, ZAFMessageWriteFunc write,
                                               ZAFMessageEndFunc end, void* userData,
                                               ZAFMessageSinkRef* outSink);
/* Declares that a callback sink makes nothing it receives visible before its end callback
 * commits (it writes a temporary file renamed on commit, for example), so that decoding may
 * stream into it without holding the data back. kZAFError_BadParams for other sinks. */
ZAF_API ZAFError ZAFSetMessageSinkCommitOnly(ZAFMessageSinkRef sink, ZAFBoolean commitOnly);
/* Freeing a sink that never ended discards its output. */
ZAF_API ZAFError ZAFFreeMessageSink(ZAFMessageSinkRef sink);

/* ---- parameters: what a call is to do ---- */

/* `keyDB` (may be NULL when only passphrases are used) supplies recipients, signers, the secret
 * keys that decrypt and the public keys that verify; it must outlive the parameters and is never
 * changed by message calls. */
ZAF_API ZAFError ZAFNewMessageParams(ZAFContextRef context, ZAFKeyDBRef keyDB,
                                     ZAFMessageParamsRef* outParams);
ZAF_API ZAFError ZAFFreeMessageParams(ZAFMessageParamsRef params);

/* Options (ZAFSetMessageOption). Unset options have the default given. */
enum {
    kZAFMessageOption_Armor = 1,         /* 0/1, default 0: ASCII armour on output */
    kZAFMessageOption_Cipher = 2,        /* cipher number, default 0: from the recipients' wishes */
    kZAFMessageOption_Hash = 3,          /* hash number, default 0: from the recipients' wishes */
    kZAFMessageOption_Compression = 4,   /* 0 none (default), 2 ZLIB */
    kZAFMessageOption_CompressLevel = 5, /* 1..9, default 6 */
    kZAFMessageOption_Detached = 6,      /* 0/1: write only the signature(s) */
    kZAFMessageOption_ClearSign = 7,     /* 0/1: the cleartext signature framework */
    kZAFMessageOption_EncryptToSelf = 8, /* 0/1: also encrypt to the self key (see below) */
    kZAFMessageOption_EnforceADK = 9,    /* 0/1: every ADK of a recipient is required */
    kZAFMessageOption_WarnADK = 10,      /* 0/1: an unusable required ADK is only a warning */
    kZAFMessageOption_AllowMissingMDC = 11,    /* 0/1: decrypt old messages without an MDC */
    kZAFMessageOption_MaxExpansion = 12,       /* decompressed bytes allowed per byte of the
                                                  message read, beyond the floor; default 1024,
                                                  0 no limit */
    kZAFMessageOption_ExpansionFloorKiB = 13,  /* KiB always allowed; default 32768 (32 MiB) */
    kZAFMessageOption_PassphraseAttempts = 14, /* times the callback is asked per secret, 1..10,
                                                  default 3 */
    kZAFMessageOption_TextSignature = 15,    /* 0/1: signature class 0x01 (canonical text); default:
                                                on for literal mode 't' and 'u', off for 'b' */
    kZAFMessageOption_StreamUnverified = 16, /* 0/1, default 0: decoding writes data to every
                                                sink as it comes, before the message is known to
                                                be intact (the caller must then throw away the
                                                output of a failed call itself) */
    kZAFMessageOption_HoldMemoryKiB = 17,    /* KiB of held output kept in memory before the rest
                                                goes to a private temporary file; default 8192 */
    kZAFMessageOption_RequestedADKs = 32     /* 0/1, default 1: also add the ADKs a recipient only
                                                requests (class kZAFADKClass_Request); 0 adds only
                                                the required (enforced) ones */
};
ZAF_API ZAFError ZAFSetMessageOption(ZAFMessageParamsRef params, int32_t option, int32_t value);

/* Literal packet fields written on encoding: `mode` 'b' (binary, default), 't' (text) or 'u'
 * (UTF-8 text); the file name (0..255 bytes, may be NULL for none); the date (default: the time
 * of the call). Binary data is carried byte for byte; text ('t', 'u') is stored with CR LF line
 * endings, and decoding writes a text literal with LF line endings. */
enum { kZAFLiteralMode_Binary = 'b', kZAFLiteralMode_Text = 't', kZAFLiteralMode_UTF8 = 'u' };
ZAF_API ZAFError ZAFSetMessageLiteral(ZAFMessageParamsRef params, int32_t mode, const void* name,
                                      size_t nameLength, ZAFTime date);

/* The message passphrase: on encoding it encrypts the message (alone or beside recipients); on
 * decoding it is tried first on a passphrase-encrypted message, before the callback is asked.
 * Copied into wiped memory. */
ZAF_API ZAFError ZAFSetMessagePassphrase(ZAFMessageParamsRef params, const char* passphrase,
                                         size_t length);
/* A passphrase tried first on every protected secret key the call unlocks (signers on encoding,
 * decryption keys on decoding), before the callback is asked. Copied into wiped memory. */
ZAF_API ZAFError ZAFSetMessageKeyPassphrase(ZAFMessageParamsRef params, const char* passphrase,
                                            size_t length);

/* What a passphrase request is for. */
enum {
    kZAFPassphraseFor_SecretKey = 1, /* unlocking a secret key: `key` and `keyID` name it */
    kZAFPassphraseFor_Message = 2    /* a passphrase-encrypted message */
};
typedef struct ZAFPassphraseRequest {
    int32_t purpose;    /* kZAFPassphraseFor_... */
    uint32_t attempt;   /* 1 for the first request for this secret, 2 after a wrong one, ... */
    ZAFKeyDBObjRef key; /* the key (primary) whose secret part is wanted; NULL for messages */
    ZAFKeyID keyID;     /* the key or subkey to unlock */
    uint8_t reserved[32];
} ZAFPassphraseRequest;
/* Asks for a passphrase: writes at most `size` bytes to `buffer`, sets *outLength and returns 0;
 * any other return means "none": the secret is skipped (another key or the passphrase may still
 * open the message). The toolkit wipes the buffer after use. */
typedef ZAFError (*ZAFMessagePassphraseFunc)(void* userData, const ZAFPassphraseRequest* request,
                                             char* buffer, size_t size, size_t* outLength);
enum { kZAFMaxPassphraseLength = 4096 };
ZAF_API ZAFError ZAFSetMessagePassphraseCallback(ZAFMessageParamsRef params,
                                                 ZAFMessagePassphraseFunc callback, void* userData);

/* Recipients (encoding). Each call checks at once that the key can receive: its newest valid
 * encryption subkey (not revoked, not expired), or the primary key when it alone can encrypt;
 * a subkey given directly is used as it is when it can encrypt. Errors: kZAFError_KeyRevoked,
 * kZAFError_KeyExpired, kZAFError_KeyCannotEncrypt, kZAFError_ItemNotFound (ID or user ID not in
 * the database), kZAFError_AmbiguousUserID. A key added twice counts once. */
ZAF_API ZAFError ZAFAddMessageRecipient(ZAFMessageParamsRef params, ZAFKeyDBObjRef keyOrSubKey);
ZAF_API ZAFError ZAFAddMessageRecipientKeyID(ZAFMessageParamsRef params, const ZAFKeyID* keyID);
/* The one usable key whose user ID contains `text` (ignoring ASCII case); keys that cannot
 * receive (revoked, expired, disabled, no encryption key) are passed over. */
ZAF_API ZAFError ZAFAddMessageRecipientUserID(ZAFMessageParamsRef params, const char* text);
/* Every key of the group (sub-groups included). `outNotFound` (may be NULL) receives the number
 * of member key IDs not in the database; they are left out. A member that cannot receive fails
 * the call as above. */
ZAF_API ZAFError ZAFAddMessageRecipientGroup(ZAFMessageParamsRef params, ZAFGroupSetRef groups,
                                             ZAFGroupID group, uint32_t* outNotFound);
/* An additional decryption key named by the caller: a recipient like those of
 * ZAFAddMessageRecipient (the same checks and errors), reported with kZAFRecipient_ADK. */
ZAF_API ZAFError ZAFAddMessageAdditionalRecipient(ZAFMessageParamsRef params,
                                                  ZAFKeyDBObjRef keyOrSubKey);
/* The key that kZAFMessageOption_EncryptToSelf adds (default: the first signer). */
ZAF_API ZAFError ZAFSetMessageSelfKey(ZAFMessageParamsRef params, ZAFKeyDBObjRef key);

/* Signers (encoding): a subkey given directly signs itself (kZAFError_UnsupportedAlg when its key
 * does not let it sign: the key's verified binding must allow signing and carry a verified back
 * signature); a key signs with its newest valid signing subkey whose secret part is held, or with
 * its primary key when the primary's key flags allow signing and no subkey is newer
 * (kZAFError_KeyCannotSign when nothing may sign). The secret part is unlocked when the call
 * starts, before any output is written (the key passphrase, then the callback).
 * kZAFError_NoSecretKey, kZAFError_KeyRevoked, kZAFError_KeyExpired, kZAFError_UnsupportedAlg
 * and kZAFError_KeyCannotSign come from this call; kZAFError_BadPassphrase and
 * kZAFError_HashTooShort (a hash asked for that a signing key cannot take) from the encoding. */
ZAF_API ZAFError ZAFAddMessageSigner(ZAFMessageParamsRef params, ZAFKeyDBObjRef keyOrSubKey);

/* ---- the calls ---- */

/* Encodes the literal data read from `input` as set on `params`, writing to `output`; `result`
 * (may be NULL) receives what was done. Needs at least one recipient, passphrase or signer
 * (kZAFError_MissingOption). Detached and cleartext signing need signers and exclude recipients
 * and passphrases (kZAFError_ConflictingOptions); cleartext output is always armoured text. */
ZAF_API ZAFError ZAFEncodeMessage(ZAFMessageParamsRef params, ZAFMessageSourceRef input,
                                  ZAFMessageSinkRef output, ZAFMessageResultRef result);

/* Decodes whatever `input` holds: an encrypted, signed, compressed or literal message, binary or
 * armoured (any armour label), a cleartext-signed text, or a detached signature (then
 * `signedData` supplies the data it signs, else kZAFError_NoSignedData). The literal data (for
 * a cleartext message: the text with its dash escapes removed, each line with its own ending)
 * goes to `output` (may be NULL to check only). Returns 0 when the message was read to its end
 * and nothing failed: integrity checked, and no signature bad. A bad signature gives
 * kZAFError_BadSignature after the whole message was read; signatures whose key is not held (or
 * expired, revoked) do not fail the call: their status is in the result. `result` (may be NULL)
 * is filled as far as the call got. */
ZAF_API ZAFError ZAFDecodeMessage(ZAFMessageParamsRef params, ZAFMessageSourceRef input,
                                  ZAFMessageSourceRef signedData, ZAFMessageSinkRef output,
                                  ZAFMessageResultRef result);

/* Limits that hold for every message. */
enum {
    kZAFMessageMaxNesting = 8,         /* encrypted, compressed and signed layers in all */
    kZAFMessageMaxSignatures = 64,     /* signatures (or one-pass headers) per message */
    kZAFMessageMaxRecipients = 1024,   /* session key packets per message, recipients per call */
    kZAFMessageMaxLineLength = 1 << 20 /* armour and cleartext lines */
};

/* ---- results ---- */

ZAF_API ZAFError ZAFNewMessageResult(ZAFContextRef context, ZAFMessageResultRef* outResult);
ZAF_API ZAFError ZAFFreeMessageResult(ZAFMessageResultRef result);

/* What the message was made of (kinds may combine). */
enum {
    kZAFMessageKind_Armored = 1,
    kZAFMessageKind_Encrypted = 2,
    kZAFMessageKind_Signed = 4,
    kZAFMessageKind_ClearSigned = 8,
    kZAFMessageKind_Detached = 16,
    kZAFMessageKind_Compressed = 32,
    kZAFMessageKind_Literal = 64
};
/* Who opened the session key. */
enum { kZAFOpenedBy_None = 0, kZAFOpenedBy_Key = 1, kZAFOpenedBy_Passphrase = 2 };
/* The integrity check. */
enum {
    kZAFMDC_None = 0, /* not encrypted, or encrypted without one (allowed by the option) */
    kZAFMDC_Good = 1,
    kZAFMDC_Bad = 2
};
typedef struct ZAFMessageInfo {
    uint32_t kinds;           /* kZAFMessageKind_... */
    int32_t cipher;           /* session key algorithm, 0 when not encrypted */
    int32_t hash;             /* encoding: the signatures' hash; 0 when not signed */
    int32_t compression;      /* algorithm of the (outermost) compressed layer, -1 none */
    int32_t openedBy;         /* kZAFOpenedBy_... */
    ZAFKeyID decryptionKeyID; /* the key or subkey that opened it (openedBy key) */
    int32_t mdc;              /* kZAFMDC_... */
    int32_t literalMode;      /* 'b', 't', 'u' (or another byte as found); 0 without literal */
    ZAFTime literalDate;
    uint32_t literalNameLength;
    uint8_t literalName[256]; /* the name's bytes, NUL after them */
    uint64_t literalLength;   /* bytes of literal data written to the sink */
    uint32_t signatureCount;
    uint32_t recipientCount;
    uint32_t warningCount;
    uint8_t reserved[36];
} ZAFMessageInfo;
ZAF_API ZAFError ZAFGetMessageInfo(ZAFMessageResultRef result, ZAFMessageInfo* outInfo);

/* One signature's verdict. */
enum {
    kZAFSigStatus_Good = 0,
    kZAFSigStatus_Bad = 1,          /* does not verify: data or signature changed */
    kZAFSigStatus_KeyNotHeld = 2,   /* the signer's key is not in the database (or its subkey
                                       that made the signature may not sign for it) */
    kZAFSigStatus_KeyExpired = 3,   /* verifies, but the key had expired when it signed */
    kZAFSigStatus_KeyRevoked = 4,   /* verifies, but the key (or signing subkey) is revoked */
    kZAFSigStatus_SigExpired = 5,   /* verifies, but the signature itself has expired */
    kZAFSigStatus_Unsupported = 6,  /* an algorithm or signature version we cannot check */
    kZAFSigStatus_WrongKeyUsage = 7 /* made by a primary key whose key flags do not let it sign
                                       data (it may only certify): not accepted, whether or not
                                       it verifies */
};
typedef struct ZAFMessageSignature {
    int32_t status;             /* kZAFSigStatus_... */
    ZAFKeyID signerKeyID;       /* the key or subkey that made it (issuer) */
    uint32_t fingerprintLength; /* 0 when the key is not held */
    uint8_t fingerprint[20];    /* of the signer's primary key */
    ZAFTime created;
    ZAFTime expires; /* 0: never */
    int32_t hashAlgorithm;
    int32_t publicKeyAlgorithm;
    int32_t signatureType; /* 0x00 binary, 0x01 text */
    int32_t validity;      /* of the signer's key from the trust model (kZAFValidity_...),
                              -1 when the key is not held */
    ZAFKeyDBObjRef key;    /* the signer's key when held, valid while the database is */
    uint8_t reserved[32];
} ZAFMessageSignature;
ZAF_API ZAFError ZAFGetMessageSignature(ZAFMessageResultRef result, uint32_t index,
                                        ZAFMessageSignature* outSignature);

/* A recipient: on encoding every key the session key was encrypted to; on decoding every key ID
 * the message names (zero IDs included). */
enum {
    kZAFRecipient_Named = 1,  /* added by the caller (key, ID, user ID or group) */
    kZAFRecipient_Self = 2,   /* added by EncryptToSelf */
    kZAFRecipient_ADK = 4,    /* added as an additional decryption key */
    kZAFRecipient_Held = 8,   /* decoding: the secret key is in the database */
    kZAFRecipient_Opened = 16 /* decoding: this one gave the session key */
};
typedef struct ZAFMessageRecipient {
    ZAFKeyID keyID; /* the encryption key or subkey */
    int32_t algorithm;
    uint32_t flags; /* kZAFRecipient_... */
    uint8_t reserved[32];
} ZAFMessageRecipient;
ZAF_API ZAFError ZAFGetMessageRecipient(ZAFMessageResultRef result, uint32_t index,
                                        ZAFMessageRecipient* outRecipient);

/* Warnings: things that did not fail the call but that a user should hear about. */
enum {
    kZAFMessageWarning_ADKNotAdded = 1,     /* an ADK was not usable or not held: `keyID` */
    kZAFMessageWarning_NoMDC = 2,           /* decrypted without an integrity check */
    kZAFMessageWarning_CipherNotWanted = 3, /* the forced cipher is not in a recipient's wishes */
    kZAFMessageWarning_TrailingData = 4     /* data after the end of the message was ignored */
};
ZAF_API ZAFError ZAFGetMessageWarning(ZAFMessageResultRef result, uint32_t index,
                                      int32_t* outWarning, ZAFKeyID* outKeyID);

#ifdef __cplusplus
}
#endif

#endif
