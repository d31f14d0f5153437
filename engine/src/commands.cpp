// commands: the engine's command table, the rules of its command line, alias expansion, the
// splitting of command texts, the logged form of a command line, and the help and version texts.
#include "engine_internal.h"

#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <orx/version.h>
#include <set>

using namespace oozaf;

namespace orxengine {

void fail(int32_t code, const std::string& message) { throw SEngineError{code, message}; }

namespace {

const char* const kVersion = ORX_VERSION;

// Switches that take no argument and modify some commands.
const char* const kFlagOptions[] = {
    "--with-sigs",  "--with-userids",      "--with-colons", "--with-private", "--batch-mode",
    "--exportable", "--detached",          "--text",        "--yes",          "--verbose",
    "--keys",       "--signers",           "--revokers",    "--introducers",  "--compatible",
    "--hex-dump",   "--stream-unverified", "--adk",         "--binary",       "--interactive",
    "--subkey"};
// Switches that take exactly one argument and modify some commands.
const char* const kValueOptions[] = {
    "--output",    "--input",       "--sign-with",  "--revoke-with",    "--regexp",
    "--status-fd", "--rsa-version", "--cipher-num", "--threshold",      "--count",
    "--delimiter", "--user",        "--signer",     "--force-filename", "--start-date"};
// Switches whose argument would be a secret: refused, and never logged.
const char* const kSecretSwitches[] = {
    "--passphrase",      "--new-passphrase", "--conventional-passphrase",
    "--auth-passphrase", "--ftp-password",   "--smtp-password"};

template <std::size_t N> bool inList(const char* const (&list)[N], const std::string& sw) {
    for (const char* entry : list)
        if (sw == entry)
            return true;
    return false;
}

// The operation of a switch, or false when the table has none.
bool opOfSwitch(const std::string& sw, eZAFOp& op) {
    try {
        op = gOpFromCmdlineSwitch(sw);
        return true;
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        return false;
    }
}

int32_t configType(eZAFOp op) {
    const SZAFOpStruct* row = _gGetOpStruct(op);
    if (row == nullptr || (row->directive == nullptr && row->envVar == nullptr))
        return eArgTypeNone;
    return row->argType;
}

void noArgs(CEngineRun&) {}

} // namespace

const std::vector<SEngineCommand>& gCommands() {
    static const std::vector<SEngineCommand> commands = {
        {eZAFOpKeyList, 0, kMany, true, gCmdKeyList, "--key-list [PATTERN...]",
         "list keys (--with-userids, --with-sigs, --with-colons, --sort, --reverse)"},
        {eZAFOpKeyDetail, 1, kMany, true, gCmdKeyDetail, "--key-detail PATTERN...",
         "show keys with every user ID, subkey, signature and fingerprint"},
        {eZAFOpKeyGen, 0, 0, true, gCmdKeyGen, "--key-gen",
         "make a key pair (--key-type, --key-size, --userid, --cipher, --sign-only)"},
        {eZAFOpKeyAdd, 0, kMany, true, gCmdKeyAdd, "--key-add [FILE...]",
         "import keys from files or standard input"},
        {eZAFOpKeyExport, 0, kMany, true, gCmdKeyExport, "--key-export [PATTERN...]",
         "export keys (--armor, --with-private, --export-format, --output)"},
        {eZAFOpKeyRemove, 1, kMany, true, gCmdKeyRemove, "--key-remove KEY...",
         "remove keys (--force for keys with a secret part)"},
        {eZAFOpKeySign, 1, 1, true, gCmdKeySign, "--key-sign KEY",
         "certify a key's primary user ID (--sign-with, --sig-type, --depth, --regexp)"},
        {eZAFOpRevoke, 1, 3, true, gCmdRevoke, "--revoke KEY [REASON [TEXT]]",
         "revoke a key (--revoke-with a designated revoker); REASON: none, superseded, "
         "compromised, retired or the RFC 4880 code"},
        {eZAFOpRevokeSubKey, 1, 3, true, gCmdRevokeSubkey,
         "--revoke-subkey SUBKEY-ID [REASON [TEXT]]", "revoke a subkey"},
        {eZAFOpRevokeSignature, 2, 4, true, gCmdRevokeSig,
         "--revoke-sig KEY SIGNER [REASON [TEXT]]",
         "revoke the signer's certifications of the key"},
        {eZAFOpRemoveSignature, 2, 2, true, gCmdRemoveSig, "--remove-sig KEY SIGNER",
         "remove the signer's certifications from the key"},
        {eZAFOpAddUserID, 2, 2, true, gCmdAddUserID, "--add-userid KEY USER-ID", "add a user ID"},
        {eZAFOpRemoveUserID, 2, 2, true, gCmdRemoveUserID, "--remove-userid KEY USER-ID",
         "remove a user ID"},
        {eZAFOpAddRevoker, 2, 2, true, gCmdAddRevoker, "--add-revoker KEY REVOKER",
         "name a designated revoker"},
        {eZAFOpAddPhotoID, 2, 2, true, gCmdAddPhotoID, "--add-photoid KEY JPEG-FILE",
         "add a photo ID"},
        {eZAFOpExportPhotoID, 1, 1, true, gCmdExtractPhotoID, "--extract-photoid KEY",
         "write a key's photo ID image (--output)"},
        {eZAFOpRemovePhotoID, 1, 1, true, gCmdRemovePhotoID, "--remove-photoid KEY",
         "remove a key's photo ID"},
        {eZAFOpRemoveSubKey, 1, 1, true, gCmdRemoveSubkey, "--remove-subkey SUBKEY-ID",
         "remove a subkey"},
        {eZAFOpDisable, 1, kMany, true, gCmdDisable, "--disable KEY...", "disable keys"},
        {eZAFOpEnable, 1, kMany, true, gCmdEnable, "--enable KEY...", "enable keys"},
        {eZAFOpTrust, 2, 2, true, gCmdTrust, "--trust KEY LEVEL",
         "set owner trust: none, marginal, complete or implicit"},
        {eZAFOpKeyCheck, 0, kMany, true, gCmdKeyCheck, "--key-check [PATTERN...]",
         "check every signature of the keys"},
        {eZAFOpGroupAdd, 1, kMany, true, gCmdGroupAdd, "--group-add GROUP [KEY...]",
         "make a group or add keys to it"},
        {eZAFOpGroupList, 0, 0, true, gCmdGroupList, "--group-list", "list the groups"},
        {eZAFOpGroupDetail, 1, kMany, true, gCmdGroupDetail, "--group-detail GROUP...",
         "list a group's keys"},
        {eZAFOpGroupRemove, 1, kMany, true, gCmdGroupRemove, "--group-remove GROUP...",
         "remove groups"},
        {eZAFOpPacketList, 0, 1, false, gCmdPacketList, "--packet-list [FILE]",
         "list the packets of a file or of standard input (--hex-dump: their bytes too)"},
        {eZAFOpPacketDump, 0, 1, false, gCmdPacketDump, "--packet-dump [FILE]",
         "list the packets with every field (signature subpackets, key material sizes)"},
        {eZAFOpSigDetail, 1, kMany, true, gCmdSigDetail, "--sig-detail PATTERN...",
         "every signature on the keys with its type, times, hash, trust and verification"},
        {eZAFOpKeyEdit, 1, 1, true, gCmdKeyEdit, "--key-edit KEY",
         "edit a key: --interactive (a menu on the terminal), or --subkey [--start-date DATE], "
         "--expires-after DAYS, --new-passphrase; written only when saved"},
        {eZAFOpKeyMaintenance, 0, kMany, true, gCmdKeyMaintenance, "--key-maintenance [PATTERN...]",
         "check every signature, drop those that do not verify, rebuild the check results"},
        {eZAFOpKeySplit, 1, 1, true, gCmdKeySplit, "--key-split KEY",
         "cut a key pair's secret part into --count N shares, any --threshold K of which "
         "rebuild it (--userid HOLDER... or share passphrases; --force removes the secret part)"},
        {eZAFOpKeyJoin, 1, kMany, true, gCmdKeyJoin, "--key-join SHARE-FILE...",
         "restore a secret part from K share files (--new-passphrase: protect it anew)"},
        {eZAFOpKeyReconstruct, 1, kMany, true, gCmdKeyJoin, "--key-reconstruct SHARE-FILE...",
         "the same as --key-join"},
        {eZAFOpSendShares, 1, 1, true, gCmdSendShare, "--send-share SHARE-FILE",
         "protect a share of yours for the joining party --userid KEY (a file to hand over)"},
        {eZAFOpChangePassphrase, 1, 1, true, gCmdChangePassphrase, "--change-passphrase KEY",
         "change the passphrase of a key pair (old, then new from --passphrase-fd)"},
        {eZAFOpSetPrimaryUserId, 2, 2, true, gCmdSetPrimaryUserID,
         "--set-primary-userid KEY USER-ID", "make USER-ID the key's primary user ID"},
        {eZAFOpEncrypt, 0, kMany, true, gCmdEncrypt, "--encrypt [FILE | --multi FILE...]",
         "encrypt to --userid KEY|GROUP... (--sign, --conventional, --encrypt-to-self, --cipher)"},
        {eZAFOpConventional, 0, kMany, true, gCmdConventional, "--conventional [FILE]",
         "encrypt with a passphrase (--sign to sign too)"},
        {eZAFOpSign, 0, kMany, true, gCmdSign, "--sign [FILE]",
         "sign (--sign-with, --hash, --clearsig, --detached, --text)"},
        {eZAFOpDecrypt, 0, kMany, true, gCmdDecrypt, "--decrypt [FILE | --multi FILE...]",
         "decrypt and/or verify a message, reporting each signature"},
        {eZAFOpVerify, 0, kMany, true, gCmdVerify,
         "--verify [MESSAGE | SIGNATURE DATA | --multi FILE...]",
         "check the signatures of a message, or a detached signature of DATA"},
        {eZAFOpListAliases, 0, 0, true, gCmdListAliases, "--list-aliases",
         "list the command aliases of the configuration"},
        {eZAFOpHelp, 0, 0, false, noArgs, "--help", "show this text"},
        {eZAFOpShowVersion, 0, 0, false, noArgs, "--version", "show the version"},
        {eZAFOpInfo, 0, 1, true, gCmdInfo, "--info [LEVEL]",
         "alone: show files and settings; with a command: quiet, normal, verbose or debug"},
        {eZAFOpKeyServerSearch, 1, kMany, true, gCmdKeyServerSearch,
         "--keyserver-search PATTERN...", "list the keys a key server holds (--keyserver URL)"},
        {eZAFOpKeyServerFetch, 1, kMany, true, gCmdKeyServerFetch, "--keyserver-fetch KEY...",
         "import keys from a key server by key ID or fingerprint"},
        {eZAFOpKeyUpdate, 0, kMany, true, gCmdKeyUpdate, "--key-update [PATTERN...]",
         "refresh held keys from a key server (revocations, signatures, subkeys)"},
    };
    return commands;
}

const SEngineCommand* gFindCommand(eZAFOp op) {
    for (const SEngineCommand& c : gCommands())
        if (c.op == op)
            return &c;
    return nullptr;
}

bool gOptionAppliesTo(const std::string& option, eZAFOp command) {
    static const std::vector<std::pair<const char*, std::set<eZAFOp>>> rules = {
        {"--with-sigs", {eZAFOpKeyList, eZAFOpKeyDetail}},
        {"--with-userids", {eZAFOpKeyList, eZAFOpKeyDetail}},
        {"--with-colons",
         {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyCheck, eZAFOpGroupList, eZAFOpGroupDetail,
          eZAFOpKeyAdd, eZAFOpKeyServerSearch, eZAFOpKeyServerFetch, eZAFOpKeyUpdate}},
        {"--with-private", {eZAFOpKeyExport}},
        {"--output",
         {eZAFOpKeyServerSearch, eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyExport,
          eZAFOpExportPhotoID, eZAFOpPacketList, eZAFOpGroupList, eZAFOpGroupDetail, eZAFOpKeyCheck,
          eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign, eZAFOpDecrypt, eZAFOpVerify,
          eZAFOpSigDetail, eZAFOpPacketDump, eZAFOpKeySplit, eZAFOpSendShares}},
        {"--input",
         {eZAFOpKeyAdd, eZAFOpPacketList, eZAFOpPacketDump, eZAFOpEncrypt, eZAFOpConventional,
          eZAFOpSign, eZAFOpDecrypt, eZAFOpVerify}},
        {"--userid", {eZAFOpKeyGen, eZAFOpEncrypt, eZAFOpKeySplit, eZAFOpSendShares}},
        {"--sign-with", {eZAFOpKeySign, eZAFOpSign, eZAFOpEncrypt, eZAFOpConventional}},
        {"--status-fd",
         {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign, eZAFOpDecrypt, eZAFOpVerify}},
        {"--stream-unverified", {eZAFOpDecrypt, eZAFOpVerify}},
        {"--text", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign}},
        {"--detached", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign}},
        {"--clearsig", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign}},
        {"--wipe", {eZAFOpEncrypt, eZAFOpConventional}},
        {"--wipe-passes", {eZAFOpEncrypt, eZAFOpConventional}},
        {"--encrypt-to-self", {eZAFOpEncrypt}},
        {"--sign-only", {eZAFOpKeyGen}},
        {"--regexp", {eZAFOpKeySign}},
        {"--exportable", {eZAFOpKeySign}},
        {"--revoke-with", {eZAFOpRevoke}},
        {"--keys",
         {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyExport, eZAFOpKeyCheck, eZAFOpSigDetail}},
        {"--signers", {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyExport}},
        {"--signer", {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyCheck, eZAFOpSigDetail}},
        {"--revokers", {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpGroupDetail}},
        {"--introducers", {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpGroupDetail}},
        {"--compatible", {eZAFOpKeyExport}},
        {"--multi", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign, eZAFOpDecrypt, eZAFOpVerify}},
        {"--preserve-name", {eZAFOpDecrypt}},
        {"--force-filename", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign}},
        {"--discard-paths", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign}},
        {"--pass-through", {eZAFOpDecrypt, eZAFOpVerify}},
        {"--signed-by", {eZAFOpDecrypt, eZAFOpVerify}},
        {"--authenticate", {eZAFOpDecrypt, eZAFOpVerify}},
        {"--binary",
         {eZAFOpEncrypt, eZAFOpConventional, eZAFOpSign, eZAFOpKeyExport, eZAFOpKeySplit,
          eZAFOpSendShares}},
        {"--conventional-passphrase-fd", {eZAFOpEncrypt, eZAFOpConventional, eZAFOpDecrypt}},
        {"--threshold", {eZAFOpKeySplit}},
        {"--count", {eZAFOpKeySplit}},
        {"--challenge-fd",
         {eZAFOpKeySplit, eZAFOpKeyJoin, eZAFOpKeyReconstruct, eZAFOpSendShares, eZAFOpDecrypt,
          eZAFOpSign}},
        {"--reconstruct-data", {eZAFOpDecrypt, eZAFOpSign}},
        {"--new-passphrase", {eZAFOpKeyJoin, eZAFOpKeyReconstruct, eZAFOpKeyEdit}},
        {"--interactive", {eZAFOpKeyEdit}},
        {"--subkey", {eZAFOpKeyEdit}},
        {"--start-date", {eZAFOpKeyEdit}},
        {"--adk", {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpGroupDetail}},
        {"--adk-key", {eZAFOpKeyGen, eZAFOpEncrypt}},
        {"--enforce-adk", {eZAFOpKeyGen, eZAFOpEncrypt}},
        {"--warn-adk", {eZAFOpEncrypt}},
        {"--add-all", {eZAFOpEncrypt}},
        {"--hex-dump", {eZAFOpPacketList, eZAFOpPacketDump}},
        {"--rsa-version", {eZAFOpKeyGen}},
        {"--random-device", {eZAFOpKeyGen, eZAFOpKeyEdit}},
        {"--cipher-num", {eZAFOpKeyGen, eZAFOpEncrypt, eZAFOpConventional}},
        {"--delimiter",
         {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyCheck, eZAFOpGroupList, eZAFOpGroupDetail,
          eZAFOpKeyAdd, eZAFOpSigDetail}},
        {"--width",
         {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyCheck, eZAFOpGroupList, eZAFOpGroupDetail,
          eZAFOpSigDetail, eZAFOpPacketList, eZAFOpPacketDump}},
        {"--pager",
         {eZAFOpKeyList, eZAFOpKeyDetail, eZAFOpKeyCheck, eZAFOpGroupList, eZAFOpGroupDetail,
          eZAFOpSigDetail, eZAFOpPacketList, eZAFOpPacketDump}},
    };
    for (const auto& rule : rules)
        if (option == rule.first)
            return rule.second.count(command) != 0;
    return true; // --batch-mode and every setting apply anywhere
}

// ---- command line rules ----

bool gOpOfSwitch(const std::string& sw, eZAFOp& op) { return opOfSwitch(sw, op); }

namespace {

// The argument rule of a switch: at least `min`, at most `max` (kMany: no limit).
void argRule(const std::string& sw, uint16_t& min, uint16_t& max) {
    min = 0;
    max = kMany;
    eZAFOp op;
    if (!opOfSwitch(sw, op))
        return;
    if (sw == "--trust") {
        min = max = 2;
        return;
    }
    if (const SEngineCommand* c = gFindCommand(op)) {
        min = c->minArgs;
        max = c->maxArgs;
        return;
    }
    if (gRefusal(op) != nullptr || (inList(kSecretSwitches, sw) && sw != "--new-passphrase"))
        return; // refused in validate(), whatever follows
    if (sw == "--userid" || sw == "--reconstruct-data" || sw == "--signed-by") {
        min = 1;
        return;
    }
    if (sw == "--multi") // the files, or none when they follow the command
        return;
    if (inList(kFlagOptions, sw)) {
        max = 0;
        return;
    }
    if (inList(kValueOptions, sw)) {
        min = max = 1;
        return;
    }
    const int32_t type = configType(op);
    if (type == eArgTypeNone) {
        max = 0;
        return;
    }
    if (type & eArgTypeMulti) {
        min = 1;
        return;
    }
    min = (type == eArgTypeBool) ? 0 : 1;
    max = 1;
}

} // namespace

void gSwitchArgRule(const std::string& sw, uint16_t& min, uint16_t& max) { argRule(sw, min, max); }

void CEngineCommandLine::minMaxArgsForSwitch(const std::string& sw, uint16_t& min,
                                             uint16_t& max) const {
    argRule(sw, min, max);
    // The base class reads 0 as "no limit"; switches without arguments are checked in validate.
    if (max == kMany)
        max = 0;
}

bool CEngineCommandLine::switchIsValid(const std::string& sw) const {
    eZAFOp op;
    return opOfSwitch(sw, op) && sw != "--log-file";
}

bool CEngineCommandLine::argIsValid(const std::string& sw, const std::string& arg) const {
    eZAFOp op;
    if (!opOfSwitch(sw, op))
        return false;
    int value = 0;
    if (sw == "--info")
        return gArgToEnum(op, arg, value);
    if (sw == "--trust" || gFindCommand(op) != nullptr || gRefusal(op) != nullptr)
        return true; // a refused switch is refused for itself in validate(), whatever follows
    const int32_t type = configType(op) & ~eArgTypeMulti;
    switch (type) {
    case eArgTypeBool:
        try {
            gBoolFromString(arg);
            return true;
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            return false;
        }
    case eArgTypeInt:
        return !arg.empty() && arg.size() < 10 && std::all_of(arg.begin(), arg.end(), ::isdigit);
    case eArgTypeKeyID:
        return CZAFUtil::checkValidKeyID(arg);
    case eArgTypeEnum:
        return gArgToEnum(op, arg, value);
    default:
        return true;
    }
}

void CEngineCommandLine::validate() const {
    if (!getIndependentArgs().empty())
        fail(kZAFvorn_Usage, "'" + getIndependentArgs().front() +
                                 "' is not a switch (every word before the first switch)");
    for (const auto& entry : getParsedSwitches()) {
        eZAFOp op;
        if (!opOfSwitch(entry.first, op))
            continue;
        if (const SRefusal* refusal = gRefusal(op))
            fail(kZAFvorn_Unsupported, gRefusalText(entry.first, *refusal));
        // --new-passphrase alone asks for the new passphrase; a value after it is refused.
        if (inList(kSecretSwitches, entry.first) &&
            (entry.first != "--new-passphrase" || !entry.second.empty()))
            fail(kZAFvorn_Usage, entry.first + ": passphrases are never read from the command "
                                               "line; use --passphrase-fd or the prompt");
    }
    oozaf::CZAFCommandLineContext::validate();
    for (const auto& entry : getParsedSwitches()) {
        uint16_t min = 0;
        uint16_t max = 0;
        argRule(entry.first, min, max);
        if (max == 0 && !entry.second.empty())
            fail(kZAFvorn_Usage,
                 entry.first + " takes no argument ('" + entry.second.front() + "' follows it)");
    }
}

std::string CEngineCommandLine::arg(const std::string& sw, const std::string& fallback) const {
    const CZAFArgs* values = getArgs(sw);
    if (values == nullptr || values->empty())
        return fallback;
    return values->front();
}

// ---- aliases, splitting, logging ----

bool gNeedsAliases(const std::vector<std::string>& words) {
    for (const std::string& w : words) {
        if (w.size() < 2 || w[0] != '-')
            continue;
        eZAFOp op;
        if (!(w.size() > 2 && w[1] == '-' && opOfSwitch(w, op)))
            return true;
    }
    return false;
}

std::vector<std::string> gExpandAliases(const std::vector<std::string>& words,
                                        const CVornServerCfgPart::CAliasMap& aliases) {
    std::vector<std::string> out;
    for (const std::string& w : words) {
        eZAFOp op;
        auto found = aliases.end();
        if (!w.empty() && w[0] == '-' && !opOfSwitch(w, op)) {
            for (auto a = aliases.begin(); a != aliases.end(); ++a)
                if (CZAFUtil::compareIgnoreCase(a->first, w))
                    found = a;
        }
        if (found == aliases.end()) {
            out.push_back(w);
        } else {
            for (const std::string& t : gSplitCommandText(found->second))
                out.push_back(t);
        }
        if (out.size() > kMaxCommandWords)
            fail(kZAFvorn_Usage,
                 "the command line has more than " + std::to_string(kMaxCommandWords) + " words");
    }
    return out;
}

std::vector<std::string> gSplitCommandText(const std::string& text) {
    if (text.size() > kMaxCommandTextLength)
        fail(kZAFvorn_Usage,
             "the command text is longer than " + std::to_string(kMaxCommandTextLength) + " bytes");
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                word += c;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= text.size())
                fail(kZAFvorn_Usage, "the command text ends with a backslash");
            word += text[++i];
            inWord = true;
            continue;
        }
        if (quote == '"') {
            if (c == '"')
                quote = 0;
            else
                word += c;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
                if (words.size() > kMaxCommandWords)
                    fail(kZAFvorn_Usage, "the command text has more than " +
                                             std::to_string(kMaxCommandWords) + " words");
            }
            continue;
        }
        word += c;
        inWord = true;
    }
    if (quote != 0)
        fail(kZAFvorn_Usage, "the command text has an unbalanced quote");
    if (inWord)
        words.push_back(word);
    if (words.size() > kMaxCommandWords)
        fail(kZAFvorn_Usage,
             "the command text has more than " + std::to_string(kMaxCommandWords) + " words");
    return words;
}

namespace {

// Whether a word that looks like a switch (one or more leading dashes; `name` is the rest, in
// lower case, without a "=value") would carry a secret: a passphrase or password switch of the
// table (not its "-fd" form), or an unknown spelling that may mean one: an abbreviation of such
// a switch ("--pass"), a single-dash form ("-passphrase"), or any unknown word that speaks of a
// password. Known switches without a secret ("--pass-through", "--wipe-passes") are shown.
bool secretSwitchName(const std::string& name) {
    static const char* const kSecretNames[] = {
        "passphrase",      "new-passphrase", "conventional-passphrase",
        "auth-passphrase", "ftp-password",   "smtp-password",
        "password"};
    const bool named =
        name.find("passphrase") != std::string::npos || name.find("password") != std::string::npos;
    const bool fd = name.size() >= 3 && name.compare(name.size() - 3, 3, "-fd") == 0;
    eZAFOp op;
    if (opOfSwitch("--" + name, op))
        return inList(kSecretSwitches, "--" + name) || (named && !fd);
    if (fd)
        return false;
    if (named || name.find("pass") != std::string::npos ||
        name.find("secret") != std::string::npos || name == "pw" || name == "pwd")
        return true;
    for (const char* secret : kSecretNames)
        if (name.size() >= 3 && std::strncmp(secret, name.c_str(), name.size()) == 0)
            return true;
    return false;
}

} // namespace

std::string gLoggedCommandLine(const std::vector<std::string>& words) {
    std::string line;
    // After a secret switch its value is hidden whatever it looks like (a passphrase may begin
    // with a dash), and so is every further word up to the next switch.
    bool valueNext = false;
    bool secretFollows = false;
    for (const std::string& w : words) {
        std::string shown = w;
        if (valueNext) {
            shown = "********";
            valueNext = false;
        } else if (w.size() > 1 && w[0] == '-') {
            const std::string::size_type start = w.find_first_not_of('-');
            std::string name =
                start == std::string::npos ? std::string() : CZAFUtil::toLower(w.substr(start));
            const std::string::size_type equals = name.find('=');
            if (equals != std::string::npos)
                name.resize(equals);
            secretFollows = !name.empty() && secretSwitchName(name);
            if (secretFollows && equals != std::string::npos)
                shown = w.substr(0, w.find('=') + 1) + "********";
            valueNext = secretFollows && equals == std::string::npos;
        } else if (secretFollows) {
            shown = "********";
        }
        std::string escaped;
        bool needsQuotes = shown.empty();
        // The log's reader splits its fields quote-aware on TABs and drops double quotes, so
        // the line holds neither: control characters and double quotes are written as \xNN,
        // and a word with blanks is enclosed in single quotes.
        for (unsigned char c : shown) {
            if (c < 0x20 || c == 0x7F || c == '"') {
                static const char hex[] = "0123456789abcdef";
                escaped += "\\x";
                escaped += hex[c >> 4];
                escaped += hex[c & 15];
            } else if (c == '\'' || c == '\\') {
                escaped += '\\';
                escaped += static_cast<char>(c);
                needsQuotes = true;
            } else {
                if (c == ' ')
                    needsQuotes = true;
                escaped += static_cast<char>(c);
            }
        }
        if (!line.empty())
            line += ' ';
        line += needsQuotes ? "'" + escaped + "'" : escaped;
        if (line.size() > kMaxLoggedCommandLine)
            break;
    }
    if (line.size() > kMaxLoggedCommandLine)
        line = line.substr(0, kMaxLoggedCommandLine - 3) + "...";
    return line;
}

// ---- texts ----

std::string gVersionText() { return std::string("orxcmd (Brevan Vorn Server) ") + kVersion + "\n"; }

std::string gHelpText(const std::string& program) {
    std::string text = "Usage: " + program + " COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n";
    for (const SEngineCommand& c : gCommands()) {
        std::string left = "  " + std::string(c.synopsis);
        if (left.size() < 38)
            left.resize(38, ' ');
        else
            left += "\n" + std::string(38, ' ');
        text += left + c.summary + "\n";
    }
    text += "\nOptions:\n"
            "  --armor [yes|no]            armoured output\n"
            "  --output FILE               write to FILE (temporary file renamed on success)\n"
            "  --overwrite [yes|no]        replace an existing output file\n"
            "  --input FILE                read FILE instead of standard input\n"
            "  --passphrase-fd N           read passphrases, one a line, from descriptor N\n"
            "  --batch-mode                never prompt\n"
            "  --with-colons               output for scripts (see the manual)\n"
            "  --key-type DSS|RSA|RSA-Legacy|ECC, --key-size BITS (ECC: 255 Ed25519, 256,\n"
            "  384, 521 NIST curves), --userid TEXT, --cipher NAME,\n"
            "  --fast-key-gen, --sign-only, --sig-type, --depth, --sort, --reverse,\n"
            "  --fingerprint-view hex|words, --export-format, --with-private, --force,\n"
            "  --pubring FILE, --secring FILE, --info quiet|normal|verbose|debug\n"
            "  --yes (answer yes to confirmations), --verbose, --user NAME (root: act as NAME)\n"
            "  --keys, --signers, --signer KEY, --revokers, --introducers (listings),\n"
            "  --width N, --delimiter C, --pager CMD, --local-times, --compatible,\n"
            "  --rsa-version 3|4, --cipher-num N, --random-device PATH, --show-pass,\n"
            "  --allow-passphrase-retry, --completes-needed N, --marginals-needed N,\n"
            "  --zafpath DIR, --groups-file FILE, --randseed FILE, --tmp DIR, --comment TEXT\n"
            "Messages:\n"
            "  --userid KEY|GROUP...       recipients of --encrypt (also --recipient)\n"
            "  --sign-with KEY             the signing key (else Default-Key)\n"
            "  --encrypt-to-self, --cipher NAME, --compress [yes|no], --hash NAME, --text,\n"
            "  --clearsig, --detached, --wipe, --wipe-passes N, --status-fd N,\n"
            "  --adk-key KEY (also an additional decryption key), --enforce-adk, --warn-adk,\n"
            "  --add-all [yes|no] (the ADKs the recipients only request too),\n"
            "  --force (--decrypt: accept a message without an integrity check)\n"
            "  --stream-unverified (--decrypt, --verify: write the data before it is checked)\n"
            "Short options:\n"
            "  -e, -d, -s, -v, -k          --encrypt, --decrypt, --sign, --verify, --key-list\n"
            "  -a, -o FILE                 --armor, --output FILE\n"
            "  -r KEY, -u KEY              --recipient KEY (--userid), --sign-with KEY\n"
            "  Letters go together (-sea -r Bob); the words that follow a short option's value\n"
            "  are the command's arguments: orxcmd -e -a -r Bob -o out.asc report.pdf\n"
            "\nExit codes: 0 done, 1 failed, 2 command line, 3 no such key, 4 several keys match,\n"
            "5 passphrase, 6 interrupted, 7 input/output, 8 bad data, 9 not supported,\n"
            "10 key rings or configuration, 11 bad signature. See orxcmd(1) and\n"
            "/usr/share/doc/vorn-server/orxcmd.md.\n";
    return text;
}

} // namespace orxengine
