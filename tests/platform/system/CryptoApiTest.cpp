// The CryptoAPI hash service: MD5 across its block and padding boundaries,
// whole and fed in pieces, its parameters, states and refusals (the short
// MD5 vectors are the log seal's test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SystemTestSupport.h"

namespace {

using zrtest::FailsWith;
using systemtest::Hex;

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

std::string Md5InPieces(const std::string& text, size_t piece) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return "<failed>";
    std::string result = "<failed>";
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        bool ok = true;
        for (size_t at = 0; ok && at < text.size(); at += piece) {
            const std::string part = text.substr(at, piece);
            ok = CryptHashData(hash, reinterpret_cast<const BYTE*>(part.data()), static_cast<DWORD>(part.size()), 0);
        }
        BYTE value[16];
        DWORD size = sizeof value;
        if (ok && CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0)) result = systemtest::Hex(value, size);
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return result;
}

TEST(Md5Blocks, KnownDigestsAtEveryBoundaryWholeAndInPieces) {
    struct Case {
        std::string text;
        const char* md5;
    };
    const Case cases[] = {
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},  // padding fits the block
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},  // padding needs a second block
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {c.text.size(), size_t{1}, size_t{7}, size_t{63}}) {
            SCOPED_TRACE(std::to_string(c.text.size()) + " bytes in pieces of " + std::to_string(piece));
            EXPECT_EQ(Md5InPieces(c.text, piece), c.md5);
        }
    }
}

}  // namespace
