// OpenSSL ownership and the pieces the trust service's DLLs share.
#pragma once

#include <openssl/bio.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "zrwin/cert_table.h"

namespace zrwin::trust {

struct Pkcs7Free { void operator()(PKCS7* p) const { PKCS7_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free_all(p); } };
struct StoreFree { void operator()(X509_STORE* p) const { X509_STORE_free(p); } };
struct StoreCtxFree { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct CertStackFree { void operator()(STACK_OF(X509)* p) const { sk_X509_free(p); } };

using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Free>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;
// A stack that does not own its certificates (PKCS7_get0_signers).
using CertRefStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

// Decodes a DER PKCS#7 message; null unless it is SignedData.
Pkcs7Ptr DecodeSignedData(const unsigned char* der, size_t length);

// Checks the signatures of a SignedData message over its embedded content
// (not the signers' chains) and gives the content. False when the message
// has no embedded content or a signature does not verify.
bool VerifyContent(PKCS7* message, std::string& content);

// The signer certificates, in signer-info order (not owned by the stack);
// null when a signer's certificate is not in the message.
CertRefStackPtr Signers(PKCS7* message);

// Gives back the resident code and constant pages of libcrypto when the last
// reference to a trust DLL is freed: a host checks one signature at start and then idles for
// hours, and those pages are most of what the check leaves resident. The
// library itself stays mapped (it pins itself against unloading), so a later
// check maps the pages again from the file.
void ReleaseCryptoPages();

// SHA-256 of the first `length` bytes read through `read`.
bool Sha256Prefix(const certtable::ReadAt& read, uint64_t length, unsigned char digest[32]);

}  // namespace zrwin::trust
