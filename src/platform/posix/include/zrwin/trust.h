// wintrust / crypt32 / imagehlp: Authenticode trust of a file, the file's
// certificate table and the signer certificate of a signed message.
//
// On POSIX a module file carries its certificate table appended to its
// content (see docs/signing.md); the entry points below read it with the
// Windows names, layouts and result codes.
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"

// Results of the trust service besides those in winerror.h.
#ifndef CERT_E_WRONG_USAGE
#define CERT_E_WRONG_USAGE ((HRESULT)0x800B0110L)
#endif
#ifndef CRYPT_E_FILE_ERROR
#define CRYPT_E_FILE_ERROR ((HRESULT)0x80092003L)
#endif
#ifndef NTE_BAD_SIGNATURE
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006L)
#endif
#ifndef TRUST_E_CERT_SIGNATURE
#define TRUST_E_CERT_SIGNATURE ((HRESULT)0x80096004L)
#endif
#ifndef CRYPT_E_UNKNOWN_ALGO
#define CRYPT_E_UNKNOWN_ALGO ((HRESULT)0x80091002L)
#endif
#ifndef CRYPT_E_MSG_ERROR
#define CRYPT_E_MSG_ERROR ((HRESULT)0x80091001L)
#endif

// ---- wintrust

#define WTD_UI_ALL 1
#define WTD_UI_NONE 2
#define WTD_UI_NOBAD 3
#define WTD_UI_NOGOOD 4

#define WTD_REVOKE_NONE 0x00000000
#define WTD_REVOKE_WHOLECHAIN 0x00000001

#define WTD_CHOICE_FILE 1
#define WTD_CHOICE_CATALOG 2
#define WTD_CHOICE_BLOB 3
#define WTD_CHOICE_SIGNER 4
#define WTD_CHOICE_CERT 5

#define WTD_STATEACTION_IGNORE 0x00000000
#define WTD_STATEACTION_VERIFY 0x00000001
#define WTD_STATEACTION_CLOSE 0x00000002

#define WTD_REVOCATION_CHECK_NONE 0x00000010
#define WTD_HASH_ONLY_FLAG 0x00000200

#define WTD_UICONTEXT_EXECUTE 0
#define WTD_UICONTEXT_INSTALL 1

// {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}, an initialiser as in softpub.h.
#define WINTRUST_ACTION_GENERIC_VERIFY_V2 \
    { 0x00aac56b, 0xcd44, 0x11d0, { 0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee } }

typedef struct WINTRUST_FILE_INFO_ {
    DWORD cbStruct;
    LPCWSTR pcwszFilePath;
    HANDLE hFile;
    GUID* pgKnownSubject;
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

typedef struct _WINTRUST_DATA {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        struct WINTRUST_FILE_INFO_* pFile;
        void* pCatalog;
        void* pBlob;
        void* pSgnr;
        void* pCert;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
} WINTRUST_DATA, *PWINTRUST_DATA;

// Verifies the first signature of the file in a WINTRUST_DATA with
// WTD_CHOICE_FILE: 0 when valid, otherwise TRUST_E_NOSIGNATURE,
// TRUST_E_BAD_DIGEST, CERT_E_EXPIRED, CERT_E_CHAINING, CERT_E_WRONG_USAGE,
// TRUST_E_ACTION_UNKNOWN, TRUST_E_SUBJECT_FORM_UNKNOWN, CRYPT_E_FILE_ERROR or
// E_INVALIDARG.
ZRWINAPI LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);

// ---- imagehlp: the certificate table of a file

#define WIN_CERT_REVISION_1_0 (0x0100)
#define WIN_CERT_REVISION_2_0 (0x0200)
#define WIN_CERT_TYPE_X509 (0x0001)
#define WIN_CERT_TYPE_PKCS_SIGNED_DATA (0x0002)
#define WIN_CERT_TYPE_RESERVED_1 (0x0003)
#define WIN_CERT_TYPE_TS_STACK_SIGNED (0x0004)
#define CERT_SECTION_TYPE_ANY 0xFF

typedef struct _WIN_CERTIFICATE {
    DWORD dwLength;
    WORD wRevision;
    WORD wCertificateType;
    BYTE bCertificate[1];
} WIN_CERTIFICATE, *LPWIN_CERTIFICATE;

ZRWINAPI BOOL WINAPI ImageEnumerateCertificates(HANDLE FileHandle, WORD TypeFilter, PDWORD CertificateCount,
                                               PDWORD Indices, DWORD IndexCount);
ZRWINAPI BOOL WINAPI ImageGetCertificateData(HANDLE FileHandle, DWORD CertificateIndex,
                                            LPWIN_CERTIFICATE Certificate, PDWORD RequiredLength);
ZRWINAPI BOOL WINAPI ImageGetCertificateHeader(HANDLE FileHandle, DWORD CertificateIndex,
                                              LPWIN_CERTIFICATE Certificateheader);

// ---- crypt32: signed messages and certificates

#define CRYPT_ASN_ENCODING 0x00000001
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_ISSUER_FLAG 0x1

#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_RSA_MD5 "1.2.840.113549.2.5"
#define szOID_NIST_sha256 "2.16.840.1.101.3.4.2.1"

typedef void* HCERTSTORE;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_OBJID_BLOB, *PCRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

// The decoded certificate fields are not provided: pCertInfo is null.
typedef struct _CERT_INFO CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef PCCERT_CONTEXT(WINAPI* PFN_CRYPT_GET_SIGNER_CERTIFICATE)(void* pvGetArg, DWORD dwCertEncodingType,
                                                                 PCERT_INFO pSignerId, HCERTSTORE hMsgCertStore);

typedef struct _CRYPT_VERIFY_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
    void* pvGetArg;
} CRYPT_VERIFY_MESSAGE_PARA, *PCRYPT_VERIFY_MESSAGE_PARA;

// Only the type: the layer has no CryptHashMessage (binding it by name fails
// with ERROR_PROC_NOT_FOUND); the product's run-time binding declares it.
typedef struct _CRYPT_HASH_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;
} CRYPT_HASH_MESSAGE_PARA, *PCRYPT_HASH_MESSAGE_PARA;

ZRWINAPI BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
ZRWINAPI DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                        LPSTR pszNameString, DWORD cchNameString);
ZRWINAPI BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                                const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                                DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert);
