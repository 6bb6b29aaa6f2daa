// OpenSSL pieces shared by the built-in crypt32 and wintrust.
#include "crypt32/trust_openssl.h"

#include <openssl/err.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <vector>

#include "core/unwritten_pages.h"

namespace zrwin::trust {

Pkcs7Ptr DecodeSignedData(const unsigned char* der, size_t length) {
    if (!der || length == 0 || length > certtable::kMaxEntrySize) return nullptr;
    const unsigned char* cursor = der;
    Pkcs7Ptr message(d2i_PKCS7(nullptr, &cursor, long(length)));
    if (!message || !PKCS7_type_is_signed(message.get())) {
        ERR_clear_error();
        return nullptr;
    }
    return message;
}

bool VerifyContent(PKCS7* message, std::string& content) {
    content.clear();
    if (!message || PKCS7_get_detached(message)) return false;
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out) return false;
    // NOVERIFY: the signatures only; whether the signer is trusted is the
    // caller's question.
    if (PKCS7_verify(message, nullptr, nullptr, nullptr, out.get(), PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
        ERR_clear_error();
        return false;
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    if (size > 0 && data) content.assign(data, size_t(size));
    return true;
}

CertRefStackPtr Signers(PKCS7* message) {
    CertRefStackPtr signers(PKCS7_get0_signers(message, nullptr, 0));
    if (!signers) ERR_clear_error();
    return signers;
}

bool Sha256Prefix(const certtable::ReadAt& read, uint64_t length, unsigned char digest[32]) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
    std::vector<unsigned char> buffer(1 << 16);
    uint64_t at = 0;
    while (at < length) {
        size_t chunk = size_t(std::min<uint64_t>(buffer.size(), length - at));
        if (!read(at, buffer.data(), chunk)) return false;
        if (EVP_DigestUpdate(context.get(), buffer.data(), chunk) != 1) return false;
        at += chunk;
    }
    unsigned int size = 0;
    return EVP_DigestFinal_ex(context.get(), digest, &size) == 1 && size == 32;
}

void ReleaseCryptoPages() { zrwin::DropUnwrittenPagesOf(reinterpret_cast<const void*>(&OpenSSL_version)); }

}  // namespace zrwin::trust
