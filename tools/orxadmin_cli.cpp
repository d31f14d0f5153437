// orxadmin_cli: command-line parsing and help texts of the console.
#include "orxadmin_cli.h"

#include <oozaf/keyobjects.h>
#include <oozaf/nametables.h>
#include <oozaf/ops.h>
#include <oozaf/util.h>
#include <oozaf/vornserverconf.h>
#include <oozaf/vornserverkeyserver.h>
#include <zaf/zafkeyedit.h>

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace vornadmin {

namespace {

struct SOptionRule {
    const char* name;
    bool takesValue;
    const char* help;
};

struct SCommandRule {
    const char* name;
    std::vector<const char*> actions;
    std::vector<SOptionRule> options;
    std::vector<const char*> required;
    size_t minArgs;
    size_t maxArgs;
    const char* usage;
    const char* summary;
};

const SOptionRule kPassphraseFile{"passphrase-file", true,
                                  "read the key passphrase from the first line of FILE"};
const SOptionRule kKeyServer{"server", true,
                             "key server hkp://HOST[:PORT] or hkps://HOST[:PORT] (default: "
                             "KeyServer of your configuration)"};

const std::vector<SCommandRule>& commandRules() {
    static const std::vector<SCommandRule> rules = {
        {"keys", {}, {}, {}, 0, 0, "keys", "list every key with its user IDs and subkeys"},
        {"log", {}, {}, {}, 0, 0, "log", "show the transaction log"},
        {"options", {}, {}, {}, 0, 0, "options", "list the command-line switches of the product"},
        {"conf",
         {"get", "set", "unset"},
         {},
         {},
         0,
         SIZE_MAX,
         "conf get [FILE] | conf set FILE | conf set NAME VALUE... | conf unset NAME",
         "read your configuration (as a listing, or as XML into FILE), replace it with the XML "
         "in FILE, or set or remove one setting (NAME is its directive, \"Alias\" with the code "
         "for an alias)"},
        {"key-gen",
         {},
         {{"name", true, "user ID of the new key, for example \"Ann <ann@example.org>\""},
          {"type", true,
           "RSA (default), DSS, RSA-Legacy or ECC (--size 255 Ed25519, 256, 384, 521 "
           "NIST P-256/384/521; default 255)"},
          {"size", true, "key size in bits (default 2048)"},
          {"cipher", true,
           "preferred cipher: AES256 (default), AES192, AES128, CAST5, 3DES, "
           "IDEA, Twofish or Blowfish"},
          {"expiry", true, "expiry date YYYY-MM-DD (default: never)"},
          {"adk", true, "key ID of an additional decryption key"},
          {"sign-only", false, "make a key that can only sign"},
          kPassphraseFile},
         {"name"},
         0,
         0,
         "key-gen --name USERID [--type T] [--size N] [--cipher C] [--expiry DATE] [--adk ID] "
         "[--sign-only] [--passphrase-file FILE]",
         "generate a key pair (supplies the entropy it needs first)"},
        {"subkey-gen",
         {},
         {{"id", true, "key ID of the master key"},
          {"size", true, "subkey size in bits (default 2048)"},
          {"start", true, "start date YYYY-MM-DD (default: now)"},
          {"expiry", true, "expiry date YYYY-MM-DD (default: never)"},
          kPassphraseFile},
         {"id"},
         0,
         0,
         "subkey-gen --id ID [--size N] [--start DATE] [--expiry DATE] [--passphrase-file FILE]",
         "add an encryption subkey to a key"},
        {"entropy",
         {"pair", "subkey", "supply"},
         {{"type", true, "key type for \"pair\": RSA, DSS, RSA-Legacy or ECC"},
          {"size", true, "key or subkey size in bits"},
          {"id", true, "key ID for \"subkey\""},
          {"needed", true, "bytes to reserve for \"supply\""},
          {"bytes", true, "random bytes to send with \"supply\" (default: as many as needed)"}},
         {},
         0,
         0,
         "entropy pair --type T --size N | entropy subkey --id ID --size N | "
         "entropy supply --needed N [--bytes N]",
         "ask how much entropy a generation needs, or feed random bytes to the listener"},
        {"key-remove",
         {},
         {{"id", true, "key ID or fingerprint of the key to remove"},
          {"force", false, "remove without asking (needed where there is no terminal to ask on)"}},
         {"id"},
         0,
         0,
         "key-remove --id ID [--force]",
         "remove a key (a key pair with its secret part); asks first unless --force"},
        {"sign",
         {},
         {{"id", true, "key ID of the key to certify"},
          {"signer", true, "key ID of your signing key"},
          {"type", true, "Exportable (default), Local, Meta or Introducer"},
          {"depth", true, "trust depth for Meta (0, 2-8) and Introducer (0, 1-8) signatures"},
          {"regexp", true, "regular expression limiting a trust signature"},
          {"expiry", true, "expiry date of the signature YYYY-MM-DD (default: never)"},
          kPassphraseFile},
         {"id", "signer"},
         0,
         0,
         "sign --id ID --signer ID [--type T] [--depth N] [--regexp RE] [--expiry DATE] "
         "[--passphrase-file FILE]",
         "certify the primary user ID of a key"},
        {"revoke",
         {},
         {{"id", true, "key ID of the key to revoke"},
          {"revoker", true, "key ID of the revoking key (default: the key itself)"},
          {"reason", true,
           "why: none (default), superseded, compromised, retired, or an RFC 4880 code"},
          {"reason-text", true, "an explanation that goes with the revocation"},
          kPassphraseFile},
         {"id"},
         0,
         0,
         "revoke --id ID [--revoker ID] [--reason R] [--reason-text TEXT] [--passphrase-file FILE]",
         "revoke a key"},
        {"userid-add",
         {},
         {{"id", true, "key ID"}, {"userid", true, "the new user ID"}, kPassphraseFile},
         {"id", "userid"},
         0,
         0,
         "userid-add --id ID --userid TEXT [--passphrase-file FILE]",
         "add a user ID to a key"},
        {"userid-remove",
         {},
         {{"id", true, "key ID"}, {"userid", true, "the user ID, exactly as listed"}},
         {"id", "userid"},
         0,
         0,
         "userid-remove --id ID --userid TEXT",
         "remove a user ID from a key"},
        {"import",
         {},
         {{"x509", false, "the file holds an X.509 certificate"},
          {"with-private", false, "import secret keys too"}},
         {},
         1,
         1,
         "import FILE [--x509] [--with-private]",
         "import the keys of a file (binary or armored)"},
        {"export",
         {},
         {{"id", true, "key ID"},
          {"armor", false, "armored text (the default)"},
          {"binary", false, "binary packets instead of armored text"},
          {"with-private", false, "include the secret key"},
          {"format", true, "Complete (default) or Compatible (leaves out photo IDs)"},
          {"output", true, "write to FILE instead of standard output (also -o FILE)"},
          {"overwrite", false, "replace FILE when it exists"}},
         {"id"},
         0,
         0,
         "export --id ID [--armor | --binary] [--with-private] [--format F] [-o FILE "
         "[--overwrite]]",
         "export a key"},
        {"photo",
         {},
         {{"id", true, "key ID"},
          {"output", true, "image file to write (also -o FILE)"},
          {"overwrite", false, "replace FILE when it exists"}},
         {"id", "output"},
         0,
         0,
         "photo --id ID -o FILE [--overwrite]",
         "save the photo ID of a key"},
        {"keyserver-search",
         {},
         {kKeyServer},
         {},
         1,
         1,
         "keyserver-search PATTERN [--server URL]",
         "list the keys a key server holds for a user ID text, key ID or fingerprint"},
        {"keyserver-fetch",
         {},
         {kKeyServer},
         {},
         1,
         kMaxKeyServerFetch,
         "keyserver-fetch ID... [--server URL]",
         "import keys from a key server by key ID or fingerprint"},
        {"script",
         {},
         {{"keep-going", false, "run the remaining lines after a failing one"}},
         {},
         1,
         1,
         "script FILE [--keep-going]",
         "run the sub-command lines of FILE in one session"},
    };
    return rules;
}

const SCommandRule* findRule(const std::string& name) {
    for (const SCommandRule& rule : commandRules())
        if (name == rule.name)
            return &rule;
    return nullptr;
}

const SOptionRule* findOption(const SCommandRule& rule, const std::string& name) {
    static const SOptionRule kXml{"xml", false, "print the listener's reply as XML"};
    if (name == kXml.name)
        return &kXml;
    for (const SOptionRule& option : rule.options)
        if (name == option.name)
            return &option;
    return nullptr;
}

[[noreturn]] void usage(const std::string& message) { throw new CUsageException(message); }

bool isPasswordOption(const std::string& word) {
    return word == "-p" || word == "--password" || word.rfind("--password=", 0) == 0 ||
           word == "--passphrase" || word.rfind("--passphrase=", 0) == 0;
}

// Runs a name-table look-up; its error becomes a usage error naming the option.
template <class F> void checkName(const std::string& option, const std::string& value, F&& lookup) {
    try {
        lookup(value);
    } catch (oozaf::CZAFThrowable* e) {
        delete e;
        usage("Unknown value '" + value + "' for --" + option);
    }
}

void checkConfArguments(const SCommand& command) {
    const std::vector<std::string>& args = command.args;
    if (command.action == "get") {
        if (args.size() > 1)
            usage("conf get takes at most one FILE");
        return;
    }
    if (command.action == "set" && args.empty())
        usage("conf set needs the FILE to send, or a NAME and its VALUE");
    if (command.action == "unset" && (args.empty() || args.size() > 2))
        usage("conf unset needs the NAME of a setting (Alias and its code for an alias)");
    if (command.action == "set" && args.size() == 1)
        return; // the XML file
    // A setting is checked here as the listener checks it, so that nothing is sent in vain.
    gConfSetting(args, command.action == "set");
}

void checkValues(SCommand& command) {
    auto date = [&](const char* option) {
        if (command.has(option))
            gCheckDate("--" + std::string(option), command.get(option));
    };
    auto number = [&](const char* option, unsigned long min, unsigned long max) {
        if (command.has(option))
            gParseNumber("--" + std::string(option), command.get(option), min, max);
    };
    date("expiry");
    date("start");
    number("size", 1, 65535);
    number("depth", 0, 255);
    number("needed", 0, 1u << 20);
    number("bytes", 0, 1u << 20);

    const std::string& name = command.name;
    if (command.has("type")) {
        if (name == "sign")
            checkName("type", command.get("type"),
                      [](const std::string& v) { oozaf::gSigTypeFromString(v); });
        else
            checkName("type", command.get("type"),
                      [](const std::string& v) { oozaf::gKeyTypeFromStringArg(v); });
    }
    if (command.has("cipher"))
        checkName("cipher", command.get("cipher"),
                  [](const std::string& v) { oozaf::gCipherFromString(v); });
    if (command.has("format"))
        checkName("format", command.get("format"),
                  [](const std::string& v) { oozaf::gExportFormatFromString(v); });
    if (command.has("armor") && command.has("binary"))
        usage("--armor and --binary exclude each other");
    if (name == "key-gen" && command.get("name").empty())
        usage("--name must not be empty");
    if (name == "entropy") {
        static const std::map<std::string, std::vector<std::string>> needs = {
            {"pair", {"type", "size"}}, {"subkey", {"id", "size"}}, {"supply", {"needed"}}};
        for (const std::string& option : needs.at(command.action))
            if (!command.has(option))
                usage("entropy " + command.action + " needs --" + option);
    }
    if (name == "conf")
        checkConfArguments(command);
    if (command.has("reason")) {
        int code = 0;
        if (!oozaf::gRevocationReasonFromString(command.get("reason"), code))
            usage("Unknown value '" + command.get("reason") +
                  "' for --reason (none, superseded, compromised, retired, uid-invalid, or the "
                  "RFC 4880 code)");
    }
    if (command.get("reason-text").size() > kZAFMaxRevocationReasonLength)
        usage("--reason-text is longer than " + std::to_string(kZAFMaxRevocationReasonLength) +
              " bytes");
    if (name == "keyserver-search" && command.args.at(0).empty())
        usage("keyserver-search needs a text to look for");
    if (name == "keyserver-fetch")
        for (const std::string& id : command.args)
            if (!oozaf::gIsKeyServerKeyName(id))
                usage("'" + id +
                      "' is not a key ID or fingerprint (0x and 8 or 16 hex digits, or the 40 of "
                      "a fingerprint)");
    if (command.has("server") && command.get("server").empty())
        usage("--server must not be empty");
}

std::string twoColumns(const std::string& left, const std::string& right) {
    // At least two blanks between the columns, which is where readers (help2man among them)
    // tell an option from its text.
    std::string line = "  " + left;
    if (line.size() + 2 <= 24)
        line.resize(24, ' ');
    else
        line += "  ";
    return line + right + "\n";
}

} // namespace

std::string SCommand::get(const std::string& option, const std::string& fallback) const {
    auto found = options.find(option);
    return found == options.end() ? fallback : found->second;
}

int gExitForRequestRC(int rc, const std::string& kind) {
    if (rc == 8 && kind == "key-not-found")
        return eExitNoKey;
    if (rc == 8 && kind == "bad-passphrase")
        return eExitPassphrase;
    switch (rc) {
    case 0:
    case 8:
    case 12:
    case 16:
    case 20:
        return rc;
    default:
        return eExitOtherRC;
    }
}

int gExitForLoginRC(int rc) {
    if (rc == 0)
        return eExitOK;
    if (rc >= 1 && rc <= 5)
        return eExitLoginBase + rc;
    return eExitOtherRC;
}

void gCheckDate(const std::string& what, const std::string& date) {
    auto digits = [&](size_t from, size_t count) {
        for (size_t i = from; i < from + count; ++i)
            if (!std::isdigit(static_cast<unsigned char>(date[i])))
                return false;
        return true;
    };
    bool ok = date.size() == 10 && date[4] == '-' && date[7] == '-' && digits(0, 4) &&
              digits(5, 2) && digits(8, 2);
    if (ok) {
        const int year = std::stoi(date.substr(0, 4));
        const int month = std::stoi(date.substr(5, 2));
        const int day = std::stoi(date.substr(8, 2));
        static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        ok = year >= 1970 && month >= 1 && month <= 12 && day >= 1 &&
             day <= (month == 2 && !leap ? 28 : kDays[month - 1]);
    }
    if (!ok)
        usage(what + " must be a date YYYY-MM-DD, not '" + date + "'");
}

unsigned long gParseNumber(const std::string& what, const std::string& text, unsigned long min,
                           unsigned long max) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        usage(what + " must be a number, not '" + text + "'");
    const unsigned long value = std::stoul(text);
    if (value < min || value > max)
        usage(what + " must be between " + std::to_string(min) + " and " + std::to_string(max) +
              ", not " + text);
    return value;
}

SCommand gParseCommand(const std::vector<std::string>& words) {
    if (words.empty())
        usage("No sub-command given (see orxadmin --help)");
    SCommand command;
    command.name = words[0];
    if (command.name == "--help" || command.name == "-h" || command.name == "help") {
        command.name.clear();
        command.help = true;
        if (words.size() > 1)
            command.name = words[1];
        if (!command.name.empty() && findRule(command.name) == nullptr)
            usage("Unknown sub-command '" + command.name + "'");
        return command;
    }
    const SCommandRule* rule = findRule(command.name);
    if (rule == nullptr)
        usage("Unknown sub-command '" + command.name + "' (see orxadmin --help)");
    size_t i = 1;
    if (!rule->actions.empty() && i < words.size() && words[i].rfind("-", 0) != 0) {
        command.action = words[i++];
        if (std::find(rule->actions.begin(), rule->actions.end(), command.action) ==
            rule->actions.end())
            usage("Unknown action '" + command.action + "' for " + command.name);
    }
    bool optionsEnded = false;
    for (; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.empty() || word[0] != '-' || word == "-") {
            command.args.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            command.help = true;
            continue;
        }
        if (isPasswordOption(word))
            usage("Passwords and passphrases are never taken from the command line; use "
                  "--password-file, --passphrase-file, the environment or the prompt");
        // A setting's words are taken as they are ("conf set Alias -e ...").
        if (command.name == "conf" && command.action != "get" && word != "--xml") {
            command.args.push_back(word);
            continue;
        }
        std::string name;
        std::string value;
        bool hasValue = false;
        if (word == "-o") {
            name = "output";
        } else if (word.rfind("--", 0) == 0) {
            name = word.substr(2);
            size_t equals = name.find('=');
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
                name = name.substr(0, equals);
                hasValue = true;
            }
        } else {
            usage("Unknown option '" + word + "' for " + command.name);
        }
        const SOptionRule* option = findOption(*rule, name);
        if (option == nullptr)
            usage("Unknown option '--" + name + "' for " + command.name);
        if (option->takesValue && !hasValue) {
            if (i + 1 >= words.size())
                usage("Option --" + name + " needs a value");
            value = words[++i];
        } else if (!option->takesValue && hasValue) {
            usage("Option --" + name + " takes no value");
        }
        if (command.options.count(name) != 0)
            usage("Option --" + name + " given twice");
        command.options[name] = value;
    }
    if (command.help)
        return command;
    if (!rule->actions.empty() && command.action.empty())
        usage(command.name + " needs an action: " + rule->usage);
    for (const char* required : rule->required)
        if (!command.has(required))
            usage(command.name + " needs --" + std::string(required) + " (usage: orxadmin " +
                  rule->usage + ")");
    if (command.args.size() < rule->minArgs || command.args.size() > rule->maxArgs)
        usage("Wrong number of arguments for " + command.name + " (usage: orxadmin " + rule->usage +
              ")");
    checkValues(command);
    return command;
}

SCommandLine gParseCommandLine(const std::vector<std::string>& args) {
    SCommandLine line;
    SGlobalOptions& global = line.global;
    size_t i = 0;
    auto value = [&](const std::string& name, std::string& inlineValue, bool hasInline) {
        if (hasInline)
            return inlineValue;
        if (i + 1 >= args.size())
            usage("Option --" + name + " needs a value");
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word.empty() || word[0] != '-')
            break;
        if (isPasswordOption(word))
            usage("Passwords are never taken from the command line; use --password-file, the "
                  "environment variable ORXADMIN_PASSWORD or the prompt");
        if (word == "--help" || word == "-h") {
            global.help = true;
            continue;
        }
        if (word == "--version") {
            global.version = true;
            continue;
        }
        if (word.rfind("--", 0) != 0)
            usage("Unknown option '" + word + "'");
        std::string name = word.substr(2);
        std::string inlineValue;
        bool hasInline = false;
        size_t equals = name.find('=');
        if (equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasInline = true;
        }
        auto flag = [&](bool& target) {
            if (hasInline)
                usage("Option --" + name + " takes no value");
            target = true;
        };
        if (name == "host")
            global.host = value(name, inlineValue, hasInline);
        else if (name == "port")
            global.port = static_cast<uint16_t>(
                gParseNumber("--port", value(name, inlineValue, hasInline), 1, 65535));
        else if (name == "user")
            global.user = value(name, inlineValue, hasInline);
        else if (name == "domain")
            global.domain = value(name, inlineValue, hasInline);
        else if (name == "password-file")
            global.passwordFile = value(name, inlineValue, hasInline);
        else if (name == "timeout")
            global.timeoutSeconds = static_cast<unsigned int>(
                gParseNumber("--timeout", value(name, inlineValue, hasInline), 1, 86400));
        else if (name == "keyring")
            global.keyring = value(name, inlineValue, hasInline);
        else if (name == "key")
            global.clientKey = value(name, inlineValue, hasInline);
        else if (name == "require-secure")
            flag(global.requireSecure);
        else if (name == "known-hosts")
            global.knownHosts = value(name, inlineValue, hasInline);
        else if (name == "accept-new-host-key")
            flag(global.acceptNewHostKey);
        else if (name == "allow-plain")
            flag(global.allowPlain);
        else if (name == "xml")
            flag(global.xml);
        else
            usage("Unknown option '--" + name + "' (see orxadmin --help)");
    }
    if (global.host.empty())
        usage("--host must not be empty");
    if (!global.clientKey.empty() && global.keyring.empty())
        usage("--key needs --keyring, the folder whose key rings hold that key");
    if (global.allowPlain && global.requireSecure)
        usage("--allow-plain and --require-secure contradict each other");
    std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (rest.empty()) {
        if (global.help || global.version)
            return line;
        usage("No sub-command given (see orxadmin --help)");
    }
    if (global.help) {
        rest.insert(rest.begin(), "help");
        if (rest.size() > 2)
            rest.resize(2);
    }
    line.command = gParseCommand(rest);
    return line;
}

std::vector<std::string> gSplitScriptLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < line.size())
                word += line[++i];
            else
                word += c;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        if (c == '#' && !inWord)
            break;
        inWord = true;
        if (c == '"' || c == '\'')
            quote = c;
        else if (c == '\\' && i + 1 < line.size())
            word += line[++i];
        else
            word += c;
    }
    if (quote != 0)
        usage("Unterminated quote in script line: " + line);
    if (inWord)
        words.push_back(word);
    return words;
}

SConfSetting gConfSetting(const std::vector<std::string>& words, bool set) {
    SConfSetting setting;
    setting.set = set;
    if (words.empty())
        usage("Name the setting (its directive, as conf get lists it)");
    const std::string& name = words[0];
    if (oozaf::CZAFUtil::compareIgnoreCase(name, "Alias")) {
        setting.directive = "Alias";
        setting.alias = true;
        if (words.size() != (set ? 3u : 2u))
            usage(set ? "conf set Alias needs the CODE and the COMMAND it stands for"
                      : "conf unset Alias needs the CODE of the alias");
        setting.values.assign(words.begin() + 1, words.end());
        if (set) {
            std::string code = setting.values[0];
            std::string target = setting.values[1];
            for (std::string* text : {&code, &target})
                if (text->find_first_of(" \t") != std::string::npos)
                    oozaf::CZAFUtil::quote(*text);
            oozaf::CVornServerCfgUserPart part(nullptr);
            try {
                part.processKeyValue("Alias", code + ":" + target);
            } catch (oozaf::CZAFThrowable* e) {
                oozaf::CZAFThrowableGuard guard(e);
                usage("The alias is not valid: " + e->getMessage());
            }
        }
        return setting;
    }
    oozaf::eZAFOp op;
    int32_t type = 0;
    try {
        op = oozaf::gOpFromDirective(name);
        setting.directive = oozaf::gDirectiveFromOp(op);
        type = oozaf::gCfgArgTypeFromOp(op);
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        usage("'" + name +
              "' is not a configuration directive (conf get lists the settings, "
              "\"orxadmin options\" the switches)");
    }
    setting.type = type == oozaf::eArgTypeBool  ? "boolean"
                   : type == oozaf::eArgTypeInt ? "integer"
                                                : "string";
    setting.values.assign(words.begin() + 1, words.end());
    if (!set) {
        if (!setting.values.empty())
            usage("conf unset takes the NAME alone");
        return setting;
    }
    if (setting.values.empty())
        usage("conf set " + setting.directive + " needs a VALUE");
    if (setting.values.size() > 1 && (type & oozaf::eArgTypeMulti) == 0)
        usage(setting.directive + " takes one value");
    oozaf::CVornServerCfgUserPart part(nullptr);
    for (const std::string& value : setting.values) {
        std::string quoted = value;
        if (quoted.find_first_of(" \t") != std::string::npos)
            oozaf::CZAFUtil::quote(quoted);
        try {
            part.processKeyValue(setting.directive, quoted);
        } catch (oozaf::CZAFThrowable* e) {
            oozaf::CZAFThrowableGuard guard(e);
            usage("'" + value + "' is not a value of " + setting.directive + ": " +
                  e->getMessage());
        }
    }
    return setting;
}

size_t gApplyConfSetting(SXmlElement& configuration, const SConfSetting& setting) {
    const char* const container = setting.alias ? "aliases" : "values";
    SXmlElement* list = nullptr;
    for (SXmlElement& child : configuration.children)
        if (child.name == container && list == nullptr)
            list = &child;
    if (list == nullptr)
        list = &configuration.add(SXmlElement(container));
    const auto matches = [&](const SXmlElement& element) {
        return setting.alias ? element.get("code") == setting.values.at(0)
                             : oozaf::CZAFUtil::compareIgnoreCase(element.name, setting.directive);
    };
    const size_t before = list->children.size();
    list->children.erase(std::remove_if(list->children.begin(), list->children.end(), matches),
                         list->children.end());
    const size_t removed = before - list->children.size();
    if (!setting.set)
        return removed;
    if (setting.alias) {
        SXmlElement alias("alias");
        alias.set("code", setting.values.at(0));
        alias.set("command", setting.values.at(1));
        list->add(alias);
        return removed;
    }
    for (const std::string& value : setting.values) {
        SXmlElement element(setting.directive);
        element.set("type", setting.type);
        element.text = value;
        list->add(element);
    }
    return removed;
}

std::vector<std::string> gCommandNames() {
    std::vector<std::string> names;
    for (const SCommandRule& rule : commandRules())
        names.emplace_back(rule.name);
    return names;
}

std::string gHelpText(const std::string& command) {
    if (command.empty()) {
        std::string text = "Usage: orxadmin [OPTIONS] COMMAND [COMMAND OPTIONS]\n"
                           "Administers keys and configuration through the listener orxgui.\n\n"
                           "Options:\n";
        text += twoColumns("--host HOST", "listener host (default 127.0.0.1)");
        text += twoColumns("--port PORT", "listener port (default 1718)");
        text += twoColumns("--user NAME", "Unix user to log in as (default: you)");
        text += twoColumns("--domain NAME", "domain sent with the login (not checked)");
        text += twoColumns("--password-file FILE", "read the password from the first line");
        text += twoColumns("--require-secure", "refuse a listener without the secure channel");
        text += twoColumns("--allow-plain", "accept a listener without the secure channel");
        text += twoColumns("--known-hosts FILE",
                           "known listeners' host keys (~/.orxadmin/known_hosts)");
        text += twoColumns("--accept-new-host-key", "remember a new listener's key without asking");
        text += twoColumns("--timeout SECONDS", "limit for connecting and for each reply (30)");
        text += twoColumns("--keyring DIR", "check the listener's key against DIR's key rings");
        text += twoColumns("--key ID", "sign the handshake with this key from --keyring");
        text += twoColumns("--xml", "print the listener's replies as XML");
        text += twoColumns("--help", "this text; COMMAND --help for a command");
        text += twoColumns("--version", "print the version");
        text += "\nCommands:\n";
        for (const SCommandRule& rule : commandRules())
            text += twoColumns(rule.name, rule.summary);
        text += "\nThe password comes from --password-file, the environment variable\n"
                "ORXADMIN_PASSWORD or a prompt, never from the command line; key passphrases\n"
                "from --passphrase-file, ORXADMIN_PASSPHRASE or a prompt.\n"
                "Keys are named by short or long key ID or by fingerprint.\n"
                "Exit status: 0 success, 1 failure, 2 bad command line, 3 no such key, 5 wrong\n"
                "or missing passphrase, 8/12/16/20 the listener's rc, 41-45 login refused with\n"
                "rc 1-5, 30 any other rc (see orxadmin(1)).\n";
        return text;
    }
    const SCommandRule* rule = findRule(command);
    if (rule == nullptr)
        usage("Unknown sub-command '" + command + "'");
    std::string text = "Usage: orxadmin " + std::string(rule->usage) + "\n" +
                       std::string(1, static_cast<char>(std::toupper(rule->summary[0]))) +
                       (rule->summary + 1) + ".\n";
    if (!rule->options.empty()) {
        text += "\nOptions:\n";
        for (const SOptionRule& option : rule->options)
            text += twoColumns("--" + std::string(option.name) + (option.takesValue ? " V" : ""),
                               option.help);
    }
    text += twoColumns("--xml", "print the listener's reply as XML");
    return text;
}

} // namespace vornadmin
