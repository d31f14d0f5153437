// orxadmin_cli: the console's command line: global options, sub-commands with named options,
// script lines, and the help texts.
#ifndef VORNADMIN_ORXADMIN_CLI_H
#define VORNADMIN_ORXADMIN_CLI_H

#include "adminxml.h"

#include <oozaf/throwable.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vornadmin {

// A command line the console cannot accept; the message says why. Exit status 2.
class CUsageException final : public oozaf::CZAFException {
public:
    explicit CUsageException(std::string message)
        : oozaf::CZAFException(nullptr, oozaf::eReasonNone), m_message(std::move(message)) {}
    std::string getMessage() const override { return m_message; }

private:
    std::string m_message;
};

// Key IDs one keyserver-fetch may name (the listener takes as many in one request).
constexpr size_t kMaxKeyServerFetch = 50;

// Exit statuses of the console; those it shares with orxcmd mean the same there (the table of
// both is in docs/exit-status.md).
enum eExitStatus : int {
    eExitOK = 0,
    eExitFailure = 1,    // connection, protocol or local file failure
    eExitUsage = 2,      // the command line was refused
    eExitNoKey = 3,      // the listener holds no key of that name (rc 8, "key-not-found")
    eExitPassphrase = 5, // a wrong passphrase (rc 8, "bad-passphrase"), or none to be had
    eExitOtherRC = 30,   // the listener answered with an rc not listed below
    eExitLoginBase = 40  // login refused with rc n (1 to 5): 40 + n
    // A request refused with rc 8, 12, 16 or 20 exits with that rc otherwise.
};

// A failure that ends the console with its own exit status (and a message for standard error).
class CExitException final : public oozaf::CZAFException {
public:
    CExitException(int status, std::string message)
        : oozaf::CZAFException(nullptr, oozaf::eReasonNone), m_status(status),
          m_message(std::move(message)) {}
    std::string getMessage() const override { return m_message; }
    int getStatus() const { return m_status; }

private:
    int m_status;
    std::string m_message;
};

// The exit status for a request's rc (0, 8, 12, 16, 20 pass through) and the kind the listener
// gives its failure: rc 8 for a key it does not hold is 3, for a wrong passphrase 5.
int gExitForRequestRC(int rc, const std::string& kind = std::string());
// The exit status for a login reply's rc (0 stays 0; 1 to 5 become 41 to 45).
int gExitForLoginRC(int rc);

// Options that apply to the whole session.
struct SGlobalOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 1718;
    std::string user;
    std::string domain;
    std::string passwordFile;
    bool requireSecure = false;
    unsigned int timeoutSeconds = 30;
    bool xml = false;
    std::string keyring;
    std::string clientKey;
    // The listener's host key: where known listeners are kept (empty: ~/.orxadmin/known_hosts),
    // whether a new one is taken without asking, and whether a plain listener is accepted.
    std::string knownHosts;
    bool acceptNewHostKey = false;
    bool allowPlain = false;
    // Not on the command line: false leaves the listener's key unchecked (for callers that
    // talk to a stand-in listener without a host key).
    bool pinHostKey = true;
    // Not on the command line: a password typed more slowly than this (milliseconds) goes over a
    // fresh connection, since the listener limits the time a new connection has for its login.
    unsigned int loginPromptPatienceMs = 10000;
    bool help = false;
    bool version = false;
};

// One sub-command with its options (long names without "--") and positional arguments.
struct SCommand {
    std::string name;
    std::string action; // for "conf" (get/set) and "entropy" (pair/subkey/supply)
    std::map<std::string, std::string> options;
    std::vector<std::string> args;
    bool help = false;

    bool has(const std::string& option) const { return options.count(option) != 0; }
    std::string get(const std::string& option, const std::string& fallback = "") const;
};

struct SCommandLine {
    SGlobalOptions global;
    SCommand command;
};

// Parses argv[1..]: global options, then the sub-command and its options. Checks that required
// options are there and that sizes, dates and names are well-formed. Throws CUsageException.
// With --help (global or after the sub-command) or --version the command may be empty.
SCommandLine gParseCommandLine(const std::vector<std::string>& args);
// Parses the words of one sub-command (no global options), as on a script line.
SCommand gParseCommand(const std::vector<std::string>& words);
// Splits a script line into words: blanks separate, "..." and '...' group, a backslash takes
// the next character as it is, "#" at the start of a word begins a comment. Throws
// CUsageException for an open quote.
std::vector<std::string> gSplitScriptLine(const std::string& line);

// One setting of "conf set NAME VALUE..." or "conf unset NAME": the directive as the operation
// table writes it, or "Alias" with the alias's code and, when set, its command.
struct SConfSetting {
    std::string directive;
    std::vector<std::string> values;
    bool set = true;
    bool alias = false;
    std::string type; // "boolean", "integer" or "string", as the listener writes it
};
// Reads and checks a setting from the words after "conf set" / "conf unset" as the listener
// would (an unknown directive, a value the setting does not take, several values for a setting
// of one). Throws CUsageException.
SConfSetting gConfSetting(const std::vector<std::string>& words, bool set);
// Applies the setting to a "configuration" element as "conf-get" returns it: every value of the
// directive (the alias with that code) goes, and when setting, the new ones are added. Returns
// how many values (aliases) it took away.
size_t gApplyConfSetting(SXmlElement& configuration, const SConfSetting& setting);

// The help of the console (empty name) or of one sub-command; unknown names throw.
std::string gHelpText(const std::string& command);
// The names of all sub-commands, in help order.
std::vector<std::string> gCommandNames();

// Checks a date as YYYY-MM-DD with a real month and day; throws CUsageException naming `what`.
void gCheckDate(const std::string& what, const std::string& date);
// Reads a decimal number in [min, max]; throws CUsageException naming `what`.
unsigned long gParseNumber(const std::string& what, const std::string& text, unsigned long min,
                           unsigned long max);

} // namespace vornadmin

#endif
