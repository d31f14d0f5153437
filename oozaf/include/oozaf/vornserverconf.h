// vornserverconf: the configuration layers (environment file, user, policy) and the combined
// configuration with its typed getters. Includes the value, part and file classes.
#ifndef OOZAF_VORNSERVERCONF_H
#define OOZAF_VORNSERVERCONF_H

#include <oozaf/cfgfile.h>
#include <oozaf/cfgpart.h>
#include <oozaf/nametables.h>
#include <oozaf/value.h>

#include <string>

namespace oozaf {

// The environment file's layer: its keys are environment variable names of the operation table
// (ignoring case), not directives. An unknown name raises CZAFPropertiesParsingException with
// reason 411 and the CZAFNoSuchEnvVarError as cause. A variable whose operation takes no value
// (ZAFPASS, TEXTMODE) raises reason 300.
class CVornServerCfgEnvPart final : public CVornServerCfgPart {
public:
    explicit CVornServerCfgEnvPart(CVornServerCfg* owner) : CVornServerCfgPart(owner) {}
    void processKeyValue(const std::string& key, const std::string& value) override;
};

// The site policy file's layer: it may not name the key rings, the random seed or the default
// signing key (DefaultKey, PubRing, SecRing, RandSeed raise reason 408); everything else is
// stored by the base rules.
class CVornServerCfgPolicyPart final : public CVornServerCfgPart {
public:
    explicit CVornServerCfgPolicyPart(CVornServerCfg* owner) : CVornServerCfgPart(owner) {}
    void processOp(eZAFOp op, const std::string& value) override;
};

// The layer of a user's own file (and of the site default file): every setting is allowed.
class CVornServerCfgUserPart final : public CVornServerCfgPart {
public:
    explicit CVornServerCfgUserPart(CVornServerCfg* owner) : CVornServerCfgPart(owner) {}
    void processOp(eZAFOp op, const std::string& value) override;
};

// The combined configuration: the layers merged in order (environment file, default, user,
// policy), each later one overriding the one-to-one settings of the earlier ones. The getters
// take one reference and return true after filling it when the setting has a value, or false,
// leaving it untouched. They apply no defaults: those come from the default file. Getters of
// file names remove one more pair of enclosing quotes. A stored value of the wrong kind is an
// internal error. Built once by one thread, then only read.
class CVornServerCfg final : public CVornServerCfgPart {
public:
    explicit CVornServerCfg(CVornServerCfg* owner = nullptr) : CVornServerCfgPart(owner) {}

    bool getUseFastKeyGen(bool& out) const;          // FastKeyGen
    bool getEnforceADK(bool& out) const;             // EnforceADK
    bool getZAFMIME(bool& out) const;                // ZAF-Mime
    bool getZAFMIMEParse(bool& out) const;           // ZAF-MimeParse
    bool getPubringFilename(std::string& out) const; // Pubring, unquoted
    bool getSecringFilename(std::string& out) const; // Secring, unquoted
    bool getZAFPath(std::string& out) const;         // ZAFPATH, unquoted
    bool getGroupsFilename(std::string& out) const;  // GroupsFile, unquoted
    bool getLogFilename(std::string& out) const;     // Log-File, unquoted
    bool getTmp(std::string& out) const;             // Tmp, unquoted
    bool getComment(std::string& out) const;
    bool getRandSeed(std::string& out) const;
    bool getCertDepth(int& out) const;
    bool getCompletesNeeded(int& out) const;
    bool getMarginalsNeeded(int& out) const;
    bool getInfoLevel(eInfoLevel& out) const;
    bool getCipher(ZAFCipherAlgorithm& out) const;
    bool getHash(ZAFHashAlgorithm& out) const;

private:
    bool getUnquoted(eZAFOp op, std::string& out) const;
    template <class E> bool getEnum(eZAFOp op, E& out) const {
        int value = 0;
        if (!getValue(op, value))
            return false;
        out = static_cast<E>(value);
        return true;
    }
};

} // namespace oozaf

#endif
