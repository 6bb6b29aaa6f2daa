// Helpers shared by the system tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/FailsWith.h"

namespace systemtest {

// "/a/b" in the Windows form of the default drive table.
inline std::wstring WindowsPath(const std::string& posixPath) {
    std::wstring wide = L"C:" + std::wstring(posixPath.begin(), posixPath.end());
    for (auto& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

inline std::string Hex(const BYTE* data, DWORD length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < length; ++i) out += {digits[data[i] >> 4], digits[data[i] & 15]};
    return out;
}

// The hex digest of `text` from a fresh provider and hash.
inline std::string Digest(ALG_ID algorithm, const std::string& text, DWORD providerType = PROV_RSA_FULL) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE value[64];
    DWORD length = sizeof value;
    bool ok = CryptAcquireContextA(&provider, nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT) &&
              CryptCreateHash(provider, algorithm, 0, 0, &hash) &&
              CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), (DWORD)text.size(), 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0);
    EXPECT_TRUE(!hash || CryptDestroyHash(hash));
    EXPECT_TRUE(!provider || CryptReleaseContext(provider, 0));
    return ok ? Hex(value, length) : "<failed>";
}

}  // namespace systemtest
