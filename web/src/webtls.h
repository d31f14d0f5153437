// webtls: orxweb's certificate: the configured one, or a self-signed one made on first start and
// kept in the state folder.
#ifndef VORNWEB_WEBTLS_H
#define VORNWEB_WEBTLS_H

#include <string>

namespace vornweb {

// Where the certificate and key are. With `certFile` and `keyFile` empty, `stateDir` holds
// "orxweb-cert.pem" and "orxweb-key.pem"; they are made when missing (an EC P-256 key, mode
// 0600, and a certificate for "localhost" and 127.0.0.1 valid for 825 days). Fills the two paths
// and returns true when it made a new pair. Throws std::runtime_error naming the problem.
bool gEnsureCertificate(const std::string& stateDir, std::string& certFile, std::string& keyFile);

// The SHA-256 fingerprint of the first certificate in a PEM file, as colon-separated upper-case
// hexadecimal. Throws std::runtime_error.
std::string gCertificateFingerprint(const std::string& certFile);

} // namespace vornweb

#endif
