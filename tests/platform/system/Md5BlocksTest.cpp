// MD5 across its block and padding boundaries, whole and fed in pieces: the
// digest every sealed log record is chained with.
#include <gtest/gtest.h>

#include <string>

#include "SystemTestSupport.h"

namespace {

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
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},  // padding fits the block
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},  // padding needs a second block
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {c.text.size(), size_t{1}, size_t{7}, size_t{63}}) {
            SCOPED_TRACE(std::to_string(c.text.size()) + " bytes in pieces of " + std::to_string(piece));
            EXPECT_EQ(Md5InPieces(c.text, piece), c.md5);
        }
    }
}

}  // namespace
