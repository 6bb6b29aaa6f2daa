// The CryptoAPI hash service against known vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SystemTestSupport.h"

namespace {

using systemtest::Digest;
using zrtest::FailsWith;
using systemtest::Hex;

TEST(CryptoApi, KnownVectors) {
    // The log seal's MD5, from the full RSA provider.
    EXPECT_EQ(Digest(CALG_MD5, ""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest(CALG_MD5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(CryptoApi, ParametersSizeQueriesAndFinishedState) {
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                     CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    auto add = [&](const char* text) {
        return CryptHashData(hash, reinterpret_cast<const BYTE*>(text), (DWORD)std::strlen(text), 0);
    };
    auto param = [&](DWORD kind, void* out, DWORD size, DWORD* length) {
        *length = size;
        return CryptGetHashParam(hash, kind, static_cast<BYTE*>(out), length, 0);
    };
    // Data in pieces hashes as one.
    ASSERT_TRUE(add("a"));
    ASSERT_TRUE(add("bc"));
    DWORD value32 = 0, length = 0;
    ASSERT_TRUE(param(HP_ALGID, &value32, sizeof value32, &length));
    EXPECT_EQ(value32, (DWORD)CALG_MD5);
    ASSERT_TRUE(param(HP_HASHSIZE, &value32, sizeof value32, &length));
    EXPECT_EQ(value32, 16u);
    ASSERT_TRUE(param(HP_HASHVAL, nullptr, 0, &length));
    EXPECT_EQ(length, 16u);
    BYTE value[16];
    EXPECT_FAILS_WITH(param(HP_HASHVAL, value, 8, &length), FALSE, ERROR_MORE_DATA);
    EXPECT_EQ(length, 16u);
    // Neither query finished the hash.
    ASSERT_TRUE(add(""));

    // Reading the value finishes it; the value can be read again.
    for (int read = 0; read < 2; ++read) {
        ASSERT_TRUE(param(HP_HASHVAL, value, sizeof value, &length));
        EXPECT_EQ(Hex(value, length), "900150983cd24fb0d6963f7d28e17f72");
        EXPECT_FAILS_WITH(add("x"), FALSE, NTE_BAD_HASH_STATE);
    }
    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_FAILS_WITH(CryptDestroyHash(hash), FALSE, NTE_BAD_HASH);
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
}

TEST(CryptoApi, RefusedArguments) {
    HCRYPTPROV provider = 0;
    // Out of the range 1 to 999, or in it with no provider behind the type.
    for (DWORD type : {0u, 1000u})
        EXPECT_FAILS_WITH(CryptAcquireContextA(&provider, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT),
                          FALSE, NTE_BAD_PROV_TYPE) << type;
    EXPECT_FAILS_WITH(CryptAcquireContextA(&provider, nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT),
                      FALSE, NTE_PROV_TYPE_NOT_DEF);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&provider, "container", nullptr, PROV_RSA_FULL, 0), FALSE, NTE_BAD_KEYSET);
    ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    const ALG_ID aesKey = 0x6610;
    EXPECT_FAILS_WITH(CryptCreateHash(provider, aesKey, 0, 0, &hash), FALSE, NTE_BAD_ALGID);
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    DWORD length = 4;
    BYTE data[4];
    EXPECT_FAILS_WITH(CryptGetHashParam(hash, 0x77, data, &length, 0), FALSE, NTE_BAD_TYPE);
    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
}

TEST(CryptoApi, ReleasedProviderIsRefused) {
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptReleaseContext(provider, 0));
    HCRYPTHASH hash = 0;
    EXPECT_FAILS_WITH(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash), FALSE, NTE_BAD_UID);
}

}  // namespace
