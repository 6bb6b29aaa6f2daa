// Run-time bindings of the crypt32 and imagehlp entry points the signature
// check uses. Each wrapper binds its entry point on first use; when it cannot
// be bound the wrapper returns without calling: 0 (FALSE), except
// CertGetNameStringA, which returns 1 (an empty name).
#pragma once

#include "platform/platform.h"
#include "util/LoadLibrary.h"

class CCrypt32Dll : public CLoadLibrary {
public:
    CCrypt32Dll();

    BOOL CertFreeCertificateContext(PCCERT_CONTEXT certificate);
    DWORD CertGetNameStringA(PCCERT_CONTEXT certificate, DWORD type, DWORD flags, void* typeParameter, LPSTR name,
                             DWORD nameLength);
    BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA parameters, DWORD signerIndex,
                                     const BYTE* signedBlob, DWORD signedLength, BYTE* decoded,
                                     DWORD* decodedLength, PCCERT_CONTEXT* signer);
    BOOL CryptHashMessage(PCRYPT_HASH_MESSAGE_PARA parameters, BOOL detached, DWORD count, const BYTE* data[],
                          DWORD lengths[], BYTE* hashedBlob, DWORD* hashedLength, BYTE* computedHash,
                          DWORD* computedLength);

private:
    typedef BOOL(WINAPI CertFreeCertificateContextFn)(PCCERT_CONTEXT);
    typedef DWORD(WINAPI CertGetNameStringAFn)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPSTR, DWORD);
    typedef BOOL(WINAPI CryptVerifyMessageSignatureFn)(PCRYPT_VERIFY_MESSAGE_PARA, DWORD, const BYTE*, DWORD, BYTE*,
                                                       DWORD*, PCCERT_CONTEXT*);
    typedef BOOL(WINAPI CryptHashMessageFn)(PCRYPT_HASH_MESSAGE_PARA, BOOL, DWORD, const BYTE*[], DWORD[], BYTE*,
                                            DWORD*, BYTE*, DWORD*);
    CertFreeCertificateContextFn* certFreeCertificateContext_ = nullptr;
    CertGetNameStringAFn* certGetNameStringA_ = nullptr;
    CryptVerifyMessageSignatureFn* cryptVerifyMessageSignature_ = nullptr;
    CryptHashMessageFn* cryptHashMessage_ = nullptr;
};

class CImagehlp : public CLoadLibrary {
public:
    CImagehlp();

    BOOL ImageGetCertificateData(HANDLE file, DWORD index, LPWIN_CERTIFICATE certificate, PDWORD requiredLength);
    BOOL ImageGetCertificateHeader(HANDLE file, DWORD index, LPWIN_CERTIFICATE header);
    BOOL ImageEnumerateCertificates(HANDLE file, WORD typeFilter, PDWORD count, PDWORD indices, DWORD indexCount);

private:
    typedef BOOL(WINAPI ImageGetCertificateDataFn)(HANDLE, DWORD, LPWIN_CERTIFICATE, PDWORD);
    typedef BOOL(WINAPI ImageGetCertificateHeaderFn)(HANDLE, DWORD, LPWIN_CERTIFICATE);
    typedef BOOL(WINAPI ImageEnumerateCertificatesFn)(HANDLE, WORD, PDWORD, PDWORD, DWORD);
    ImageGetCertificateDataFn* imageGetCertificateData_ = nullptr;
    ImageGetCertificateHeaderFn* imageGetCertificateHeader_ = nullptr;
    ImageEnumerateCertificatesFn* imageEnumerateCertificates_ = nullptr;
};
