// vornserverconf: the configuration layers and the combined configuration's typed getters.
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserverconf.h>

namespace oozaf {

void CVornServerCfgEnvPart::processKeyValue(const std::string& key, const std::string& value) {
    eZAFOp op;
    try {
        op = gOpFromEnvVar(key);
    } catch (CZAFNoSuchEnvVarError* e) {
        gRethrowAs<CZAFPropertiesParsingException>(e, eReasonUnknownEnvSetting);
    }
    processOp(op, value);
}

void CVornServerCfgPolicyPart::processOp(eZAFOp op, const std::string& value) {
    switch (op) {
    case eZAFOpDefaultKey:
    case eZAFOpPubRing:
    case eZAFOpSecRing:
    case eZAFOpRandSeed: {
        auto* e = new CZAFPropertiesParsingException(eReasonNotInPolicy);
        e->setInfo("Directive '" + gSettingNameFromOp(op) + "'");
        throw e;
    }
    default:
        CVornServerCfgPart::processOp(op, value);
    }
}

void CVornServerCfgUserPart::processOp(eZAFOp op, const std::string& value) {
    CVornServerCfgPart::processOp(op, value);
}

bool CVornServerCfg::getUnquoted(eZAFOp op, std::string& out) const {
    std::string text;
    if (!getValue(op, text))
        return false;
    CZAFUtil::unquote(text);
    out = text;
    return true;
}

bool CVornServerCfg::getUseFastKeyGen(bool& out) const { return getValue(eZAFOpFastKeyGen, out); }
bool CVornServerCfg::getEnforceADK(bool& out) const { return getValue(eZAFOpEnforceADK, out); }
bool CVornServerCfg::getZAFMIME(bool& out) const { return getValue(eZAFOpMime, out); }
bool CVornServerCfg::getZAFMIMEParse(bool& out) const { return getValue(eZAFOpMimeParse, out); }

bool CVornServerCfg::getPubringFilename(std::string& out) const {
    return getUnquoted(eZAFOpPubRing, out);
}
bool CVornServerCfg::getSecringFilename(std::string& out) const {
    return getUnquoted(eZAFOpSecRing, out);
}
bool CVornServerCfg::getZAFPath(std::string& out) const { return getUnquoted(eZAFOpZAFPath, out); }
bool CVornServerCfg::getGroupsFilename(std::string& out) const {
    return getUnquoted(eZAFOpGroupsFile, out);
}
bool CVornServerCfg::getLogFilename(std::string& out) const {
    return getUnquoted(eZAFOpLogFile, out);
}
bool CVornServerCfg::getTmp(std::string& out) const { return getUnquoted(eZAFOpTmp, out); }
bool CVornServerCfg::getComment(std::string& out) const { return getValue(eZAFOpComment, out); }
bool CVornServerCfg::getRandSeed(std::string& out) const { return getValue(eZAFOpRandSeed, out); }

bool CVornServerCfg::getCertDepth(int& out) const { return getValue(eZAFOpCertDepth, out); }
bool CVornServerCfg::getCompletesNeeded(int& out) const {
    return getValue(eZAFOpCompletesNeeded, out);
}
bool CVornServerCfg::getMarginalsNeeded(int& out) const {
    return getValue(eZAFOpMarginalsNeeded, out);
}

bool CVornServerCfg::getInfoLevel(eInfoLevel& out) const { return getEnum(eZAFOpInfo, out); }
bool CVornServerCfg::getCipher(ZAFCipherAlgorithm& out) const { return getEnum(eZAFOpCipher, out); }
bool CVornServerCfg::getHash(ZAFHashAlgorithm& out) const { return getEnum(eZAFOpHash, out); }

} // namespace oozaf
