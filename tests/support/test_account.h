// test_account: a throw-away Unix account with a known password and a fresh temporary home.
//
// Tests that need a real login or a real per-user home create one with TestAccount::create().
// It works only when the tests run as root (CI does); otherwise it returns null and the test
// skips with TestAccount::skipReason(). The account and its home are removed at scope end.
// ScopedIdentity switches the effective group, supplementary groups and user of the whole
// process to the account for a scope and restores root afterwards.
#ifndef ORX_TESTS_TEST_ACCOUNT_H
#define ORX_TESTS_TEST_ACCOUNT_H

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

class TestAccount {
public:
    // Creates an account named <prefix><pid>x<n> whose home is a new folder under the
    // temporary directory, owned by the account with mode 0700. Null when not running as root.
    static std::unique_ptr<TestAccount> create(const std::string& prefix = "orxt") {
        if (geteuid() != 0 || access("/usr/sbin/useradd", X_OK) != 0)
            return nullptr;
        static std::atomic<int> counter{0};
        std::string name = prefix + std::to_string(getpid()) + "x" + std::to_string(counter++);
        if (name.size() > 31)
            throw std::invalid_argument("test account name too long: " + name);
        std::unique_ptr<TestAccount> account(new TestAccount(name));
        account->setUp();
        return account;
    }

    static std::string skipReason() {
        return "needs root to create a test account (run the tests as root, as CI does)";
    }

    ~TestAccount() {
        if (m_created)
            run({"/usr/sbin/userdel", "-f", m_name});
        std::error_code ignored;
        if (!m_home.empty())
            std::filesystem::remove_all(m_home, ignored);
    }
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;

    const std::string& name() const { return m_name; }
    const std::string& home() const { return m_home; }
    const std::string& password() const { return m_password; }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }
    std::string file(const std::string& relative) const { return m_home + "/" + relative; }

    // Runs a program (no shell) and returns its exit status; -1 when it could not run.
    static int run(const std::vector<std::string>& argv, const std::string& input = "") {
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        pid_t pid = fork();
        if (pid < 0) {
            close(fds[0]);
            close(fds[1]);
            return -1;
        }
        if (pid == 0) {
            dup2(fds[0], 0);
            close(fds[0]);
            close(fds[1]);
            int devnull = ::open("/dev/null", O_WRONLY);
            if (devnull >= 0)
                dup2(devnull, 1);
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(fds[0]);
        size_t done = 0;
        while (done < input.size()) {
            ssize_t n = ::write(fds[1], input.data() + done, input.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fds[1]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    explicit TestAccount(std::string name) : m_name(std::move(name)) {}

    void setUp() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orx-home-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_home = pattern;
        m_password = "Pw-" + m_name + "-7q!";
        if (run({"/usr/sbin/useradd", "-M", "-U", "-d", m_home, "-s", "/bin/sh", m_name}) != 0)
            throw std::runtime_error("useradd failed for " + m_name);
        m_created = true;
        if (run({"/usr/sbin/chpasswd"}, m_name + ":" + m_password + "\n") != 0)
            throw std::runtime_error("chpasswd failed for " + m_name);
        struct passwd pw {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwnam_r(m_name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 ||
            found == nullptr)
            throw std::runtime_error("new account not found: " + m_name);
        m_uid = pw.pw_uid;
        m_gid = pw.pw_gid;
        if (chown(m_home.c_str(), m_uid, m_gid) != 0 || chmod(m_home.c_str(), 0700) != 0)
            throw std::runtime_error("cannot hand the home folder to " + m_name);
    }

    std::string m_name;
    std::string m_home;
    std::string m_password;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_created = false;
};

// Runs the rest of a scope as the account (effective ids and supplementary groups), then
// returns to root. Only for tests running as root.
class ScopedIdentity {
public:
    explicit ScopedIdentity(const TestAccount& account) {
        const gid_t group = account.gid();
        if (setgroups(1, &group) != 0 || setegid(group) != 0 || seteuid(account.uid()) != 0)
            throw std::runtime_error("cannot switch to " + account.name());
    }
    ~ScopedIdentity() {
        if (seteuid(0) != 0 || setegid(0) != 0 || setgroups(0, nullptr) != 0)
            std::abort();
    }
    ScopedIdentity(const ScopedIdentity&) = delete;
    ScopedIdentity& operator=(const ScopedIdentity&) = delete;
};

#endif
