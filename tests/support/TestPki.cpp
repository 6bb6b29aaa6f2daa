#include "TestPki.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>

#include "SignCore.h"

namespace zrtest::pki {

namespace {

void AddText(X509_NAME* name, int nid, const std::string& text) {
    if (!text.empty())
        X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(text.c_str()),
                                   -1, -1, 0);
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension) {
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }
}

// issuer null: self-signed.
Identity Issue(const Identity* issuer, const Subject& subject, Validity validity, bool authority, bool codeSigning) {
    Identity made;
    made.key = std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), KeyDeleter());
    std::shared_ptr<X509> certificate(X509_new(), X509Deleter());
    if (!made.key || !certificate) return Identity{};
    X509* cert = certificate.get();
    X509_set_version(cert, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(cert), validity.notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert), validity.notAfterDays * 86400L);
    X509_NAME* name = X509_get_subject_name(cert);
    AddText(name, NID_organizationName, subject.organization);
    AddText(name, NID_organizationalUnitName, subject.organizationalUnit);
    AddText(name, NID_commonName, subject.commonName);
    AddText(name, NID_pkcs9_emailAddress, subject.email);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->certificate.get()) : name);
    X509_set_pubkey(cert, made.key.get());
    X509* issuerCert = issuer ? issuer->certificate.get() : cert;
    const std::pair<int, const char*> extensions[] = {
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
        {NID_basic_constraints, authority ? "critical,CA:TRUE" : "critical,CA:FALSE"},
        {NID_key_usage, authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature"},
        {NID_ext_key_usage, authority ? nullptr : codeSigning ? "codeSigning" : "serverAuth"},
    };
    for (const auto& [nid, value] : extensions)
        if (value) AddExtension(cert, issuerCert, nid, value);
    EVP_PKEY* signingKey = issuer ? issuer->key.get() : made.key.get();
    if (X509_sign(cert, signingKey, EVP_sha256()) <= 0) {
        ERR_clear_error();
        return Identity{};
    }
    made.certificate = certificate;
    return made;
}

}  // namespace

Identity MakeRoot(const std::string& commonName, Validity validity) {
    return Issue(nullptr, Subject{commonName, "", "", ""}, validity, true, false);
}

Identity MakeIntermediate(const Identity& issuer, const std::string& commonName, Validity validity) {
    if (!issuer.IsValid()) return Identity{};
    return Issue(&issuer, Subject{commonName, "", "", ""}, validity, true, false);
}

Identity MakeSigner(const Identity& issuer, const Subject& subject, Validity validity, bool codeSigning) {
    if (!issuer.IsValid()) return Identity{};
    return Issue(&issuer, subject, validity, false, codeSigning);
}

bool WriteCertificatesPem(const std::vector<Identity>& identities, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return false;
    bool ok = true;
    for (const auto& identity : identities)
        ok = ok && identity.certificate && PEM_write_X509(file, identity.certificate.get()) == 1;
    return std::fclose(file) == 0 && ok;
}

bool WriteCertificatePem(const Identity& identity, const std::string& path) {
    std::remove(path.c_str());
    return WriteCertificatesPem({identity}, path);
}

bool WriteKeyPem(const Identity& identity, const std::string& path) {
    if (!identity.key) return false;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = PEM_write_PrivateKey(file, identity.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(file) == 0 && ok;
}

bool WriteModuleFile(const std::string& path, size_t size, unsigned char seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    uint32_t state = 2166136261u ^ seed;
    for (size_t i = 0; i < size && out; ++i) {
        state = state * 16777619u + 0x9E37u;
        out.put(char(state >> 24));
    }
    return bool(out);
}

bool SignFile(const std::string& path, const Identity& signer, const std::vector<Identity>& chain, bool replace,
              std::string* error) {
    std::vector<X509*> carried;
    for (const auto& identity : chain) carried.push_back(identity.certificate.get());
    const zrsign::SignResult result = signer.IsValid()
        ? zrsign::SignModule(path, signer.certificate.get(), signer.key.get(), carried, replace)
        : zrsign::SignResult{false, "no signer"};
    if (error) *error = result.error;
    return result.ok;
}

}  // namespace zrtest::pki
