// CryptoAPI hash service: the MD5 the log seal uses, built in. There are no
// key containers: only the verify-context provider a hash-only user asks for.
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "advapi32/md5.h"
#include "core/status.h"
#include "zrwin/crypt.h"
#include "zrwin/sync.h"

namespace {

struct Provider {
    DWORD type;
};

struct Hash {
    ALG_ID algorithm = 0;
    zrwin::Md5 md5;
    bool finished = false;
    unsigned char value[zrwin::Md5::kSize] = {};
};

// Live objects, so a stale or foreign handle is refused instead of used.
struct Objects {
    std::mutex lock;
    std::set<Provider*> providers;
    std::set<Hash*> hashes;
};

Objects& TheObjects() {
    static Objects* objects = new Objects;  // handles may outlive static destruction order
    return *objects;
}

// Finds a live hash; the caller holds the lock while using it, because two
// threads using one hash object is the caller's race on Windows too.
Hash* FindHash(Objects& objects, HCRYPTHASH handle) {
    auto* hash = reinterpret_cast<Hash*>(handle);
    return objects.hashes.count(hash) ? hash : nullptr;
}

}  // namespace

ZRWINAPI BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* provider, LPCSTR container, LPCSTR providerName,
                                         DWORD providerType, DWORD flags) {
    (void)providerName;
    if (!provider) return zrwin::FailWithError(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), FALSE);
    *provider = 0;
    // Types run from 1 to 999; one in range that no provider here serves is
    // "not defined", as for a type without a registered provider.
    if (providerType == 0 || providerType > 999) return zrwin::FailWithError(NTE_BAD_PROV_TYPE, FALSE);
    // The log seal's MD5 is all the product hashes, from the full RSA provider.
    if (providerType != PROV_RSA_FULL)
        return zrwin::FailWithError(NTE_PROV_TYPE_NOT_DEF, FALSE);
    const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT | 0x10;
    if (flags & ~known) return zrwin::FailWithError(NTE_BAD_FLAGS, FALSE);
    if ((flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) {
        // No persistent key containers exist here.
        return zrwin::FailWithError(NTE_BAD_KEYSET, FALSE);
    }
    if ((container && *container) || (flags & CRYPT_NEWKEYSET)) return zrwin::FailWithError(NTE_BAD_FLAGS, FALSE);
    auto* created = new (std::nothrow) Provider{providerType};
    if (!created) return zrwin::FailWithError(NTE_NO_MEMORY, FALSE);
    auto& objects = TheObjects();
    std::lock_guard<std::mutex> guard(objects.lock);
    objects.providers.insert(created);
    *provider = reinterpret_cast<HCRYPTPROV>(created);
    return TRUE;
}

ZRWINAPI BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    auto& objects = TheObjects();
    std::lock_guard<std::mutex> guard(objects.lock);
    auto* found = reinterpret_cast<Provider*>(provider);
    if (!objects.providers.count(found)) return zrwin::FailWithError(NTE_BAD_UID, FALSE);
    if (flags) return zrwin::FailWithError(NTE_BAD_FLAGS, FALSE);
    objects.providers.erase(found);
    delete found;
    return TRUE;
}

ZRWINAPI BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                                    HCRYPTHASH* hash) {
    if (!hash) return zrwin::FailWithError(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), FALSE);
    *hash = 0;
    {
        auto& objects = TheObjects();
        std::lock_guard<std::mutex> guard(objects.lock);
        if (!objects.providers.count(reinterpret_cast<Provider*>(provider)))
            return zrwin::FailWithError(NTE_BAD_UID, FALSE);
    }
    if (flags) return zrwin::FailWithError(NTE_BAD_FLAGS, FALSE);
    if (algorithm != CALG_MD5) return zrwin::FailWithError(NTE_BAD_ALGID, FALSE);
    if (key) return zrwin::FailWithError(NTE_BAD_KEY, FALSE);
    std::unique_ptr<Hash> created(new (std::nothrow) Hash);
    if (!created) return zrwin::FailWithError(NTE_NO_MEMORY, FALSE);
    created->algorithm = algorithm;
    auto& objects = TheObjects();
    std::lock_guard<std::mutex> guard(objects.lock);
    objects.hashes.insert(created.get());
    *hash = reinterpret_cast<HCRYPTHASH>(created.release());
    return TRUE;
}

ZRWINAPI BOOL WINAPI CryptHashData(HCRYPTHASH handle, const BYTE* data, DWORD length, DWORD flags) {
    auto& objects = TheObjects();
    std::lock_guard<std::mutex> guard(objects.lock);
    Hash* hash = FindHash(objects, handle);
    if (!hash) return zrwin::FailWithError(NTE_BAD_HASH, FALSE);
    if (flags) return zrwin::FailWithError(NTE_BAD_FLAGS, FALSE);
    if (hash->finished) return zrwin::FailWithError(NTE_BAD_HASH_STATE, FALSE);
    if (length && !data) return zrwin::FailWithError(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), FALSE);
    if (!length) return TRUE;
    hash->md5.Update(data, length);
    return TRUE;
}

ZRWINAPI BOOL WINAPI CryptGetHashParam(HCRYPTHASH handle, DWORD param, BYTE* data, DWORD* length, DWORD flags) {
    auto& objects = TheObjects();
    std::lock_guard<std::mutex> guard(objects.lock);
    Hash* hash = FindHash(objects, handle);
    if (!hash) return zrwin::FailWithError(NTE_BAD_HASH, FALSE);
    if (!length) return zrwin::FailWithError(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), FALSE);
    if (flags) return zrwin::FailWithError(NTE_BAD_FLAGS, FALSE);
    DWORD value32 = 0;
    const BYTE* source = nullptr;
    DWORD size = 0;
    switch (param) {
        case HP_ALGID:
            value32 = hash->algorithm;
            source = reinterpret_cast<const BYTE*>(&value32);
            size = sizeof value32;
            break;
        case HP_HASHSIZE:
            value32 = zrwin::Md5::kSize;
            source = reinterpret_cast<const BYTE*>(&value32);
            size = sizeof value32;
            break;
        case HP_HASHVAL:
            size = zrwin::Md5::kSize;
            if (data && *length >= size && !hash->finished) {
                hash->md5.Final(hash->value);
                hash->finished = true;
            }
            source = hash->value;
            break;
        default:
            return zrwin::FailWithError(NTE_BAD_TYPE, FALSE);
    }
    if (!data) {
        *length = size;
        return TRUE;
    }
    if (*length < size) {
        *length = size;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(data, source, size);
    *length = size;
    return TRUE;
}

ZRWINAPI BOOL WINAPI CryptDestroyHash(HCRYPTHASH handle) {
    auto& objects = TheObjects();
    std::unique_ptr<Hash> owned;
    {
        std::lock_guard<std::mutex> guard(objects.lock);
        Hash* hash = FindHash(objects, handle);
        if (!hash) return zrwin::FailWithError(NTE_BAD_HASH, FALSE);
        objects.hashes.erase(hash);
        owned.reset(hash);
    }
    return TRUE;
}
