// ops: the operation table. Every option and command of the product is one operation
// (eZAFOp); gOps gives its name, its long command-line switch, its configuration-file directive,
// its environment variable and the type of its configuration value. CLLongOptions lists the long
// switches offered to consoles and reserved from aliases.
//
// Both tables are constant and the functions keep no state; any thread may call them. Failed
// look-ups throw (by pointer, allocated with new) CZAFNoSuchOpError, CZAFNoSuchCmdlineSwitchError,
// CZAFNoSuchDirectiveError or CZAFNoSuchEnvVarError; the caller owns the throwable.
#ifndef OOZAF_OPS_H
#define OOZAF_OPS_H

#include <oozaf/nametables.h>

#include <cstdint>
#include <string>

namespace oozaf {

// The operations. The values are not contiguous; a value that no row holds names no operation.
enum eZAFOp : int32_t {
    eZAFOpWipe = 2,
    eZAFOpSign = 3,
    eZAFOpVerify = 4,
    eZAFOpEncrypt = 5,
    eZAFOpEncryptSign = 6,
    eZAFOpDecrypt = 7,
    eZAFOpListAliases = 8,
    eZAFOpHelp = 9,
    eZAFOpShowVersion = 10,
    eZAFOpPacketList = 11,
    eZAFOpPacketDump = 12,
    eZAFOpExportPhotoID = 13,
    eZAFOpArmor = 14,
    eZAFOpKeyGen = 15,
    eZAFOpKeyList = 16,
    eZAFOpKeyDetail = 17,
    eZAFOpSigDetail = 18,
    eZAFOpKeyExport = 19,
    eZAFOpKeyAdd = 20,
    eZAFOpKeyRemove = 21,
    eZAFOpKeyUpdate = 22,
    eZAFOpKeySign = 23,
    eZAFOpKeyCheck = 24,
    eZAFOpKeyReconstruct = 25,
    eZAFOpKeyDeconstruct = 26,
    eZAFOpKeyJoin = 27,
    eZAFOpKeySplit = 28,
    eZAFOpKeyMaintenance = 29,
    eZAFOpSendShares = 30,
    eZAFOpCertRequest = 31,
    eZAFOpCertRetrieve = 32,
    eZAFOpGroupAdd = 33,
    eZAFOpGroupRemove = 34,
    eZAFOpGroupList = 35,
    eZAFOpGroupDetail = 36,
    eZAFOpKeyEdit = 38,
    eZAFOpRevoke = 39,
    eZAFOpAddUserID = 40,
    eZAFOpRemoveUserID = 41,
    eZAFOpSetPrimaryUserId = 42,
    eZAFOpChangePassphrase = 43,
    eZAFOpAddRevoker = 44,
    eZAFOpAddPhotoID = 45,
    eZAFOpRemovePhotoID = 46,
    eZAFOpRemoveSignature = 47,
    eZAFOpRevokeSignature = 48,
    eZAFOpDisable = 49,
    eZAFOpEnable = 50,
    eZAFOpSetTrust = 51,
    eZAFOpRemoveSubKey = 52,
    eZAFOpRevokeSubKey = 53,
    eZAFOpKeyServerSend = 56,
    eZAFOpKeyServerFetch = 57,
    eZAFOpKeyServerSearch = 58,
    eZAFOpKeyServerDelete = 59,
    eZAFOpKeyServerDisable = 60,
    eZAFOpConventional = 70,
    eZAFOpClear = 71,
    eZAFOpDetached = 72,
    eZAFOpEyesOnly = 73,
    eZAFOpText = 74,
    eZAFOpBinary = 75,
    eZAFOpFastKeyGen = 76,
    eZAFOpEncryptToSelf = 77,
    eZAFOpWithSigs = 78,
    eZAFOpWithUserIDs = 79,
    eZAFOpMulti = 80,
    eZAFOpReverse = 81,
    eZAFOpHexDump = 82,
    eZAFOpAddAll = 83,
    eZAFOpOverwrite = 84,
    eZAFOpPreserveFilename = 85,
    eZAFOpBatchMode = 86,
    eZAFOpSDA = 87,
    eZAFOpArchive = 88,
    eZAFOpForce = 89,
    eZAFOpSubKey = 90,
    eZAFOpEnforceADK = 91,
    eZAFOpPassThrough = 92,
    eZAFOpYes = 93,
    eZAFOpWithSecret = 94,
    eZAFOpKeys = 95,
    eZAFOpSigners = 96,
    eZAFOpRevokers = 97,
    eZAFOpIntroducers = 98,
    eZAFOpX509 = 99,
    eZAFOpADK = 100,
    eZAFOpShowPass = 101,
    eZAFOpSignOnly = 102,
    eZAFOpWarnADK = 103,
    eZAFOpPKCS10 = 104,
    eZAFOpCompress = 105,
    eZAFOpExportable = 106,
    eZAFOpInteractive = 107,
    eZAFOpWithColons = 108,
    eZAFOpMime = 109,
    eZAFOpMimeParse = 110,
    eZAFOpCRL = 111,
    eZAFOpCompatible = 112,
    eZAFOpLocalTimes = 113,
    eZAFOpDiscardPaths = 114,
    eZAFOpAuthenticate = 115,
    eZAFOpAllowPassphraseRetry = 116,
    eZAFOpFTP = 118,
    eZAFOpFTPSecure = 119,
    eZAFOpSMTP = 120,
    eZAFOpInput = 123,
    eZAFOpUser = 124,
    eZAFOpKeyServer = 125,
    eZAFOpQuestion = 126,
    eZAFOpAnswer = 127,
    eZAFOpCertAttribute = 128,
    eZAFOpWidth = 131,
    eZAFOpKeySize = 132,
    eZAFOpExpiresAfter = 133,
    eZAFOpStartDate = 134,
    eZAFOpDepth = 135,
    eZAFOpPassphraseFD = 136,
    eZAFOpConventionalPassphraseFD = 137,
    eZAFOpCount = 138,
    eZAFOpThreshold = 139,
    eZAFOpWipePasses = 140,
    eZAFOpCertSerial = 141,
    eZAFOpCertDepth = 142,
    eZAFOpCipherNum = 143,
    eZAFOpCompletesNeeded = 144,
    eZAFOpMarginalsNeeded = 145,
    eZAFOpStatusFD = 147,
    eZAFOpVerbose = 148,
    eZAFOpVersion = 150,
    eZAFOpRSAVersion = 151,
    eZAFOpChallengeFD = 152,
    eZAFOpFTPPort = 156,
    eZAFOpSMTPPort = 157,
    eZAFOpADKKey = 161,
    eZAFOpSignedBy = 162,
    eZAFOpDefaultKey = 163,
    eZAFOpRevokeWith = 164,
    eZAFOpOutput = 166,
    eZAFOpPubRing = 167,
    eZAFOpSecRing = 168,
    eZAFOpRandSeed = 169,
    eZAFOpPassphrase = 170,
    eZAFOpNewPassphrase = 171,
    eZAFOpContentionalPassphrase = 172,
    eZAFOpSignWith = 173,
    eZAFOpZAFPath = 174,
    eZAFOpUserID = 175,
    eZAFOpSigner = 176,
    eZAFOpRegExp = 177,
    eZAFOpDelimiter = 178,
    eZAFOpMyName = 179,
    eZAFOpAuthUsername = 180,
    eZAFOpAuthPassword = 181,
    eZAFOpHostName = 182,
    eZAFOpCARevocationURL = 183,
    eZAFOpCARootCert = 184,
    eZAFOpCAURL = 185,
    eZAFOpComment = 186,
    eZAFOpGroupsFile = 187,
    eZAFOpPager = 188,
    eZAFOpTmp = 189,
    eZAFOpIssuerDN = 190,
    eZAFOpCertIssuer = 191,
    eZAFOpRandomDevice = 192,
    eZAFOpCharSet = 193,
    eZAFOpLanguage = 194,
    eZAFOpIssuerSerial = 195,
    eZAFOpSerial = 196,
    eZAFOpDescription = 197,
    eZAFOpForceFilename = 201,
    eZAFOpLogFile = 202,
    eZAFOpFTPServer = 203,
    eZAFOpFTPUsername = 204,
    eZAFOpFTPPassword = 205,
    eZAFOpFTPPathname = 206,
    eZAFOpSMTPServer = 207,
    eZAFOpSMTPUsername = 208,
    eZAFOpSMTPPassword = 209,
    eZAFOpSMTPFromAddress = 210,
    eZAFOpSMTPToAddress = 211,
    eZAFOpSMTPSubject = 212,
    eZAFOpSMTPcc = 213,
    eZAFOpSMTPbcc = 214,
    eZAFOpSMTPNote = 215,
    eZAFOpSMTPNoteFile = 216,
    eZAFOpTrust = 219,
    eZAFOpKeyType = 220,
    eZAFOpSort = 221,
    eZAFOpFingerprintView = 222,
    eZAFOpInfo = 223,
    eZAFOpSigType = 224,
    eZAFOpCAType = 225,
    eZAFOpKeyServerType = 226,
    eZAFOpCipher = 227,
    eZAFOpHash = 228,
    eZAFOpExportFormat = 229,
    eZAFOpCLVersion = 234,
    eZAFOpInclude1 = 235,
    eZAFOpInclude2 = 236,
    eZAFOpAlias = 237,
    eZAFOpStreamUnverified = 238,
};

// Argument type codes of gOps (bits, except eArgTypeNone). eArgTypeMulti is added to another
// code when the operation may hold several values in one configuration part.
enum eZAFArgType : int32_t {
    eArgTypeNone = -1,
    eArgTypeBool = 1,
    eArgTypeInt = 2,
    eArgTypeString = 4,
    eArgTypeKeyID = 8,
    eArgTypeDate = 16,
    eArgTypeEnum = 32,
    eArgTypeMulti = 128
};

// One row of gOps; absent texts are null.
struct SZAFOpStruct {
    eZAFOp op;
    const char* name;
    const char* cmdlineSwitch; // with its leading "--"
    const char* directive;
    int32_t argType; // eZAFArgType code, possibly with eArgTypeMulti added
    const char* envVar;
};

// Searched in array order; the first matching row wins (two switches are shared by two rows).
extern const SZAFOpStruct gOps[202];
extern const char* const CLLongOptions[193];

unsigned int gOpsCount();
unsigned int gCLLongOptionsCount();

// The first row for `op`, or null.
const SZAFOpStruct* _gGetOpStruct(eZAFOp op);

// The name of `op`; CZAFNoSuchOpError when no row holds it.
std::string gNameFromOp(eZAFOp op);
// The switch, directive or environment variable of `op`. Each throws its table's error, built
// from the value, when no row holds `op` or the row lacks that text.
std::string gCmdlineSwitchFromOp(eZAFOp op);
std::string gDirectiveFromOp(eZAFOp op);
std::string gEnvVarFromOp(eZAFOp op);

// The operation of the first row whose switch (with its "--") or environment variable equals the
// text ignoring case. Throw CZAFNoSuchCmdlineSwitchError / CZAFNoSuchEnvVarError built from the
// text.
eZAFOp gOpFromCmdlineSwitch(const std::string& text);
eZAFOp gOpFromEnvVar(const std::string& text);
// The operation of the first row whose directive equals the text when every "-" is removed from
// both and letter case is ignored ("ZAF-Mime", "zafmime" and "Z-A-F-MIME" are one directive).
// Throws CZAFNoSuchDirectiveError built from the text as given.
eZAFOp gOpFromDirective(const std::string& text);

// The argument type code of `op` as read from a configuration source. Throws
// CZAFNoSuchDirectiveError (value) when no row holds `op` or its row has neither a directive nor
// an environment variable, and CZAFInternalError when the row takes no value (eArgTypeNone).
int32_t gCfgArgTypeFromOp(eZAFOp op);

// Turns the text of an enumerated operation (Trust, KeyType, Sort, FingerprintView, Info, SigType,
// CAType, KeyServerType, Cipher, Hash, ExportFormat, CLVersion) into its value through that
// operation's name table. Returns false, leaving `value` alone, when the text is not in the
// table. Any other operation is a programming fault: CZAFInternalError.
bool gArgToEnum(eZAFOp op, const std::string& text, int& value);

// The text of an integer setting of `op`: the name the operation's table holds for enumerated
// operations (as gArgToEnum reads it, except Trust, which has no word column to write back and
// shows as a number like every other operation). Throws the table's lookup error when the value
// is not in it.
std::string gStringFromOpValue(eZAFOp op, int value);
// gStringFromOpValue into `text`; false, leaving `text` alone, when the look-up fails.
bool gEnumToArg(eZAFOp op, int value, std::string& text);

} // namespace oozaf

#endif
