// orxadmin_cli: the console's command line: global options, sub-commands with named options,
// script lines, and the help texts.
#ifndef VORNADMIN_ORXADMIN_CLI_H
#define VORNADMIN_ORXADMIN_CLI_H

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

// Exit statuses of the console.
enum eExitStatus : int {
    eExitOK = 0,
    eExitFailure = 1,   // connection, protocol or local file failure
    eExitUsage = 2,     // the command line was refused
    eExitOtherRC = 30,  // the listener answered with an rc not listed below
    eExitLoginBase = 40 // login refused with rc n (1 to 5): 40 + n
    // A request refused with rc 8, 12, 16 or 20 exits with that rc.
};

// The exit status for a request's rc (0, 8, 12, 16, 20 pass through).
int gExitForRequestRC(int rc);
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
