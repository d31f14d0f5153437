// Starting orxweb: the command line and the certificate made on first start and kept.
#include "webcli.h"
#include "webpin.h"
#include "webtls.h"
#include "zaf_temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace vornweb;

TEST(WebStart, CommandLine) {
    const SWebCommandLine line = gParseWebCommandLine(
        {"--port", "0", "--listener-host", "10.1.2.3", "--listener-port", "17766",
         "--allow-plain-listener", "--max-sessions", "3", "--max-sessions-per-user", "2",
         "--idle-timeout", "60", "--state-dir", "/tmp/s", "--port-file", "/tmp/p",
         "--listener-socket", "/run/x/web.sock"},
        "/assets", "/policy.cfg");
    EXPECT_EQ(0, line.options.port);
    EXPECT_EQ("127.0.0.1", line.options.address);
    EXPECT_EQ("10.1.2.3", line.options.listenerHost);
    EXPECT_EQ(17766, line.options.listenerPort);
    EXPECT_EQ("/run/x/web.sock", line.options.listenerSocket);
    EXPECT_TRUE(line.options.allowPlainListener);
    EXPECT_EQ("/tmp/s/known_hosts", line.options.knownHostsFile);
    EXPECT_EQ(3u, line.options.maxSessions);
    EXPECT_EQ(2u, line.options.maxSessionsPerUser);
    EXPECT_EQ(60u, line.options.idleSeconds);
    EXPECT_EQ("/tmp/s", line.stateDir);
    EXPECT_EQ("/tmp/p", line.portFile);
    EXPECT_EQ("/assets", line.options.assetsDir);
    EXPECT_EQ("/policy.cfg", line.options.policyFile);

    const SWebCommandLine defaults = gParseWebCommandLine({}, "/a", "/p");
    EXPECT_FALSE(defaults.options.allowPlainListener);
    EXPECT_EQ("/var/lib/orxweb/known_hosts", defaults.options.knownHostsFile);
    EXPECT_EQ("", defaults.options.listenerHostKey);
    EXPECT_EQ("", defaults.options.listenerSocket);
    EXPECT_EQ("/k",
              gParseWebCommandLine({"--known-hosts", "/k"}, "/a", "/p").options.knownHostsFile);
    const SWebCommandLine strict =
        gParseWebCommandLine({"--listener-host-key", "/etc/hostkey.pkr"}, "/a", "/p");
    EXPECT_EQ("/etc/hostkey.pkr", strict.options.listenerHostKey);
    EXPECT_EQ("", strict.options.knownHostsFile);
    EXPECT_EQ(8443, defaults.options.port);
    EXPECT_EQ(4u, defaults.options.maxSessionsPerUser);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--port"},
             {"--port", "65536"},
             {"--port", "-1"},
             {"--max-sessions", "0"},
             {"--max-sessions-per-user", "0"},
             {"--idle-timeout", "x"},
             {"--cert", "c.pem"},
             {"--password", "x"},
             {"--listener-host-key"},
             {"--listener-host-key", "k", "--allow-plain-listener"},
             {"--known-hosts", "f", "--listener-host-key", "k"},
             {"extra"}})
        EXPECT_THROW(gParseWebCommandLine(bad, "/a", "/p"), std::invalid_argument) << bad[0];
    EXPECT_TRUE(gParseWebCommandLine({"--help"}, "/a", "/p").help);
}

TEST(WebStart, SelfSignedCertificateIsMadeOnceAndKept) {
    ZafTempDir dir;
    const std::string state = dir.file("state");
    std::string cert;
    std::string key;
    ASSERT_TRUE(gEnsureCertificate(state, cert, key));
    struct stat info {};
    ASSERT_EQ(0, ::stat(key.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    ASSERT_EQ(0, ::stat(state.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    const std::string fingerprint = gCertificateFingerprint(cert);
    EXPECT_EQ(95u, fingerprint.size()); // 32 bytes as XX:XX:...
    std::string cert2;
    std::string key2;
    EXPECT_FALSE(gEnsureCertificate(state, cert2, key2));
    EXPECT_EQ(cert, cert2);
    EXPECT_EQ(fingerprint, gCertificateFingerprint(cert2));

    // Half a pair is not silently replaced.
    ASSERT_EQ(0, ::unlink(key.c_str()));
    std::string cert3;
    std::string key3;
    EXPECT_THROW(gEnsureCertificate(state, cert3, key3), std::runtime_error);

    // Configured files are used as they are.
    std::string given = "/x/cert.pem";
    std::string givenKey = "/x/key.pem";
    EXPECT_FALSE(gEnsureCertificate("", given, givenKey));
    EXPECT_EQ("/x/cert.pem", given);

    std::ofstream(dir.file("junk.pem")) << "not a certificate\n";
    EXPECT_THROW(gCertificateFingerprint(dir.file("junk.pem")), std::runtime_error);
}

TEST(WebStart, FingerprintsAsAdministratorsWriteThem) {
    std::string digits;
    EXPECT_TRUE(gNormalFingerprint("7796 69B9 277F 54F2 050B 8328 2673 F2CB E546 AD36", digits));
    EXPECT_EQ("779669B9277F54F2050B83282673F2CBE546AD36", digits);
    EXPECT_TRUE(gNormalFingerprint("77:96:69:b9:27:7f:54:f2:05:0b:83:28:26:73:f2:cb", digits));
    EXPECT_EQ("779669B9277F54F2050B83282673F2CB", digits);
    for (const char* bad : {"", "7796 69B9", "779669B9277F54F2050B83282673F2CBE546AD3",
                            "779669B9277F54F2050B83282673F2CBE546AD36AA", "/etc/orx/hostkey.pkr",
                            "G79669B9277F54F2050B83282673F2CBE546AD36"})
        EXPECT_FALSE(gNormalFingerprint(bad, digits)) << bad;
}

// A named key file is read at start: one public key, or orxweb does not start.
TEST(WebStart, NamedHostKeyFile) {
    const std::string data = ORX_TEST_DATA_DIR;
    CListenerPin named("127.0.0.1", 1718, "", data + "/hostkey/hostkey.pkr", false);
    const std::string described = named.describe();
    EXPECT_NE(std::string::npos, described.find("hostkey.pkr, fingerprint ")) << described;
    EXPECT_NE(std::string::npos, described.find(" (strict)"));
    CListenerPin byFingerprint("127.0.0.1", 1718, "",
                               "7796 69B9 277F 54F2 050B 8328 2673 F2CB E546 AD36", false);
    EXPECT_NE(std::string::npos,
              byFingerprint.describe().find("with the fingerprint 7796 69B9 277F 54F2 050B 8328"));

    ZafTempDir dir;
    std::ofstream(dir.file("junk.pkr")) << "not a key\n";
    std::ofstream(dir.file("two.pkr"), std::ios::binary)
        << std::ifstream(data + "/hostkey/hostkey.pkr", std::ios::binary).rdbuf()
        << std::ifstream(data + "/hostkey-other/hostkey.pkr", std::ios::binary).rdbuf();
    std::ofstream(dir.file("large.pkr")) << std::string(2 * 1024 * 1024, 'k');
    for (const std::string& bad : {dir.file("missing.pkr"), dir.file("junk.pkr"),
                                   dir.file("two.pkr"), dir.file("large.pkr"), dir.path()})
        EXPECT_THROW(CListenerPin("127.0.0.1", 1718, "", bad, false), std::runtime_error) << bad;
    // Known hosts need a file to keep them in.
    EXPECT_THROW(CListenerPin("127.0.0.1", 1718, "", "", false), std::runtime_error);
}
