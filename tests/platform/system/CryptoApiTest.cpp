// The CryptoAPI hash service against known vectors.
#include <gtest/gtest.h>

#include <string>

#include "zrwin/windows.h"

namespace {

std::string Hex(const BYTE* data, DWORD length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (DWORD i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

class Provider {
public:
    Provider() { ok_ = CryptAcquireContextA(&handle_, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT); }
    ~Provider() {
        if (ok_) CryptReleaseContext(handle_, 0);
    }
    bool ok() const { return ok_; }
    HCRYPTPROV get() const { return handle_; }

private:
    HCRYPTPROV handle_ = 0;
    BOOL ok_ = FALSE;
};

std::string Digest(ALG_ID algorithm, const std::string& text) {
    Provider provider;
    if (!provider.ok()) return "no provider";
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider.get(), algorithm, 0, 0, &hash)) return "no hash";
    std::string result = "hash data failed";
    if (CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), (DWORD)text.size(), 0)) {
        BYTE value[64];
        DWORD length = sizeof value;
        result = CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0) ? Hex(value, length) : "no value";
    }
    CryptDestroyHash(hash);
    return result;
}

TEST(CryptoApi, KnownVectors) {
    EXPECT_EQ(Digest(CALG_MD5, ""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest(CALG_MD5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest(CALG_SHA1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Digest(CALG_SHA_256, ""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest(CALG_SHA_256, "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CryptoApi, ParametersSizeQueriesAndFinishedState) {
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES,
                                     CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    // Data in pieces hashes as one.
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("a"), 1, 0));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("bc"), 2, 0));

    DWORD value32 = 0, length = sizeof value32;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&value32), &length, 0));
    EXPECT_EQ(value32, (DWORD)CALG_MD5);
    length = sizeof value32;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value32), &length, 0));
    EXPECT_EQ(value32, 16u);

    length = 0;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &length, 0));
    EXPECT_EQ(length, 16u);
    BYTE small[8];
    length = sizeof small;
    SetLastError(0);
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, small, &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(length, 16u);
    // Neither query finished the hash.
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(""), 0, 0));

    BYTE value[16];
    length = sizeof value;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0));
    EXPECT_EQ(Hex(value, length), "900150983cd24fb0d6963f7d28e17f72");
    SetLastError(0);
    EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH_STATE);
    // The value can be read again.
    length = sizeof value;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0));
    EXPECT_EQ(Hex(value, length), "900150983cd24fb0d6963f7d28e17f72");

    EXPECT_TRUE(CryptDestroyHash(hash));
    SetLastError(0);
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
}

TEST(CryptoApi, RefusedArguments) {
    HCRYPTPROV provider = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(&provider, nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_PROV_TYPE);
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireContextA(&provider, "container", nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);

    ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptCreateHash(provider, 0x6610 /* an AES key algorithm */, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
    ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
    DWORD length = 4;
    BYTE data[4];
    SetLastError(0);
    EXPECT_FALSE(CryptGetHashParam(hash, 0x77, data, &length, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_TYPE);
    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
    SetLastError(0);
    EXPECT_FALSE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);
}

}  // namespace
