// The collector's own certificates, made with the OpenSSL library at first
// start in the state folder: a test CA and a server certificate it signs
// (localhost, 127.0.0.1), plus the wrong ones that clients must refuse: a
// leaf signed by another CA, a self-signed leaf and a leaf for another name.
#ifndef TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_PKI_H_
#define TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_PKI_H_

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace tally {
namespace collector {

// Which certificate the HTTPS port presents.
enum class CertMode { Good = 0, OtherCa, SelfSigned, WrongName };
constexpr int kCertModes = 4;

// "good", "other-ca", "self-signed", "wrong-name"; false for anything else.
bool ParseCertMode(const std::string& text, CertMode* mode);
const char* CertModeName(CertMode mode);

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};

struct Leaf {
    std::unique_ptr<X509, CertDeleter> cert;
    std::unique_ptr<EVP_PKEY, KeyDeleter> key;
};

// The leaves for every mode, loaded (and made first if missing) from
// `folder`. The CA file clients trust is CaFile(folder).
bool LoadOrCreatePki(const std::filesystem::path& folder, std::array<Leaf, kCertModes>* leaves,
                     std::string* error);

std::filesystem::path CaFile(const std::filesystem::path& folder);

}  // namespace collector
}  // namespace tally

#endif  // TALLYSERVICE_TOOLS_COLLECTOR_COLLECTOR_PKI_H_
