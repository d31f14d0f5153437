/* Key databases, key sets, filters, iterators, properties, import/export, trust, groups and
 * private/public key contexts of the toolkit's C interface.
 *
 * Ownership: every ZAFNew... / ZAFOpen... handle is released by exactly one ZAFFree... call.
 * Key database objects (ZAFKeyDBObjRef) belong to their database; they stay valid while the
 * database, or a key set or iterator holding their key, is alive. Key sets and iterators are
 * freed before the database they come from. Option builders (ZAFO...)
 * return options that the call they are passed to consumes; lists made with ZAFNewOptionList
 * are freed by ZAFFreeOptionList only. */
#ifndef ZAF_ZAFKEYS_H
#define ZAF_ZAFKEYS_H

#include <zaf/zafbase.h>
#include <zaf/zafcontext.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZAFKeyDB* ZAFKeyDBRef;
typedef struct ZAFKeySet* ZAFKeySetRef;
typedef struct ZAFKeyDBObj* ZAFKeyDBObjRef;
typedef struct ZAFFilter* ZAFFilterRef;
typedef struct ZAFKeyIter* ZAFKeyIterRef;
typedef struct ZAFOptionList* ZAFOptionListRef;
typedef struct ZAFGroupSet* ZAFGroupSetRef;
typedef struct ZAFKeyServer* ZAFKeyServerRef;
typedef struct ZAFPrivateKeyContext* ZAFPrivateKeyContextRef;
typedef struct ZAFPublicKeyContext* ZAFPublicKeyContextRef;

/* The key ID record: 8 ID bytes (big-endian as on the wire), the number of significant bytes
 * (4 for a short ID made from text, 8 otherwise; the low bytes count) and the public key
 * algorithm (-1 when unknown). 36 bytes in all. */
typedef struct ZAFKeyID {
    uint8_t bytes[8];
    uint32_t length;
    int32_t algorithm;
    uint8_t reserved[20];
} ZAFKeyID;

/* Options of ZAFOpenKeyDBFile. */
enum {
    kZAFOpenKeyDBFileOptions_None = 0,    /* read only */
    kZAFOpenKeyDBFileOptions_Mutable = 1, /* changes may be flushed */
    kZAFOpenKeyDBFileOptions_Create = 4   /* create missing ring files (empty) */
};

/* Object types; also the type argument of iterators. */
enum {
    kZAFKeyDBObjType_Key = 1,
    kZAFKeyDBObjType_SubKey = 2,
    kZAFKeyDBObjType_UserID = 4,
    kZAFKeyDBObjType_Signature = 8
};

/* Property codes (B boolean, N numeric, T time, D data). */
enum {
    kZAFObjProperty_ObjectType = 20, /* N, every object */

    kZAFKeyProperty_IsSecret = 100,                /* B */
    kZAFKeyProperty_IsAxiomatic = 101,             /* B owner trust is implicit */
    kZAFKeyProperty_IsRevoked = 102,               /* B */
    kZAFKeyProperty_IsDisabled = 103,              /* B */
    kZAFKeyProperty_IsNotCorrupt = 104,            /* B */
    kZAFKeyProperty_IsExpired = 105,               /* B */
    kZAFKeyProperty_NeedsPassphrase = 106,         /* B */
    kZAFKeyProperty_HasUnverifiedRevocation = 107, /* B */
    kZAFKeyProperty_CanEncrypt = 108,              /* B */
    kZAFKeyProperty_CanDecrypt = 109,              /* B */
    kZAFKeyProperty_CanSign = 110,                 /* B */
    kZAFKeyProperty_CanVerify = 111,               /* B */
    kZAFKeyProperty_IsEncryptionKey = 112,         /* B */
    kZAFKeyProperty_IsSigningKey = 113,            /* B */
    kZAFKeyProperty_IsSecretShared = 114,          /* B always false */
    kZAFKeyProperty_IsRevocable = 115,             /* B */

    kZAFKeyProperty_AlgorithmID = 200,   /* N */
    kZAFKeyProperty_Bits = 201,          /* N */
    kZAFKeyProperty_Trust = 202,         /* N owner trust: 0,1,2,5,6,7 */
    kZAFKeyProperty_Validity = 203,      /* N 0 unknown, 1 invalid, 2 marginal, 3 valid */
    kZAFKeyProperty_PreferredHash = 204, /* N first preferred hash, 0 when none */
    kZAFKeyProperty_NumUserIDs = 205,    /* N */
    kZAFKeyProperty_NumSubKeys = 206,    /* N */
    kZAFKeyProperty_NumSignatures = 207, /* N signatures on the key and its user IDs */
    kZAFKeyProperty_Version = 208,       /* N 3 or 4 */

    kZAFKeyProperty_Creation = 300,   /* T */
    kZAFKeyProperty_Expiration = 301, /* T 0 = never */

    kZAFKeyProperty_Fingerprint = 401,      /* D 20 bytes (v4) or 16 (v3) */
    kZAFKeyProperty_KeyID = 402,            /* D ZAFKeyID */
    kZAFKeyProperty_PreferredCiphers = 403, /* D array of int32 cipher numbers */

    kZAFSubKeyProperty_IsRevoked = 501,               /* B */
    kZAFSubKeyProperty_IsCorrupt = 502,               /* B */
    kZAFSubKeyProperty_IsExpired = 503,               /* B */
    kZAFSubKeyProperty_NeedsPassphrase = 504,         /* B */
    kZAFSubKeyProperty_HasUnverifiedRevocation = 505, /* B */
    kZAFSubKeyProperty_AlgorithmID = 600,             /* N */
    kZAFSubKeyProperty_Bits = 601,                    /* N */
    kZAFSubKeyProperty_Usage = 602, /* N what its ruling binding grants: 0x02 sign, 0x0C encrypt */
    kZAFSubKeyProperty_Creation = 700,    /* T */
    kZAFSubKeyProperty_Expiration = 701,  /* T */
    kZAFSubKeyProperty_Fingerprint = 800, /* D */
    kZAFSubKeyProperty_KeyID = 801,       /* D ZAFKeyID */

    kZAFUserIDProperty_IsAttribute = 1000,    /* B */
    kZAFUserIDProperty_AttributeCount = 1001, /* N subpackets of a user attribute */
    kZAFUserIDProperty_AttributeType = 1002,  /* N 0 plain user ID, else the first subpacket type */
    kZAFUserIDProperty_Validity = 1100,       /* N */
    kZAFUserIDProperty_Name = 1200,           /* D the text; empty for attributes */
    kZAFUserIDProperty_AttributeData = 1201,  /* D the first attribute subpacket's body */

    kZAFSigProperty_IsRevoked = 1300,    /* B a later revocation of this certification exists */
    kZAFSigProperty_IsExportable = 1301, /* B */
    kZAFSigProperty_IsTried = 1302,      /* B */
    kZAFSigProperty_IsVerified = 1303,   /* B */
    kZAFSigProperty_IsMySig = 1304,      /* B the issuer's secret key is held */
    kZAFSigProperty_IsRevocation = 1305, /* B */
    kZAFSigProperty_HasUnverifiedRevocation = 1306, /* B */
    kZAFSigProperty_IsExpired = 1307,               /* B */
    kZAFSigProperty_IsX509 = 1308,            /* B always false: no X.509 signatures are held */
    kZAFSigProperty_AlgorithmID = 1400,       /* N */
    kZAFSigProperty_TrustLevel = 1401,        /* N trust signature depth */
    kZAFSigProperty_TrustValue = 1402,        /* N trust signature amount */
    kZAFSigProperty_SigType = 1403,           /* N signature class byte */
    kZAFSigProperty_HashAlgorithm = 1404,     /* N */
    kZAFSigProperty_Version = 1405,           /* N */
    kZAFSigProperty_Creation = 1500,          /* T */
    kZAFSigProperty_Expiration = 1501,        /* T */
    kZAFSigProperty_KeyID = 1600,             /* D ZAFKeyID of the signer */
    kZAFSigProperty_RegularExpression = 1601, /* D */
    kZAFSigProperty_X509Certificate = 1602,   /* D (X.509 only) */
    kZAFSigProperty_X509LongName = 1603,      /* D (X.509 only) */
    kZAFSigProperty_X509IssuerLongName = 1604 /* D (X.509 only) */
};

/* Filter match criteria. */
enum {
    kZAFMatch_Equal = 1,
    kZAFMatch_GreaterOrEqual = 2,
    kZAFMatch_LessOrEqual = 3,
    kZAFMatch_SubString = 4
};

/* Key ID text types. */
enum { kZAFKeyIDString_Abbreviated = 1, kZAFKeyIDString_Full = 2 };

/* Export formats. */
enum { kZAFExportFormat_Compatible = 1, kZAFExportFormat_Complete = 255 };

/* Owner trust and validity values. */
enum {
    kZAFKeyTrust_Undefined = 0,
    kZAFKeyTrust_Unknown = 1,
    kZAFKeyTrust_Never = 2,
    kZAFKeyTrust_Marginal = 5,
    kZAFKeyTrust_Complete = 6,
    kZAFKeyTrust_Ultimate = 7
};
enum {
    kZAFValidity_Unknown = 0,
    kZAFValidity_Invalid = 1,
    kZAFValidity_Marginal = 2,
    kZAFValidity_Complete = 3
};

/* Input formats of ZAFImport. */
enum { kZAFInputFormat_Native = 0, kZAFInputFormat_X509 = 1 };

/* ---- key databases ---- */

/* Opens the public ring `pubRing` and (optional, may be null) secret ring `secRing`. A key whose
 * secret part is in the secret ring is one key pair. */
ZAF_API ZAFError ZAFOpenKeyDBFile(ZAFContextRef context, uint32_t options, ZAFFileSpecRef pubRing,
                                  ZAFFileSpecRef secRing, ZAFKeyDBRef* outKeyDB);
/* A new empty database that lives in memory only. */
ZAF_API ZAFError ZAFNewKeyDB(ZAFContextRef context, ZAFKeyDBRef* outKeyDB);
ZAF_API ZAFError ZAFFreeKeyDB(ZAFKeyDBRef keyDB);
/* Re-reads the rings; changes of this handle not yet flushed are laid over them and kept. */
ZAF_API ZAFError ZAFKeyDBRefresh(ZAFKeyDBRef keyDB);
/* Writes pending changes, merged with whatever other writers stored meanwhile: what this handle
 * added, removed or changed since it read the rings (keys, user IDs, attributes, subkeys,
 * signatures) is laid over the rings as they are now. */
ZAF_API ZAFError ZAFFlushKeyDB(ZAFKeyDBRef keyDB);
ZAF_API ZAFBoolean ZAFKeyDBIsMutable(ZAFKeyDBRef keyDB);
ZAF_API ZAFBoolean ZAFKeyDBIsDirty(ZAFKeyDBRef keyDB);
ZAF_API ZAFError ZAFCountKeysInKeyDB(ZAFKeyDBRef keyDB, uint32_t* outCount);
/* Merges the keys of `keys` into `dest`: new keys are added, known keys gain new user IDs,
 * signatures, subkeys and secret parts. `outChanged` (may be null) tells whether anything
 * changed. */
ZAF_API ZAFError ZAFCopyKeys(ZAFKeySetRef keys, ZAFKeyDBRef dest, ZAFBoolean* outChanged);
/* Removes the keys of `keys` from `keyDB`. */
ZAF_API ZAFError ZAFDeleteKeys(ZAFKeyDBRef keyDB, ZAFKeySetRef keys);
/* Removes one user ID, subkey or signature (with what hangs under it) from its key. */
ZAF_API ZAFError ZAFDeleteKeyDBObj(ZAFKeyDBRef keyDB, ZAFKeyDBObjRef obj);
/* The database's own set of all its keys; owned by the database, never freed by the caller. */
ZAF_API ZAFKeySetRef ZAFPeekKeyDBRootKeySet(ZAFKeyDBRef keyDB);
ZAF_API ZAFKeyDBRef ZAFPeekKeySetKeyDB(ZAFKeySetRef keySet);
ZAF_API ZAFError ZAFFindKeyByKeyID(ZAFKeyDBRef keyDB, const ZAFKeyID* keyID,
                                   ZAFKeyDBObjRef* outKey);
/* Conflicts met by the last flush or refresh: a removal on one side that beat a change on the
 * other (the removal always wins). Texts name the key by its short ID; size query as for data
 * properties (the size counts the NUL). */
ZAF_API ZAFError ZAFCountKeyDBMergeWarnings(ZAFKeyDBRef keyDB, uint32_t* outCount);
ZAF_API ZAFError ZAFGetKeyDBMergeWarning(ZAFKeyDBRef keyDB, uint32_t index, char* buffer,
                                         size_t size, size_t* outSize);
/* What an import dropped: user IDs (and attributes) without a verified self-signature, subkeys
 * without a verified binding (signing-only subkeys also without a verified back signature).
 * `keyDB` is a database made by ZAFImport; either output may be null. */
ZAF_API ZAFError ZAFGetImportDropCounts(ZAFKeyDBRef keyDB, uint32_t* outUserIDs,
                                        uint32_t* outSubKeys);
/* Keeps, per user ID of every key in `imported` (a database made by ZAFImport), at most
 * `perUserID` certifications and certification revocations (types 0x10-0x13, 0x30) from issuers
 * that are held neither in `ring` nor in `imported`, the newest by creation time first (a time
 * in the future counts as the oldest); the
 * others are dropped (a flooded key would otherwise slow every listing and trust calculation).
 * Self-signatures and signatures by held keys are always kept. `outDropped` (may be null) gets
 * the number dropped. */
ZAF_API ZAFError ZAFLimitForeignCertifications(ZAFKeyDBRef imported, ZAFKeyDBRef ring,
                                               uint32_t perUserID, uint32_t* outDropped);

/* ---- key sets ---- */

ZAF_API ZAFError ZAFNewKeySet(ZAFKeyDBRef keyDB, ZAFKeySetRef* outSet);
ZAF_API ZAFError ZAFNewEmptyKeySet(ZAFKeyDBRef keyDB, ZAFKeySetRef* outSet);
ZAF_API ZAFError ZAFNewSingletonKeySet(ZAFKeyDBObjRef key, ZAFKeySetRef* outSet);
ZAF_API ZAFError ZAFFreeKeySet(ZAFKeySetRef keySet);
/* Adds the keys of `source` (same database) to `dest`; keys already present stay once. */
ZAF_API ZAFError ZAFAddKeys(ZAFKeySetRef source, ZAFKeySetRef dest);
ZAF_API ZAFError ZAFCountKeys(ZAFKeySetRef keySet, uint32_t* outCount);
ZAF_API ZAFError ZAFFilterKeySet(ZAFKeySetRef keySet, ZAFFilterRef filter, ZAFKeySetRef* outSet);
/* Computes validities of the keys of `keySet` from the trust web of `keyDB`. */
ZAF_API ZAFError ZAFCalculateTrust(ZAFKeySetRef keySet, ZAFKeyDBRef keyDB);
/* Whether every check the database's keys and its validities rest on was made: false while a key
 * waits for checks its read's budget left for later, and while no ZAFCalculateTrust covers the
 * database as it is now or the last one left certifications unchecked. */
ZAF_API ZAFError ZAFKeyDBChecksComplete(ZAFKeyDBRef keyDB, ZAFBoolean* outComplete);

/* ---- filters (the inputs of union and intersection stay the caller's) ---- */

ZAF_API ZAFError ZAFNewKeyDBObjDataFilter(ZAFContextRef context, int32_t property, const void* data,
                                          size_t size, int32_t match, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFNewKeyDBObjBooleanFilter(ZAFContextRef context, int32_t property,
                                             ZAFBoolean value, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFNewKeyDBObjNumericFilter(ZAFContextRef context, int32_t property, int32_t value,
                                             int32_t match, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFNewKeyDBObjTimeFilter(ZAFContextRef context, int32_t property, ZAFTime value,
                                          int32_t match, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFUnionFilters(ZAFFilterRef a, ZAFFilterRef b, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFIntersectFilters(ZAFFilterRef a, ZAFFilterRef b, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFNegateFilter(ZAFFilterRef a, ZAFFilterRef* outFilter);
ZAF_API ZAFError ZAFFreeFilter(ZAFFilterRef filter);

/* ---- iterators ----
 * Position is hierarchical: a key, then one of its user IDs or subkeys, then one of their
 * signatures. Next/Prev of type 1 move between keys; of type 2 or 4 between the current key's
 * subkeys or user IDs; of type 8 between the signatures of the current user ID or subkey (or the
 * key's own signatures when no child is current). The end gives kZAFError_EndOfIteration. */
ZAF_API ZAFError ZAFNewKeyIterFromKeySet(ZAFKeySetRef keySet, ZAFKeyIterRef* outIter);
ZAF_API ZAFError ZAFNewKeyIterFromKeyDB(ZAFKeyDBRef keyDB, ZAFKeyIterRef* outIter);
ZAF_API ZAFError ZAFFreeKeyIter(ZAFKeyIterRef iter);
ZAF_API ZAFError ZAFKeyIterRewind(ZAFKeyIterRef iter, int32_t objType);
ZAF_API ZAFError ZAFKeyIterNextKeyDBObj(ZAFKeyIterRef iter, int32_t objType,
                                        ZAFKeyDBObjRef* outObj);
ZAF_API ZAFError ZAFKeyIterPrevKeyDBObj(ZAFKeyIterRef iter, int32_t objType,
                                        ZAFKeyDBObjRef* outObj);
ZAF_API ZAFError ZAFKeyIterSeek(ZAFKeyIterRef iter, ZAFKeyDBObjRef obj);

/* ---- properties ---- */

ZAF_API ZAFError ZAFGetKeyDBObjNumericProperty(ZAFKeyDBObjRef obj, int32_t property,
                                               int32_t* outValue);
ZAF_API ZAFError ZAFGetKeyDBObjBooleanProperty(ZAFKeyDBObjRef obj, int32_t property,
                                               ZAFBoolean* outValue);
ZAF_API ZAFError ZAFGetKeyDBObjTimeProperty(ZAFKeyDBObjRef obj, int32_t property,
                                            ZAFTime* outValue);
/* Size query: with a null buffer or one smaller than the data, *outSize receives the size and
 * kZAFError_BufferTooSmall is returned. */
ZAF_API ZAFError ZAFGetKeyDBObjDataProperty(ZAFKeyDBObjRef obj, int32_t property, void* buffer,
                                            size_t size, size_t* outSize);
/* The data in a new block that the caller releases with ZAFFreeData. */
ZAF_API ZAFError ZAFGetKeyDBObjAllocatedDataProperty(ZAFKeyDBObjRef obj, int32_t property,
                                                     void** outData, size_t* outSize);
ZAF_API ZAFError ZAFFreeData(void* data);
/* The key an object belongs to. */
ZAF_API ZAFError ZAFGetKeyDBObjKey(ZAFKeyDBObjRef obj, ZAFKeyDBObjRef* outKey);
ZAF_API ZAFError ZAFGetPrimaryUserID(ZAFKeyDBObjRef key, ZAFKeyDBObjRef* outUserID);
ZAF_API ZAFError ZAFSetKeyOwnerTrust(ZAFKeyDBObjRef key, int32_t trust);
ZAF_API ZAFError ZAFSetKeyDisabled(ZAFKeyDBObjRef key, ZAFBoolean disabled);
/* Designated revokers (signature subpacket 12 of the self-signatures). `outKey` (may be null)
 * receives the revoker's key when it is in the database, else null. */
ZAF_API ZAFError ZAFCountRevocationKeys(ZAFKeyDBObjRef key, uint32_t* outCount);
ZAF_API ZAFError ZAFGetIndexedRevocationKey(ZAFKeyDBObjRef key, uint32_t index,
                                            ZAFKeyDBObjRef* outKey, ZAFKeyID* outKeyID);
/* Additional decryption keys (subpacket 10); `outClass` (may be null) is 0x80 when enforced. */
ZAF_API ZAFError ZAFCountAdditionalRecipientRequests(ZAFKeyDBObjRef key, uint32_t* outCount);
ZAF_API ZAFError ZAFGetIndexedAdditionalRecipientRequest(ZAFKeyDBObjRef key, uint32_t index,
                                                         ZAFKeyDBObjRef* outKey, ZAFKeyID* outKeyID,
                                                         uint8_t* outClass);

/* ---- key IDs ---- */

ZAF_API ZAFError ZAFGetKeyID(ZAFKeyDBObjRef keyOrSubKey, ZAFKeyID* outKeyID);
ZAF_API ZAFError ZAFNewKeyID(const uint8_t* bytes, size_t size, int32_t algorithm,
                             ZAFKeyID* outKeyID);
/* Type 1: "0x" + 8 upper-case hex digits (low 32 bits); type 2: "0x" + 16. Size query as for
 * data properties (the size counts the NUL). */
ZAF_API ZAFError ZAFGetKeyIDString(const ZAFKeyID* keyID, int32_t type, char* buffer, size_t size);
/* Accepts "0x" or "0X" followed by 8 or 16 hex digits. */
ZAF_API ZAFError ZAFGetKeyIDFromString(const char* text, int32_t algorithm, ZAFKeyID* outKeyID);
ZAF_API ZAFError ZAFNewKeyIDFromString(const char* text, int32_t algorithm, ZAFKeyID* outKeyID);
/* 0 when equal on the shorter length, else -1 / 1. */
ZAF_API int32_t ZAFCompareKeyIDs(const ZAFKeyID* a, const ZAFKeyID* b);

/* ---- option lists ---- */

ZAF_API ZAFError ZAFNewOptionList(ZAFContextRef context, ZAFOptionListRef* outList);
/* Appends the options up to ZAFOLastOption() to `list`. */
ZAF_API ZAFError ZAFAppendOptionList(ZAFOptionListRef list, ...);
ZAF_API ZAFError ZAFFreeOptionList(ZAFOptionListRef list);
ZAF_API ZAFOptionListRef ZAFOLastOption(void);
ZAF_API ZAFOptionListRef ZAFONullOption(ZAFContextRef context);
ZAF_API ZAFOptionListRef ZAFOInputBuffer(ZAFContextRef context, const void* data, size_t size);
ZAF_API ZAFOptionListRef ZAFOInputFile(ZAFContextRef context, ZAFFileSpecRef file);
ZAF_API ZAFOptionListRef ZAFOInputFormat(ZAFContextRef context, int32_t format);
ZAF_API ZAFOptionListRef ZAFOExportKeySet(ZAFContextRef context, ZAFKeySetRef keySet);
ZAF_API ZAFOptionListRef ZAFOOutputFile(ZAFContextRef context, ZAFFileSpecRef file);
/* The export lands in a new block released with ZAFFreeData; `maxSize` 0 means no limit. */
ZAF_API ZAFOptionListRef ZAFOAllocatedOutputBuffer(ZAFContextRef context, void** outData,
                                                   size_t maxSize, size_t* outSize);
ZAF_API ZAFOptionListRef ZAFOExportPrivateKeys(ZAFContextRef context, ZAFBoolean value);
ZAF_API ZAFOptionListRef ZAFOArmorOutput(ZAFContextRef context, ZAFBoolean value);
ZAF_API ZAFOptionListRef ZAFOExportFormat(ZAFContextRef context, int32_t format);
ZAF_API ZAFOptionListRef ZAFOPassphrase(ZAFContextRef context, const char* passphrase);
ZAF_API ZAFOptionListRef ZAFOPasskeyBuffer(ZAFContextRef context, const void* data, size_t size);

/* ---- import and export ---- */

/* Reads keys (binary or armoured, any armour label) into a new in-memory database. Stand-alone
 * revocation certificates are applied to the key they name when it is in the input. With input
 * format X.509 the call fails with kZAFError_NotX509 unless the input is X.509 material. */
ZAF_API ZAFError ZAFImport(ZAFContextRef context, ZAFKeyDBRef* outKeyDB, ZAFOptionListRef first,
                           ...);
ZAF_API ZAFError ZAFExport(ZAFContextRef context, ZAFOptionListRef first, ...);

/* ---- groups ---- */

typedef uint32_t ZAFGroupID;
enum { kZAFMaxGroupNameLength = 63, kZAFMaxGroupDescriptionLength = 127 };
typedef struct ZAFGroupInfo {
    ZAFGroupID groupID;
    char name[kZAFMaxGroupNameLength + 1];
    char description[kZAFMaxGroupDescriptionLength + 1];
    uint32_t numKeys;   /* key members */
    uint32_t numGroups; /* sub-group members */
} ZAFGroupInfo;

ZAF_API ZAFError ZAFNewGroupSet(ZAFContextRef context, ZAFGroupSetRef* outSet);
ZAF_API ZAFError ZAFNewGroupSetFromFile(ZAFContextRef context, ZAFFileSpecRef file,
                                        ZAFGroupSetRef* outSet);
ZAF_API ZAFError ZAFSaveGroupSetToFile(ZAFGroupSetRef set, ZAFFileSpecRef file);
ZAF_API ZAFError ZAFFreeGroupSet(ZAFGroupSetRef set);
ZAF_API ZAFBoolean ZAFGroupSetNeedsCommit(ZAFGroupSetRef set);
ZAF_API ZAFError ZAFCountGroupsInSet(ZAFGroupSetRef set, uint32_t* outCount);
ZAF_API ZAFError ZAFGetIndGroupID(ZAFGroupSetRef set, uint32_t index, ZAFGroupID* outID);
ZAF_API ZAFError ZAFGetGroupInfo(ZAFGroupSetRef set, ZAFGroupID id, ZAFGroupInfo* outInfo);
ZAF_API ZAFError ZAFNewGroup(ZAFGroupSetRef set, const char* name, const char* description,
                             ZAFGroupID* outID);
ZAF_API ZAFError ZAFAddKeyToGroup(ZAFGroupSetRef set, ZAFGroupID id, const ZAFKeyID* keyID);
ZAF_API ZAFError ZAFAddSubGroupToGroup(ZAFGroupSetRef set, ZAFGroupID id, ZAFGroupID member);
ZAF_API ZAFError ZAFDeleteGroup(ZAFGroupSetRef set, ZAFGroupID id);
/* The keys of the group's members (sub-groups included) found in `keyDB`; `outNotFound` (may be
 * null) receives the number of member key IDs that are not in the database. */
ZAF_API ZAFError ZAFNewKeySetFromGroup(ZAFGroupSetRef set, ZAFGroupID id, ZAFKeyDBRef keyDB,
                                       ZAFKeySetRef* outSet, uint32_t* outNotFound);

/* ---- private and public key contexts ---- */

/* Unlocks the secret part of a key (or subkey) with a passphrase (empty for unprotected keys). */
ZAF_API ZAFError ZAFNewPrivateKeyContext(ZAFKeyDBObjRef keyOrSubKey, const char* passphrase,
                                         size_t passphraseLength, ZAFPrivateKeyContextRef* outCtx);
ZAF_API ZAFError ZAFFreePrivateKeyContext(ZAFPrivateKeyContextRef ctx);
/* Signs a hash made with `hashAlgorithm` (RFC 4880 numbers). The signature is written as the
 * concatenated RFC 4880 MPIs of the algorithm. Size query as for data properties. */
ZAF_API ZAFError ZAFPrivateKeySign(ZAFPrivateKeyContextRef ctx, int32_t hashAlgorithm,
                                   const uint8_t* hash, size_t hashSize, uint8_t* signature,
                                   size_t size, size_t* outSize);
ZAF_API ZAFBoolean ZAFPassphraseIsValid(ZAFKeyDBObjRef key, const char* passphrase);
ZAF_API ZAFError ZAFNewPublicKeyContext(ZAFKeyDBObjRef keyOrSubKey, ZAFPublicKeyContextRef* out);
ZAF_API ZAFError ZAFFreePublicKeyContext(ZAFPublicKeyContextRef ctx);
/* 0 when the signature (as written by ZAFPrivateKeySign) is good, kZAFError_BadSignature else. */
ZAF_API ZAFError ZAFPublicKeyVerify(ZAFPublicKeyContextRef ctx, int32_t hashAlgorithm,
                                    const uint8_t* hash, size_t hashSize, const uint8_t* signature,
                                    size_t signatureSize);

/* ---- key servers (more in zafkeyserver.h) ---- */

/* An HKP key server at `url` (see ZAFNewKeyServerOfType). The context must outlive the handle
 * and every database ZAFQueryKeyServer makes from it. */
ZAF_API ZAFError ZAFNewKeyServer(ZAFContextRef context, const char* url, ZAFKeyServerRef* out);
ZAF_API ZAFError ZAFFreeKeyServer(ZAFKeyServerRef server);
/* The keys the server holds that pass `filter`, as a new database in the server's context (freed
 * with ZAFFreeKeyDB). The filter must ask for key IDs (equality on the key ID properties of keys
 * or subkeys, alone or in unions) or for a user ID text (substring or equality on the name);
 * any other gives kZAFError_NotImplemented. The answers are imported as ZAFImport reads any
 * input (only verified self-signatures count) and the keys that do not pass the filter are left
 * out. */
ZAF_API ZAFError ZAFQueryKeyServer(ZAFKeyServerRef server, ZAFFilterRef filter,
                                   ZAFKeyDBRef* outKeyDB);

#ifdef __cplusplus
}
#endif

#endif
