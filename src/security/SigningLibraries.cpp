#include "security/SigningLibraries.h"

CCrypt32Dll::CCrypt32Dll() : CLoadLibrary("Crypt32.dll") {}

BOOL CCrypt32Dll::CertFreeCertificateContext(PCCERT_CONTEXT certificate) {
    if (!Bind("CertFreeCertificateContext", certFreeCertificateContext_)) return FALSE;
    return certFreeCertificateContext_(certificate);
}

DWORD CCrypt32Dll::CertGetNameStringA(PCCERT_CONTEXT certificate, DWORD type, DWORD flags, void* typeParameter,
                                      LPSTR name, DWORD nameLength) {
    // 1 is what the function answers for a certificate without such a name.
    if (!Bind("CertGetNameStringA", certGetNameStringA_)) return 1;
    return certGetNameStringA_(certificate, type, flags, typeParameter, name, nameLength);
}

BOOL CCrypt32Dll::CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA parameters, DWORD signerIndex,
                                              const BYTE* signedBlob, DWORD signedLength, BYTE* decoded,
                                              DWORD* decodedLength, PCCERT_CONTEXT* signer) {
    if (!Bind("CryptVerifyMessageSignature", cryptVerifyMessageSignature_)) return FALSE;
    return cryptVerifyMessageSignature_(parameters, signerIndex, signedBlob, signedLength, decoded, decodedLength,
                                        signer);
}

BOOL CCrypt32Dll::CryptHashMessage(PCRYPT_HASH_MESSAGE_PARA parameters, BOOL detached, DWORD count,
                                   const BYTE* data[], DWORD lengths[], BYTE* hashedBlob, DWORD* hashedLength,
                                   BYTE* computedHash, DWORD* computedLength) {
    if (!Bind("CryptHashMessage", cryptHashMessage_)) return FALSE;
    return cryptHashMessage_(parameters, detached, count, data, lengths, hashedBlob, hashedLength, computedHash,
                             computedLength);
}

CImagehlp::CImagehlp() : CLoadLibrary("Imagehlp") {}

BOOL CImagehlp::ImageGetCertificateData(HANDLE file, DWORD index, LPWIN_CERTIFICATE certificate,
                                        PDWORD requiredLength) {
    if (!Bind("ImageGetCertificateData", imageGetCertificateData_)) return FALSE;
    return imageGetCertificateData_(file, index, certificate, requiredLength);
}

BOOL CImagehlp::ImageGetCertificateHeader(HANDLE file, DWORD index, LPWIN_CERTIFICATE header) {
    if (!Bind("ImageGetCertificateHeader", imageGetCertificateHeader_)) return FALSE;
    return imageGetCertificateHeader_(file, index, header);
}

BOOL CImagehlp::ImageEnumerateCertificates(HANDLE file, WORD typeFilter, PDWORD count, PDWORD indices,
                                           DWORD indexCount) {
    if (!Bind("ImageEnumerateCertificates", imageEnumerateCertificates_)) return FALSE;
    return imageEnumerateCertificates_(file, typeFilter, count, indices, indexCount);
}
