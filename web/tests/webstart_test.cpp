// Starting orxweb: the command line and the certificate made on first start and kept.
#include "webcli.h"
#include "webtls.h"
#include "zaf_temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace vornweb;

TEST(WebStart, CommandLine) {
    const SWebCommandLine line = gParseWebCommandLine(
        {"--port", "0", "--listener-host", "10.1.2.3", "--listener-port", "17766",
         "--allow-plain-listener", "--max-sessions", "3", "--idle-timeout", "60", "--state-dir",
         "/tmp/s", "--port-file", "/tmp/p"},
        "/assets", "/policy.cfg");
    EXPECT_EQ(0, line.options.port);
    EXPECT_EQ("127.0.0.1", line.options.address);
    EXPECT_EQ("10.1.2.3", line.options.listenerHost);
    EXPECT_EQ(17766, line.options.listenerPort);
    EXPECT_FALSE(line.options.requireSecure);
    EXPECT_EQ(3u, line.options.maxSessions);
    EXPECT_EQ(60u, line.options.idleSeconds);
    EXPECT_EQ("/tmp/s", line.stateDir);
    EXPECT_EQ("/tmp/p", line.portFile);
    EXPECT_EQ("/assets", line.options.assetsDir);
    EXPECT_EQ("/policy.cfg", line.options.policyFile);

    const SWebCommandLine defaults = gParseWebCommandLine({}, "/a", "/p");
    EXPECT_TRUE(defaults.options.requireSecure);
    EXPECT_EQ(8443, defaults.options.port);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--port"},
                                               {"--port", "65536"},
                                               {"--port", "-1"},
                                               {"--max-sessions", "0"},
                                               {"--idle-timeout", "x"},
                                               {"--cert", "c.pem"},
                                               {"--password", "x"},
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
