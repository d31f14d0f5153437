// tls_tunnel: a throw-away certificate authority with a server certificate for "localhost", and
// a TLS front (stunnel4) on loopback that passes connections on to a plain server. Tests that
// need the front skip with skipReason() when stunnel4 is not installed or does not start.
#ifndef ORX_TESTS_TLS_TUNNEL_H
#define ORX_TESTS_TLS_TUNNEL_H

#include <botan/auto_rng.h>
#include <botan/ec_group.h>
#include <botan/ecdsa.h>
#include <botan/pkcs10.h>
#include <botan/pkcs8.h>
#include <botan/x509_ca.h>
#include <botan/x509self.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orxtest {

// A CA certificate (`caPem`) and a certificate for `hostName` signed by it, with its key
// (`serverPem`: certificate, then the PKCS#8 key).
struct TestCertificates {
    std::string caPem;
    std::string serverPem;

    static TestCertificates make(const std::string& hostName, const std::string& caName) {
        Botan::AutoSeeded_RNG rng;
        const Botan::EC_Group group("secp256r1");
        Botan::ECDSA_PrivateKey caKey(rng, group);
        Botan::X509_Cert_Options caOptions(caName, 24 * 3600);
        caOptions.CA_key(1);
        const Botan::X509_Certificate caCert =
            Botan::X509::create_self_signed_cert(caOptions, caKey, "SHA-256", rng);
        Botan::ECDSA_PrivateKey serverKey(rng, group);
        Botan::X509_Cert_Options options(hostName, 24 * 3600);
        options.dns = hostName;
        options.add_ex_constraint("PKIX.ServerAuth");
        const Botan::PKCS10_Request request =
            Botan::X509::create_cert_req(options, serverKey, "SHA-256", rng);
        Botan::X509_CA ca(caCert, caKey, "SHA-256", rng);
        const auto now = std::chrono::system_clock::now();
        const Botan::X509_Certificate serverCert =
            ca.sign_request(request, rng, Botan::X509_Time(now - std::chrono::hours(1)),
                            Botan::X509_Time(now + std::chrono::hours(24)));
        return TestCertificates{caCert.PEM_encode(),
                                serverCert.PEM_encode() + Botan::PKCS8::PEM_encode(serverKey)};
    }
};

// A loopback port nobody listens on now.
inline uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t size = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &size);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// True once something accepts connections on the loopback port (polled, at most `tries` x 50 ms).
inline bool waitForLoopbackPort(uint16_t port, int tries = 200) {
    for (int i = 0; i < tries; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::close(fd);
        if (up)
            return true;
        ::usleep(50000);
    }
    return false;
}

// stunnel4 accepting TLS on a free loopback port and connecting to `backendPort`; the server
// certificate and key come from `serverPem`. Stopped when the object goes.
class TlsTunnel {
public:
    TlsTunnel(const std::string& dir, uint16_t backendPort, const std::string& serverPem) {
        if (::access("/usr/bin/stunnel4", X_OK) != 0) {
            m_skip = "stunnel4 is not installed (apt-get install stunnel4)";
            return;
        }
        m_port = freeLoopbackPort();
        std::ofstream(dir + "/stunnel-server.pem") << serverPem;
        std::ofstream(dir + "/stunnel.conf")
            << "foreground = yes\npid =\ndebug = 4\noutput = " << dir << "/stunnel.log\n"
            << "[hkps]\naccept = 127.0.0.1:" << m_port << "\nconnect = 127.0.0.1:" << backendPort
            << "\ncert = " << dir << "/stunnel-server.pem\n";
        const std::string conf = dir + "/stunnel.conf";
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/bin/stunnel4", "stunnel4", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!waitForLoopbackPort(m_port))
            m_skip = "stunnel4 did not start (see " + dir + "/stunnel.log)";
    }
    ~TlsTunnel() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    TlsTunnel(const TlsTunnel&) = delete;
    TlsTunnel& operator=(const TlsTunnel&) = delete;

    bool running() const { return m_skip.empty(); }
    const std::string& skipReason() const { return m_skip; }
    uint16_t port() const { return m_port; }

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_skip;
};

} // namespace orxtest

#endif
