// conventions: what users of other command-line tools bring to orxcmd. Short options for the
// common commands (-e -d -s -v -k, -a -r -u -o) and --recipient for the recipients of --encrypt,
// turned into the long switches before the command line is read; binary output refused on a
// terminal; a new passphrase typed twice alike; a closed pipe after a listing; and a question
// before encrypting to a key that is not completely valid.
#include "engine_internal.h"

#include <oozaf/keyobjects.h>
#include <oozaf/util.h>
#include <zaf/zafkeyedit.h>

#include <cstring>

using namespace oozaf;

namespace orxengine {

namespace {

enum class eShortKind { eCommand, eFlag, eValue };

struct SShortOption {
    char letter;
    const char* longSwitch;
    eShortKind kind;
};

const SShortOption kShortOptions[] = {
    {'e', "--encrypt", eShortKind::eCommand},  {'d', "--decrypt", eShortKind::eCommand},
    {'s', "--sign", eShortKind::eCommand},     {'v', "--verify", eShortKind::eCommand},
    {'k', "--key-list", eShortKind::eCommand}, {'a', "--armor", eShortKind::eFlag},
    {'r', "--userid", eShortKind::eValue},     {'u', "--sign-with", eShortKind::eValue},
    {'o', "--output", eShortKind::eValue},
};

const SShortOption* shortOption(char letter) {
    for (const SShortOption& option : kShortOptions)
        if (option.letter == letter)
            return &option;
    return nullptr;
}

bool isLongSwitch(const std::string& word) {
    return word.size() > 2 && word[0] == '-' && word[1] == '-';
}

// The message commands whose arguments the plain words of a short command line are, in the
// order selectCommand picks the command of a combined message; then any other command.
int commandRank(const std::string& lowerSwitch) {
    if (lowerSwitch == "--encrypt")
        return 1;
    if (lowerSwitch == "--conventional")
        return 2;
    if (lowerSwitch == "--sign")
        return 3;
    return 4;
}

} // namespace

bool gIsShortOptionWord(const std::string& word) {
    if (word.size() < 2 || word[0] != '-' || word[1] == '-')
        return false;
    for (size_t i = 1; i < word.size(); ++i)
        if (shortOption(word[i]) == nullptr)
            return false;
    return true;
}

std::vector<std::string> gExpandShortOptions(const std::vector<std::string>& words,
                                             bool longSwitchesOnly) {
    auto isShort = [longSwitchesOnly](const std::string& word) {
        return !longSwitchesOnly && gIsShortOptionWord(word);
    };
    bool shortForm = false;
    bool recipientSwitch = false;
    for (const std::string& word : words) {
        shortForm = shortForm || isShort(word);
        recipientSwitch = recipientSwitch || CZAFUtil::toLower(word) == "--recipient";
    }
    if (!shortForm && !recipientSwitch)
        return words;

    // The line as segments, each a switch with the words that belong to it. Plain words after a
    // short option (once its value is taken) are arguments of the command, wherever they stand,
    // as users of other tools write them ("-e -r Bob -o out.zaf report.pdf").
    CEngineCommandLine rules;
    std::vector<std::string> leading;
    std::vector<std::vector<std::string>> segments;
    std::vector<std::string> commandArguments;
    int recipients = -1; // the segment of --userid, where every -r and --recipient value goes
    int current = -1;    // the long switch that takes the plain words that follow it
    bool encrypting = false;
    auto segmentFor = [&](const std::string& longSwitch) -> int {
        if (longSwitch == "--userid") {
            if (recipients < 0) {
                segments.push_back({longSwitch});
                recipients = static_cast<int>(segments.size()) - 1;
            }
            return recipients;
        }
        segments.push_back({longSwitch});
        return static_cast<int>(segments.size()) - 1;
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (isShort(word)) {
            for (size_t j = 1; j < word.size(); ++j) {
                const SShortOption& option = *shortOption(word[j]);
                encrypting = encrypting || option.letter == 'e';
                recipientSwitch = recipientSwitch || option.letter == 'r';
                const int segment = segmentFor(option.longSwitch);
                if (option.kind != eShortKind::eValue)
                    continue;
                if (j + 1 != word.size())
                    fail(kZAFvorn_Usage, std::string("-") + option.letter +
                                             " takes a value, so it must come last in '" + word +
                                             "'");
                if (i + 1 >= words.size())
                    fail(kZAFvorn_Usage, std::string("-") + option.letter + " (" +
                                             option.longSwitch + ") needs a value");
                segments[static_cast<size_t>(segment)].push_back(words[++i]);
            }
            current = -1;
            continue;
        }
        if (isLongSwitch(word)) {
            std::string lower = CZAFUtil::toLower(word);
            encrypting = encrypting || lower == "--encrypt";
            if (lower == "--recipient")
                lower = "--userid";
            current = segmentFor(lower == "--userid" ? lower : word);
            continue;
        }
        if (current >= 0) {
            // A word the switch can take stays with it, as on a line of long switches; any other
            // word is the command's.
            std::vector<std::string>& segment = segments[static_cast<size_t>(current)];
            const std::string lower = CZAFUtil::toLower(segment.front());
            uint16_t min = 0;
            uint16_t max = 0;
            gSwitchArgRule(lower, min, max);
            const bool room = max == kMany || segment.size() - 1 < max;
            if (room && (!shortForm || rules.argIsValid(lower, word))) {
                segment.push_back(word);
                continue;
            }
        }
        if (!shortForm && current < 0)
            leading.push_back(word);
        else
            commandArguments.push_back(word);
    }
    if (recipientSwitch && !encrypting)
        fail(kZAFvorn_Usage, longSwitchesOnly
                                 ? "--recipient names the recipients of --encrypt"
                                 : "--recipient (-r) names the recipients of --encrypt (-e)");

    // The command's arguments follow its switch.
    if (!commandArguments.empty()) {
        int command = -1;
        int best = 0;
        for (size_t s = 0; s < segments.size(); ++s) {
            const std::string lower = CZAFUtil::toLower(segments[s].front());
            eZAFOp op;
            if (!gOpOfSwitch(lower, op) || gFindCommand(op) == nullptr)
                continue;
            const int rank = commandRank(lower);
            if (command < 0 || rank < best) {
                command = static_cast<int>(s);
                best = rank;
            }
        }
        if (command < 0)
            fail(kZAFvorn_Usage,
                 "'" + commandArguments.front() + "' is not an argument of any command");
        std::vector<std::string>& segment = segments[static_cast<size_t>(command)];
        segment.insert(segment.end(), commandArguments.begin(), commandArguments.end());
    }
    std::vector<std::string> out = leading;
    for (const std::vector<std::string>& segment : segments)
        out.insert(out.end(), segment.begin(), segment.end());
    if (out.size() > kMaxCommandWords)
        fail(kZAFvorn_Usage,
             "the command line has more than " + std::to_string(kMaxCommandWords) + " words");
    return out;
}

bool CEngineRun::outputIsAListing() const {
    if (m_command == nullptr)
        return false;
    switch (m_command->op) {
    case eZAFOpKeyList:
    case eZAFOpKeyDetail:
    case eZAFOpKeyExport:
    case eZAFOpExportPhotoID:
    case eZAFOpGroupList:
    case eZAFOpGroupDetail:
    case eZAFOpSigDetail:
    case eZAFOpPacketList:
    case eZAFOpPacketDump:
    case eZAFOpListAliases:
    case eZAFOpInfo:
    case eZAFOpHelp:
    case eZAFOpShowVersion:
        return true;
    default:
        return false;
    }
}

void CEngineRun::refuseBinaryOnTerminal() {
    if (!m_io.outputIsTerminal() || m_cmd.has("--output") || m_command == nullptr)
        return;
    const eZAFOp op = m_command->op;
    const bool armored = setting(eZAFOpArmor, false);
    bool binary = false;
    switch (op) {
    case eZAFOpSign:
        // A cleartext signature is text whatever --armor says.
        binary = !armored && !setting(eZAFOpClear, false);
        break;
    case eZAFOpEncrypt:
    case eZAFOpConventional:
    case eZAFOpKeyExport:
        binary = !armored;
        break;
    case eZAFOpExportPhotoID:
        binary = true;
        break;
    default:
        break;
    }
    if (binary)
        fail(kZAFvorn_Usage, "the output is binary and standard output is a terminal: add "
                             "--armor (-a), name a file with --output (-o), or redirect the "
                             "output");
}

void CEngineRun::readNewPassphrase(const std::string& what, CSecret& secret, bool message) {
    const auto read = [&](const std::string& prompt, CSecret& out) {
        if (message)
            readMessagePassphrase(prompt, out);
        else
            readPassphrase(prompt, out);
    };
    read(what, secret);
    // From a descriptor it is read once; typed, it must be typed twice alike, and a mistake is
    // said and asked again.
    if (message ? !asksMessagePassphraseTwice() : setting(eZAFOpPassphraseFD, -1) >= 0)
        return;
    for (int attempt = 1;; ++attempt) {
        CSecret again;
        read(what + " (again)", again);
        if (again.str() == secret.str())
            return;
        secret.clear();
        if (attempt == kNewPassphraseAttempts)
            fail(kZAFvorn_BadPassphrase, "the two passphrases differ");
        note("the two passphrases differ; type them again");
        read(what, secret);
    }
}

SRevocationReason CEngineRun::revocationReason(size_t first) const {
    SRevocationReason reason;
    const std::vector<std::string>& words = args();
    if (words.size() > first && !gRevocationReasonFromString(words[first], reason.code))
        fail(kZAFvorn_Usage, "'" + words[first] +
                                 "' is not a reason for revocation (none, superseded, "
                                 "compromised, retired, uid-invalid, or the RFC 4880 code)");
    if (words.size() > first + 1) {
        reason.text = words[first + 1];
        if (reason.text.size() > kZAFMaxRevocationReasonLength)
            fail(kZAFvorn_Usage, "the reason's text is longer than " +
                                     std::to_string(kZAFMaxRevocationReasonLength) + " bytes");
    }
    return reason;
}

void CEngineRun::checkRecipientValidity(const CZAFKey& key) {
    const int validity = key.getValidity();
    if (validity == oozaf::kZAFValidity_Complete || m_cmd.has("--yes"))
        return;
    const char* word = validity == oozaf::kZAFValidity_Marginal  ? "marginal"
                       : validity == oozaf::kZAFValidity_Invalid ? "invalid"
                                                                 : "unknown";
    const std::string what = gKeyName(key) + " is not known to belong to its user (validity " +
                             word + ": no complete chain of certifications from keys you trust)";
    if (m_cmd.has("--batch-mode"))
        fail(kZAFvorn_Failed, what + "; add --yes to encrypt to it all the same");
    note("WARNING: " + what);
    if (!confirm("Encrypt to it all the same?"))
        fail(kZAFvorn_Failed, "stopped: not encrypted to " + gKeyName(key) +
                                  " (--yes encrypts to keys that are not completely valid)");
}

} // namespace orxengine
