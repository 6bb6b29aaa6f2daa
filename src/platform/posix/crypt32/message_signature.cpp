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

std::string FirstRfc822AltName(X509* certificate) {
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
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
std::string SimpleDisplayName(X509* certificate) {
    X509_NAME* name = X509_get_subject_name(certificate);
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        std::string text = AttributeText(name, nid);
        if (!text.empty()) return text;
    }
    std::string email = FirstRfc822AltName(certificate);
    if (!email.empty()) return email;
    return X509_NAME_entry_count(name) > 0 ? EntryText(name, 0) : std::string();
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

ZRWINAPI DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void*,
                                        LPSTR pszNameString, DWORD cchNameString) {
    CertContext* own = FromPublic(pCertContext);
    std::string name;
    if (own && dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE && dwFlags == 0) {
        name = Utf8ToAnsi(SimpleDisplayName(own->certificate));
        ERR_clear_error();
    } else if (own) {
        // Other name types, the issuer's names and the flags are not served:
        // an empty name, as for a certificate without one, and a reason.
        SetLastError(ERROR_NOT_SUPPORTED);
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
