// vornserver: the server facade. One CVornServer per unit of work, made for the effective user
// whose keys are used: it assembles that user's configuration, opens the key rings, the groups
// file and the random seed, and carries every key operation and the transaction log reader.
#ifndef OOZAF_VORNSERVER_H
#define OOZAF_VORNSERVER_H

#include <oozaf/filemanager.h>
#include <oozaf/keyobjects.h>
#include <oozaf/nametables.h>
#include <oozaf/obj.h>
#include <oozaf/time.h>
#include <oozaf/vornserverconf.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace oozaf {

class CZAFContext;
class CZAFGroupSet;
class CZAFKey;
class CZAFKeyDB;
class CZAFKeySet;

// The settings a program lays between the user's file and the site policy: the command line of
// the command engine. The server asks for the layer once, while it assembles its configuration,
// and hands it the aliases of every configuration file (environment, default, user and policy;
// the later ones win), so that the program can expand them before it reads its switches. A
// throwable from layerFor leaves the constructor unchanged.
class CVornServerCommandLine {
public:
    virtual ~CVornServerCommandLine() = default;
    virtual const CVornServerCfgPart& layerFor(const CVornServerCfgPart::CAliasMap& aliases) = 0;
    // The personal directory the program names outright (a ZAFPath of its own), asked before any
    // configuration file is read; false for the configured one.
    virtual bool namedPersonalDirectory(std::string& directory) {
        (void)directory;
        return false;
    }
    // The settings read before the program's layer (environment, default and user files
    // merged) and those of the site policy, handed over just before layerFor(), so that the
    // program can read its own command line as they say.
    virtual void configurationBefore(const CVornServerCfgPart& merged,
                                     const CVornServerCfgPart& policy) {
        (void)merged;
        (void)policy;
    }
};

// One record of the transaction log: a line of six TAB-separated fields.
struct SVornLogEntry {
    CZAFTime start;
    CZAFTime end;
    std::string username; // characters that are not printable read as "?"
    std::string op;
    std::string cmdline; // characters that are not printable read as "?"
    int32_t rc = 0;
};

// Splits one transaction log line (without its line feed) at its TAB characters outside double
// quotes into `entry` (the line format is described at the reader, in translog.cpp; the quotes
// are not part of the fields). Returns false, leaving `entry` unchanged, when the line does not
// hold exactly six fields. The two times must read as "YYYY-MM-DD HH:MM:SS.mmm"
// (CZAFTimeParseException otherwise); the return code is read as a decimal number like atoi (no
// number gives 0; a number beyond the 32-bit range is clamped to it).
bool gParseVornLogLine(const std::string& line, SVornLogEntry& entry);

// The facade. Construction does all the start-up work (see the constructor); after it the
// configuration is read-only. The server owns its toolkit context, key database, group set, file
// manager and configuration layers.
//
// A server is used by one thread at a time (its toolkit context requires that), but several
// servers may live in one process, each with its own context and database. Everything that
// touches a user's files must run under that user's effective identity, the destructor included
// (it saves the groups file and the random seed).
//
// Every key operation raises only its own exception class from throwable.h (with the failure of
// the layers below as its cause, or with a reason of its own), CZAFError for defects, and
// standard library exceptions. Key IDs are the short key ID texts ("0x" + 8 hexadecimal
// digits), matched ignoring case; a key ID that is not found reaches the caller as the
// operation's exception with a CZAFKeyNotFoundException cause. Every operation that changes the
// key database writes it to the key rings before it returns successfully.
class CVornServer : public CZAFObj {
public:
    // Fixed file names.
    static const char* const kEnvFileName;      // "zaf.env", in the home directory
    static const char* const kDefaultFileName;  // "zaf-default.cfg", in the site directory
    static const char* const kPolicyFileName;   // "zaf-policy.cfg", in the site directory
    static const char* const kTemplateFileName; // "zaf-template.cfg", installation directory
    static const char* const kUserConfFileName; // "zaf.cfg", in the personal directory
    static const char* const kPersonalDirName;  // ".zaf", in the home directory
    static const char* const kPubRingName;      // "pubring.pkr"
    static const char* const kSecRingName;      // "secring.skr"
    static const char* const kGroupsName;       // "ZAFgroup.zgr"

    // Opens the server for the effective user:
    //  1. home directory from the password database (reason 100 when not found);
    //  2. the home's "zaf.env" as environment layer (missing or faulty: a warning);
    //  3. the personal directory (getZAFDirectory), created when missing (101), which must be a
    //     directory (103; 102 when it cannot be examined);
    //  4. the site default file, when present (faulty: a warning);
    //  5. the user's "zaf.cfg", copied from the installation directory's template when missing
    //     (104), then read (105 with the parse failure as cause);
    //  6. the site policy file, when present, last (faulty: a warning);
    //  7. the toolkit context (reason 4000 with the CZAFContextCreationException as cause);
    //  8. the key rings ("PubRing"/"SecRing" or the personal directory's "pubring.pkr" and
    //     "secring.skr"), created empty when missing (106), opened for changes (107);
    //  9. the groups file ("GroupsFile" or "ZAFgroup.zgr") (108);
    // 10. the random seed file when "RandSeed" is set (109);
    // 11. the toolkit environment: fixed settings, the configured certification depth (clamped
    //     to 0..8), comment, completes needed (clamped to 1..4), marginals needed, MIME flags,
    //     temporary directory ("Tmp" or the file manager's), cipher and hash.
    // Fatal failures raise CZAFServerOpenException with the reason above; other throwables
    // (internal errors) pass unchanged. Members already built are released on failure.
    CVornServer();
    // The same, with the program's command-line layer merged after the user's file and before
    // the site policy (so the policy still wins). `commandLine` is used only during construction.
    explicit CVornServer(CVornServerCommandLine* commandLine);
    // When the rings are read: at construction (step 8 above), or when first used, so that a
    // caller that can answer from elsewhere never reads them. Either way the ring files are
    // created empty when missing at construction.
    enum class eRingsRead { eAtOpen, eWhenUsed };
    CVornServer(CVornServerCommandLine* commandLine, eRingsRead when);
    // Deletes the group set (saving it when it changed), the key database and the context, in
    // that order, then the rest. Never throws: failures are logged.
    ~CVornServer() override;
    CVornServer(const CVornServer&) = delete;
    CVornServer& operator=(const CVornServer&) = delete;

    // Directories and configuration.

    // The home directory joined with ".zaf"; "/.zaf" when the home directory cannot be found.
    static std::string getDefaultPersonalZAFDir();
    // The configured "ZAFPath" when set, else getDefaultPersonalZAFDir().
    std::string getZAFDirectory() const;
    // The personal directory joined with "zaf.cfg".
    std::string getUserConfFilename() const;
    // The personal directory chosen at construction.
    const std::string& getPersonalDirectory() const { return m_personalDir; }
    // The combined configuration (environment file, default, user, policy).
    const CVornServerCfg& getConfiguration() const { return m_cfg; }

    // Where the site default and policy files are looked for. Defaults to the build's site
    // directory (ORX_SITE_DIR, normally "/etc/vorn"). setSiteDirectory changes it for the
    // whole process and for servers constructed afterwards (tests place their own site files
    // this way); an empty text restores the default. Any thread may call these.
    static std::string getSiteDirectory();
    static void setSiteDirectory(const std::string& directory);
    // The site directory joined with "zaf-default.cfg" / "zaf-policy.cfg".
    static std::string getDefaultConfFilename();
    static std::string getPolicyConfFilename();

    // The open key database; never null.
    // The key database; rings not read yet are read now (failing as step 8 above).
    CZAFKeyDB* getKeyDB();
    // The same for a caller that may not read the rings: they must have been read already.
    const CZAFKeyDB* getKeyDB() const;
    // Whether the rings were read into the key database yet.
    bool ringsRead() const { return m_keyDB != nullptr; }
    // The ring files the key database reads ("PubRing"/"SecRing" or the personal directory's).
    const std::string& getPubringPath() const { return m_pubringPath; }
    const std::string& getSecringPath() const { return m_secringPath; }
    // The open groups file; never null.
    CZAFGroupSet* getGroupSet();
    CZAFFileManager& getFileManager() { return m_fileManager; }
    const CZAFFileManager& getFileManager() const { return m_fileManager; }

    // Rewrites the user's configuration file so that its own settings equal `part`
    // (CVornServerCfgFile::update): comments and unchanged lines stay, the result is checked
    // before it replaces the old file. Affects servers constructed afterwards. Raises
    // CZAFPropertiesException.
    void mergeUserConfChanges(const CVornServerCfgPart& part);
    // True when a "LogFile" is configured.
    bool hasLog() const;
    // The transaction log's path: "LogFile" as configured when it is absolute, else within the
    // personal directory (so that every program, whatever its working directory, writes and
    // reads the same file). False when none is configured.
    bool getLogFilePath(std::string& path) const;
    // True when the toolkit's random pool is fed by the operating system (feature bit 32).
    bool hasRNG() const;

    // Key look-up and listing.

    // A new key (owned by the caller) whose short key ID equals `keyID` ignoring case. Raises
    // CZAFKeyNotFoundException, or CZAFSDKException for a toolkit failure.
    CZAFKey* getKeyByID(const std::string& keyID);
    // A new set (owned by the caller) of every key. Raises CZAFKeyListException.
    CZAFKeySet* keyList();
    // Re-reads the key rings; changes not yet written are kept. Raises CZAFKeyListException.
    void UpdateKeyDB();

    // Removes the key from the database and writes the rings. On success the key is deleted and
    // `key` set to null; on failure it stays. Raises CZAFKeyRemoveException.
    void removeKey(CZAFKey*& key);

    // Imports the keys in `data` (binary or armoured; X.509 is tried first). `x509` and
    // `withPrivate` are accepted for the callers' sake and not used. `status` becomes 0 when keys
    // were imported in the native format, 1 when imported as X.509, 2 when nothing changed (no
    // keys, or all of them already known with everything they carry). Anything new (a key, user
    // ID, subkey, signature, revocation or secret part) is written to the rings. Returns the
    // toolkit code of the last step: 0 on success, -11980 when the import produced no database,
    // another toolkit code when the import failed (status 2). Raises CZAFKeyImportException when
    // merging or writing fails.
    int32_t importKeyFromBuffer(const unsigned char* data, uint32_t length, bool x509,
                                bool withPrivate, int& status);
    // What the last import dropped for want of a verified self-signature or binding: user IDs
    // (and photo IDs) and subkeys. Zero before any import.
    void getLastImportDrops(unsigned int& userIDs, unsigned int& subkeys) const {
        userIDs = m_droppedUserIDs;
        subkeys = m_droppedSubkeys;
    }
    // At most this many certifications per user ID from issuers not held in the rings are
    // imported (the newest); self-signatures and certifications by held keys always are.
    static constexpr unsigned int kMaxForeignCertifications = 100;
    // How many certifications the last import dropped beyond kMaxForeignCertifications.
    unsigned int getLastImportDroppedCertifications() const { return m_droppedCertifications; }
    // What the last import did to the keys of its input: how many were new, how many it changed
    // (a user ID, subkey, signature, revocation or secret part added) and how many it left as
    // they were. All zero before any import and after one that failed before merging.
    struct SImportCounts {
        unsigned int newKeys = 0;
        unsigned int changed = 0;
        unsigned int unchanged = 0;
    };
    const SImportCounts& getLastImportCounts() const { return m_importCounts; }

    // Exports the key to `path` through a temporary file (removed, and wiped when it held secret
    // material, in every case); `replace` is the copy's replace flag. Raises
    // CZAFKeyExportException.
    void exportKey(const CZAFKey* key, const std::string& path, bool replace,
                   ZAFExportFormat format, bool withPrivate, bool armored);

    // Removes a temporary file of this server's (an export's, say); one that held `secret`
    // material is wiped first with the configured "WipePasses" (at least 1, at most 256). A wipe
    // that fails is logged and the file removed unwiped. Raises the file manager's exception when
    // the file cannot be removed.
    void removeTempFile(const std::string& temp, bool secret);

    // The image of the key's photo ID without its 16-byte image header. A key without a photo
    // ID, or whose photo data is shorter than the header, raises CZAFPhotoIDExportException
    // reason 1100.
    void exportPhotoID(const CZAFKey* key, std::string& image);
    void exportPhotoID(const std::string& keyID, std::string& image);

    // Key generation. Sizes are in bits. An expiry that is never (time 0) means no expiry;
    // otherwise its day must lie after today (701). Raises CZAFKeyGenException with the reasons
    // 600 to 607 and 701, or with CZAFEntropyShortageException as cause when the pool holds
    // less entropy than the generation needs. `adk` is a key ID or user ID pattern naming an
    // additional decryption key, or empty. Unless `signOnly`, DH/DSS and RSA keys get an
    // encryption subkey of the requested size.
    void generateKeyPair(const std::string& name, const std::string& passphrase, eKeyType type,
                         ZAFCipherAlgorithm cipher, uint16_t size, const std::string& adk,
                         bool signOnly, const CZAFTime& expiry);
    // The long key ID ("0x" and 16 hex digits) of the key pair the last successful
    // generateKeyPair made; empty before one, and after a failed one.
    const std::string& getLastGeneratedKeyID() const { return m_lastGeneratedKeyID; }

    // Adds an encryption subkey (ElGamal under DSA, RSA under RSA) starting at `start`. Raises
    // CZAFSubkeyGenException with reasons 700 (RSA-Legacy master), 701, 702 (expiry not after
    // the start), 703 (expiry after the master's), 607 (size), or with the toolkit's cause (a
    // start that is never, a master of another algorithm, a wrong passphrase).
    void generateSubkey(CZAFKey* key, const std::string& passphrase, uint16_t size,
                        const CZAFTime& start, const CZAFTime& expiry);
    void generateSubkey(const std::string& keyID, const std::string& passphrase, uint16_t size,
                        const CZAFTime& start, const CZAFTime& expiry);

    // Certifies the target's primary user ID with the signer. `depth` counts only for Meta (0
    // gives 2, else 2..8) and Introducer (0 gives 1, else 1..8) signatures; other depths raise
    // reason 800. Raises CZAFKeySignException (also 701 for an expiry not after today).
    void signKey(CZAFKey* target, CZAFKey* signer, eSigType type, const std::string& regexp,
                 const std::string& passphrase, unsigned int depth, const CZAFTime& expiry);

    // Adds a self-signed user ID. Raises CZAFKeyEditUserIDAddException.
    void addUserID(CZAFKey* key, const std::string& userID, const std::string& passphrase);
    void addUserID(const std::string& keyID, const std::string& userID,
                   const std::string& passphrase);

    // Removes the user ID named `pattern` (photo IDs are never touched). Without `substring`
    // only a user ID equal to the pattern matches; with it also one that contains it. `all`
    // (only together with `substring`) removes every match. Raises
    // CZAFKeyEditUserIDRemoveException: 1401 no match, 1400 it would remove the last user ID,
    // 1402 several matches and none equal to the pattern.
    void removeUserID(CZAFKey* key, const std::string& pattern, bool substring, bool all);
    void removeUserID(const std::string& keyID, const std::string& pattern, bool substring,
                      bool all);

    // Revokes the key, by the key itself (its secret part held) or by one of its designated
    // revokers. Raises CZAFKeyRevocationException: 1200 already revoked, 1201 not revocable,
    // 1202 any other revoker. `reason` goes into the revocation (none given by default).
    void revokeKey(CZAFKey* key, CZAFKey* revoker, const std::string& passphrase,
                   const SRevocationReason& reason = SRevocationReason());
    void revokeKey(const std::string& keyID, const std::string& revokerID,
                   const std::string& passphrase,
                   const SRevocationReason& reason = SRevocationReason());

    // What the toolkit's RSA support is. All outputs are set.
    void getRSAStatus(bool& rsaPresent, bool& rsaCanGenerate, bool& bsafe, bool& rsaref, bool& capi,
                      bool& ownRSA, std::string& description) const;

    // Entropy in bytes that generating the key pair (with its encryption subkey for DH/DSS and
    // RSA) or a subkey of `key` needs. A size outside the key type's range raises reason 607
    // (CZAFKeyGenException, CZAFSubkeyGenException); a master that takes no subkey raises
    // CZAFSubkeyGenException (700 for RSA-Legacy keys).
    unsigned int neededEntropyForKeyPair(eKeyType type, uint16_t size) const;
    unsigned int neededEntropyForSubkey(const CZAFKey* key, uint16_t size) const;
    // The entropy in bytes the pool has available (nothing is consumed). A toolkit failure
    // raises CZAFSDKException.
    unsigned int reserveEntropy(unsigned int bytesWanted);
    // Feeds each byte of `bytes` to the pool as one keystroke.
    void supplyEntropy(const std::string& bytes);

    // Transaction log.

    // Replaces `entries` with the records of the configured log file, in file order. Raises
    // CZAFLogException: reason 1500 when no log file is configured; reason 1501 at the first
    // line without six fields (the records before it stay in `entries`); otherwise with the
    // failure (an unreadable file, a bad time) as cause. A line longer than kMaxLogLineLength
    // bytes fails as a read error.
    void getLog(std::vector<SVornLogEntry>& entries) const;
    static const std::size_t kMaxLogLineLength = 65536;

private:
    void openConfiguration(CVornServerCommandLine* commandLine);
    void openPersonalDirectory();
    void openKeyDatabase(eRingsRead when);
    void readRings();
    void configureToolkitEnvironment();

    bool getFastKeyGen() const;
    unsigned int entropyBits(int32_t algorithm, unsigned int size, int32_t version,
                             uint32_t keyFlags) const;
    void doGenerateKeyPair(const std::string& name, const std::string& passphrase, eKeyType type,
                           ZAFCipherAlgorithm cipher, uint16_t size, const std::string& adk,
                           bool signOnly, const CZAFTime& expiry);
    void doGenerateSubkey(CZAFKey* key, const std::string& passphrase, uint16_t size,
                          const CZAFTime& start, const CZAFTime& expiry);
    void flushKeyDB();

    CVornServerCfgEnvPart m_envPart;
    CVornServerCfgUserPart m_userPart;
    CVornServerCfgUserPart m_defaultPart;
    CVornServerCfgPolicyPart m_policyPart;
    CVornServerCfg m_cfg;
    unsigned int m_droppedUserIDs = 0;
    unsigned int m_droppedCertifications = 0;
    std::string m_lastGeneratedKeyID;
    SImportCounts m_importCounts;
    unsigned int m_droppedSubkeys = 0;
    CZAFFileManager m_fileManager;
    std::string m_personalDir;
    std::string m_namedPersonalDir; // the program's own ZAFPath, when it names one
    // The key model, last: it goes first, the context (which the others use) after them.
    std::unique_ptr<CZAFContext> m_context;
    std::unique_ptr<CZAFKeyDB> m_keyDB;
    std::string m_pubringPath; // as configured, the rings read into m_keyDB
    std::string m_secringPath;
    std::unique_ptr<CZAFGroupSet> m_groupSet;
};

} // namespace oozaf

#endif
