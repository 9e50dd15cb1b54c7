// The certificate an operator gives the collector (--cert-file, --key-file):
// a PEM file with the server certificate first and any intermediate CAs
// after it, and a PEM private key. Served instead of the collector's own CA
// and its leaves, which stay for tests and the demo.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_GIVEN_CERTIFICATE_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_GIVEN_CERTIFICATE_H_

#include <openssl/ssl.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "collector_pki.h"

namespace tally {
namespace collector {

struct GivenCertificate {
    std::unique_ptr<X509, CertDeleter> leaf;  // null: none given
    std::vector<std::unique_ptr<X509, CertDeleter>> chain;
    std::unique_ptr<EVP_PKEY, KeyDeleter> key;
};

// Reads both files and checks that the key belongs to the certificate, so a
// mismatch stops the start instead of failing every handshake.
bool LoadGivenCertificate(const std::filesystem::path& certFile,
                          const std::filesystem::path& keyFile, GivenCertificate* given,
                          std::string* error);

// Sets `given` on one handshake's connection.
bool UseGivenCertificate(SSL* ssl, const GivenCertificate& given);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_GIVEN_CERTIFICATE_H_
