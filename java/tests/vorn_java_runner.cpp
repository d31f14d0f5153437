// Starts the bridge's Java test program in a real JVM (with the JVM's JNI checks on) as a
// throw-away account, whose home holds the key rings the commands work on. Passes the program's
// output through; fails when the JVM reports a misuse of JNI. Exit code 77 (skipped) when not
// running as root.
#include "test_account.h"
#include "zaf_temp_dir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSkipped = 77;
constexpr auto kTimeLimit = std::chrono::seconds(300);

std::vector<char*> pointers(std::vector<std::string>& items) {
    std::vector<char*> result;
    for (std::string& item : items)
        result.push_back(&item[0]);
    result.push_back(nullptr);
    return result;
}

} // namespace

int main() {
    if (geteuid() != 0) {
        std::cout << "skipped: " << TestAccount::skipReason() << std::endl;
        return kSkipped;
    }
    auto account = TestAccount::create("orxjv");
    ZafTempDir install;
    ::chmod(install.path().c_str(), 0755);
    std::filesystem::copy_file(std::string(ORX_BINARY_DIR) + "/zaf-template.cfg",
                               install.file("zaf-template.cfg"));
    ::chmod(install.file("zaf-template.cfg").c_str(), 0644);

    std::vector<std::string> args = {ORX_JAVA,
                                     "-Xcheck:jni",
                                     "-Xmx1g",
                                     "-XX:-UsePerfData",
                                     "-XX:TieredStopAtLevel=1",
                                     "-Djava.library.path=" + std::string(ORX_VORN_LIBDIR),
                                     "-cp",
                                     ORX_VORN_CLASSPATH,
                                     "com.brevan.orx.test.VornBridgeTest",
                                     std::string(ORX_TEST_DATA_DIR) + "/hostkey/hostkey.pkr"};
    std::vector<std::string> env = {"HOME=" + account->home(), "ORXDIR=" + install.path(),
                                    "PATH=/usr/bin:/bin", "LANG=C.UTF-8"};
    // Sanitizer builds: the JVM is not instrumented, so the runtime is preloaded into it.
    if (const char* preload = std::getenv("ORX_JAVA_PRELOAD")) {
        env.push_back(std::string("LD_PRELOAD=") + preload);
        if (const char* options = std::getenv("ORX_JAVA_ASAN_OPTIONS"))
            env.push_back(std::string("ASAN_OPTIONS=") + options);
        if (const char* options = std::getenv("UBSAN_OPTIONS"))
            env.push_back(std::string("UBSAN_OPTIONS=") + options);
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return 1;
    const pid_t pid = ::fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        const gid_t group = account->gid();
        if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(account->uid()) != 0 ||
            ::chdir(account->home().c_str()) != 0)
            ::_exit(126);
        ::execve(args[0].c_str(), pointers(args).data(), pointers(env).data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);

    // The program's output, read until it closes its end or the time limit passes.
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buffer, static_cast<size_t>(n));
        std::cout.write(buffer, n).flush();
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        std::cout << "\nthe Java test program did not end within " << kTimeLimit.count() << " s"
                  << std::endl;
        return 1;
    }
    if (output.find("WARNING in native method") != std::string::npos ||
        output.find("FATAL ERROR in native method") != std::string::npos) {
        std::cout << "\nthe JVM reported a misuse of JNI" << std::endl;
        return 1;
    }
    if (!WIFEXITED(status)) {
        std::cout << "\nthe JVM ended with signal " << WTERMSIG(status) << std::endl;
        return 1;
    }
    return WEXITSTATUS(status);
}
