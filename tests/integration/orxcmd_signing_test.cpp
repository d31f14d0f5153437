// Which key orxcmd signs with, end to end as a throw-away account: a key whose primary may only
// certify (as sq makes every key) signs with its signing subkey, --sign-with names a subkey by
// its ID, a subkey or key that may not sign is refused, and what is signed verifies in gpg and
// sq when they are installed (skipped with a message otherwise).
#include "orxcmd_harness.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace orxtest;

namespace {

bool installed(const std::string& program) { return ::access(program.c_str(), X_OK) == 0; }

// Runs a shell command line as root in the test; its exit status.
int shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class OrxcmdSigning : public ::testing::Test {
protected:
    void SetUp() override {
        if (!installed("/usr/bin/sq"))
            GTEST_SKIP() << "sq is not installed (scripts/install-deps.sh installs it): the keys "
                            "of these tests are made by it";
        m_user = TestAccount::create("orxcs");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }
    SCmdResult run(const std::vector<std::string>& args) {
        return runOrxcmd(*m_user, m_install, args);
    }
    // A key made by sq (primary: certification only) added to the rings; returns its file.
    std::string sqKey(const std::string& name, const std::string& extra) {
        const std::string file = m_dir.file(name + ".key");
        EXPECT_EQ(0, shell("sq key generate --userid '" + name + " <" + name +
                           "@example.org>' --cannot-authenticate " + extra + " --export " + file));
        ::chmod(file.c_str(), 0644);
        const SCmdResult r = run({"--key-add", file});
        EXPECT_EQ(0, r.rc) << r.err;
        return file;
    }
    // Long IDs of the subkeys of a key by algorithm (22 EdDSA signs, 18 ECDH encrypts).
    std::map<std::string, std::string> subkeys(const std::string& name) {
        std::map<std::string, std::string> out;
        const SCmdResult r = run({"--key-detail", name, "--with-colons"});
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line)) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            std::string field;
            while (std::getline(fields, field, ':'))
                f.push_back(field);
            if (f.size() > 4 && (f[0] == "sub" || f[0] == "sec"))
                out[f[0] == "sec" ? "primary" : f[3]] = f[4];
        }
        return out;
    }
    std::string statusLine(const SCmdResult& r, const std::string& keyword) {
        const size_t at = r.out.find("[ORXCMD] " + keyword + " ");
        return at == std::string::npos
                   ? ""
                   : r.out.substr(at + 10 + keyword.size(),
                                  r.out.find('\n', at) - at - 10 - keyword.size());
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
    ZafTempDir m_dir;
};

} // namespace

TEST_F(OrxcmdSigning, AKeyWhosePrimaryOnlyCertifiesSignsWithItsSubkey) {
    ::chmod(m_dir.path().c_str(), 0755);
    const std::string keyFile = sqKey("certifier", "");
    const auto ids = subkeys("certifier");
    ASSERT_EQ(3u, ids.size());
    {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file("data")) << "what the subkey signs\n";
    }
    SCmdResult r = run({"--sign", "data", "--output", "data.sig", "--status-fd", "1"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, statusLine(r, "SIG_CREATED").find(ids.at("22"))) << r.out;
    const std::string sig = m_user->file("data.sig");
    EXPECT_EQ(0, shell("sq verify --signer-cert " + keyFile + " " + sig));
    if (installed("/usr/bin/gpg")) {
        ZafTempDir home;
        ::chmod(home.path().c_str(), 0700);
        ASSERT_EQ(0, shell("gpg --homedir " + home.path() + " --batch --import " + keyFile));
        EXPECT_EQ(0, shell("gpg --homedir " + home.path() + " --batch --verify " + sig));
        shell("gpgconf --homedir " + home.path() + " --kill all");
    }

    // Named by its ID, the signing subkey signs; the encryption subkey may not.
    r = run({"--sign", "data", "--sign-with", "0x" + ids.at("22"), "--output", "named.sig",
             "--status-fd", "1"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, statusLine(r, "SIG_CREATED").find(ids.at("22")));
    r = run({"--sign", "data", "--sign-with", "0x" + ids.at("18"), "--output", "refused.sig"});
    EXPECT_EQ(1, r.rc);
    EXPECT_NE(std::string::npos, r.err.find("may not sign data")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file("refused.sig")));

    // A key with nothing that may sign is refused, not signed for by its certifying primary.
    sqKey("nosign", "--cannot-sign");
    r = run({"--sign", "data", "--sign-with", "nosign", "--output", "none.sig"});
    EXPECT_EQ(1, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("no usable key that may sign data")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file("none.sig")));
}
