// orxadmin_run: the console's session: password, connection, login, and one sub-command or a
// script of several, each turned into requests and readable output.
#ifndef VORNADMIN_ORXADMIN_RUN_H
#define VORNADMIN_ORXADMIN_RUN_H

#include "adminclient.h"
#include "orxadmin_cli.h"

#include <functional>
#include <ostream>
#include <string>

namespace vornadmin {

// Asks for a secret when no file or environment variable gives one; returns false when it cannot
// ask (no terminal).
using SecretPrompt = std::function<bool(const std::string& prompt, std::string& secret)>;
// Asks a question (echo on) and gives the answer; returns false when it cannot ask.
using Question = std::function<bool(const std::string& prompt, std::string& answer)>;

// Reads the first line of a file (without its line break) as a secret. Throws CAdminException
// when the file cannot be read, is empty or its first line is longer than 4096 bytes.
std::string gReadSecretFile(const std::string& path);
// Prompts on the controlling terminal with echo off; false when there is none.
bool gPromptTerminal(const std::string& prompt, std::string& secret);
// Asks a question on the controlling terminal with echo on; false when there is none.
bool gConfirmTerminal(const std::string& prompt, std::string& answer);
// Reads a whole file of at most `limit` bytes. Throws CAdminException.
std::string gReadFile(const std::string& path, size_t limit);
// Writes a file (created with `mode`, replaced when it exists). Throws CAdminException.
void gWriteFile(const std::string& path, const std::string& bytes, unsigned int mode);
// Writes `bytes` as the file `path` through a new file in its folder that is renamed over it
// once complete, so that `path` never holds part of the output and a link at `path` is
// replaced, never written through. `secret` makes it mode 0600, otherwise 0666 less the umask.
// An existing `path` is replaced only with `overwrite`. Throws CAdminException.
void gReplaceFile(const std::string& path, const std::string& bytes, bool secret, bool overwrite);

// Runs sub-commands for one session. Output goes to `out`, messages and progress to `err`.
// Secrets come from the option's file, then the environment (ORXADMIN_PASSWORD,
// ORXADMIN_PASSPHRASE, ORXADMIN_KEY_PASSPHRASE for --key), then `prompt`.
class CConsole {
public:
    CConsole(SGlobalOptions options, std::ostream& out, std::ostream& err, SecretPrompt prompt,
             bool progressOnTerminal = false);

    // Connects, logs in and runs `command` (or, for "script", every line of its file); returns
    // the exit status (see eExitStatus). Every failure is reported on `err`.
    int run(const SCommand& command);
    // Where yes/no questions go (a new listener's host key, removing a key); the terminal by
    // default.
    void setQuestion(Question ask) { m_ask = std::move(ask); }

private:
    int runOne(CAdminConnection& connection, const SCommand& command);
    int runScript(CAdminConnection& connection, const SCommand& script,
                  const std::vector<SCommand>& lines);
    // Sends a request and reports a refused one; returns its exit status in `status`.
    SReply send(CAdminConnection& connection, const SXmlElement& request, int& status,
                const ProgressCallback& progress = nullptr);
    std::string secret(const std::string& file, const char* variable, const std::string& prompt,
                       bool confirm);
    int generate(CAdminConnection& connection, const SCommand& command);
    void printXml(const SReply& reply);
    // Writes a refused request's message on the error stream.
    void reportRefusal(const std::string& type, int rc, const std::string& text);
    // Sends a query and writes its reply as it arrives, unparsed but for its head; returns the
    // exit status of its return code.
    int passThrough(CAdminConnection& connection, const SXmlElement& request);
    // The keys summary, read and written one key at a time.
    int listKeys(CAdminConnection& connection);
    // Asks whether the key may go (naming it as the keys summary shows it); false for no.
    // Throws CUsageException when there is no terminal to ask on.
    bool confirmRemoval(CAdminConnection& connection, const std::string& id);
    // "conf set NAME VALUE..." and "conf unset NAME": the user's file through conf-get and
    // conf-set.
    int changeSetting(CAdminConnection& connection, const SCommand& command);

    SGlobalOptions m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    SecretPrompt m_prompt;
    bool m_progressOnTerminal;
    Question m_ask;
};

} // namespace vornadmin

#endif
