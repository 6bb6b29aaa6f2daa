// The built-in "wintrust": Authenticode-style trust of a module file whose
// certificate table is appended to its content (internal/cert_table.h).
//
// Order of the checks, as WinVerifyTrust makes them: a signature must be
// present, the first entry's signature must verify over the digest of the
// content, the digest must match, and the signer's chain must lead to a
// trusted root (the system store plus ZRWIN_TRUST_ROOTS) within its validity.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel32/paths.h"
#include "crypt32/trust_openssl.h"
#include "zrwin/sync.h"
#include "zrwin/trust.h"

namespace {

using namespace zrwin::trust;
namespace certtable = zrwin::certtable;

const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

bool LoadPemFile(X509_STORE* store, const std::string& path) {
    bool loaded = X509_STORE_load_file(store, path.c_str()) == 1;
    ERR_clear_error();
    return loaded;
}

// The operator's roots: a PEM file, or every file of a folder that holds PEM
// certificates (others are skipped).
void LoadConfiguredRoots(X509_STORE* store) {
    const char* configured = std::getenv("ZRWIN_TRUST_ROOTS");
    if (!configured || !*configured) return;
    struct stat info;
    if (::stat(configured, &info) != 0) return;
    if (S_ISREG(info.st_mode)) {
        LoadPemFile(store, configured);
        return;
    }
    if (!S_ISDIR(info.st_mode)) return;
    DIR* folder = ::opendir(configured);
    if (!folder) return;
    std::vector<std::string> files;
    while (dirent* item = ::readdir(folder)) {
        std::string path = std::string(configured) + "/" + item->d_name;
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(path);
    }
    ::closedir(folder);
    for (const auto& path : files) LoadPemFile(store, path);
}

const char* SystemCertificateFolder() {
    const char* configured = std::getenv(X509_get_default_cert_dir_env());
    return configured && *configured ? configured : X509_get_default_cert_dir();
}

// The system's certificate bundle, parsed once per process when first needed:
// parsing it is most of the cost of a verification and its certificates stay
// resident.
const std::vector<X509Ptr>& SystemBundle() {
    static const std::vector<X509Ptr>* bundle = [] {
        auto* certificates = new std::vector<X509Ptr>;  // lives as long as the process
        const char* configured = std::getenv(X509_get_default_cert_file_env());
        BioPtr file(BIO_new_file(configured && *configured ? configured : X509_get_default_cert_file(), "r"));
        while (X509* certificate = file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr)
            certificates->emplace_back(certificate);
        ERR_clear_error();
        return certificates;
    }();
    return *bundle;
}

bool HaveSystemFolder() {
    struct stat info;
    return ::stat(SystemCertificateFolder(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A bundle the operator names beside the system's hashed folder.
bool NamedBundle() {
    const char* named = std::getenv(X509_get_default_cert_file_env());
    return named && *named;
}

// The system's roots come from its hashed folder, looked up certificate by
// certificate so that only the roots a chain needs are read; the bundle holds
// the same roots and is parsed only where there is no folder, or when a
// chain that the folder could not complete is tried again with the bundle
// the operator names.
StorePtr TrustStore(bool withBundle) {
    StorePtr store(X509_STORE_new());
    if (!store) return nullptr;
    if (HaveSystemFolder()) {
        if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir()))
            X509_LOOKUP_add_dir(lookup, SystemCertificateFolder(), X509_FILETYPE_PEM);
    } else {
        withBundle = true;
    }
    if (withBundle) {
        for (const auto& certificate : SystemBundle()) X509_STORE_add_cert(store.get(), certificate.get());
    }
    ERR_clear_error();
    LoadConfiguredRoots(store.get());
    return store;
}

struct ChainProblems {
    bool expired = false;
    bool chaining = false;
    bool badSignature = false;
    bool other = false;
};

int CollectProblem(int ok, X509_STORE_CTX* context) {
    if (ok) return 1;
    auto* problems = static_cast<ChainProblems*>(X509_STORE_CTX_get_app_data(context));
    switch (X509_STORE_CTX_get_error(context)) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:
            problems->expired = true;
            break;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_CHAIN_TOO_LONG:
            problems->chaining = true;
            break;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
            problems->badSignature = true;
            break;
        default:
            problems->other = true;
            break;
    }
    // Go on, so that every problem of the chain is seen and the verdict can
    // rank them as Windows does.
    return 1;
}

LONG VerifyChainIn(StorePtr store, X509* signer, PKCS7* message) {
    StoreCtxPtr context(X509_STORE_CTX_new());
    STACK_OF(X509)* carried = message->d.sign ? message->d.sign->cert : nullptr;
    if (!store || !context || X509_STORE_CTX_init(context.get(), store.get(), signer, carried) != 1) {
        ERR_clear_error();
        return TRUST_E_SUBJECT_NOT_TRUSTED;
    }
    ChainProblems problems;
    X509_STORE_CTX_set_app_data(context.get(), &problems);
    X509_STORE_CTX_set_verify_cb(context.get(), CollectProblem);
    int verified = X509_verify_cert(context.get());
    ERR_clear_error();
    if (problems.badSignature) return TRUST_E_CERT_SIGNATURE;
    if (problems.other || (verified != 1 && !problems.chaining && !problems.expired))
        return TRUST_E_SUBJECT_NOT_TRUSTED;
    if (problems.chaining) return CERT_E_CHAINING;
    if (problems.expired) return CERT_E_EXPIRED;
    return 0;
}

LONG VerifyChain(X509* signer, PKCS7* message) {
    // A code-signing certificate that names its uses must name code signing.
    if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) &&
        !(X509_get_extended_key_usage(signer) & (XKU_CODE_SIGN | XKU_ANYEKU)))
        return CERT_E_WRONG_USAGE;
    LONG verdict = VerifyChainIn(TrustStore(false), signer, message);
    if (verdict == CERT_E_CHAINING && HaveSystemFolder() && NamedBundle())
        verdict = VerifyChainIn(TrustStore(true), signer, message);
    return verdict;
}

LONG VerifyFile(const wchar_t* windowsPath) {
    std::string path;
    if (!zrwin::WindowsToPosixPath(windowsPath, path)) return CRYPT_E_FILE_ERROR;
    certtable::ReadOnlyFile file(path);
    uint64_t size = 0;
    if (!file.IsOpen() || !file.Size(size)) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return CRYPT_E_FILE_ERROR;
    }
    auto read = [&file](uint64_t offset, void* buffer, size_t length) { return file.ReadAt(offset, buffer, length); };
    certtable::Table table;
    switch (certtable::Parse(size, read, table)) {
        case certtable::ParseResult::ReadError:
            return CRYPT_E_FILE_ERROR;
        case certtable::ParseResult::Malformed:
            return TRUST_E_NOSIGNATURE;
        case certtable::ParseResult::Ok:
            break;
    }
    // Windows judges the first signature only.
    if (!table.present || table.entries.empty()) return TRUST_E_NOSIGNATURE;
    const certtable::Entry& first = table.entries.front();
    if (first.type != WIN_CERT_TYPE_PKCS_SIGNED_DATA ||
        (first.revision != WIN_CERT_REVISION_2_0 && first.revision != WIN_CERT_REVISION_1_0))
        return TRUST_E_NOSIGNATURE;
    std::vector<unsigned char> der(first.length - certtable::kEntryHeaderSize);
    if (!der.empty() && !file.ReadAt(first.offset + certtable::kEntryHeaderSize, der.data(), der.size()))
        return CRYPT_E_FILE_ERROR;
    Pkcs7Ptr message = DecodeSignedData(der.data(), der.size());
    if (!message) return TRUST_E_BAD_DIGEST;
    std::string signedDigest;
    if (!VerifyContent(message.get(), signedDigest)) return TRUST_E_BAD_DIGEST;
    unsigned char digest[32];
    if (!Sha256Prefix(read, table.contentSize, digest)) return CRYPT_E_FILE_ERROR;
    if (signedDigest.size() != sizeof digest || std::memcmp(signedDigest.data(), digest, sizeof digest) != 0)
        return TRUST_E_BAD_DIGEST;
    CertRefStackPtr signers = Signers(message.get());
    if (!signers || sk_X509_num(signers.get()) < 1) return TRUST_E_NO_SIGNER_CERT;
    return VerifyChain(sk_X509_value(signers.get(), 0), message.get());
}

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

}  // namespace

ZRWINAPI LONG WINAPI WinVerifyTrust(HWND, GUID* pgActionID, LPVOID pWVTData) {
    if (!pgActionID || !SameGuid(*pgActionID, kGenericVerifyV2)) return TRUST_E_ACTION_UNKNOWN;
    auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
    if (!data || data->cbStruct < offsetof(WINTRUST_DATA, dwStateAction)) return E_INVALIDARG;
    // Nothing is retained between calls, so there is no state to close.
    if (data->cbStruct >= offsetof(WINTRUST_DATA, hWVTStateData) &&
        data->dwStateAction == WTD_STATEACTION_CLOSE)
        return 0;
    if (data->dwUnionChoice != WTD_CHOICE_FILE) return TRUST_E_SUBJECT_FORM_UNKNOWN;
    const WINTRUST_FILE_INFO* info = data->pFile;
    if (!info || info->cbStruct < offsetof(WINTRUST_FILE_INFO, hFile) || !info->pcwszFilePath) return E_INVALIDARG;
    try {
        return VerifyFile(info->pcwszFilePath);
    } catch (...) {
        // Allocation failures: an export never lets an exception out.
        return E_OUTOFMEMORY;
    }
}
