// orxcmd_harness: runs the real orxcmd as a throw-away Unix account, in that account's home, with
// standard input, a passphrase descriptor (3) and captured standard output and error.
#ifndef ORX_TESTS_ORXCMD_HARNESS_H
#define ORX_TESTS_ORXCMD_HARNESS_H

#include "test_account.h"
#include "zaf_temp_dir.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orxtest {

struct SCmdResult {
    int rc = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    uint64_t outBytes = 0; // bytes of standard output (also when they were not kept)
    long maxRssKiB = 0;    // peak resident memory of the process
};

struct SCmdOptions {
    std::string input;                      // standard input
    std::string passphrases;                // descriptor 3 (when not empty)
    bool ignoreInterrupt = false;           // start with SIGINT ignored
    rlim_t fileSizeLimit = RLIM_INFINITY;   // RLIMIT_FSIZE
    std::map<std::string, std::string> env; // added to the environment
    int umask = -1;                         // the process's umask (-1: the test's own)
    bool keepOutput = true;                 // false: standard output is only counted
    std::string workDir;                    // the working directory (default: the home)
};

// An installation directory holding the configuration template, readable by every account.
class COrxInstall {
public:
    COrxInstall() {
        ::chmod(m_dir.path().c_str(), 0755);
        std::filesystem::copy_file(std::string(ORX_BINARY_DIR) + "/zaf-template.cfg",
                                   m_dir.file("zaf-template.cfg"));
        ::chmod(m_dir.file("zaf-template.cfg").c_str(), 0644);
    }
    const std::string& path() const { return m_dir.path(); }

private:
    ZafTempDir m_dir;
};

// The environment of an orxcmd run as `account`: the installation folder, the account's home, a
// plain PATH, and what the options add.
inline std::vector<std::string> orxcmdEnvironment(const TestAccount& account,
                                                  const COrxInstall& install,
                                                  const std::map<std::string, std::string>& more) {
    std::vector<std::string> env = {"ORXDIR=" + install.path(), "HOME=" + account.home(),
                                    "PATH=/usr/bin:/bin"};
    for (const auto& e : more)
        env.push_back(e.first + "=" + e.second);
    return env;
}

// In a child process: becomes `account` (its group alone), changes to `workDir` (its home when
// empty) and runs orxcmd with `args` and `env`; exit 126 or 127 when that fails.
[[noreturn]] inline void execOrxcmdAs(const TestAccount& account,
                                      const std::vector<std::string>& args,
                                      std::vector<std::string> env, const std::string& workDir) {
    const gid_t group = account.gid();
    if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(account.uid()) != 0)
        ::_exit(126);
    if (::chdir(workDir.empty() ? account.home().c_str() : workDir.c_str()) != 0)
        ::_exit(126);
    std::vector<char*> argv;
    static std::string program = ORXCMD_PATH;
    argv.push_back(&program[0]);
    std::vector<std::string> copies(args);
    for (std::string& a : copies)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

// A running orxcmd whose standard input stays open until closeInput().
class COrxcmdProcess {
public:
    COrxcmdProcess(const TestAccount& account, const COrxInstall& install,
                   const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        int in[2], out[2], err[2], pass[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(pass, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        const std::vector<std::string> env = orxcmdEnvironment(account, install, options.env);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (!options.passphrases.empty())
                ::dup2(pass[0], 3);
            if (options.ignoreInterrupt)
                ::signal(SIGINT, SIG_IGN);
            if (options.umask >= 0)
                ::umask(static_cast<mode_t>(options.umask));
            struct rlimit limit {
                options.fileSizeLimit, options.fileSizeLimit
            };
            ::setrlimit(RLIMIT_FSIZE, &limit);
            execOrxcmdAs(account, args, env, options.workDir);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        ::close(pass[0]);
        m_keepOutput = options.keepOutput;
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
        writeAll(pass[1], options.passphrases);
        ::close(pass[1]);
        writeAll(m_in, options.input);
    }
    ~COrxcmdProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        for (int fd : {m_in, m_out, m_err})
            if (fd >= 0)
                ::close(fd);
    }

    pid_t pid() const { return m_pid; }
    void closeInput() {
        if (m_in >= 0)
            ::close(m_in);
        m_in = -1;
    }
    // True once the process waits in a read of descriptor 0 (polled, at most ~10 s).
    bool waitUntilReadingInput() {
        for (int i = 0; i < 2000; ++i) {
            std::ifstream syscall("/proc/" + std::to_string(m_pid) + "/syscall");
            std::string number, fd;
            syscall >> number >> fd;
            if (number == "0" && fd == "0x0")
                return true;
            ::usleep(5000);
        }
        return false;
    }
    // Collects the output until the process ends.
    SCmdResult wait() {
        closeInput();
        SCmdResult result;
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        int open = 2;
        while (open > 0) {
            if (::poll(fds, 2, 60000) <= 0)
                break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0)
                    continue;
                char buffer[65536];
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    fds[i].fd = -1;
                    --open;
                } else if (i == 0) {
                    result.outBytes += static_cast<uint64_t>(n);
                    if (m_keepOutput)
                        result.out.append(buffer, static_cast<size_t>(n));
                } else {
                    result.err.append(buffer, static_cast<size_t>(n));
                }
            }
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(m_pid, &status, 0, &usage);
        m_pid = -1;
        result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.maxRssKiB = usage.ru_maxrss;
        return result;
    }

private:
    static void writeAll(int fd, const std::string& data) {
        // Inputs of the tests fit the pipe or are read while we write; SIGPIPE is not wanted.
        ::signal(SIGPIPE, SIG_IGN);
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    bool m_keepOutput = true;
};

inline SCmdResult runOrxcmd(const TestAccount& account, const COrxInstall& install,
                            const std::vector<std::string>& args, const SCmdOptions& options = {}) {
    COrxcmdProcess process(account, install, args, options);
    return process.wait();
}

// Generates a 1024-bit RSA key pair for `userID` protected by `passphrase` as `account`, with
// `extra` switches; its short key ID ("0x..."), or "" when the generation failed (`failure`
// then holds the run).
inline std::string generateKeyAs(const TestAccount& account, const COrxInstall& install,
                                 const std::string& userID, const std::string& passphrase = "pw",
                                 const std::vector<std::string>& extra = {},
                                 SCmdResult* failure = nullptr) {
    std::vector<std::string> args = {"--key-gen", "--key-size",      "1024", "--userid",
                                     userID,      "--passphrase-fd", "3"};
    args.insert(args.end(), extra.begin(), extra.end());
    SCmdOptions options;
    options.passphrases = passphrase + "\n";
    const SCmdResult r = runOrxcmd(account, install, args, options);
    const std::string::size_type at = r.out.find("0x");
    if (r.rc != 0 || at == std::string::npos) {
        if (failure != nullptr)
            *failure = r;
        return std::string();
    }
    return r.out.substr(at, 10);
}

// Reads a file as root.
inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace orxtest

#endif
