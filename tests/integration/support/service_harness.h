// service_harness: a real orxsdkd in the foreground on a socket in a temporary folder, its log
// in a file there; and running programs with their standard error in a file.
#ifndef ORX_INTEGRATION_SERVICE_HARNESS_H
#define ORX_INTEGRATION_SERVICE_HARNESS_H

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orxtest {

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Polls `ready` every 20 ms for at most `seconds`.
inline bool pollFor(const std::function<bool()>& ready, int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
}

// Starts a program with the given working directory and standard error file; its pid.
inline pid_t spawnProgram(const std::vector<std::string>& args, const std::string& errorFile,
                          const std::string& directory = "") {
    pid_t pid = fork();
    if (pid == 0) {
        if (!directory.empty() && chdir(directory.c_str()) != 0)
            _exit(126);
        if (std::freopen(errorFile.c_str(), "w", stderr) == nullptr ||
            std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits (bounded) for a child; its exit code, or -1 when it did not end or ended by a signal.
inline int waitExit(pid_t pid, int seconds = 60) {
    int status = 0;
    bool ended = pollFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ServiceProcess {
public:
    explicit ServiceProcess(const std::vector<std::string>& extra = {}) {
        std::string pattern = (std::filesystem::temp_directory_path() / "orxsdkd-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        m_dir = pattern;
        chmod(m_dir.c_str(), 0755); // other accounts reach the socket
        m_socket = m_dir + "/orxsdkd.sock";
        std::vector<std::string> args = {ORXSDKD_PATH, "--foreground", "--socket", m_socket};
        args.insert(args.end(), extra.begin(), extra.end());
        m_pid = spawnProgram(args, log());
        m_ready =
            pollFor([&] { return readText(log()).find("listening on") != std::string::npos; }, 30);
    }
    ~ServiceProcess() {
        stop();
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }
    bool ready() const { return m_ready; }
    const std::string& socket() const { return m_socket; }
    const std::string& dir() const { return m_dir; }
    std::string log() const { return m_dir + "/orxsdkd.log"; }
    std::string logText() const { return readText(log()); }
    bool waitForLog(const std::string& text, size_t count = 1, int seconds = 120) const {
        return pollFor([&] { return countOf(logText(), text) >= count; }, seconds);
    }
    // SIGTERM; the service's exit code (-1 when it did not stop in time).
    int stop() {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGTERM);
        int code = waitExit(m_pid, 60);
        m_pid = -1;
        return code;
    }
    pid_t pid() const { return m_pid; }

private:
    std::string m_dir, m_socket;
    pid_t m_pid = -1;
    bool m_ready = false;
};

} // namespace orxtest

#endif
