// ops: the operation table and its look-ups.
#include "nametables_internal.h"

#include <oozaf/ops.h>

#include <cstddef>
#include <iterator>
#include <string>

namespace oozaf {

const SZAFOpStruct gOps[202] = {
    {eZAFOpAddAll, "AddAll", "--add-all", "Add-All", eArgTypeBool, nullptr},
    {eZAFOpAddPhotoID, "AddPhotoID", "--add-photoid", nullptr, eArgTypeNone, nullptr},
    {eZAFOpAddRevoker, "AddRevoker", "--add-revoker", nullptr, eArgTypeNone, nullptr},
    {eZAFOpAddUserID, "AddUserID", "--add-userid", nullptr, eArgTypeNone, nullptr},
    {eZAFOpADK, "ADK", "--adk", nullptr, eArgTypeNone, nullptr},
    {eZAFOpADKKey, "ADKKey", "--adk-key", "ADK-Key", eArgTypeKeyID, nullptr},
    {eZAFOpAlias, "Alias", nullptr, "Alias", eArgTypeNone, nullptr},
    {eZAFOpAllowPassphraseRetry, "AllowPassphraseRetry", "--allow-passphrase-retry",
     "Allow-Passphrase-Retry", eArgTypeBool, nullptr},
    {eZAFOpAnswer, "Answer", "--answer", nullptr, eArgTypeNone, nullptr},
    {eZAFOpArchive, "Archive", "--archive", nullptr, eArgTypeNone, nullptr},
    {eZAFOpArmor, "Armor", "--armor", "Armor", eArgTypeBool, nullptr},
    {eZAFOpAuthenticate, "Authenticate", "--authenticate", "Authenticate", eArgTypeBool, nullptr},
    {eZAFOpAuthPassword, "AuthPassword", "--auth-passphrase", "Auth-Passphrase", eArgTypeString,
     nullptr},
    {eZAFOpAuthUsername, "AuthUsername", "--auth-user", "Auth-User", eArgTypeString, nullptr},
    {eZAFOpBatchMode, "BatchMode", "--batch-mode", nullptr, eArgTypeNone, nullptr},
    {eZAFOpBinary, "Binary", "--binary", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCARevocationURL, "CARevocationURL", "--ca-revocation-url", "CA-Revocation-URL",
     eArgTypeString, nullptr},
    {eZAFOpCARootCert, "CARootCert", "--ca-root-cert", "CA-Root-Cert", eArgTypeKeyID, nullptr},
    {eZAFOpCAType, "CAType", "--ca-type", "CA-Type", eArgTypeEnum, nullptr},
    {eZAFOpCAURL, "CAURL", "--ca-url", "CA-URL", eArgTypeString, nullptr},
    {eZAFOpCertAttribute, "CertAttribute", "--cert-attribute", "Cert-Attribute", eArgTypeString,
     nullptr},
    {eZAFOpCertDepth, "CertDepth", "--cert-depth", "Cert-Depth", eArgTypeInt, nullptr},
    {eZAFOpCertIssuer, "CertIssuer", "--cert-issuer", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCertRequest, "CertRequest", "--cert-request", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCertRetrieve, "CertRetrieve", "--cert-retrieve", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCertSerial, "CertSerial", "--cert-serial", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCipher, "Cipher", "--cipher", "Cipher", eArgTypeEnum, nullptr},
    {eZAFOpCipherNum, "CipherNum", "--cipher-num", nullptr, eArgTypeNone, nullptr},
    {eZAFOpChallengeFD, "ChallengeFD", "--challenge-fd", "Challenge-FD", eArgTypeInt, nullptr},
    {eZAFOpChangePassphrase, "ChangePassphrase", "--change-passphrase", nullptr, eArgTypeNone,
     nullptr},
    {eZAFOpCharSet, "CharSet", "--char-set", nullptr, eArgTypeNone, nullptr},
    {eZAFOpClear, "Clear", "--clearsig", "ClearSig", eArgTypeBool, nullptr},
    {eZAFOpCLVersion, "CLVersion", "--cmdline-format", "CmdLine-Format", eArgTypeEnum,
     "ZAF_CMDLINE_FORMAT"},
    {eZAFOpComment, "Comment", "--comment", "Comment", eArgTypeString, nullptr},
    {eZAFOpCompatible, "Compatible", "--compatible", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCompletesNeeded, "CompletesNeeded", "--completes-needed", "Completes-Needed",
     eArgTypeInt, nullptr},
    {eZAFOpCompress, "Compress", "--compress", "Compress", eArgTypeBool, nullptr},
    {eZAFOpConventional, "Conventional", "--conventional", nullptr, eArgTypeNone, nullptr},
    {eZAFOpContentionalPassphrase, "ContentionalPassphrase", "--conventional-passphrase", nullptr,
     eArgTypeNone, nullptr},
    {eZAFOpConventionalPassphraseFD, "ConventionalPassphraseFD", "--conventional-passphrase-fd",
     "Conventional-Passphrase-FD", eArgTypeInt, nullptr},
    {eZAFOpCount, "Count", "--count", nullptr, eArgTypeNone, nullptr},
    {eZAFOpCRL, "CRL", "--crl", nullptr, eArgTypeNone, nullptr},
    {eZAFOpDecrypt, "Decrypt", "--decrypt", nullptr, eArgTypeNone, nullptr},
    {eZAFOpDefaultKey, "DefaultKey", "--default-key", "Default-Key", eArgTypeKeyID, nullptr},
    {eZAFOpDelimiter, "Delimiter", "--delimiter", nullptr, eArgTypeNone, nullptr},
    {eZAFOpDepth, "Depth", "--depth", "Depth", eArgTypeInt, nullptr},
    {eZAFOpDescription, "Description", "--description", nullptr, eArgTypeNone, nullptr},
    {eZAFOpDetached, "Detached", "--detached", nullptr, eArgTypeNone, nullptr},
    {eZAFOpDisable, "Disable", "--disable", nullptr, eArgTypeNone, nullptr},
    {eZAFOpDiscardPaths, "DiscardPaths", "--discard-paths", "Discard-Paths", eArgTypeBool, nullptr},
    {eZAFOpEnable, "Enable", "--enable", nullptr, eArgTypeNone, nullptr},
    {eZAFOpEncrypt, "Encrypt", "--encrypt", nullptr, eArgTypeNone, nullptr},
    {eZAFOpEncryptSign, "EncryptSign", nullptr, nullptr, eArgTypeNone, nullptr},
    {eZAFOpEncryptToSelf, "EncryptToSelf", "--encrypt-to-self", "Encrypt-To-Self", eArgTypeBool,
     nullptr},
    {eZAFOpEnforceADK, "EnforceADK", "--enforce-adk", "Enforce-ADK", eArgTypeBool, nullptr},
    {eZAFOpExpiresAfter, "ExpiresAfter", "--expires-after", "Expires-After", eArgTypeInt, nullptr},
    {eZAFOpExportable, "Exportable", "--exportable", nullptr, eArgTypeNone, nullptr},
    {eZAFOpExportFormat, "ExportFormat", "--export-format", "Export-Format", eArgTypeEnum, nullptr},
    {eZAFOpExportPhotoID, "ExportPhotoID", "--extract-photoid", nullptr, eArgTypeNone, nullptr},
    {eZAFOpEyesOnly, "EyesOnly", "--secure-viewer", "Secure-Viewer", eArgTypeBool, nullptr},
    {eZAFOpFastKeyGen, "FastKeyGen", "--fast-key-gen", "FastKeyGen", eArgTypeBool, nullptr},
    {eZAFOpFingerprintView, "FingerprintView", "--fingerprint-view", "Fingerprint-View",
     eArgTypeEnum, nullptr},
    {eZAFOpForce, "Force", "--force", "Force", eArgTypeBool, nullptr},
    {eZAFOpForceFilename, "ForceFilename", "--force-filename", nullptr, eArgTypeNone, nullptr},
    {eZAFOpFTP, "FTP", "--ftp", nullptr, eArgTypeNone, nullptr},
    {eZAFOpFTPPassword, "FTPPassword", "--ftp-password", "FTP-Password", eArgTypeString, nullptr},
    {eZAFOpFTPPathname, "FTPPathname", "--ftp-pathname", "FTP-Pathname", eArgTypeString, nullptr},
    {eZAFOpFTPPort, "FTPPort", "--ftp-port", "FTP-Port", eArgTypeInt, nullptr},
    {eZAFOpFTPSecure, "FTPSecure", "--ftp-secure", "FTP-Secure", eArgTypeBool, nullptr},
    {eZAFOpFTPServer, "FTPServer", "--ftp-server", "FTP-Server", eArgTypeString, nullptr},
    {eZAFOpFTPUsername, "FTPUsername", "--ftp-username", "FTP-Username", eArgTypeString, nullptr},
    {eZAFOpGroupAdd, "GroupAdd", "--group-add", nullptr, eArgTypeNone, nullptr},
    {eZAFOpGroupDetail, "GroupDetail", "--group-detail", nullptr, eArgTypeNone, nullptr},
    {eZAFOpGroupList, "GroupList", "--group-list", nullptr, eArgTypeNone, nullptr},
    {eZAFOpGroupRemove, "GroupRemove", "--group-remove", nullptr, eArgTypeNone, nullptr},
    {eZAFOpGroupsFile, "GroupsFile", "--groups-file", "GroupsFile", eArgTypeString, nullptr},
    {eZAFOpHash, "Hash", "--hash", "Hash", eArgTypeEnum, nullptr},
    {eZAFOpHelp, "Help", "--help", nullptr, eArgTypeNone, nullptr},
    {eZAFOpHexDump, "HexDump", "--hex-dump", nullptr, eArgTypeNone, nullptr},
    {eZAFOpHostName, "HostName", "--hostname", nullptr, eArgTypeNone, nullptr},
    {eZAFOpInclude1, "Include1", nullptr, "Include", eArgTypeString, nullptr},
    {eZAFOpInclude2, "Include2", nullptr, "source", eArgTypeString, nullptr},
    {eZAFOpInfo, "Info", "--info", "Info", eArgTypeEnum, nullptr},
    {eZAFOpInput, "Input", "--input", nullptr, eArgTypeNone, nullptr},
    {eZAFOpInteractive, "Interactive", "--interactive", nullptr, eArgTypeNone, nullptr},
    {eZAFOpIntroducers, "Introducers", "--introducers", nullptr, eArgTypeNone, nullptr},
    {eZAFOpIssuerDN, "IssuerDN", "--issuer-dn", "Issuer-DN", eArgTypeString, nullptr},
    {eZAFOpIssuerSerial, "IssuerSerial", "--issuer-serial", "Issuer-Serial", eArgTypeString,
     nullptr},
    {eZAFOpKeyAdd, "KeyAdd", "--key-add", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyCheck, "KeyCheck", "--key-check", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyDeconstruct, "KeyDeconstruct", "--reconstruct-data", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyDetail, "KeyDetail", "--key-detail", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyEdit, "KeyEdit", "--key-edit", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyExport, "KeyExport", "--key-export", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyGen, "KeyGen", "--key-gen", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyJoin, "KeyJoin", "--key-join", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyList, "KeyList", "--key-list", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyMaintenance, "KeyMaintenance", "--key-maintenance", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyReconstruct, "KeyReconstruct", "--key-reconstruct", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyRemove, "KeyRemove", "--key-remove", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeys, "Keys", "--keys", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyServer, "KeyServer", "--keyserver", "KeyServer", eArgTypeString, nullptr},
    {eZAFOpKeyServerDelete, "KeyServerDelete", "--keyserver-delete", nullptr, eArgTypeNone,
     nullptr},
    {eZAFOpKeyServerDisable, "KeyServerDisable", "--keyserver-disable", nullptr, eArgTypeNone,
     nullptr},
    {eZAFOpKeyServerFetch, "KeyServerFetch", "--keyserver-fetch", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyServerSearch, "KeyServerSearch", "--keyserver-search", nullptr, eArgTypeNone,
     nullptr},
    {eZAFOpKeyServerSend, "KeyServerSend", "--keyserver-send", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyServerType, "KeyServerType", "--keyserver-type", "KeyServer-Type", eArgTypeEnum,
     nullptr},
    {eZAFOpKeySign, "KeySign", "--key-sign", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeySize, "KeySize", "--key-size", "Key-Size", eArgTypeInt, nullptr},
    {eZAFOpKeySplit, "KeySplit", "--key-split", nullptr, eArgTypeNone, nullptr},
    {eZAFOpKeyType, "KeyType", "--key-type", "Key-Type", eArgTypeEnum, nullptr},
    {eZAFOpKeyUpdate, "KeyUpdate", "--key-update", nullptr, eArgTypeNone, nullptr},
    {eZAFOpLanguage, "Language", "--language", nullptr, eArgTypeNone, nullptr},
    {eZAFOpListAliases, "ListAliases", "--list-aliases", nullptr, eArgTypeNone, nullptr},
    {eZAFOpLocalTimes, "LocalTimes", "--local-times", "Local-Times", eArgTypeBool, nullptr},
    {eZAFOpLogFile, "LogFile", "--log-file", "Log-File", eArgTypeString, nullptr},
    {eZAFOpMarginalsNeeded, "MarginalsNeeded", "--marginals-needed", "Marginals-Needed",
     eArgTypeInt, nullptr},
    {eZAFOpMime, "Mime", "--zaf-mime", "ZAF-Mime", eArgTypeBool, nullptr},
    {eZAFOpMimeParse, "MimeParse", "--zaf-mime-parse", "ZAF-MimeParse", eArgTypeBool, nullptr},
    {eZAFOpMulti, "Multi", "--multi", nullptr, eArgTypeNone, nullptr},
    {eZAFOpMyName, "MyName", "--my-name", nullptr, eArgTypeNone, nullptr},
    {eZAFOpNewPassphrase, "NewPassphrase", "--new-passphrase", nullptr, eArgTypeNone, nullptr},
    {eZAFOpOutput, "Output", "--output", nullptr, eArgTypeNone, nullptr},
    {eZAFOpOverwrite, "Overwrite", "--overwrite", "Overwrite", eArgTypeBool, nullptr},
    {eZAFOpPacketDump, "PacketDump", "--packet-dump", nullptr, eArgTypeNone, nullptr},
    {eZAFOpPacketList, "PacketList", "--packet-list", nullptr, eArgTypeNone, nullptr},
    {eZAFOpPager, "Pager", "--pager", "Pager", eArgTypeString, nullptr},
    {eZAFOpPassphrase, "Passphrase", "--passphrase", nullptr, eArgTypeNone, "ZAFPASS"},
    {eZAFOpPassphraseFD, "PassphraseFD", "--passphrase-fd", "Passphrase-FD", eArgTypeInt,
     "ZAFPASSFD"},
    {eZAFOpPassThrough, "PassThrough", "--pass-through", "Pass-Through", eArgTypeBool, nullptr},
    {eZAFOpZAFPath, "ZAFPath", "--zafpath", nullptr, eArgTypeString, "ZAFPATH"},
    {eZAFOpPKCS10, "PKCS10", "--pkcs10", nullptr, eArgTypeNone, nullptr},
    {eZAFOpPreserveFilename, "PreserveFilename", "--preserve-name", "Preserve-Name", eArgTypeBool,
     nullptr},
    {eZAFOpPubRing, "PubRing", "--pubring", "Pubring", eArgTypeString, nullptr},
    {eZAFOpQuestion, "Question", "--question", "Question", eArgTypeString | eArgTypeMulti, nullptr},
    {eZAFOpRandomDevice, "RandomDevice", "--random-device", "Random-Device", eArgTypeString,
     nullptr},
    {eZAFOpRandSeed, "RandSeed", "--randseed", "Randseed", eArgTypeString, nullptr},
    {eZAFOpRegExp, "RegExp", "--regexp", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRemovePhotoID, "RemovePhotoID", "--remove-photoid", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRemoveSignature, "RemoveSignature", "--remove-sig", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRemoveSubKey, "RemoveSubKey", "--remove-subkey", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRemoveUserID, "RemoveUserID", "--remove-userid", nullptr, eArgTypeNone, nullptr},
    {eZAFOpReverse, "Reverse", "--reverse", "Reverse", eArgTypeBool, nullptr},
    {eZAFOpRevokeSignature, "RevokeSignature", "--revoke-sig", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRevokeSubKey, "RevokeSubKey", "--revoke-subkey", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRevokeWith, "RevokeWith", "--revoke-with", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRevoke, "Revoke", "--revoke", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRevokers, "Revokers", "--revokers", nullptr, eArgTypeNone, nullptr},
    {eZAFOpRSAVersion, "RSAVersion", "--rsa-version", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSDA, "SDA", "--sda", "sda", eArgTypeNone, nullptr},
    {eZAFOpSecRing, "SecRing", "--secring", "Secring", eArgTypeString, nullptr},
    {eZAFOpSendShares, "SendShares", "--send-share", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSerial, "Serial", "--serial", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSetPrimaryUserId, "SetPrimaryUserId", "--set-primary-userid", nullptr, eArgTypeNone,
     nullptr},
    {eZAFOpShowPass, "ShowPass", "--show-pass", "ShowPass", eArgTypeBool, nullptr},
    {eZAFOpShowVersion, "ShowVersion", "--version", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSigDetail, "SigDetail", "--sig-detail", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSign, "Sign", "--sign", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSignedBy, "SignedBy", "--signed-by", "SignedBy", eArgTypeKeyID, nullptr},
    {eZAFOpSigner, "Signer", "--signer", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSigners, "Signers", "--signers", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSignOnly, "SignOnly", "--sign-only", "Sign-Only", eArgTypeBool, nullptr},
    {eZAFOpSignWith, "SignWith", "--sign-with", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSigType, "SigType", "--sig-type", "Sig-Type", eArgTypeEnum, nullptr},
    {eZAFOpSMTP, "SMTP", "--smtp", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSMTPServer, "SMTPServer", "--smtp-server", "SMTP-Server", eArgTypeString, nullptr},
    {eZAFOpSMTPPort, "SMTPPort", "--smtp-port", "SMTP-Port", eArgTypeInt, nullptr},
    {eZAFOpSMTPUsername, "SMTPUsername", "--smtp-username", "SMTP-Username", eArgTypeString,
     nullptr},
    {eZAFOpSMTPPassword, "SMTPPassword", "--smtp-password", "SMTP-Password", eArgTypeString,
     nullptr},
    {eZAFOpSMTPToAddress, "SMTPToAddress", "--smtp-recipient", "SMTP-Recipient", eArgTypeString,
     nullptr},
    {eZAFOpSMTPFromAddress, "SMTPFromAddress", "--smtp-sender", "SMTP-Sender", eArgTypeString,
     nullptr},
    {eZAFOpSMTPSubject, "SMTPSubject", "--smtp-subject", "SMTP-Subject", eArgTypeString, nullptr},
    {eZAFOpSMTPcc, "SMTPcc", "--smtp-cc", "SMTP-CC", eArgTypeString, nullptr},
    {eZAFOpSMTPbcc, "SMTPbcc", "--smtp-bcc", "SMTP-BCC", eArgTypeString, nullptr},
    {eZAFOpSMTPNote, "SMTPNote", "--smtp-note", "SMTP-Note", eArgTypeString, nullptr},
    {eZAFOpSMTPNoteFile, "SMTPNoteFile", "--smtp-note-file", "SMTP-NoteFile", eArgTypeString,
     nullptr},
    {eZAFOpSort, "Sort", "--sort", "Sort", eArgTypeEnum, nullptr},
    {eZAFOpStartDate, "StartDate", "--start-date", nullptr, eArgTypeNone, nullptr},
    {eZAFOpStatusFD, "StatusFD", "--status-fd", nullptr, eArgTypeNone, nullptr},
    // Command line only: no configuration file may make a habit of it.
    {eZAFOpStreamUnverified, "StreamUnverified", "--stream-unverified", nullptr, eArgTypeNone,
     nullptr},
    {eZAFOpSubKey, "SubKey", "--subkey", nullptr, eArgTypeNone, nullptr},
    {eZAFOpText, "Text", "--text", nullptr, eArgTypeNone, "TEXTMODE"},
    {eZAFOpThreshold, "Threshold", "--threshold", nullptr, eArgTypeNone, nullptr},
    {eZAFOpTmp, "Tmp", "--tmp", "Tmp", eArgTypeString, "TMP"},
    {eZAFOpTrust, "Trust", "--trust", nullptr, eArgTypeNone, nullptr},
    {eZAFOpSetTrust, "SetTrust", "--trust", nullptr, eArgTypeNone, nullptr},
    {eZAFOpUser, "User", "--user", nullptr, eArgTypeNone, nullptr},
    {eZAFOpUserID, "UserID", "--userid", nullptr, eArgTypeNone, nullptr},
    {eZAFOpVerbose, "Verbose", "--verbose", nullptr, eArgTypeNone, nullptr},
    {eZAFOpVerify, "Verify", "--verify", nullptr, eArgTypeNone, nullptr},
    {eZAFOpVersion, "Version", "--version", nullptr, eArgTypeNone, nullptr},
    {eZAFOpWarnADK, "WarnADK", "--warn-adk", "Warn-ADK", eArgTypeBool, nullptr},
    {eZAFOpWidth, "Width", "--width", "Width", eArgTypeInt, nullptr},
    {eZAFOpWipe, "Wipe", "--wipe", "Wipe", eArgTypeBool, nullptr},
    {eZAFOpWipePasses, "WipePasses", "--wipe-passes", "Wipe-Passes", eArgTypeInt, nullptr},
    {eZAFOpWithColons, "WithColons", "--with-colons", nullptr, eArgTypeNone, nullptr},
    {eZAFOpWithSecret, "WithSecret", "--with-private", nullptr, eArgTypeNone, nullptr},
    {eZAFOpWithSigs, "WithSigs", "--with-sigs", nullptr, eArgTypeNone, nullptr},
    {eZAFOpWithUserIDs, "WithUserIDs", "--with-userids", nullptr, eArgTypeNone, nullptr},
    {eZAFOpX509, "X509", "--x509", nullptr, eArgTypeNone, nullptr},
    {eZAFOpYes, "Yes", "--yes", nullptr, eArgTypeNone, nullptr},
};

const char* const CLLongOptions[193] = {
    "--wipe",
    "--sign",
    "--verify",
    "--encrypt",
    "--decrypt",
    "--list-aliases",
    "--help",
    "--version",
    "--packet-list",
    "--packet-dump",
    "--extract-photoid",
    "--armor",
    "--key-gen",
    "--key-list",
    "--key-detail",
    "--sig-detail",
    "--key-export",
    "--key-add",
    "--key-remove",
    "--key-update",
    "--key-sign",
    "--key-check",
    "--key-reconstruct",
    "--reconstruct-data",
    "--key-join",
    "--key-maintenance",
    "--key-split",
    "--send-share",
    "--cert-request",
    "--cert-retrieve",
    "--group-add",
    "--group-remove",
    "--group-list",
    "--group-detail",
    "--key-edit",
    "--revoke",
    "--add-userid",
    "--remove-userid",
    "--set-primary-userid",
    "--change-passphrase",
    "--add-revoker",
    "--add-photoid",
    "--remove-photoid",
    "--remove-sig",
    "--revoke-sig",
    "--disable",
    "--enable",
    "--remove-subkey",
    "--revoke-subkey",
    "--keyserver-send",
    "--keyserver-fetch",
    "--keyserver-search",
    "--keyserver-delete",
    "--keyserver-disable",
    "--cmdline-format",
    "--conventional",
    "--clearsig",
    "--detached",
    "--secure-viewer",
    "--text",
    "--binary",
    "--fast-key-gen",
    "--encrypt-to-self",
    "--with-sigs",
    "--with-userids",
    "--multi",
    "--reverse",
    "--hex-dump",
    "--add-all",
    "--overwrite",
    "--preserve-name",
    "--batch-mode",
    "--subkey",
    "--sda",
    "--archive",
    "--force",
    "--enforce-adk",
    "--pass-through",
    "--yes",
    "--with-private",
    "--keys",
    "--signers",
    "--revokers",
    "--introducers",
    "--x509",
    "--adk",
    "--show-pass",
    "--sign-only",
    "--warn-adk",
    "--pkcs10",
    "--compress",
    "--exportable",
    "--interactive",
    "--with-colons",
    "--zaf-mime",
    "--zaf-mime-parse",
    "--crl",
    "--compatible",
    "--local-times",
    "--discard-paths",
    "--authenticate",
    "--random-device",
    "--input",
    "--user",
    "--keyserver",
    "--question",
    "--answer",
    "--cert-attribute",
    "--width",
    "--key-size",
    "--expires-after",
    "--start-date",
    "--depth",
    "--passphrase-fd",
    "--conventional-passphrase-fd",
    "--challenge-fd",
    "--count",
    "--threshold",
    "--wipe-passes",
    "--cert-serial",
    "--cert-depth",
    "--cipher-num",
    "--completes-needed",
    "--marginals-needed",
    "--status-fd",
    "--verbose",
    "--rsa-version",
    "--output",
    "--pubring",
    "--secring",
    "--randseed",
    "--passphrase",
    "--new-passphrase",
    "--conventional-passphrase",
    "--sign-with",
    "--adk-key",
    "--zafpath",
    "--userid",
    "--signer",
    "--regexp",
    "--delimiter",
    "--my-name",
    "--auth-user",
    "--auth-passphrase",
    "--hostname",
    "--ca-revocation-url",
    "--ca-root-cert",
    "--ca-url",
    "--comment",
    "--default-key",
    "--groups-file",
    "--pager",
    "--tmp",
    "--issuer-dn",
    "--cert-issuer",
    "--char-set",
    "--language",
    "--issuer-serial",
    "--serial",
    "--description",
    "--signed-by",
    "--force-filename",
    "--trust",
    "--key-type",
    "--sort",
    "--fingerprint-view",
    "--info",
    "--sig-type",
    "--ca-type",
    "--keyserver-type",
    "--cipher",
    "--hash",
    "--export-format",
    "--allow-passphrase-retry",
    "--ftp",
    "--ftp-password",
    "--ftp-pathname",
    "--ftp-port",
    "--ftp-secure",
    "--ftp-server",
    "--ftp-username",
    "--smtp",
    "--smtp-server",
    "--smtp-port",
    "--smtp-username",
    "--smtp-password",
    "--smtp-recipient",
    "--smtp-sender",
    "--smtp-subject",
    "--smtp-cc",
    "--smtp-bcc",
    "--smtp-note",
    "--smtp-note-file",
};

unsigned int gOpsCount() { return static_cast<unsigned int>(std::size(gOps)); }

unsigned int gCLLongOptionsCount() { return static_cast<unsigned int>(std::size(CLLongOptions)); }

const SZAFOpStruct* _gGetOpStruct(eZAFOp op) {
    for (const SZAFOpStruct& row : gOps)
        if (row.op == op)
            return &row;
    return nullptr;
}

namespace {

template <class Error> std::string textOfOp(eZAFOp op, const char* SZAFOpStruct::*column) {
    const SZAFOpStruct* row = _gGetOpStruct(op);
    if (row == nullptr || row->*column == nullptr)
        throw new Error(static_cast<long>(op));
    return row->*column;
}

template <class Error> eZAFOp opOfText(const std::string& text, const char* SZAFOpStruct::*column) {
    for (const SZAFOpStruct& row : gOps)
        if (row.*column != nullptr && gEqualsIgnoreCase(row.*column, text))
            return row.op;
    throw new Error(text);
}

// The text without its hyphens, letter case folded: the form in which directives are compared.
std::string directiveKey(const std::string& text) {
    std::string key;
    key.reserve(text.size());
    for (char c : text)
        if (c != '-')
            key += gFoldCase(c);
    return key;
}

// True when the row's directive, without hyphens and case folded, equals `key`.
bool matchesDirectiveKey(const char* directive, const std::string& key) {
    std::size_t i = 0;
    for (const char* p = directive; *p != '\0'; ++p) {
        if (*p == '-')
            continue;
        if (i == key.size() || gFoldCase(*p) != key[i])
            return false;
        ++i;
    }
    return i == key.size();
}

} // namespace

std::string gNameFromOp(eZAFOp op) { return textOfOp<CZAFNoSuchOpError>(op, &SZAFOpStruct::name); }

std::string gCmdlineSwitchFromOp(eZAFOp op) {
    return textOfOp<CZAFNoSuchCmdlineSwitchError>(op, &SZAFOpStruct::cmdlineSwitch);
}

std::string gDirectiveFromOp(eZAFOp op) {
    return textOfOp<CZAFNoSuchDirectiveError>(op, &SZAFOpStruct::directive);
}

std::string gEnvVarFromOp(eZAFOp op) {
    return textOfOp<CZAFNoSuchEnvVarError>(op, &SZAFOpStruct::envVar);
}

eZAFOp gOpFromCmdlineSwitch(const std::string& text) {
    return opOfText<CZAFNoSuchCmdlineSwitchError>(text, &SZAFOpStruct::cmdlineSwitch);
}

eZAFOp gOpFromEnvVar(const std::string& text) {
    return opOfText<CZAFNoSuchEnvVarError>(text, &SZAFOpStruct::envVar);
}

eZAFOp gOpFromDirective(const std::string& text) {
    const std::string key = directiveKey(text);
    for (const SZAFOpStruct& row : gOps)
        if (row.directive != nullptr && matchesDirectiveKey(row.directive, key))
            return row.op;
    throw new CZAFNoSuchDirectiveError(text);
}

int32_t gCfgArgTypeFromOp(eZAFOp op) {
    const SZAFOpStruct* row = _gGetOpStruct(op);
    if (row == nullptr || (row->directive == nullptr && row->envVar == nullptr))
        throw new CZAFNoSuchDirectiveError(static_cast<long>(op));
    // A row that takes no value should never be reached from a configuration source.
    ZAF_ASSERT_TAG("nametables", row->argType != eArgTypeNone);
    return row->argType;
}

bool gArgToEnum(eZAFOp op, const std::string& text, int& value) {
    try {
        switch (op) {
        case eZAFOpTrust:
            value = static_cast<int>(gTrustFromString(text));
            return true;
        case eZAFOpKeyType:
            value = gKeyTypeFromStringArg(text);
            return true;
        case eZAFOpSort:
            value = gKeyOrderingFromString(text);
            return true;
        case eZAFOpFingerprintView:
            value = gFingerprintViewFromString(text);
            return true;
        case eZAFOpInfo:
            value = gInfoLevelFromString(text);
            return true;
        case eZAFOpSigType:
            value = gSigTypeFromString(text);
            return true;
        case eZAFOpCAType:
            value = gCATypeFromString(text);
            return true;
        case eZAFOpKeyServerType:
            value = gKeyServerTypeFromString(text);
            return true;
        case eZAFOpCipher:
            value = gCipherFromString(text);
            return true;
        case eZAFOpHash:
            value = gHashAlgorithmFromString(text);
            return true;
        case eZAFOpExportFormat:
            value = gExportFormatFromString(text);
            return true;
        case eZAFOpCLVersion:
            value = gCmdlineVersionFromString(text);
            return true;
        default:
            break;
        }
    } catch (CZAFTableLookupError* e) {
        delete e;
        return false;
    }
    ZAF_FAIL_TAG("vornserverconf");
}

std::string gStringFromOpValue(eZAFOp op, int value) {
    switch (op) {
    case eZAFOpKeyType:
        return gStringFromKeyTypeArg(static_cast<eKeyType>(value));
    case eZAFOpSort:
        return gStringFromKeyOrdering(static_cast<ZAFKeyOrdering>(value));
    case eZAFOpFingerprintView:
        return gStringFromFingerprintView(static_cast<eFingerprintView>(value));
    case eZAFOpInfo:
        return gStringFromInfoLevel(static_cast<eInfoLevel>(value));
    case eZAFOpSigType:
        return gStringFromSigType(static_cast<eSigType>(value));
    case eZAFOpCAType:
        return gStringFromCAType(static_cast<ZAFKeyServerClass>(value));
    case eZAFOpKeyServerType:
        return gStringFromKeyServerType(static_cast<ZAFKeyServerClass>(value));
    case eZAFOpCipher:
        return gStringFromCipher(static_cast<ZAFCipherAlgorithm>(value));
    case eZAFOpHash:
        return gStringFromHashAlgorithm(static_cast<ZAFHashAlgorithm>(value));
    case eZAFOpExportFormat:
        return gStringFromExportFormat(static_cast<ZAFExportFormat>(value));
    case eZAFOpCLVersion:
        return gStringFromCmdlineVersion(static_cast<eCmdlineVersion>(value));
    default:
        return std::to_string(value);
    }
}

bool gEnumToArg(eZAFOp op, int value, std::string& text) {
    try {
        text = gStringFromOpValue(op, value);
        return true;
    } catch (CZAFTableLookupError* e) {
        delete e;
        return false;
    }
}

} // namespace oozaf
