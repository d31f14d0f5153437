// listener_harness: runs a real orxgui on an ephemeral loopback port for integration tests, and
// talks to it through the administration client library.
//
// The daemon runs as its own process with a private installation directory (holding the user
// configuration template), a private log file at debug level and its standard error captured.
// Readiness is the log line "Initialization completed successfully.", polled with a bound; a
// daemon that exits during start-up (for example because the port was taken meanwhile) is
// started again on another port.
#ifndef ORX_INTEGRATION_LISTENER_HARNESS_H
#define ORX_INTEGRATION_LISTENER_HARNESS_H

#include "zaf_temp_dir.h"

#include <adminclient.h>
#include <adminrequests.h>
#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orxtest {

// Polls `condition` every few milliseconds until it holds or `milliseconds` pass.
inline bool waitUntil(const std::function<bool()>& condition, unsigned int milliseconds = 30000) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 5);
    }
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline size_t countOccurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// A port that was free a moment ago (bound to 0 and released).
inline uint16_t pickFreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

struct SListenerOptions {
    bool secure = true;
    // "--local": skip the toolkit service (the fallback is tested on its own).
    bool local = true;
    std::string clientsThreadInterval;
    std::string loginTimeout;
    std::string info = "debug";
    std::vector<std::string> extraArgs;
    // A secure daemon signs with the fixed test host key (tests/data/hostkey, copied into a
    // private folder); false lets the daemon make its own in the installation directory.
    bool testHostKey = true;
    // Site settings written to the daemon's site file ("Name=value" lines); empty: none.
    std::string siteSettings;
    // Added to the daemon's environment (ORXDIR is set to a private installation directory).
    std::map<std::string, std::string> environment;
};

class CListenerProcess {
public:
    explicit CListenerProcess(SListenerOptions options = SListenerOptions())
        : m_options(std::move(options)) {
        m_installDir = m_dir.file("install");
        std::filesystem::create_directory(m_installDir);
        std::filesystem::copy_file(std::string(ORX_BINARY_DIR) + "/zaf-template.cfg",
                                   m_installDir + "/zaf-template.cfg");
        // The daemon reads the template as the logged-in user.
        ::chmod(m_dir.path().c_str(), 0755);
        ::chmod(m_installDir.c_str(), 0755);
        ::chmod((m_installDir + "/zaf-template.cfg").c_str(), 0644);
        m_hostKeyDir = m_dir.file("hostkey");
        std::filesystem::create_directory(m_hostKeyDir);
        ::chmod(m_hostKeyDir.c_str(), 0700);
        for (const char* name : {"/hostkey.pkr", "/hostkey.skr"}) {
            std::filesystem::copy_file(std::string(ORX_TEST_DATA_DIR) + "/hostkey" + name,
                                       m_hostKeyDir + name);
            ::chmod((m_hostKeyDir + name).c_str(), 0600);
        }
        if (!m_options.siteSettings.empty()) {
            std::ofstream site(m_installDir + "/orxgui-site.cfg");
            site << m_options.siteSettings;
        }
    }
    ~CListenerProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    CListenerProcess(const CListenerProcess&) = delete;
    CListenerProcess& operator=(const CListenerProcess&) = delete;

    // Starts the daemon and waits until it accepts. False (with the reason in the test log)
    // when it does not come up.
    bool start() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = pickFreePort();
            std::vector<std::string> args = arguments({"--port", std::to_string(m_port)});
            launch(args);
            const bool ready = waitUntil([&] {
                return log().find("Initialization completed successfully.") != std::string::npos ||
                       !running();
            });
            if (ready && running())
                return true;
            const std::string text = log() + stderrText();
            if (running()) {
                ADD_FAILURE() << "orxgui did not come up:\n" << text;
                return false;
            }
            if (text.find("bind") == std::string::npos &&
                text.find("Address already in use") == std::string::npos) {
                ADD_FAILURE() << "orxgui stopped during start-up (status " << m_status << "):\n"
                              << text;
                return false;
            }
            std::filesystem::remove(logPath());
        }
        ADD_FAILURE() << "orxgui found no free port";
        return false;
    }

    // Runs orxgui with exactly these arguments (no port, log file or level added) and returns its
    // exit status; standard error is kept for stderrText().
    int runToEnd(const std::vector<std::string>& args, unsigned int milliseconds = 60000) {
        launch(args);
        return waitExit(milliseconds);
    }

    // Starts with extra arguments and no readiness wait (for start-up failures).
    void launchWith(const std::vector<std::string>& extra) { launch(arguments(extra)); }

    // Sends `sig` and waits for the exit; the exit status, or 128 + signal when killed by one.
    int stop(int sig = SIGTERM, unsigned int milliseconds = 60000) {
        if (m_pid <= 0)
            return m_status;
        ::kill(m_pid, sig);
        return waitExit(milliseconds);
    }

    int waitExit(unsigned int milliseconds = 60000) {
        if (!waitUntil([&] { return !running(); }, milliseconds)) {
            ADD_FAILURE() << "orxgui did not end in time";
            ::kill(m_pid, SIGKILL);
            waitUntil([&] { return !running(); }, 10000);
        }
        return m_status;
    }

    bool running() {
        if (m_pid <= 0)
            return false;
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == 0)
            return true;
        if (done == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
        }
        return false;
    }

    std::string log() const { return readFile(logPath()); }
    std::string stderrText() const { return readFile(m_dir.file("stderr.txt")); }
    std::string logPath() const { return m_dir.file("orxgui.log"); }

    // Waits until `text` occurs at least `count` times in the log.
    bool waitForLog(const std::string& text, size_t count = 1, unsigned int milliseconds = 30000) {
        return waitUntil([&] { return countOccurrences(log(), text) >= count; }, milliseconds);
    }

    uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    bool isSecure() const { return m_options.secure; }
    const std::string& installDir() const { return m_installDir; }
    const std::string& hostKeyDir() const { return m_hostKeyDir; }

    // A new connection (first byte read, handshake done when secure).
    // `source` picks the local address (another loopback address stands for another host).
    std::unique_ptr<vornadmin::CAdminConnection> connect(unsigned int timeoutMs = 60000,
                                                         const std::string& source = "") const {
        vornadmin::SConnectOptions options;
        options.sourceAddress = source;
        options.host = "127.0.0.1";
        options.port = m_port;
        options.requireSecure = m_options.secure;
        options.timeoutMs = timeoutMs;
        return vornadmin::CAdminConnection::connect(options);
    }
    // A new connection logged in as `user` (a failed login fails the test, not the call).
    std::unique_ptr<vornadmin::CAdminConnection> login(const std::string& user,
                                                       const std::string& password) const {
        auto connection = connect();
        const vornadmin::SReply reply = connection->login(user, password);
        EXPECT_EQ(0, reply.rc) << reply.xml;
        return connection;
    }

    // Threads and open descriptors of the daemon, from /proc.
    size_t threadCount() const { return countEntries("/proc/" + std::to_string(m_pid) + "/task"); }
    size_t descriptorCount() const {
        return countEntries("/proc/" + std::to_string(m_pid) + "/fd");
    }
    // Resident memory in KiB, from /proc.
    long residentKiB() const {
        std::istringstream status(readFile("/proc/" + std::to_string(m_pid) + "/status"));
        std::string line;
        while (std::getline(status, line))
            if (line.compare(0, 6, "VmRSS:") == 0)
                return std::stol(line.substr(6));
        return -1;
    }

private:
    std::vector<std::string> arguments(const std::vector<std::string>& first) const {
        std::vector<std::string> args = first;
        args.insert(args.end(), {"--log-file", logPath(), "--info", m_options.info});
        if (!m_options.secure)
            args.push_back("--non-secure");
        if (m_options.local)
            args.push_back("--local");
        if (!m_options.clientsThreadInterval.empty())
            args.insert(args.end(), {"--cthread-int", m_options.clientsThreadInterval});
        if (!m_options.loginTimeout.empty())
            args.insert(args.end(), {"--login-timeout", m_options.loginTimeout});
        if (m_options.secure && m_options.testHostKey)
            args.insert(args.end(), {"--host-key", m_hostKeyDir});
        args.insert(args.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());
        return args;
    }

    void launch(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ORXGUI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const size_t equals = entry.find('=');
            if (equals != std::string::npos)
                env[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        env["ORXDIR"] = m_installDir;
        for (const auto& entry : m_options.environment)
            env[entry.first] = entry.second;
        std::vector<std::string> envStrings;
        for (const auto& entry : env)
            envStrings.push_back(entry.first + "=" + entry.second);
        const std::string errPath = m_dir.file("stderr.txt");
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) {
                ::dup2(err, 2);
                ::dup2(err, 1);
            }
            // The daemon must not inherit blocked or ignored signals from the test program.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            // Tests that make the daemon crash on purpose want no core file in the build tree.
            rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            std::vector<char*> cargv;
            for (std::string& a : argv)
                cargv.push_back(&a[0]);
            cargv.push_back(nullptr);
            std::vector<char*> cenv;
            for (std::string& e : envStrings)
                cenv.push_back(&e[0]);
            cenv.push_back(nullptr);
            ::execve(cargv[0], cargv.data(), cenv.data());
            ::_exit(127);
        }
        m_pid = pid;
        m_status = -1;
    }

    static size_t countEntries(const std::string& directory) {
        size_t count = 0;
        std::error_code ignored;
        for (auto it = std::filesystem::directory_iterator(directory, ignored);
             it != std::filesystem::directory_iterator(); it.increment(ignored))
            ++count;
        return count;
    }

    SListenerOptions m_options;
    ZafTempDir m_dir;
    std::string m_installDir;
    std::string m_hostKeyDir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
    int m_status = -1;
};

// The parameter of listener tests that run both over the secure channel and plain.
inline std::string channelName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Secure" : "Plain";
}

// Logs in and expects success.
inline void loginOK(vornadmin::CAdminConnection& connection, const std::string& user,
                    const std::string& password) {
    const vornadmin::SReply reply = connection.login(user, password);
    ASSERT_EQ(0, reply.rc) << reply.xml;
}

inline vornadmin::SReply request(vornadmin::CAdminConnection& connection,
                                 const vornadmin::SXmlElement& command) {
    return connection.request(vornadmin::gWriteXml(command));
}

} // namespace orxtest

#endif
