#include "given_certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdio>

namespace tally {
namespace collector {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string OpenSslError() {
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof(text));
    ERR_clear_error();
    return text;
}

}  // namespace

bool LoadGivenCertificate(const std::filesystem::path& certFile,
                          const std::filesystem::path& keyFile, GivenCertificate* given,
                          std::string* error) {
    File certs(std::fopen(certFile.c_str(), "rb"));
    if (!certs) {
        *error = "cannot open the certificate file " + certFile.string();
        return false;
    }
    given->leaf.reset(PEM_read_X509(certs.get(), nullptr, nullptr, nullptr));
    if (!given->leaf) {
        *error = "no PEM certificate in " + certFile.string() + ": " + OpenSslError();
        return false;
    }
    given->chain.clear();
    while (X509* next = PEM_read_X509(certs.get(), nullptr, nullptr, nullptr)) {
        given->chain.emplace_back(next);
    }
    // The loop ends on the end of the file, which OpenSSL queues as an error.
    ERR_clear_error();

    File key(std::fopen(keyFile.c_str(), "rb"));
    if (!key) {
        *error = "cannot open the key file " + keyFile.string();
        return false;
    }
    given->key.reset(PEM_read_PrivateKey(key.get(), nullptr, nullptr, nullptr));
    if (!given->key) {
        *error = "no PEM private key in " + keyFile.string() + ": " + OpenSslError();
        return false;
    }
    if (X509_check_private_key(given->leaf.get(), given->key.get()) != 1) {
        ERR_clear_error();
        *error = "the key in " + keyFile.string() + " is not the one of the certificate in " +
                 certFile.string();
        return false;
    }
    return true;
}

bool UseGivenCertificate(SSL* ssl, const GivenCertificate& given) {
    if (SSL_use_certificate(ssl, given.leaf.get()) != 1 ||
        SSL_use_PrivateKey(ssl, given.key.get()) != 1) {
        return false;
    }
    for (const auto& cert : given.chain) {
        if (SSL_add1_chain_cert(ssl, cert.get()) != 1) return false;
    }
    return true;
}

}  // namespace collector
}  // namespace tally
