// Signing and inspecting module files: the certificate table appended to a
// module (format in docs/signing.md). Used by the zrsign tool and by tests
// that sign sample modules.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zrsign {

struct X509Deleter { void operator()(X509* p) const { X509_free(p); } };
struct KeyDeleter { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
using CertificatePtr = std::unique_ptr<X509, X509Deleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// PEM (or DER for a single certificate) files. False with a reason.
bool LoadCertificates(const std::string& path, std::vector<CertificatePtr>& certificates, std::string& error);
bool LoadPrivateKey(const std::string& path, KeyPtr& key, std::string& error);

struct SignResult {
    bool ok = false;
    std::string error;
    size_t entriesBefore = 0;  // entries the file had
    size_t entriesAfter = 0;
};

// Appends one entry: a PKCS#7 SignedData by `certificate`/`key` (carrying the
// signer and `chain`) over the SHA-256 digest of the bytes before any existing
// table. With `replace` the existing entries are dropped. The file is
// rewritten through a temporary file in its folder, so a failure leaves it
// as it was.
SignResult SignModule(const std::string& modulePath, X509* certificate, EVP_PKEY* key,
                      const std::vector<X509*>& chain, bool replace);

struct EntryInfo {
    uint32_t length = 0;
    uint16_t revision = 0;
    uint16_t type = 0;
    std::string signer;         // subject of the first signer, one line
    bool signatureOk = false;   // the message's signature verifies
    bool digestOk = false;      // and it signs the digest of the content
};

struct ModuleInfo {
    bool hasTable = false;
    uint64_t contentSize = 0;
    std::string contentDigest;  // hexadecimal SHA-256 of the content
    std::vector<EntryInfo> entries;
};

// Reads the table and checks each entry's signature and digest (not trust).
bool InspectModule(const std::string& modulePath, ModuleInfo& info, std::string& error);

// Removes the temporary file of a signing in progress, if any. Safe to call
// from a signal handler (it only unlinks a name stored beforehand).
void RemoveTemporaryOnSignal();

}  // namespace zrsign
