// Tests of the console's command line: global options, sub-commands, their checks and script
// lines.
#include "expect_throw.h"
#include "orxadmin_cli.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace vornadmin;
using Args = std::vector<std::string>;

namespace {

std::string refusal(const Args& args) {
    auto e = expectThrow<CUsageException>([&] { gParseCommandLine(args); });
    return e ? e->getMessage() : "<accepted>";
}

} // namespace

TEST(AdminCommandLine, ReadsGlobalOptionsThenTheSubCommand) {
    SCommandLine line =
        gParseCommandLine({"--host", "keys.example.org", "--port=1999", "--user", "ann",
                           "--require-secure", "--xml", "--timeout", "5", "export", "--id",
                           "0x1A2B3C4D", "--binary", "-o", "key.bin", "--with-private"});
    EXPECT_EQ("keys.example.org", line.global.host);
    EXPECT_EQ(1999, line.global.port);
    EXPECT_EQ("ann", line.global.user);
    EXPECT_TRUE(line.global.requireSecure);
    EXPECT_TRUE(line.global.xml);
    EXPECT_EQ(5u, line.global.timeoutSeconds);
    EXPECT_EQ("export", line.command.name);
    EXPECT_EQ("0x1A2B3C4D", line.command.get("id"));
    EXPECT_EQ("key.bin", line.command.get("output"));
    EXPECT_TRUE(line.command.has("binary"));
    EXPECT_TRUE(line.command.has("with-private"));
    EXPECT_FALSE(line.command.has("armor"));
}

TEST(AdminCommandLine, ActionsAndArguments) {
    SCommand get = gParseCommandLine({"conf", "get"}).command;
    EXPECT_EQ("get", get.action);
    EXPECT_TRUE(get.args.empty());
    SCommand set = gParseCommandLine({"conf", "set", "my.xml"}).command;
    EXPECT_EQ("set", set.action);
    EXPECT_EQ(Args{"my.xml"}, set.args);
    SCommand entropy =
        gParseCommandLine({"entropy", "pair", "--type", "dss", "--size", "1024"}).command;
    EXPECT_EQ("pair", entropy.action);
    SCommand dashed = gParseCommandLine({"import", "--", "-odd-name.asc"}).command;
    EXPECT_EQ(Args{"-odd-name.asc"}, dashed.args);
}

TEST(AdminCommandLine, NeverTakesPasswordsFromTheCommandLine) {
    for (const Args& args :
         {Args{"--password", "x", "keys"}, Args{"--password=x", "keys"}, Args{"-p", "x", "keys"},
          Args{"key-gen", "--name", "A", "--passphrase", "x"},
          Args{"sign", "--id", "1", "--signer", "2", "--passphrase=x"}})
        EXPECT_EQ(0u, refusal(args).find("Passwords")) << args.back();
}

TEST(AdminCommandLine, RefusesWhatTheListenerWouldRefuse) {
    struct SCase {
        Args args;
        std::string message;
    } cases[] = {
        {{}, "No sub-command given (see orxadmin --help)"},
        {{"list"}, "Unknown sub-command 'list' (see orxadmin --help)"},
        {{"keys", "--id", "1"}, "Unknown option '--id' for keys"},
        {{"keys", "extra"}, "Wrong number of arguments for keys (usage: orxadmin keys)"},
        {{"key-gen"},
         "key-gen needs --name (usage: orxadmin key-gen --name USERID [--type T] [--size N] "
         "[--cipher C] [--expiry DATE] [--adk ID] [--sign-only] [--passphrase-file FILE])"},
        {{"key-gen", "--name", ""}, "--name must not be empty"},
        {{"key-gen", "--name", "A", "--size", "-5"}, "--size must be a number, not '-5'"},
        {{"key-gen", "--name", "A", "--size", "0"}, "--size must be between 1 and 65535, not 0"},
        {{"key-gen", "--name", "A", "--size", "70000"},
         "--size must be between 1 and 65535, not 70000"},
        {{"key-gen", "--name", "A", "--type", "ElGamal"}, "Unknown value 'ElGamal' for --type"},
        {{"key-gen", "--name", "A", "--cipher", "AES-256"}, "Unknown value 'AES-256' for --cipher"},
        {{"key-gen", "--name", "A", "--expiry", "2024-02-30"},
         "--expiry must be a date YYYY-MM-DD, not '2024-02-30'"},
        {{"key-gen", "--name", "A", "--expiry", "24-01-01"},
         "--expiry must be a date YYYY-MM-DD, not '24-01-01'"},
        {{"key-gen", "--name", "A", "--sign-only=yes"}, "Option --sign-only takes no value"},
        {{"key-gen", "--name"}, "Option --name needs a value"},
        {{"key-gen", "--name", "A", "--name", "B"}, "Option --name given twice"},
        {{"sign", "--id", "1", "--signer", "2", "--type", "Exportable-ish"},
         "Unknown value 'Exportable-ish' for --type"},
        {{"sign", "--id", "1", "--signer", "2", "--depth", "256"},
         "--depth must be between 0 and 255, not 256"},
        {{"export", "--id", "1", "--armor", "--binary"}, "--armor and --binary exclude each other"},
        {{"export", "--id", "1", "--format", "Partial"}, "Unknown value 'Partial' for --format"},
        {{"photo", "--id", "1"},
         "photo needs --output (usage: orxadmin photo --id ID -o FILE [--overwrite])"},
        {{"conf"},
         "conf needs an action: conf get [FILE] | conf set FILE | conf set NAME VALUE... | conf "
         "unset NAME"},
        {{"conf", "put"}, "Unknown action 'put' for conf"},
        {{"conf", "set"}, "conf set needs the FILE to send, or a NAME and its VALUE"},
        {{"conf", "get", "a", "b"}, "conf get takes at most one FILE"},
        {{"conf", "unset"},
         "conf unset needs the NAME of a setting (Alias and its code for an alias)"},
        {{"conf", "set", "Armour", "yes"},
         "'Armour' is not a configuration directive (conf get lists the settings, \"orxadmin "
         "options\" the switches)"},
        {{"key-remove", "--id", "1", "--force=yes"}, "Option --force takes no value"},
        {{"revoke", "--id", "1", "--reason", "stolen"},
         "Unknown value 'stolen' for --reason (none, superseded, compromised, retired, "
         "uid-invalid, or the RFC 4880 code)"},
        {{"revoke", "--id", "1", "--reason", "4"},
         "Unknown value '4' for --reason (none, superseded, compromised, retired, uid-invalid, "
         "or the RFC 4880 code)"},
        {{"revoke", "--id", "1", "--reason-text", std::string(1025, 'x')},
         "--reason-text is longer than 1024 bytes"},
        {{"entropy", "pair", "--size", "1024"}, "entropy pair needs --type"},
        {{"entropy", "supply"}, "entropy supply needs --needed"},
        {{"--port", "0", "keys"}, "--port must be between 1 and 65535, not 0"},
        {{"--port", "http", "keys"}, "--port must be a number, not 'http'"},
        {{"--key", "0x1", "keys"},
         "--key needs --keyring, the folder whose key rings hold that key"},
        {{"--verbose", "keys"}, "Unknown option '--verbose' (see orxadmin --help)"},
        {{"--xml=yes", "keys"}, "Option --xml takes no value"},
    };
    for (const SCase& c : cases)
        EXPECT_EQ(c.message, refusal(c.args)) << (c.args.empty() ? "" : c.args.front());
}

TEST(AdminCommandLine, KeyServerCommandsCheckWhatTheyName) {
    SCommand search =
        gParseCommandLine({"keyserver-search", "alice@example.org", "--server", "hkp://k"}).command;
    EXPECT_EQ(Args{"alice@example.org"}, search.args);
    EXPECT_EQ("hkp://k", search.get("server"));
    SCommand fetch = gParseCommandLine({"keyserver-fetch", "0x1A2B3C4D", "00112233AABBCCDD",
                                        "3F0B 96C2 8D11 70AE 42D9 0B6E 7F33 C1D4 5A1C 9E02"})
                         .command;
    EXPECT_EQ(3u, fetch.args.size());
    const std::string bad = "'0x1A2B3C4' is not a key ID or fingerprint (0x and 8 or 16 hex "
                            "digits, or the 40 of a fingerprint)";
    EXPECT_EQ(bad, refusal({"keyserver-fetch", "0x1A2B3C4D", "0x1A2B3C4"}));
    EXPECT_NE(std::string::npos,
              refusal({"keyserver-fetch", "alice@example.org"}).find("not a key ID"));
    EXPECT_NE(std::string::npos, refusal({"keyserver-fetch", "1A2B 3C4D"}).find("not a key ID"));
    EXPECT_EQ("keyserver-search needs a text to look for", refusal({"keyserver-search", ""}));
    EXPECT_EQ("--server must not be empty", refusal({"keyserver-search", "a", "--server="}));
    EXPECT_EQ(0u, refusal({"keyserver-search"}).find("Wrong number of arguments"));
    Args many{"keyserver-fetch"};
    for (size_t i = 0; i <= kMaxKeyServerFetch; ++i)
        many.push_back("0x1A2B3C4D");
    EXPECT_EQ(0u, refusal(many).find("Wrong number of arguments"));
    many.pop_back();
    EXPECT_NO_THROW(gParseCommandLine(many));
}

TEST(AdminCommandLine, CaseOfNamesFollowsTheListenerTables) {
    EXPECT_EQ(
        "aes256",
        gParseCommandLine({"key-gen", "--name", "A", "--cipher", "aes256"}).command.get("cipher"));
    EXPECT_NO_THROW(gParseCommandLine({"key-gen", "--name", "A", "--type", "rsa-legacy"}));
    EXPECT_NO_THROW(gParseCommandLine({"key-gen", "--name", "A", "--expiry", "2028-02-29"}));
    EXPECT_EQ("--expiry must be a date YYYY-MM-DD, not '2100-02-29'",
              refusal({"key-gen", "--name", "A", "--expiry", "2100-02-29"}));
}

TEST(AdminCommandLine, HelpForTheConsoleAndEachSubCommand) {
    SCommandLine help = gParseCommandLine({"--help"});
    EXPECT_TRUE(help.global.help);
    EXPECT_NE(std::string::npos, gHelpText("").find("Exit status: 0 success"));
    SCommandLine commandHelp = gParseCommandLine({"sign", "--help"});
    EXPECT_TRUE(commandHelp.command.help);
    EXPECT_EQ("sign", commandHelp.command.name);
    // --help skips the checks: no --id is needed to ask how to sign.
    SCommandLine globalHelp = gParseCommandLine({"--help", "photo"});
    EXPECT_TRUE(globalHelp.command.help);
    EXPECT_EQ("photo", globalHelp.command.name);
    for (const std::string& name : gCommandNames()) {
        const std::string text = gHelpText(name);
        EXPECT_EQ(0u, text.find("Usage: orxadmin " + name)) << text;
    }
    EXPECT_TRUE(expectThrow<CUsageException>([] { gHelpText("nothing"); }));
}

TEST(AdminScriptLines, SplitLikeAShellWithoutExpansion) {
    EXPECT_EQ((Args{"userid-add", "--id", "0x1", "--userid", "Ann Example <ann@example.org>"}),
              gSplitScriptLine("userid-add --id 0x1 --userid \"Ann Example <ann@example.org>\""));
    EXPECT_EQ((Args{"import", "my file.asc", "it's", "$HOME"}),
              gSplitScriptLine("  import 'my file.asc' it\\'s $HOME  # comment"));
    EXPECT_EQ((Args{"a\"b", ""}), gSplitScriptLine("\"a\\\"b\" \"\""));
    EXPECT_TRUE(gSplitScriptLine("   # only a comment").empty());
    EXPECT_TRUE(gSplitScriptLine("").empty());
    EXPECT_EQ(Args{"a#b"}, gSplitScriptLine("a#b"));
    auto e = expectThrow<CUsageException>([] { gSplitScriptLine("keys \"open"); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Unterminated quote in script line: keys \"open", e->getMessage());
}

TEST(AdminExitStatus, FollowsTheReplyCodes) {
    EXPECT_EQ(0, gExitForRequestRC(0));
    EXPECT_EQ(8, gExitForRequestRC(8));
    EXPECT_EQ(12, gExitForRequestRC(12));
    EXPECT_EQ(16, gExitForRequestRC(16));
    EXPECT_EQ(20, gExitForRequestRC(20));
    EXPECT_EQ(30, gExitForRequestRC(3));
    // What orxcmd calls the same failures, where the listener names them.
    EXPECT_EQ(3, gExitForRequestRC(8, "key-not-found"));
    EXPECT_EQ(5, gExitForRequestRC(8, "bad-passphrase"));
    EXPECT_EQ(8, gExitForRequestRC(8, "anything else"));
    EXPECT_EQ(12, gExitForRequestRC(12, "key-not-found"));
    EXPECT_EQ(30, gExitForRequestRC(256));
    EXPECT_EQ(0, gExitForLoginRC(0));
    EXPECT_EQ(43, gExitForLoginRC(3));
    EXPECT_EQ(45, gExitForLoginRC(5));
    EXPECT_EQ(30, gExitForLoginRC(6));
}
