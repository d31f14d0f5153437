// vornserver_test_util: the fixture of the server facade tests. Each test gets a throw-away Unix
// account whose home is a fresh temporary folder, an installation directory (ORXDIR) holding a
// copy of the shipped template, an empty site directory of its own, a captured log at debug
// level and a leak check. The test body runs as the account; asRoot() lends root's identity
// for set-up work the account may not do.
#ifndef ORX_TESTS_VORNSERVER_TEST_UTIL_H
#define ORX_TESTS_VORNSERVER_TEST_UTIL_H

#include "expect_throw.h"
#include "test_account.h"
#include "zaf_temp_dir.h"

#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/mem.h>
#include <oozaf/vornserver.h>
#include <zaf/zaf.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>

class CVornServerFixture : public ::testing::Test {
protected:
    // Deletes a server as the account, as the listener does at the end of a session.
    struct SAsAccountDeleter {
        const TestAccount* account;
        void operator()(oozaf::CVornServer* server) const {
            if (geteuid() == account->uid()) {
                delete server;
            } else {
                ScopedIdentity as(*account);
                delete server;
            }
        }
    };
    using CServerPtr = std::unique_ptr<oozaf::CVornServer, SAsAccountDeleter>;

    static void SetUpTestSuite() { ASSERT_EQ(0, ZAFsdkInit(kZAFFlags_LocalMode)); }
    static void TearDownTestSuite() { ZAFsdkCleanup(); }

    void SetUp() override {
        m_account = TestAccount::create("orxf");
        if (!m_account)
            GTEST_SKIP() << TestAccount::skipReason();
        m_blocks = oozaf::gObjMemoryManager().getBlockCount();
        m_logger = std::make_unique<oozaf::CZAFLogger>();
        m_logger->setLog(m_log);
        m_logger->setLogLevel(oozaf::CZAFLogger::eLogDebug);
        oozaf::gSetOOZAFLogger(m_logger.get());

        m_install = std::make_unique<ZafTempDir>();
        m_site = std::make_unique<ZafTempDir>();
        chmod(m_install->path().c_str(), 0755);
        chmod(m_site->path().c_str(), 0755);
        std::filesystem::copy_file(std::string(ORX_TEST_DATA_DIR) + "/../../conf/zaf-template.cfg",
                                   m_install->file("zaf-template.cfg"));
        chmod(m_install->file("zaf-template.cfg").c_str(), 0644);
        const char* old = std::getenv("ORXDIR");
        m_oldOrxDir = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        setenv("ORXDIR", m_install->path().c_str(), 1);
        oozaf::CVornServer::setSiteDirectory(m_site->path());
        becomeAccount();
    }

    void TearDown() override {
        if (!m_account)
            return;
        m_as.reset();
        oozaf::CVornServer::setSiteDirectory("");
        if (m_oldOrxDir)
            setenv("ORXDIR", m_oldOrxDir->c_str(), 1);
        else
            unsetenv("ORXDIR");
        oozaf::gSetOOZAFLogger(nullptr);
        m_logger.reset();
        EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount());
        m_site.reset();
        m_install.reset();
        m_account.reset();
    }

    void becomeAccount() {
        if (!m_as)
            m_as.emplace(*m_account);
    }
    void becomeRoot() { m_as.reset(); }
    // Runs `work` as root and returns to the account.
    void asRoot(const std::function<void()>& work) {
        becomeRoot();
        work();
        becomeAccount();
    }

    // A new server for the account (the caller is the account).
    CServerPtr open() { return CServerPtr(new oozaf::CVornServer(), {m_account.get()}); }

    std::string home(const std::string& relative = "") const {
        return relative.empty() ? m_account->home() : m_account->file(relative);
    }
    std::string personal(const std::string& name = "") const {
        return name.empty() ? home(".zaf") : home(".zaf/" + name);
    }
    std::string site(const std::string& name) const { return m_site->file(name); }
    std::string install(const std::string& name) const { return m_install->file(name); }

    static void write(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        ASSERT_TRUE(out.good()) << path;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    // Writes a site file (default or policy) as root, readable by everybody.
    void writeSite(const std::string& name, const std::string& content) {
        asRoot([&] {
            write(site(name), content);
            chmod(site(name).c_str(), 0644);
        });
    }
    // Writes the account's own configuration file, creating the personal directory.
    void writeUserConf(const std::string& content) {
        std::filesystem::create_directories(personal());
        write(personal("zaf.cfg"), content);
    }

    std::string log() const { return m_log.str(); }
    bool logged(const std::string& text) const {
        return m_log.str().find(text) != std::string::npos;
    }

    std::unique_ptr<TestAccount> m_account;

private:
    std::unique_ptr<ZafTempDir> m_install;
    std::unique_ptr<ZafTempDir> m_site;
    std::optional<std::string> m_oldOrxDir;
    std::optional<ScopedIdentity> m_as;
    std::unique_ptr<oozaf::CZAFLogger> m_logger;
    std::ostringstream m_log;
    std::size_t m_blocks = 0;
};

#endif
