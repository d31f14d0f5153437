// orxadmin_process: runs the orxadmin program for integration tests, with the password in its
// environment and its output captured, bounded in time.
#ifndef ORX_ADMIN_ORXADMIN_PROCESS_H
#define ORX_ADMIN_ORXADMIN_PROCESS_H

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct SResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the orxadmin program with the password in its environment; output captured, bounded.
SResult runConsole(const std::vector<std::string>& args, const std::string& password) {
    SResult result;
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::setenv("ORXADMIN_PASSWORD", password.c_str(), 1);
        ::setenv("ORXADMIN_PASSPHRASE", "unused", 1);
        std::vector<std::string> argv{ORXADMIN_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (std::string& a : argv)
            cargv.push_back(&a[0]);
        cargv.push_back(nullptr);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 1000) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buffer, size_t(n));
            }
        }
    }
    for (pollfd& f : fds)
        if (f.fd >= 0) {
            ::kill(pid, SIGKILL);
            ::close(f.fd);
        }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace

#endif
