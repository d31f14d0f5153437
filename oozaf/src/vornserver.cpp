// vornserver: start-up of the server facade (directories, configuration layers, the key model)
// and its configuration accessors.
#include <oozaf/keydb.h>
#include <oozaf/logger.h>
#include <oozaf/mutex.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>
#include <zaf/zafcontext.h>
#include <zaf/zafrandom.h>

#include <algorithm>
#include <orx/version.h>
#include <sstream>
#include <string>
#include <unistd.h>

#ifndef ORX_SITE_DIR
#define ORX_SITE_DIR "/etc/vorn"
#endif

namespace oozaf {

namespace {

const char* const kTag = "vornserver";

// The installation folder holds no template for a new user configuration: names the folder
// and what to set.
class CZAFInstallDirException final : public CZAFException {
public:
    explicit CZAFInstallDirException(std::string folder)
        : CZAFException(nullptr, eReasonNone), m_folder(std::move(folder)) {}
    std::string getMessage() const override {
        return "The installation folder " + m_folder +
               " holds no zaf-template.cfg: set ORXDIR to the folder that holds it (the build "
               "folder, or /etc/vorn where the package is installed)";
    }

private:
    std::string m_folder;
};

const char* const kVersionText = "Brevan Vorn Server v" ORX_VERSION;

// Priorities the server's settings carry in the toolkit environment.
const int32_t kFixedPriority = 0;
const int32_t kConfiguredPriority = 15;
const int32_t kTempDirPriority = 25;

// The process-wide site directory override; empty means the build's default.
CZAFMutex& siteLock() {
    static CZAFMutex lock("vornserver", __LINE__);
    return lock;
}

std::string& siteOverride() {
    static std::string directory;
    return directory;
}

std::string describe(const CZAFThrowable& throwable) {
    std::ostringstream text;
    text << throwable;
    return text.str();
}

// Reads an optional configuration file into `part`; a faulty file only costs a warning (the
// lines before the fault stay in the part).
void readOptional(const std::string& path, CVornServerCfgPart& part, const char* warning) {
    try {
        CVornServerCfgFile reader;
        reader.read(path, part, false);
    } catch (CZAFPropertiesException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_WARNING(warning << describe(*e));
    }
}

} // namespace

const char* const CVornServer::kEnvFileName = "zaf.env";
const char* const CVornServer::kDefaultFileName = "zaf-default.cfg";
const char* const CVornServer::kPolicyFileName = "zaf-policy.cfg";
const char* const CVornServer::kTemplateFileName = "zaf-template.cfg";
const char* const CVornServer::kUserConfFileName = "zaf.cfg";
const char* const CVornServer::kPersonalDirName = ".zaf";
const char* const CVornServer::kPubRingName = "pubring.pkr";
const char* const CVornServer::kSecRingName = "secring.skr";
const char* const CVornServer::kGroupsName = "ZAFgroup.zgr";

CVornServer::CVornServer() : CVornServer(nullptr) {}

CVornServer::CVornServer(CVornServerCommandLine* commandLine)
    : CVornServer(commandLine, eRingsRead::eAtOpen) {}

CVornServer::CVornServer(CVornServerCommandLine* commandLine, eRingsRead when)
    : m_envPart(nullptr), m_userPart(nullptr), m_defaultPart(nullptr), m_policyPart(nullptr),
      m_cfg(nullptr) {
    openConfiguration(commandLine);
    openKeyDatabase(when);
    configureToolkitEnvironment();
}

CVornServer::~CVornServer() = default;

void CVornServer::openConfiguration(CVornServerCommandLine* commandLine) {
    std::string home;
    if (!CZAFUtil::getPersonalDirectory(home))
        throw new CZAFServerOpenException(eReasonHomeDir);

    {
        // The environment file is optional: only one that is there and cannot be read is worth
        // a warning (a daemon opens a server for every login).
        const std::string envFile = CZAFFileManager::appendToDir(home, kEnvFileName);
        if (CZAFFileManager::fileExists(envFile)) {
            CVornServerCfgFile reader;
            try {
                reader.read(envFile, m_envPart, false);
            } catch (CZAFPropertiesException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_WARNING("WARNING: Could not open user's environment file:" << describe(*e));
            }
        } else {
            ZAF_LOG_DEBUG("No environment file " << envFile);
        }
        m_cfg.merge(m_envPart);
    }

    std::string named;
    if (commandLine != nullptr && commandLine->namedPersonalDirectory(named) && !named.empty())
        m_namedPersonalDir = named;
    // A personal folder this open makes is taken back when the configuration cannot be made.
    const bool newPersonalDirectory = !CZAFFileManager::fileExists(getZAFDirectory());
    openPersonalDirectory();

    const std::string defaultFile = getDefaultConfFilename();
    if (CZAFFileManager::fileExists(defaultFile)) {
        readOptional(defaultFile, m_defaultPart, "WARNING: Could not use default config file:");
        m_cfg.merge(m_defaultPart);
    } else {
        ZAF_LOG_VERBOSE("Default configuration file (" << defaultFile << ") not found. Skipping.");
    }

    const std::string userFile = getUserConfFilename();
    if (!CZAFFileManager::fileExists(userFile)) {
        ZAF_LOG_VERBOSE("Configuration file '" << userFile
                                               << "' does not exist. Copying from template...");
        const std::string installDir = CZAFUtil::getRunDirectory();
        const std::string templateFile =
            CZAFFileManager::appendToDir(installDir, kTemplateFileName);
        try {
            if (!CZAFFileManager::fileExists(templateFile))
                throw new CZAFServerOpenException(eReasonTemplateCopy,
                                                  new CZAFInstallDirException(installDir));
            try {
                CZAFFileManager::copyFiles(templateFile, userFile, true, true);
            } catch (CZAFFileException* e) {
                gRethrowAs<CZAFServerOpenException>(e, eReasonTemplateCopy);
            }
        } catch (CZAFThrowable*) {
            if (newPersonalDirectory)
                ::rmdir(m_personalDir.c_str()); // only when nothing was put in it
            throw;
        }
        ZAF_LOG_VERBOSE("Configuration file copied from template.");
    }
    try {
        CVornServerCfgFile reader;
        reader.read(userFile, m_userPart, false);
    } catch (CZAFPropertiesException* e) {
        gRethrowAs<CZAFServerOpenException>(e, eReasonUserConfRead);
    }
    m_cfg.merge(m_userPart);

    const std::string policyFile = getPolicyConfFilename();
    const bool havePolicy = CZAFFileManager::fileExists(policyFile);
    if (havePolicy)
        readOptional(policyFile, m_policyPart, "WARNING: Could not use policy config file:");
    else
        ZAF_LOG_VERBOSE("Policy configuration file (" << policyFile << ") not found. Skipping.");

    if (commandLine != nullptr) {
        CVornServerCfgPart::CAliasMap aliases = m_cfg.getAliases();
        for (const auto& alias : m_policyPart.getAliases())
            aliases[alias.first] = alias.second;
        commandLine->configurationBefore(m_cfg, m_policyPart);
        m_cfg.merge(commandLine->layerFor(aliases));
    }
    if (havePolicy)
        m_cfg.merge(m_policyPart);

    ZAF_LOG_DEBUG("Combined configuration follows:\n" << m_cfg);
}

void CVornServer::openPersonalDirectory() {
    m_personalDir = getZAFDirectory();
    ZAF_LOG_VERBOSE("ZAF Directory: " << m_personalDir);
    if (!CZAFFileManager::fileExists(m_personalDir)) {
        try {
            CZAFFileManager::createDirectory(m_personalDir);
        } catch (CZAFDirCreateException* e) {
            gRethrowAs<CZAFServerOpenException>(e, eReasonZafDirCreate);
        }
        return;
    }
    bool directory = false;
    try {
        directory = CZAFFileManager::isDirectory(m_personalDir, true);
    } catch (CZAFFileAccessException* e) {
        gRethrowAs<CZAFServerOpenException>(e, eReasonZafDirStat);
    }
    if (!directory)
        throw new CZAFServerOpenException(eReasonZafPathNotDir);
}

void CVornServer::openKeyDatabase(eRingsRead when) {
    try {
        m_context = std::make_unique<CZAFContext>();
    } catch (CZAFContextCreationException* e) {
        gRethrowAs<CZAFServerOpenException>(e, eReasonNone);
    }

    std::string pubring;
    if (!m_cfg.getPubringFilename(pubring))
        pubring = CZAFFileManager::appendToDir(m_personalDir, kPubRingName);
    std::string secring;
    if (!m_cfg.getSecringFilename(secring))
        secring = CZAFFileManager::appendToDir(m_personalDir, kSecRingName);
    ZAF_LOG_VERBOSE("Public ring filename: " << pubring);
    ZAF_LOG_VERBOSE("Secret ring filename: " << secring);
    for (const std::string& ring : {pubring, secring}) {
        if (CZAFFileManager::fileExists(ring))
            continue;
        try {
            CZAFFileManager::createEmptyFile(ring);
        } catch (CZAFFileException* e) {
            gRethrowAs<CZAFServerOpenException>(e, eReasonNewKeyRings);
        }
    }

    m_pubringPath = pubring;
    m_secringPath = secring;
    if (when == eRingsRead::eAtOpen)
        readRings();

    std::string groups;
    if (!m_cfg.getGroupsFilename(groups))
        groups = CZAFFileManager::appendToDir(m_personalDir, kGroupsName);
    ZAF_LOG_VERBOSE("Groups filename:      " << groups);
    try {
        m_groupSet = std::make_unique<CZAFGroupSet>(*m_context, groups);
    } catch (CZAFException* e) {
        gRethrowAs<CZAFServerOpenException>(e, eReasonGroupsFile);
    }

    std::string seed;
    if (m_cfg.getRandSeed(seed)) {
        // A seed path the toolkit cannot even name fails like one it cannot open.
        try {
            CNOLFileSpec spec(*m_context, seed);
            const ZAFError code = ZAFSetRandSeedFile(m_context->getHandle(), spec.getHandle());
            if (code != kZAFError_NoErr)
                throw new CZAFSDKException(code);
        } catch (CZAFSDKException* e) {
            gRethrowAs<CZAFServerOpenException>(e, eReasonRandSeed);
        }
    }
}

void CVornServer::configureToolkitEnvironment() {
    ZAFEnvironmentRef env = zafContextGetEnvironment(m_context->getHandle());
    ZAF_ASSERT_TAG(kTag, env != nullptr);

    // The toolkit refuses only values it cannot hold (an overlong comment, say); the server
    // still works without them, so such a refusal is reported and start-up goes on.
    auto setInt = [env](int32_t selector, int32_t value, int32_t priority) {
        const ZAFError code = zafenvSetInt(env, selector, value, priority);
        if (code != kZAFError_NoErr)
            ZAF_LOG_WARNING("WARNING: The toolkit refused setting " << selector << " (" << value
                                                                    << "), error " << code);
    };
    auto setString = [env](int32_t selector, const std::string& value, int32_t priority) {
        const ZAFError code = zafenvSetString(env, selector, value.c_str(), priority);
        if (code != kZAFError_NoErr)
            ZAF_LOG_WARNING("WARNING: The toolkit refused setting " << selector << ", error "
                                                                    << code);
    };

    setString(kZAFEnv_Charset, "noconv", kFixedPriority);
    setInt(kZAFEnv_Int1015, 0, kFixedPriority);
    setInt(kZAFEnv_Int1017, 3, kFixedPriority);
    setString(kZAFEnv_Language, "en", kFixedPriority);
    setString(kZAFEnv_Version, kVersionText, kFixedPriority);

    int number = 0;
    bool flag = false;
    std::string text;
    if (m_cfg.getCertDepth(number))
        setInt(kZAFEnv_CertDepth, std::min(std::max(number, 0), 8), kConfiguredPriority);
    if (m_cfg.getComment(text))
        setString(kZAFEnv_Comment, text, kConfiguredPriority);
    if (m_cfg.getCompletesNeeded(number))
        setInt(kZAFEnv_CompletesNeeded, std::min(std::max(number, 1), 4), kConfiguredPriority);
    if (m_cfg.getMarginalsNeeded(number))
        setInt(kZAFEnv_MarginalsNeeded, number, kConfiguredPriority);
    if (m_cfg.getZAFMIME(flag))
        setInt(kZAFEnv_Mime, flag ? 1 : 0, kConfiguredPriority);
    if (m_cfg.getZAFMIMEParse(flag))
        setInt(kZAFEnv_MimeParse, flag ? 1 : 0, kConfiguredPriority);

    std::string tmp;
    if (m_cfg.getTmp(tmp))
        m_fileManager.setTempDirectory(tmp);
    setString(kZAFEnv_TempDirectory, m_fileManager.getTempDirectory(), kTempDirPriority);

    ZAFCipherAlgorithm cipher;
    if (m_cfg.getCipher(cipher))
        setInt(kZAFEnv_Cipher, cipher, kConfiguredPriority);
    ZAFHashAlgorithm hash;
    if (m_cfg.getHash(hash))
        setInt(kZAFEnv_Hash, hash, kConfiguredPriority);
}

std::string CVornServer::getDefaultPersonalZAFDir() {
    std::string home;
    if (!CZAFUtil::getPersonalDirectory(home))
        return std::string("/") + kPersonalDirName;
    return CZAFFileManager::appendToDir(home, kPersonalDirName);
}

std::string CVornServer::getZAFDirectory() const {
    std::string directory = m_namedPersonalDir;
    if (directory.empty() && !m_cfg.getZAFPath(directory))
        directory = getDefaultPersonalZAFDir();
    ZAF_ASSERT_TAG(kTag, !directory.empty());
    return directory;
}

std::string CVornServer::getUserConfFilename() const {
    return CZAFFileManager::appendToDir(m_personalDir, kUserConfFileName);
}

std::string CVornServer::getSiteDirectory() {
    CZAFLockGuard lock(siteLock());
    return siteOverride().empty() ? std::string(ORX_SITE_DIR) : siteOverride();
}

void CVornServer::setSiteDirectory(const std::string& directory) {
    CZAFLockGuard lock(siteLock());
    siteOverride() = directory;
}

std::string CVornServer::getDefaultConfFilename() {
    return CZAFFileManager::appendToDir(getSiteDirectory(), kDefaultFileName);
}

std::string CVornServer::getPolicyConfFilename() {
    return CZAFFileManager::appendToDir(getSiteDirectory(), kPolicyFileName);
}

void CVornServer::readRings() {
    try {
        m_keyDB = std::make_unique<CZAFKeyDB>(*m_context, kZAFOpenKeyDBFileOptions_Mutable,
                                              m_pubringPath, m_secringPath);
    } catch (CZAFSDKException* e) {
        gRethrowAs<CZAFServerOpenException>(e, eReasonKeyDBOpen);
    }
}

CZAFKeyDB* CVornServer::getKeyDB() {
    if (m_keyDB == nullptr)
        readRings();
    return m_keyDB.get();
}

const CZAFKeyDB* CVornServer::getKeyDB() const {
    ZAF_ASSERT_TAG(kTag, m_keyDB != nullptr);
    return m_keyDB.get();
}

CZAFGroupSet* CVornServer::getGroupSet() {
    ZAF_ASSERT_TAG(kTag, m_groupSet != nullptr);
    return m_groupSet.get();
}

void CVornServer::mergeUserConfChanges(const CVornServerCfgPart& part) {
    CVornServerCfgFile reader;
    reader.update(getUserConfFilename(), part);
}

bool CVornServer::hasLog() const {
    std::string path;
    return m_cfg.getLogFilename(path);
}

bool CVornServer::getLogFilePath(std::string& path) const {
    std::string configured;
    if (!m_cfg.getLogFilename(configured))
        return false;
    path = configured.empty() || configured[0] == '/'
               ? configured
               : CZAFFileManager::appendToDir(m_personalDir, configured);
    return true;
}

bool CVornServer::hasRNG() const {
    uint32_t flags = 0;
    if (ZAFGetFeatureFlags(kZAFFeatureSelector_Basic, &flags) != kZAFError_NoErr)
        return false;
    return (flags & kZAFFeatureMask_OSRandom) != 0;
}

} // namespace oozaf
