// The built-in "crypt32": signed-message verification and the signer
// certificate's names, with OpenSSL underneath.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypt32/trust_openssl.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"
#include "zrwin/trust.h"

namespace {

using namespace zrwin::trust;

constexpr uint32_t kContextMagic = 0x5A524343;  // tells our contexts from stray pointers

// A CERT_CONTEXT handed out by this DLL. The public record comes first so the
// caller's PCCERT_CONTEXT is the address of the whole.
struct CertContext {
    CERT_CONTEXT context;
    uint32_t magic;
    X509* certificate;
};

CertContext* FromPublic(PCCERT_CONTEXT context) {
    auto* own = reinterpret_cast<CertContext*>(const_cast<CERT_CONTEXT*>(context));
    return own && own->magic == kContextMagic ? own : nullptr;
}

PCCERT_CONTEXT NewContext(X509* certificate) {
    int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return nullptr;
    auto* own = new CertContext{};
    own->context.pbCertEncoded = new BYTE[size_t(length)];
    unsigned char* cursor = own->context.pbCertEncoded;
    i2d_X509(certificate, &cursor);
    own->context.cbCertEncoded = DWORD(length);
    own->context.dwCertEncodingType = X509_ASN_ENCODING;
    own->magic = kContextMagic;
    X509_up_ref(certificate);
    own->certificate = certificate;
    return &own->context;
}

std::string EntryText(X509_NAME* name, int index) {
    X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
    unsigned char* utf8 = nullptr;
    int length = entry ? ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry)) : -1;
    std::string text;
    if (length > 0) text.assign(reinterpret_cast<char*>(utf8), size_t(length));
    OPENSSL_free(utf8);
    return text;
}

std::string AttributeText(X509_NAME* name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    return index < 0 ? std::string() : EntryText(name, index);
}

std::string FirstRfc822AltName(X509* certificate, bool issuer) {
    auto* names = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr));
    std::string text;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && text.empty(); ++i) {
        GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_EMAIL) {
            const ASN1_IA5STRING* email = name->d.rfc822Name;
            text.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(email)), size_t(ASN1_STRING_length(email)));
        }
    }
    GENERAL_NAMES_free(names);
    return text;
}

// The display name in the order Windows uses: common name, organisational
// unit, organisation, e-mail (attribute, then alternative name), and failing
// all of them the name's first attribute.
std::string SimpleDisplayName(X509* certificate, bool issuer) {
    X509_NAME* name = issuer ? X509_get_issuer_name(certificate) : X509_get_subject_name(certificate);
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        std::string text = AttributeText(name, nid);
        if (!text.empty()) return text;
    }
    std::string email = FirstRfc822AltName(certificate, issuer);
    if (!email.empty()) return email;
    return X509_NAME_entry_count(name) > 0 ? EntryText(name, 0) : std::string();
}

std::string EmailName(X509* certificate, bool issuer) {
    std::string email = FirstRfc822AltName(certificate, issuer);
    if (!email.empty()) return email;
    X509_NAME* name = issuer ? X509_get_issuer_name(certificate) : X509_get_subject_name(certificate);
    return AttributeText(name, NID_pkcs9_emailAddress);
}

// UTF-8 from OpenSSL to the ANSI code page, "?" for what it cannot show.
std::string Utf8ToAnsi(const std::string& utf8) {
    if (utf8.empty()) return std::string();
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    if (wideLength <= 0) return std::string();
    std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), wideLength);
    int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, nullptr, 0, "?", nullptr);
    if (length <= 0) return std::string();
    std::string ansi(size_t(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, ansi.data(), length, "?", nullptr);
    return ansi;
}

}  // namespace

ZRWINAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    CertContext* own = FromPublic(pCertContext);
    if (own) {
        own->magic = 0;
        X509_free(own->certificate);
        delete[] own->context.pbCertEncoded;
        delete own;
    }
    return TRUE;
}

ZRWINAPI DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                        LPSTR pszNameString, DWORD cchNameString) {
    CertContext* own = FromPublic(pCertContext);
    std::string name;
    if (own) {
        bool issuer = (dwFlags & CERT_NAME_ISSUER_FLAG) != 0;
        switch (dwType) {
            case CERT_NAME_SIMPLE_DISPLAY_TYPE:
            case CERT_NAME_FRIENDLY_DISPLAY_TYPE:  // no friendly-name property here
                name = SimpleDisplayName(own->certificate, issuer);
                break;
            case CERT_NAME_EMAIL_TYPE:
                name = EmailName(own->certificate, issuer);
                break;
            case CERT_NAME_ATTR_TYPE:
                if (pvTypePara) {
                    ASN1_OBJECT* object = OBJ_txt2obj(static_cast<const char*>(pvTypePara), 1);
                    int nid = object ? OBJ_obj2nid(object) : NID_undef;
                    ASN1_OBJECT_free(object);
                    X509_NAME* subject = issuer ? X509_get_issuer_name(own->certificate)
                                                : X509_get_subject_name(own->certificate);
                    if (nid != NID_undef) name = AttributeText(subject, nid);
                }
                break;
            default:
                break;
        }
        ERR_clear_error();
        name = Utf8ToAnsi(name);
    }
    // Windows answers with the characters including the terminator, and 1
    // with an empty string when there is no such name.
    if (!pszNameString || cchNameString == 0) return DWORD(name.size() + 1);
    size_t copied = std::min<size_t>(name.size(), cchNameString - 1);
    std::memcpy(pszNameString, name.data(), copied);
    pszNameString[copied] = '\0';
    return DWORD(copied + 1);
}

namespace {

BOOL VerifyMessage(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex, const BYTE* pbSignedBlob,
                   DWORD cbSignedBlob, BYTE* pbDecoded, DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) {
    DWORD available = pcbDecoded ? *pcbDecoded : 0;
    if (pcbDecoded) *pcbDecoded = 0;
    if (!pVerifyPara || pVerifyPara->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
        (pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0 || !pbSignedBlob) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    Pkcs7Ptr message = DecodeSignedData(pbSignedBlob, cbSignedBlob);
    if (!message) {
        SetLastError(DWORD(CRYPT_E_ASN1_BADTAG));
        return FALSE;
    }
    CertRefStackPtr signers = Signers(message.get());
    if (!signers || dwSignerIndex >= DWORD(sk_X509_num(signers.get()))) {
        SetLastError(DWORD(CRYPT_E_NO_SIGNER));
        return FALSE;
    }
    std::string content;
    if (!VerifyContent(message.get(), content)) {
        SetLastError(DWORD(NTE_BAD_SIGNATURE));
        return FALSE;
    }
    if (pbDecoded && available < content.size()) {
        if (pcbDecoded) *pcbDecoded = DWORD(content.size());
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (pbDecoded && !content.empty()) std::memcpy(pbDecoded, content.data(), content.size());
    if (pcbDecoded) *pcbDecoded = DWORD(content.size());
    if (ppSignerCert) {
        *ppSignerCert = NewContext(sk_X509_value(signers.get(), int(dwSignerIndex)));
        if (!*ppSignerCert) {
            SetLastError(DWORD(CRYPT_E_MSG_ERROR));
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

ZRWINAPI BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                                const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                                DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) {
    if (ppSignerCert) *ppSignerCert = nullptr;
    try {
        return VerifyMessage(pVerifyPara, dwSignerIndex, pbSignedBlob, cbSignedBlob, pbDecoded, pcbDecoded,
                             ppSignerCert);
    } catch (...) {
        // Allocation failures: an export never lets an exception out.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

namespace {

// Copies `bytes` out the Windows way: a null buffer asks for the size, a small
// one is ERROR_MORE_DATA with the size.
bool GiveBytes(const std::string& bytes, BYTE* buffer, DWORD* length) {
    if (!length) return true;
    DWORD available = *length;
    *length = DWORD(bytes.size());
    if (!buffer) return true;
    if (available < bytes.size()) {
        SetLastError(ERROR_MORE_DATA);
        return false;
    }
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    return true;
}

BOOL HashMessage(PCRYPT_HASH_MESSAGE_PARA para, BOOL detached, DWORD count, const BYTE* data[], DWORD lengths[],
                 BYTE* hashedBlob, DWORD* hashedLength, BYTE* computedHash, DWORD* computedLength) {
    if (!para || para->cbSize < sizeof(CRYPT_HASH_MESSAGE_PARA) ||
        (para->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0 || !para->HashAlgorithm.pszObjId ||
        (count > 0 && (!data || !lengths))) {
        SetLastError(DWORD(E_INVALIDARG));
        return FALSE;
    }
    ASN1_OBJECT* object = OBJ_txt2obj(para->HashAlgorithm.pszObjId, 1);
    const EVP_MD* algorithm = object ? EVP_get_digestbyobj(object) : nullptr;
    ASN1_OBJECT_free(object);
    if (!algorithm) {
        ERR_clear_error();
        SetLastError(DWORD(CRYPT_E_UNKNOWN_ALGO));
        return FALSE;
    }
    std::string content;
    for (DWORD i = 0; i < count; ++i)
        if (lengths[i] > 0) content.append(reinterpret_cast<const char*>(data[i]), lengths[i]);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(content.data(), content.size(), digest, &digestLength, algorithm, nullptr) != 1) {
        ERR_clear_error();
        SetLastError(DWORD(NTE_BAD_ALGID));
        return FALSE;
    }

    // DigestedData: version 0, the algorithm, the data content (empty when
    // detached), the digest.
    Pkcs7Ptr message(PKCS7_new());
    Pkcs7Ptr inner(PKCS7_new());
    bool built = message && inner && PKCS7_set_type(message.get(), NID_pkcs7_digest) == 1 &&
                 PKCS7_set_digest(message.get(), algorithm) == 1 && PKCS7_set_type(inner.get(), NID_pkcs7_data) == 1;
    if (built && detached) {
        ASN1_OCTET_STRING_free(inner->d.data);
        inner->d.data = nullptr;
    } else if (built) {
        built = ASN1_OCTET_STRING_set(inner->d.data, reinterpret_cast<const unsigned char*>(content.data()),
                                      int(content.size())) == 1;
    }
    built = built && PKCS7_set_content(message.get(), inner.get()) == 1;
    if (built) inner.release();  // owned by the message now
    built = built && ASN1_OCTET_STRING_set(message->d.digest->digest, digest, int(digestLength)) == 1;
    int derLength = built ? i2d_PKCS7(message.get(), nullptr) : -1;
    if (derLength <= 0) {
        ERR_clear_error();
        SetLastError(DWORD(CRYPT_E_MSG_ERROR));
        return FALSE;
    }
    std::string der(size_t(derLength), '\0');
    auto* cursor = reinterpret_cast<unsigned char*>(der.data());
    i2d_PKCS7(message.get(), &cursor);

    bool blobGiven = GiveBytes(der, hashedBlob, hashedLength);
    bool hashGiven = GiveBytes(std::string(reinterpret_cast<char*>(digest), digestLength), computedHash,
                               computedLength);
    return blobGiven && hashGiven ? TRUE : FALSE;
}

}  // namespace

ZRWINAPI BOOL WINAPI CryptHashMessage(PCRYPT_HASH_MESSAGE_PARA pHashPara, BOOL fDetachedHash, DWORD cToBeHashed,
                                     const BYTE* rgpbToBeHashed[], DWORD rgcbToBeHashed[], BYTE* pbHashedBlob,
                                     DWORD* pcbHashedBlob, BYTE* pbComputedHash, DWORD* pcbComputedHash) {
    try {
        return HashMessage(pHashPara, fDetachedHash, cToBeHashed, rgpbToBeHashed, rgcbToBeHashed, pbHashedBlob,
                           pcbHashedBlob, pbComputedHash, pcbComputedHash);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}
