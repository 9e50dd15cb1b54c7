#include "collector_pki.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

namespace tally {
namespace collector {
namespace {

namespace fs = std::filesystem;

const char* const kModeNames[kCertModes] = {"good", "other-ca", "self-signed", "wrong-name"};
// Files per mode: <name>.pem and <name>.key. The CAs are ca and other-ca-root.
const char* const kLeafFiles[kCertModes] = {"server", "other-ca-leaf", "self-signed-leaf",
                                            "wrong-name-leaf"};

using Cert = std::unique_ptr<X509, CertDeleter>;
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

struct FileCloser {
    void operator()(FILE* file) const {
        if (file) std::fclose(file);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!extension) return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key`; self-signed when `issuer` is null. A CA may sign
// certificates, a leaf serves TLS for the names in `san`.
Cert MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, bool ca,
              const char* san) {
    Cert cert(X509_new());
    if (!cert) return nullptr;
    X509* x = cert.get();
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
    if (!serial || !BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x))) {
        return nullptr;
    }
    X509_set_version(x, 2);
    // An hour back, so a client clock slightly behind still accepts it.
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 60L * 60 * 24 * (ca ? 3650 : 820));
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(
        name, "O", MBSTRING_ASC,
        reinterpret_cast<const unsigned char*>("TallyService test collector"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
    bool ok = AddExtension(x, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE") &&
              AddExtension(x, &ctx, NID_key_usage,
                           ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature") &&
              AddExtension(x, &ctx, NID_subject_key_identifier, "hash") &&
              AddExtension(x, &ctx, NID_authority_key_identifier, "keyid:always");
    if (ok && !ca) {
        ok = AddExtension(x, &ctx, NID_ext_key_usage, "serverAuth") &&
             AddExtension(x, &ctx, NID_subject_alt_name, san);
    }
    if (!ok || X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256()) == 0) return nullptr;
    return cert;
}

// A new file only its owner can read, from the moment it exists: a file left
// by an earlier run (perhaps readable by others) is removed first, and a
// link planted in its place is not followed.
File CreatePrivate(const fs::path& path) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
    return File(file);
}

bool WritePem(const fs::path& base, X509* cert, EVP_PKEY* key, std::string* error) {
    const fs::path certPath = fs::path(base).concat(".pem");
    const fs::path keyPath = fs::path(base).concat(".key");
    File certFile(std::fopen(certPath.c_str(), "wb"));
    File keyFile = CreatePrivate(keyPath);
    bool written =
        certFile && keyFile && PEM_write_X509(certFile.get(), cert) == 1 &&
        PEM_write_PrivateKey(keyFile.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    // A key that did not reach the disk whole is an error too.
    if (keyFile && std::fclose(keyFile.release()) != 0) written = false;
    if (!written) {
        *error = "cannot write " + certPath.string() + " and its key";
        return false;
    }
    return true;
}

bool ReadPem(const fs::path& base, Leaf* leaf) {
    File certFile(std::fopen(fs::path(base).concat(".pem").c_str(), "rb"));
    File keyFile(std::fopen(fs::path(base).concat(".key").c_str(), "rb"));
    if (!certFile || !keyFile) return false;
    leaf->cert.reset(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr));
    leaf->key.reset(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    return leaf->cert && leaf->key;
}

bool CreatePki(const fs::path& folder, std::string* error) {
    Key caKey(EVP_EC_gen("P-256"));
    Key otherCaKey(EVP_EC_gen("P-256"));
    Key leafKeys[kCertModes] = {Key(EVP_EC_gen("P-256")), Key(EVP_EC_gen("P-256")),
                                Key(EVP_EC_gen("P-256")), Key(EVP_EC_gen("P-256"))};
    for (const Key& key : leafKeys) {
        if (!key) caKey.reset();
    }
    if (!caKey || !otherCaKey) {
        *error = "cannot generate keys";
        return false;
    }
    Cert ca = MakeCert(caKey.get(), "TallyService test CA", nullptr, nullptr, true, nullptr);
    Cert otherCa = MakeCert(otherCaKey.get(), "Unrelated test CA", nullptr, nullptr, true, nullptr);
    if (!ca || !otherCa) {
        *error = "cannot make the CA certificates";
        return false;
    }
    const char* const localhost = "DNS:localhost,IP:127.0.0.1";
    Cert leaves[kCertModes] = {
        MakeCert(leafKeys[0].get(), "localhost", ca.get(), caKey.get(), false, localhost),
        MakeCert(leafKeys[1].get(), "localhost", otherCa.get(), otherCaKey.get(), false, localhost),
        MakeCert(leafKeys[2].get(), "localhost", nullptr, nullptr, false, localhost),
        MakeCert(leafKeys[3].get(), "wrong.invalid", ca.get(), caKey.get(), false,
                 "DNS:wrong.invalid"),
    };
    for (int i = 0; i < kCertModes; ++i) {
        if (!leaves[i]) {
            *error = std::string("cannot make the ") + kModeNames[i] + " certificate";
            return false;
        }
        if (!WritePem(folder / kLeafFiles[i], leaves[i].get(), leafKeys[i].get(), error)) {
            return false;
        }
    }
    // The CA last: its presence says the set is complete.
    return WritePem(folder / "other-ca-root", otherCa.get(), otherCaKey.get(), error) &&
           WritePem(folder / "ca", ca.get(), caKey.get(), error);
}

}  // namespace

bool ParseCertMode(const std::string& text, CertMode* mode) {
    for (int i = 0; i < kCertModes; ++i) {
        if (text == kModeNames[i]) {
            *mode = static_cast<CertMode>(i);
            return true;
        }
    }
    return false;
}

const char* CertModeName(CertMode mode) {
    return kModeNames[static_cast<int>(mode)];
}

fs::path CaFile(const fs::path& folder) {
    return folder / "ca.pem";
}

bool LoadOrCreatePki(const fs::path& folder, std::array<Leaf, kCertModes>* leaves,
                     std::string* error) {
    std::error_code ec;
    if (!fs::exists(CaFile(folder), ec) && !CreatePki(folder, error)) return false;
    for (int i = 0; i < kCertModes; ++i) {
        if (!ReadPem(folder / kLeafFiles[i], &(*leaves)[i])) {
            *error = "cannot read " + (folder / kLeafFiles[i]).string() + ".pem/.key (delete " +
                     CaFile(folder).string() + " to make new ones)";
            return false;
        }
    }
    return true;
}

}  // namespace collector
}  // namespace tally
