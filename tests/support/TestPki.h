// Certificates, keys and signed modules made at test time (nothing secret is
// kept in the repository). Keys are P-256, which OpenSSL makes fast.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace zrtest::pki {

struct X509Deleter { void operator()(X509* p) const { X509_free(p); } };
struct KeyDeleter { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };

// A certificate with its private key.
struct Identity {
    std::shared_ptr<X509> certificate;
    std::shared_ptr<EVP_PKEY> key;
    bool IsValid() const { return certificate && key; }
};

struct Subject {
    std::string commonName;
    std::string organizationalUnit;
    std::string organization;
    std::string email;
};

struct Validity {
    long notBeforeDays = -1;  // relative to now
    long notAfterDays = 365;
};

// A self-signed certification authority.
Identity MakeRoot(const std::string& commonName, Validity validity = {});
// An intermediate authority issued by `issuer`.
Identity MakeIntermediate(const Identity& issuer, const std::string& commonName, Validity validity = {});
// A code-signing certificate issued by `issuer` (extended key usage code
// signing unless codeSigning is false, then server authentication).
Identity MakeSigner(const Identity& issuer, const Subject& subject, Validity validity = {}, bool codeSigning = true);

// PEM files; false when they cannot be written.
bool WriteCertificatePem(const Identity& identity, const std::string& path);
bool WriteKeyPem(const Identity& identity, const std::string& path);
// Appends the certificates of `identities` to one PEM file (a trust-roots or
// chain file).
bool WriteCertificatesPem(const std::vector<Identity>& identities, const std::string& path);

// A small file with deterministic content to stand in for a module.
bool WriteModuleFile(const std::string& path, size_t size = 4096, unsigned char seed = 1);

// Signs the file the way zrsign does, carrying `chain` in the message.
// False with the reason in `error`.
bool SignFile(const std::string& path, const Identity& signer, const std::vector<Identity>& chain = {},
              bool replace = false, std::string* error = nullptr);

}  // namespace zrtest::pki
