// message_peers: the independent RFC 4880 programs installed here (gpg, rnp, sq), run as
// processes with homes of their own in a temporary folder, for the tests that check that they
// and we read each other's messages. Each is available only when its program is installed.
#ifndef MESSAGE_PEERS_H
#define MESSAGE_PEERS_H

#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <zaf/zaf.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace peertest {

using kstest::TempDir;

struct Run {
    int rc = -1;
    std::string out;
    std::string err;
};

// Runs a program with arguments (no shell), standard input from `input`, and its outputs
// collected; killed after two minutes.
inline Run runProgram(const std::vector<std::string>& argv, const std::string& input = "") {
    Run r;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return r;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    pollfd fds[3] = {{in[1], POLLOUT, 0}, {out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (input.empty()) {
        ::close(in[1]);
        fds[0].fd = -1;
    }
    int open = 2;
    while (open > 0 || fds[0].fd >= 0) {
        if (::poll(fds, 3, 120000) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (fds[0].fd >= 0 && fds[0].revents != 0) {
            ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
            if (n > 0)
                written += size_t(n);
            if (n <= 0 || written == input.size()) {
                ::close(in[1]);
                fds[0].fd = -1;
            }
        }
        for (int i = 1; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 1 ? r.out : r.err).append(buffer, size_t(n));
            }
        }
    }
    for (int i = 0; i < 3; ++i)
        if (fds[i].fd >= 0)
            ::close(fds[i].fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

inline bool installed(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
        if (::access((dir + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// Armour as the peers read it: our label word replaced by the one their armour reader asks for
// (three fixed bytes); nothing else changes.
inline std::string peerArmor(std::string text) {
    for (const char* from : {"-----BEGIN ZAF ", "-----END ZAF "}) {
        const std::string to =
            std::string(from).replace(std::string(from).find("ZAF"), 3, "\x50\x47\x50");
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
            text.replace(at, std::string(from).size(), to);
    }
    return text;
}

// A packet with a new-format header.
inline std::string packetOf(uint8_t tag, const std::string& body) {
    std::string out;
    zaf::rfc4880::writeHeader(out, tag, body.size(), true);
    return out + body;
}

// The primary key object whose user ID is exactly `userID`.
inline ZAFKeyDBObjRef byUserID(ZAFKeyDBRef db, const std::string& userID) {
    ZAFKeyIterRef it = nullptr;
    ZAFNewKeyIterFromKeyDB(db, &it);
    ZAFKeyDBObjRef k = nullptr, found = nullptr;
    while (found == nullptr && ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &k) == 0)
        for (ZAFKeyDBObj& o : k->key->objs)
            if (o.type == kZAFKeyDBObjType_UserID && k->key->packetBody(o.packet) == userID)
                found = k;
    ZAFFreeKeyIter(it);
    return found;
}

struct Verdict {
    bool good = false;  // the program accepted it (and every signature it checked is good)
    std::string output; // the data it gave back
};

class Peer {
public:
    Peer(const TempDir& dir, std::string name, const std::string& program)
        : m_name(std::move(name)), m_home(dir.file(m_name + "-home")),
          m_available(installed(program)) {
        ::mkdir(m_home.c_str(), 0700);
    }
    virtual ~Peer() = default;
    const std::string& name() const { return m_name; }
    bool available() const { return m_available; }
    const std::string& lastError() const { return m_last; }
    virtual void import(const std::string& keyFile) = 0;
    // An inline signed or cleartext-signed message; `cert` holds the signer's key.
    virtual Verdict verifyInline(const std::string& file, const std::string& cert) = 0;
    virtual Verdict verifyDetached(const std::string& sig, const std::string& data,
                                   const std::string& cert) = 0;
    // Decrypts with `secretKey` (imported already where the program keeps keys); signatures are
    // checked against `cert` when given.
    virtual Verdict decrypt(const std::string& file, const std::string& secretKey,
                            const std::string& cert) = 0;
    // A message with `plain` encrypted to the key of `cert` (imported already where the program
    // keeps keys, found there by `userID`); "" on failure.
    virtual std::string encryptTo(const std::string& plain, const std::string& cert,
                                  const std::string& userID) = 0;

protected:
    Run note(Run r) {
        m_last = "rc " + std::to_string(r.rc) + "\n" + r.out.substr(0, 4000) + "\n" +
                 r.err.substr(0, 4000);
        return r;
    }
    std::string m_name;
    std::string m_home;
    bool m_available;
    std::string m_last;
};

class Gpg final : public Peer {
public:
    explicit Gpg(const TempDir& dir) : Peer(dir, "gpg", "gpg"), m_out(dir.file("gpg-output")) {}
    ~Gpg() override {
        if (m_available)
            runProgram({"gpgconf", "--homedir", m_home, "--kill", "all"});
    }
    void import(const std::string& keyFile) override { note(gpg({"--import", keyFile})); }
    Verdict verifyInline(const std::string& file, const std::string&) override {
        return judged(gpg({"--status-fd", "1", "--output", m_out, "--decrypt", file}));
    }
    Verdict verifyDetached(const std::string& sig, const std::string& data,
                           const std::string&) override {
        return judged(gpg({"--status-fd", "1", "--verify", sig, data}));
    }
    Verdict decrypt(const std::string& file, const std::string&, const std::string&) override {
        return judged(gpg({"--status-fd", "1", "--output", m_out, "--decrypt", file}));
    }
    // A key of a kind gpg makes, exported with its secret parts unprotected; "" on failure.
    std::string generate(const std::string& userID, const std::string& kind) {
        std::string primary = kind, usage = "sign,cert", sub, subUsage = "encr";
        if (kind == "ed25519-certify-only") {
            primary = "ed25519";
            usage = "cert";
        }
        if (kind.rfind("nist", 0) == 0 || kind.rfind("brainpool", 0) == 0)
            sub = kind;
        if (note(gpg({"--quick-gen-key", userID, primary, usage, "never"})).rc != 0)
            return "";
        Run list = gpg({"--with-colons", "--list-keys", userID});
        size_t at = list.out.find("\nfpr:");
        if (at == std::string::npos)
            return "";
        std::string fpr = list.out.substr(at + 5);
        fpr = fpr.substr(fpr.find_first_not_of(':'));
        fpr = fpr.substr(0, fpr.find(':'));
        if (kind == "ed25519-certify-only") {
            note(gpg({"--quick-add-key", fpr, "ed25519", "sign", "never"}));
            note(gpg({"--quick-add-key", fpr, "cv25519", "encr", "never"}));
        } else if (!sub.empty()) {
            note(gpg({"--quick-add-key", fpr, sub, subUsage, "never"}));
        }
        Run exported = note(gpg({"--export-secret-keys", fpr}));
        return exported.rc == 0 ? exported.out : "";
    }
    std::string encryptTo(const std::string& plain, const std::string&,
                          const std::string& userID) override {
        Run r = note(gpg({"--recipient", userID, "--encrypt"}, plain));
        return r.rc == 0 ? r.out : "";
    }
    // A message encrypted to `recipient` with the named cipher.
    std::string encrypt(const std::string& plain, const std::string& recipient,
                        const std::string& cipher) {
        Run r = note(gpg({"--trust-model", "always", "--cipher-algo", cipher, "--recipient",
                          recipient, "--encrypt"},
                         plain));
        return r.rc == 0 ? r.out : "";
    }

private:
    Run gpg(std::vector<std::string> args, const std::string& input = "") {
        std::vector<std::string> argv = {
            "gpg",           "--homedir",       m_home,     "--batch",      "--yes",
            "--no-tty",      "--pinentry-mode", "loopback", "--passphrase", "",
            "--trust-model", "always"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProgram(argv, input);
    }
    Verdict judged(const Run& r) {
        note(r);
        Verdict v;
        const bool badSig = r.out.find(":] BADSIG") != std::string::npos ||
                            r.out.find(":] ERRSIG") != std::string::npos;
        v.good = r.rc == 0 && !badSig;
        v.output = kstest::readAll(m_out);
        ::unlink(m_out.c_str());
        return v;
    }
    std::string m_out;
};

class Rnp final : public Peer {
public:
    explicit Rnp(const TempDir& dir) : Peer(dir, "rnp", "rnp"), m_out(dir.file("rnp-output")) {}
    void import(const std::string& keyFile) override {
        note(runProgram({"rnpkeys", "--homedir", m_home, "--import", keyFile}));
    }
    Verdict verifyInline(const std::string& file, const std::string&) override {
        return judged(runProgram({"rnp", "--homedir", m_home, "--notty", "--decrypt", file,
                                  "--output", m_out, "--overwrite", "--password", ""}));
    }
    Verdict verifyDetached(const std::string& sig, const std::string& data,
                           const std::string&) override {
        return judged(
            runProgram({"rnp", "--homedir", m_home, "--notty", "--verify", sig, "--source", data}));
    }
    Verdict decrypt(const std::string& file, const std::string&, const std::string&) override {
        return judged(runProgram({"rnp", "--homedir", m_home, "--notty", "--decrypt", file,
                                  "--output", m_out, "--overwrite", "--password", ""}));
    }
    std::string encryptTo(const std::string& plain, const std::string&,
                          const std::string& userID) override {
        Run r = note(runProgram({"rnp", "--homedir", m_home, "--notty", "--encrypt", "--recipient",
                                 userID, "--output", "-"},
                                plain));
        return r.rc == 0 ? r.out : "";
    }

private:
    Verdict judged(const Run& r) {
        note(r);
        Verdict v;
        v.good = r.rc == 0 && r.err.find("BAD signature") == std::string::npos &&
                 r.err.find("verification failed") == std::string::npos;
        v.output = kstest::readAll(m_out);
        ::unlink(m_out.c_str());
        return v;
    }
    std::string m_out;
};

class Sq final : public Peer {
public:
    explicit Sq(const TempDir& dir) : Peer(dir, "sq", "sq"), m_dir(dir) {}
    void import(const std::string&) override {} // sq keeps nothing: keys are named per call
    Verdict verifyInline(const std::string& file, const std::string& cert) override {
        return judged(note(runProgram({"sq", "verify", "--signer-cert", cert, file})));
    }
    Verdict verifyDetached(const std::string& sig, const std::string& data,
                           const std::string& cert) override {
        return judged(
            note(runProgram({"sq", "verify", "--signer-cert", cert, "--detached", sig, data})));
    }
    Verdict decrypt(const std::string& file, const std::string& secretKey,
                    const std::string& cert) override {
        std::vector<std::string> argv = {"sq", "decrypt", "--recipient-key", secretKey};
        if (!cert.empty()) {
            argv.push_back("--signer-cert");
            argv.push_back(cert);
        }
        argv.push_back(file);
        return judged(note(runProgram(argv)));
    }
    std::string encryptTo(const std::string& plain, const std::string& cert,
                          const std::string&) override {
        Run r = note(runProgram({"sq", "encrypt", "--binary", "--recipient-cert", cert}, plain));
        return r.rc == 0 ? r.out : "";
    }
    // A key as `sq key generate` makes it (unprotected), with extra switches; "" on failure.
    std::string generate(const std::string& userID, const std::string& extra) {
        const std::string file = m_dir.file("sq-generated.key");
        ::unlink(file.c_str());
        std::vector<std::string> argv = {"sq",   "key",      "generate", "--userid",
                                         userID, "--export", file};
        if (!extra.empty())
            argv.push_back(extra);
        Run r = note(runProgram(argv));
        ::unlink((file + ".rev").c_str());
        std::string key = r.rc == 0 ? kstest::readAll(file) : "";
        ::unlink(file.c_str());
        return key;
    }

private:
    static Verdict judged(const Run& r) {
        Verdict v;
        v.good = r.rc == 0;
        v.output = r.out;
        return v;
    }
    const TempDir& m_dir;
};

struct PeerSet {
    explicit PeerSet(const TempDir& dir) : gpg(dir), rnp(dir), sq(dir) {}
    std::vector<Peer*> all() { return {&gpg, &rnp, &sq}; }
    bool any() const { return gpg.available() || rnp.available() || sq.available(); }
    void importEverywhere(const std::string& keyFile) {
        for (Peer* p : all())
            if (p->available())
                p->import(keyFile);
    }
    // Says which programs the tests will skip.
    std::string missing() const {
        std::string out;
        for (const Peer* p : {static_cast<const Peer*>(&gpg), static_cast<const Peer*>(&rnp),
                              static_cast<const Peer*>(&sq)})
            if (!p->available())
                out += (out.empty() ? "" : ", ") + p->name();
        return out;
    }
    Gpg gpg;
    Rnp rnp;
    Sq sq;
};

} // namespace peertest

#endif
