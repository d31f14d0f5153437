// orxcmd_terminal: runs the real orxcmd as a throw-away account on a pseudo-terminal of its own
// (its controlling terminal, standard input, output and error), so that prompts, confirmations and
// menus can be answered the way a person at a terminal answers them.
#ifndef ORX_TESTS_ORXCMD_TERMINAL_H
#define ORX_TESTS_ORXCMD_TERMINAL_H

#include "orxcmd_harness.h"

#include <cstdlib>
#include <grp.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace orxtest {

class COrxcmdTerminal {
public:
    COrxcmdTerminal(const TestAccount& account, const COrxInstall& install,
                    const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        const std::string slave = ::ptsname(m_master);
        int pass[2];
        if (::pipe2(pass, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> env = orxcmdEnvironment(account, install, options.env);
        env.push_back("TERM=dumb");
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setsid();
            const int tty = ::open(slave.c_str(), O_RDWR); // becomes the controlling terminal
            if (tty < 0)
                ::_exit(126);
            ::ioctl(tty, TIOCSCTTY, 0);
            ::dup2(tty, 0);
            ::dup2(tty, 1);
            ::dup2(tty, 2);
            if (!options.passphrases.empty())
                ::dup2(pass[0], 3);
            execOrxcmdAs(account, args, env, std::string());
        }
        ::close(pass[0]);
        const std::string& lines = options.passphrases;
        (void)!::write(pass[1], lines.data(), lines.size());
        ::close(pass[1]);
    }
    ~COrxcmdTerminal() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
        if (m_master >= 0)
            ::close(m_master);
    }
    COrxcmdTerminal(const COrxcmdTerminal&) = delete;
    COrxcmdTerminal& operator=(const COrxcmdTerminal&) = delete;

    pid_t pid() const { return m_pid; }
    // Everything the program wrote to the terminal so far (echoed input included).
    const std::string& output() const { return m_output; }

    // Reads until the output from `from` on holds `text`; false when the program ended or 30
    // seconds passed without it (polled, never slept).
    bool waitFor(const std::string& text, size_t from = 0) {
        for (int i = 0; i < 300; ++i) {
            if (m_output.find(text, from) != std::string::npos)
                return true;
            if (!readSome(100))
                return m_output.find(text, from) != std::string::npos;
        }
        return false;
    }
    // Waits until the program has turned the terminal's echo off (a passphrase prompt), so that
    // what is typed next is not flushed away; false after 30 seconds.
    bool waitForEchoOff() {
        for (int i = 0; i < 300; ++i) {
            struct termios t {};
            if (::tcgetattr(m_master, &t) == 0 && (t.c_lflag & ECHO) == 0)
                return true;
            if (!readSome(100))
                return false;
        }
        return false;
    }
    // Types a line (a line feed is added).
    void type(const std::string& line) {
        const std::string data = line + "\n";
        (void)!::write(m_master, data.data(), data.size());
    }
    // Types a passphrase at a prompt and waits until the program has read it: the line feed it
    // writes once echo is back on. Output still queued from before the prompt is read first, as
    // its line feeds would say so too early; a line typed while echo is still off from this
    // prompt is flushed away when the program restores the terminal.
    bool typeHidden(const std::string& line) {
        if (!waitForEchoOff())
            return false;
        // The prompt is written before echo goes off, so all of it is queued by now.
        while (pending())
            if (!readSome(0))
                break;
        const size_t from = m_output.size();
        type(line);
        return waitFor("\n", from);
    }
    // Collects the output until the program ends (at most ~60 s), then its exit status.
    SCmdResult wait() {
        SCmdResult result;
        int status = 0;
        for (int i = 0; i < 600 && m_pid > 0; ++i) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_pid = -1;
            readSome(100);
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        for (int i = 0; i < 100 && readSome(0) && !m_closed; ++i) {
        }
        result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = m_output;
        return result;
    }

private:
    bool pending() const {
        pollfd p{m_master, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    // Reads what is there within `ms` milliseconds; false when the terminal has closed.
    bool readSome(int ms) {
        pollfd p{m_master, POLLIN, 0};
        const int ready = ::poll(&p, 1, ms);
        if (ready <= 0)
            return ready == 0;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            m_closed = true; // EIO: every slave descriptor is closed
            return false;
        }
        m_output.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int m_master = -1;
    pid_t m_pid = -1;
    bool m_closed = false;
    std::string m_output;
};

} // namespace orxtest

#endif
