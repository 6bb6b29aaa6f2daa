#include "security/Signature.h"

#include <vector>

#include "log/Log.h"
#include "security/SigningLibraries.h"
#include "util/Conversions.h"
#include "util/ScopedHandle.h"

namespace {

typedef LONG(WINAPI WinVerifyTrustFn)(HWND, GUID*, LPVOID);

bool IsLetter(char c) { return IsCharAlphaA(c) != FALSE; }

char Upper(char c) {
    CharUpperBuffA(&c, 1);
    return c;
}

}  // namespace

bool CheckSignature(const char* path) {
    if (!xCheckAuthenticodeA(path)) {
        Log(LOG_ERROR, "CheckSignature: [E] Could not check Authenticode certificate of '%s'", path);
        return false;
    }
    std::string name;
    if (!GetSubjectName(path, name)) {
        Log(LOG_ERROR, "CheckSignature: [E] Could not extract the name of the certificate of '%s'", path);
        return false;
    }
    return MatchLetters(name.c_str(), kExpectedPublisher, kExpectedPublisherLetters, false);
}

bool xCheckAuthenticodeA(const char* path) {
    try {
        // Every file access of the check goes through the ANSI code page.
        Utils_Conversions::CommandLineW widePath(path);
        return xCheckAuthenticodeW(widePath.c_str());
    } catch (...) {
        return false;
    }
}

bool xCheckAuthenticodeW(const wchar_t* path) { return CheckAuthenticodeThrough(path, "Wintrust.dll", "WinVerifyTrust"); }

bool CheckAuthenticodeThrough(const wchar_t* path, const char* library, const char* entryPoint) {
    Log(LOG_OTHER, "xCheckAuthenticodeW: Checking '%ws' (CRL:%d)", path, 1);
    ScopedLibrary wintrust(LoadLibraryA(library));
    if (!wintrust.IsValid()) {
        Log(LOG_ERROR, "xCheckAuthenticodeW: [E] Could not load Wintrust.dll, err: %d", static_cast<int>(GetLastError()));
        return false;
    }
    auto* winVerifyTrust =
        reinterpret_cast<WinVerifyTrustFn*>(reinterpret_cast<void*>(GetProcAddress(wintrust.Get(), entryPoint)));
    if (!winVerifyTrust) {
        Log(LOG_ERROR, "xCheckAuthenticodeW: [E] Error loading WinVerifyTrust [%d]", static_cast<int>(GetLastError()));
        return false;
    }

    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(WINTRUST_FILE_INFO);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = nullptr;
    fileInfo.pgKnownSubject = nullptr;

    WINTRUST_DATA trustData = {};
    trustData.cbStruct = sizeof(WINTRUST_DATA);
    trustData.dwUIChoice = WTD_UI_NONE;
    trustData.fdwRevocationChecks = WTD_REVOKE_NONE;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = 0;
    trustData.dwProvFlags = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    Log(LOG_OTHER, "xCheckAuthenticodeW: Calling WinVerifyTrust...");
    LONG result = winVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trustData);

    bool valid = false;
    if (result == static_cast<LONG>(CERT_E_EXPIRED) || result == static_cast<LONG>(CERT_E_CHAINING)) {
        Log(LOG_OTHER, "xCheckAuthenticodeW: Certificate '%ws' is validated with problems (chain:%d, expired:%d)", path,
            result == static_cast<LONG>(CERT_E_CHAINING) ? 1 : 0, result == static_cast<LONG>(CERT_E_EXPIRED) ? 1 : 0);
        valid = true;
    } else if (result == 0) {
        Log(LOG_OTHER, "xCheckAuthenticodeW: Certificate '%ws' is validated", path);
        valid = true;
    } else {
        std::string text = GetSystemErrorText(static_cast<DWORD>(result));
        Log(LOG_ERROR, "xCheckAuthenticodeW: [E] WinVerifyTrust failed for '%ws'; %s", path, text.c_str());
    }
    return valid;
}

bool GetSubjectName(const char* path, std::string& name) {
    return GetCertificateElement(path, kCertificateElementSubjectName, name);
}

bool GetCertificateElement(const char* path, int element, std::string& out) {
    try {
        out.clear();
        CCrypt32Dll crypt32;
        CImagehlp imagehlp;
        if (!crypt32.IsLoaded() || !imagehlp.IsLoaded()) return false;

        ScopedKernelHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file.IsValid()) {
            Log(LOG_ERROR, "GetCertificateElement: [E] Could not open file '%s', err:%d", path,
                static_cast<int>(GetLastError()));
            return false;
        }

        DWORD count = 0;
        if (!imagehlp.ImageEnumerateCertificates(file.Get(), CERT_SECTION_TYPE_ANY, &count, nullptr, 0)) {
            Log(LOG_ERROR, "GetCertificateElement: [E] EnumerateCerts failed. file '%s', err:%d", path,
                static_cast<int>(GetLastError()));
            return false;
        }
        if (count != 1) {
            Log(LOG_ERROR, "GetCertificateElement: [E] File '%s' contains %d certs", path, static_cast<int>(count));
            return false;
        }

        WIN_CERTIFICATE header = {};
        header.dwLength = 0;
        header.wRevision = WIN_CERT_REVISION_1_0;
        if (!imagehlp.ImageGetCertificateHeader(file.Get(), 0, &header)) {
            Log(LOG_ERROR, "GetCertificateElement: [E] GetCertificateHeader failed. file '%s', err:%d", path,
                static_cast<int>(GetLastError()));
            return false;
        }
        // An entry is its 8-byte header and the signed message.
        const DWORD headerSize = 8;
        if (header.dwLength <= headerSize) return false;

        std::vector<BYTE> storage(static_cast<size_t>(header.dwLength) + 12);
        auto* entry = reinterpret_cast<LPWIN_CERTIFICATE>(storage.data());
        entry->dwLength = header.dwLength;
        entry->wRevision = WIN_CERT_REVISION_1_0;
        DWORD length = header.dwLength;
        if (!imagehlp.ImageGetCertificateData(file.Get(), 0, entry, &length)) return false;

        CRYPT_VERIFY_MESSAGE_PARA parameters = {};
        parameters.cbSize = sizeof(CRYPT_VERIFY_MESSAGE_PARA);
        parameters.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        parameters.hCryptProv = 0;
        parameters.pfnGetSignerCertificate = nullptr;
        parameters.pvGetArg = nullptr;
        PCCERT_CONTEXT signer = nullptr;
        if (!crypt32.CryptVerifyMessageSignature(&parameters, 0, entry->bCertificate, header.dwLength - headerSize,
                                                 nullptr, nullptr, &signer))
            return false;

        bool obtained = false;
        if (element == kCertificateElementSubjectName) obtained = GetSubject_FriendlyName(signer, out);
        crypt32.CertFreeCertificateContext(signer);
        return obtained;
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "GetCertificateElement: [C] Exception detected.");
        return false;
    }
}

bool GetSubject_FriendlyName(PCCERT_CONTEXT certificate, std::string& out) {
    out.clear();
    CCrypt32Dll crypt32;
    if (!crypt32.IsLoaded()) return false;
    char name[260] = {};
    DWORD result =
        crypt32.CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof(name));
    if (result == 0) {
        Log(LOG_ERROR, "GetSubject_FriendlyName: [E] Could not get certificate name. %d",
            static_cast<int>(GetLastError()));
        return false;
    }
    if (name[0] != '\0') out.append(name);
    return true;
}

bool MatchLetters(const char* a, const char* b, int count, bool caseSensitive) {
    if (!a) a = "";
    if (!b) b = "";
    size_t i = 0;
    size_t j = 0;
    int matched = 0;
    while (!(a[i] == '\0' && b[j] == '\0') && matched < count) {
        if (a[i] != '\0' && !IsLetter(a[i])) {
            ++i;
            continue;
        }
        if (b[j] != '\0' && !IsLetter(b[j])) {
            ++j;
            continue;
        }
        if (a[i] == '\0' || b[j] == '\0') break;
        char left = caseSensitive ? a[i] : Upper(a[i]);
        char right = caseSensitive ? b[j] : Upper(b[j]);
        if (left != right) break;
        ++i;
        ++j;
        ++matched;
    }
    return (a[i] == '\0' && b[j] == '\0') || matched >= count;
}
