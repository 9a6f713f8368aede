// Throwaway certificates for the TLS tests, made once per test program by
// tests/support/make_certs.sh with the openssl command line, and removed when
// the program ends.
#pragma once

#include <string>

namespace testsupport {

struct CertificateFiles {
    std::string Cert;  // PEM
    std::string Key;   // PEM
};

struct TestCertificates {
    std::string Authority;        // the authority the tests trust
    std::string AuthorityStore;   // a hashed directory holding it, like the system's (SSL_CERT_DIR)
    CertificateFiles Server;      // localhost and 127.0.0.1, from Authority
    CertificateFiles OtherName;   // other.invalid only, from Authority
    CertificateFiles Unknown;     // localhost and 127.0.0.1, from an authority no one trusts
    CertificateFiles Expired;     // localhost and 127.0.0.1, from Authority, ended in 2020
    CertificateFiles NoAltName;   // CN=localhost, no subjectAltName, from Authority
};

// Throws std::runtime_error when they cannot be made.
const TestCertificates& Certificates();

}  // namespace testsupport
