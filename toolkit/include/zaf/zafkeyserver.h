/* Key servers: searching and fetching public keys from an HKP key server (the HTTP Keyserver
 * Protocol over hkp:// or, with TLS, hkps://).
 *
 * A key server handle (ZAFNewKeyServer / ZAFNewKeyServerOfType, freed by ZAFFreeKeyServer) holds
 * the server's address, the certificate authorities its TLS certificate is checked against and
 * the bounds of every answer: its size, the keys it may hold and the time it may take. No answer
 * can grow past them; a server that sends more, answers too slowly or redirects to another host
 * is cut off with its own result code, and the handle keeps a one-line account of the last
 * failure (ZAFGetKeyServerLastError). Nothing fetched is trusted: a fetch keeps only the public
 * keys that carry the key ID or fingerprint asked for, and its bytes are meant for the ordinary
 * import path, where only verified self-signatures count.
 *
 * A handle is used by one thread at a time. */
#ifndef ZAF_ZAFKEYSERVER_H
#define ZAF_ZAFKEYSERVER_H

#include <zaf/zafbase.h>
#include <zaf/zafkeys.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the key server calls. */
enum {
    kZAFError_KeyServerAddress = -12500,  /* not an hkp://, hkps://, http:// or https:// address */
    kZAFError_KeyServerType = -12501,     /* an LDAP key server: only HKP is spoken */
    kZAFError_KeyServerConnect = -12502,  /* the server could not be reached */
    kZAFError_KeyServerTimeout = -12503,  /* the answer did not come within the time limit */
    kZAFError_KeyServerTooLarge = -12504, /* the answer is larger than the size limit */
    kZAFError_KeyServerTooManyKeys = -12505, /* the answer holds more keys than the limit */
    kZAFError_KeyServerRedirect = -12506,    /* redirected to another host (never followed) */
    kZAFError_KeyServerCertificate = -12507, /* the TLS certificate did not verify */
    kZAFError_KeyServerProtocol = -12508,    /* the answer is not well-formed HTTP or HKP */
    kZAFError_KeyServerRefused = -12509      /* the server answered with an error status */
};

/* Key server types: the names "ZAF", "LDAPX509" and "LDAPZAF" of the configuration. */
enum {
    kZAFKeyServerType_HKP = 1,      /* "ZAF": HKP */
    kZAFKeyServerType_LDAPX509 = 2, /* refused with kZAFError_KeyServerType */
    kZAFKeyServerType_LDAPZAF = 3   /* refused with kZAFError_KeyServerType */
};

/* Bounds of every answer. The defaults are the values below; larger values than the hard
 * maxima are refused with kZAFError_BadParams, 0 keeps the current value. */
typedef struct ZAFKeyServerLimits {
    uint64_t maxAnswerBytes; /* body of one answer (default 16 MiB, at most 256 MiB) */
    uint32_t maxKeys;        /* keys in one answer or index (default 500, at most 10000) */
    uint32_t timeoutMs;      /* one request from connecting to the last byte (default 30000,
                                at most 600000) */
} ZAFKeyServerLimits;

enum {
    kZAFKeyServerDefaultMaxAnswerBytes = 16 << 20,
    kZAFKeyServerDefaultMaxKeys = 500,
    kZAFKeyServerDefaultTimeoutMs = 30000,
    /* User IDs kept per key of an index; the index tells how many more the server listed. */
    kZAFKeyServerMaxIndexUserIDs = 100
};

/* A key server of the given type at `url`: hkp://host[:port] (port 11371) or
 * hkps://host[:port] (TLS, port 443); http:// and https:// name the same with ports 80 and 443.
 * A path after the host is kept as the prefix of "/pks/...". LDAP types and ldap:// or ldaps://
 * addresses give kZAFError_KeyServerType, any other address kZAFError_KeyServerAddress.
 * ZAFNewKeyServer is the HKP type. Nothing is sent before the first search or fetch. */
ZAF_API ZAFError ZAFNewKeyServerOfType(ZAFContextRef context, const char* url, int32_t serverType,
                                       ZAFKeyServerRef* out);

/* The certificate authorities (a file of PEM certificates) that an hkps:// server's certificate
 * must chain to; null or "" means the system's store. The file is read at each TLS connection. */
ZAF_API ZAFError ZAFSetKeyServerCAFile(ZAFKeyServerRef server, const char* path);
ZAF_API ZAFError ZAFSetKeyServerLimits(ZAFKeyServerRef server, const ZAFKeyServerLimits* limits);
ZAF_API ZAFError ZAFGetKeyServerLimits(ZAFKeyServerRef server, ZAFKeyServerLimits* outLimits);

/* One line telling what the last failing call met (the status the server sent, where a refused
 * redirect pointed, which limit was reached), "" after a success. Size query as for data
 * properties: `outSize` gets the size including the NUL; a buffer too small gives
 * kZAFError_BufferTooSmall. */
ZAF_API ZAFError ZAFGetKeyServerLastError(ZAFKeyServerRef server, char* buffer, size_t size,
                                          size_t* outSize);

/* ---- searching ---- */

typedef struct ZAFKeyServerIndex* ZAFKeyServerIndexRef;

enum {
    kZAFKeyServerKeyFlag_Revoked = 1,
    kZAFKeyServerKeyFlag_Disabled = 2,
    kZAFKeyServerKeyFlag_Expired = 4
};

/* One key of an index as the server describes it (nothing of it is verified). */
typedef struct ZAFKeyServerKeyInfo {
    char keyID[41];          /* upper-case hex without "0x": a fingerprint (40 or 32 digits) or a
                                key ID (16 or 8), as the server gave it */
    int32_t algorithm;       /* public key algorithm, -1 when not given */
    uint32_t bits;           /* key size, 0 when not given */
    ZAFTime created;         /* 0 when not given */
    ZAFTime expires;         /* 0: never or not given */
    uint32_t flags;          /* kZAFKeyServerKeyFlag_... */
    uint32_t userIDCount;    /* user IDs kept (at most kZAFKeyServerMaxIndexUserIDs) */
    uint32_t userIDsDropped; /* user IDs the server listed beyond those */
} ZAFKeyServerKeyInfo;

/* Asks the server which keys match `pattern` (a user ID text, a key ID or a fingerprint, "0x"
 * optional for the last two). No match gives an index of no keys. The index is freed with
 * ZAFFreeKeyServerIndex. */
ZAF_API ZAFError ZAFSearchKeyServer(ZAFKeyServerRef server, const char* pattern,
                                    ZAFKeyServerIndexRef* outIndex);
/* Reads a machine-readable index text (as an HKP server answers op=index) into an index, at
 * most `maxKeys` keys (more give kZAFError_KeyServerTooManyKeys). Lines that do not parse are
 * skipped, with the user IDs under them. */
ZAF_API ZAFError ZAFParseKeyServerIndex(const void* text, size_t size, uint32_t maxKeys,
                                        ZAFKeyServerIndexRef* outIndex);
ZAF_API ZAFError ZAFCountKeyServerIndexKeys(ZAFKeyServerIndexRef index, uint32_t* outCount);
ZAF_API ZAFError ZAFGetKeyServerIndexKey(ZAFKeyServerIndexRef index, uint32_t key,
                                         ZAFKeyServerKeyInfo* outInfo);
/* User ID `userID` of key `key`, decoded from the index's escapes (UTF-8 as the server sent it,
 * control characters included). Size query as for ZAFGetKeyServerLastError. */
ZAF_API ZAFError ZAFGetKeyServerIndexUserID(ZAFKeyServerIndexRef index, uint32_t key,
                                            uint32_t userID, char* buffer, size_t size,
                                            size_t* outSize);
ZAF_API ZAFError ZAFFreeKeyServerIndex(ZAFKeyServerIndexRef index);

/* ---- fetching ---- */

/* Fetches the key named by `keyID` (8 or 16 hex digits of a key ID, or a fingerprint of 32 or 40;
 * "0x" optional; a subkey's ID names its key). Of the answer only the transferable public keys
 * whose primary key or a subkey carries that ID or fingerprint are kept, as binary packets in a
 * buffer the toolkit allocates (freed with ZAFFreeData); secret key material and every other key
 * are left out. `outKeys` (may be null) gets the number of keys kept. A server that holds no such
 * key gives kZAFError_ItemNotFound. */
ZAF_API ZAFError ZAFFetchFromKeyServer(ZAFKeyServerRef server, const char* keyID, void** outData,
                                       size_t* outSize, uint32_t* outKeys);

/* Keeps the transferable public keys of `data` (binary or armoured) whose primary key or a subkey
 * carries `keyID` (as ZAFFetchFromKeyServer takes it), at most `maxKeys` keys in the input (more
 * give kZAFError_KeyServerTooManyKeys). The result is allocated as by ZAFFetchFromKeyServer. */
ZAF_API ZAFError ZAFSelectKeysByID(const void* data, size_t size, const char* keyID,
                                   uint32_t maxKeys, void** outData, size_t* outSize,
                                   uint32_t* outKeys);

#ifdef __cplusplus
}
#endif

#endif
