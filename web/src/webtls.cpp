// webtls: certificate files.
#include "webtls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vornweb {

namespace {

struct SFileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, SFileCloser>;

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Opens a new file for writing with `mode` (it must not exist yet, so a link planted there is
// never followed).
FilePtr createFile(const std::string& path, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    FILE* file = ::fdopen(fd, "w");
    if (file == nullptr) {
        ::close(fd);
        throw std::runtime_error("cannot write " + path);
    }
    return FilePtr(file);
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr || X509_add_ext(cert, extension, -1) != 1) {
        X509_EXTENSION_free(extension);
        throw std::runtime_error("cannot add a certificate extension");
    }
    X509_EXTENSION_free(extension);
}

void makeSelfSigned(const std::string& certFile, const std::string& keyFile) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key)
        throw std::runtime_error("cannot make a key for the certificate");
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!cert)
        throw std::runtime_error("cannot make a certificate");
    unsigned char serial[16];
    std::FILE* random = std::fopen("/dev/urandom", "rb");
    const bool gotSerial = random != nullptr && std::fread(serial, 1, sizeof serial, random) == 16;
    if (random != nullptr)
        std::fclose(random);
    if (!gotSerial)
        throw std::runtime_error("no random bytes for the certificate serial");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number != nullptr &&
                           BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(number);
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (!serialSet || X509_set_version(cert.get(), 2) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 825L * 24 * 3600) == nullptr ||
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Vorn Server"), -1, -1,
                                   0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("orxweb"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key.get()) != 1)
        throw std::runtime_error("cannot fill the certificate");
    addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        throw std::runtime_error("cannot sign the certificate");

    // The key first: a certificate without its key would be useless on the next start.
    {
        FilePtr out = createFile(keyFile, 0600);
        if (PEM_write_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
            throw std::runtime_error("cannot write " + keyFile);
    }
    FilePtr out = createFile(certFile, 0644);
    if (PEM_write_X509(out.get(), cert.get()) != 1)
        throw std::runtime_error("cannot write " + certFile);
}

} // namespace

bool gEnsureCertificate(const std::string& stateDir, std::string& certFile, std::string& keyFile) {
    if (!certFile.empty() || !keyFile.empty()) {
        if (certFile.empty() || keyFile.empty())
            throw std::runtime_error("--cert and --key go together");
        return false;
    }
    if (stateDir.empty())
        throw std::runtime_error("no state folder for the certificate");
    if (::mkdir(stateDir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + stateDir + ": " + std::strerror(errno));
    certFile = stateDir + "/orxweb-cert.pem";
    keyFile = stateDir + "/orxweb-key.pem";
    const bool haveCert = exists(certFile);
    const bool haveKey = exists(keyFile);
    if (haveCert && haveKey)
        return false;
    if (haveCert != haveKey)
        throw std::runtime_error("only one of " + certFile + " and " + keyFile +
                                 " exists; remove it to make a new pair");
    try {
        makeSelfSigned(certFile, keyFile);
    } catch (...) {
        ::unlink(certFile.c_str());
        ::unlink(keyFile.c_str());
        throw;
    }
    return true;
}

std::string gCertificateFingerprint(const std::string& certFile) {
    FilePtr in(std::fopen(certFile.c_str(), "r"));
    if (!in)
        throw std::runtime_error("cannot read " + certFile);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_X509(in.get(), nullptr, nullptr, nullptr), X509_free);
    if (!cert)
        throw std::runtime_error(certFile + " holds no certificate");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert.get(), EVP_sha256(), digest, &length) != 1)
        throw std::runtime_error("cannot hash the certificate");
    static const char* const kHex = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

} // namespace vornweb
