// sks_harness: a real HKP key server (Debian's sks) on loopback and a gpg home that talks to it.
// The server's database is built in a temporary base folder (var/lib/sks, var/log/sks,
// var/run/sks) from a dump of binary keys, then "sks db" serves it on a free loopback port.
// Both skip with a reason when their program is missing or does not start.
#ifndef ORX_TESTS_SKS_HARNESS_H
#define ORX_TESTS_SKS_HARNESS_H

#include "tls_tunnel.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orxtest {

struct SProgramResult {
    int rc = -1;
    std::string out;
};

// Runs a program (no shell) with extra environment, standard input from `input`, standard
// output captured, standard error to `errFile` (or discarded). Waits at most `seconds`.
inline SProgramResult runProgram(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env = {},
                                 const std::string& input = "", const std::string& errFile = "",
                                 int seconds = 120) {
    SProgramResult result;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        const int err = errFile.empty()
                            ? ::open("/dev/null", O_WRONLY)
                            : ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(err, 2);
        for (const std::string& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0)
        result.out.clear();
    ::close(in[1]);
    char buffer[65536];
    for (int waited = 0; waited < seconds * 10;) {
        pollfd p{out[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready == 0) {
            ++waited;
            continue;
        }
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.out.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// A gpg home in `dir` (mode 0700); its agent and dirmngr are stopped when the object goes.
class GpgHome {
public:
    explicit GpgHome(const std::string& dir) : m_dir(dir) {
        std::filesystem::create_directories(dir);
        ::chmod(dir.c_str(), 0700);
        if (::access("/usr/bin/gpg", X_OK) != 0)
            m_skip = "gpg is not installed (apt-get install gpg gpg-agent dirmngr)";
    }
    ~GpgHome() {
        if (m_skip.empty())
            runProgram({"gpgconf", "--kill", "all"}, {"GNUPGHOME=" + m_dir});
    }
    GpgHome(const GpgHome&) = delete;
    GpgHome& operator=(const GpgHome&) = delete;

    bool usable() const { return m_skip.empty(); }
    const std::string& skipReason() const { return m_skip; }
    const std::string& dir() const { return m_dir; }

    SProgramResult gpg(std::vector<std::string> args, const std::string& input = "") const {
        args.insert(args.begin(), {"gpg", "--batch", "--yes", "--no-tty", "--pinentry-mode",
                                   "loopback", "--passphrase", ""});
        return runProgram(args, {"GNUPGHOME=" + m_dir}, input, m_dir + "/gpg.log");
    }
    // Makes a key without a passphrase and returns its fingerprint ("" on failure).
    std::string generate(const std::string& userID, const std::string& algorithm) const {
        if (gpg({"--quick-gen-key", userID, algorithm, "default", "never"}).rc != 0)
            return "";
        const SProgramResult list = gpg({"--with-colons", "--list-keys", userID});
        const size_t at = list.out.find("\nfpr:");
        if (at == std::string::npos)
            return "";
        const size_t start = list.out.find_first_not_of(':', at + 5);
        return list.out.substr(start, 40);
    }
    // The revocation certificate gpg made along with the key, ready to import.
    std::string revocation(const std::string& fingerprint) const {
        // gpg keeps them in a folder of its home whose name ends in "-revocs.d".
        std::string folder;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_directory() && name.size() > 9 &&
                name.compare(name.size() - 9, 9, "-revocs.d") == 0)
                folder = entry.path().string();
        }
        std::ifstream in(folder + "/" + fingerprint + ".rev");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t begin = text.find(":-----BEGIN");
        if (begin != std::string::npos)
            text.erase(begin, 1);
        return text;
    }

private:
    std::string m_dir;
    std::string m_skip;
};

// sks serving HKP on a free loopback port, its database built from `dump` (binary keys).
class SksServer {
public:
    SksServer(const std::string& base, const std::string& dump) : m_base(base) {
        if (::access("/usr/sbin/sks", X_OK) != 0) {
            m_skip = "sks is not installed (apt-get install sks)";
            return;
        }
        for (const char* sub : {"var/lib/sks", "var/log/sks", "var/run/sks", "dump"})
            std::filesystem::create_directories(base + "/" + sub);
        std::ofstream(base + "/dump/keys.dump", std::ios::binary) << dump;
        std::ofstream(base + "/membership");
        const SProgramResult built = runProgram({"/usr/sbin/sks", "build", base + "/dump/keys.dump",
                                                 "-basedir", base, "-n", "1", "-cache", "10"},
                                                {}, "", base + "/sks-build.err");
        if (built.rc != 0) {
            m_skip = "sks build failed (see " + base + "/sks-build.err)";
            return;
        }
        m_port = freeLoopbackPort();
        const std::string port = std::to_string(m_port);
        const std::string recon = std::to_string(freeLoopbackPort());
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/sbin/sks", "sks", "db", "-basedir", base.c_str(), "-hkp_address",
                    "127.0.0.1", "-hkp_port", port.c_str(), "-recon_address", "127.0.0.1",
                    "-recon_port", recon.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!waitForLoopbackPort(m_port))
            m_skip = "sks db did not start (see " + base + "/var/log/sks/db.log)";
    }
    ~SksServer() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(m_pid, &status, WNOHANG) == 0; ++i)
            ::usleep(50000);
        if (::waitpid(m_pid, &status, WNOHANG) == 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
        }
    }
    SksServer(const SksServer&) = delete;
    SksServer& operator=(const SksServer&) = delete;

    bool running() const { return m_skip.empty(); }
    const std::string& skipReason() const { return m_skip; }
    uint16_t port() const { return m_port; }
    std::string url() const { return "hkp://127.0.0.1:" + std::to_string(m_port); }

private:
    std::string m_base;
    std::string m_skip;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

// A key server for a test: gpg's home in FOLDER/peer-home and an sks in FOLDER/sks holding a key
// gpg made for `userID` and sent there (sks builds no empty database, so a seed key comes first).
// `skip` says why the test cannot run, `failure` what went wrong; both are empty when it runs.
struct SSksWithKey {
    SSksWithKey(const std::string& folder, const std::string& userID,
                const std::string& algorithm = "rsa2048")
        : gpg(folder + "/peer-home") {
        if (!gpg.usable()) {
            skip = gpg.skipReason();
            return;
        }
        const std::string seed = gpg.generate("Seed Key <seed@example.net>", "ed25519");
        if (seed.size() != 40) {
            failure = "gpg made no seed key: " + gpgLog();
            return;
        }
        sks = std::make_unique<SksServer>(folder + "/sks", gpg.gpg({"--export", seed}).out);
        if (!sks->running()) {
            skip = sks->skipReason();
            return;
        }
        fingerprint = gpg.generate(userID, algorithm);
        if (fingerprint.size() != 40 ||
            gpg.gpg({"--keyserver", sks->url(), "--send-keys", fingerprint}).rc != 0)
            failure = "gpg made or sent no key: " + gpgLog();
    }

    std::string gpgLog() const {
        std::ifstream in(gpg.dir() + "/gpg.log");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    GpgHome gpg;
    std::unique_ptr<SksServer> sks;
    std::string fingerprint;
    std::string skip;
    std::string failure;
};

} // namespace orxtest

#endif
