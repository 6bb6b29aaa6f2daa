// The log's cipher against the published known answers (FIPS-197), and padded
// CBC against CBC chained here by hand from the checked block cipher, on the
// table code and on the processor's AES instructions.
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "LogTestUtil.h"
#include "log/AesCipher.h"

namespace {

using Bytes = std::vector<uint8_t>;
Bytes FromHex(const std::string& hex) {
    const std::string bytes = logtest::Hex(hex);
    return Bytes(bytes.begin(), bytes.end());
}

class AesCipherPath : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        AesCipher probe;
        const uint8_t key[32] = {};
        probe.Initialize(AesCipher::ECB, AesCipher::Encrypt, key, AesCipher::Key256, nullptr);
        if (GetParam() && !probe.UsesProcessorInstructions()) GTEST_SKIP() << "no AES instructions here";
        AesCipher::AllowProcessorInstructions(GetParam());
    }
    void TearDown() override { AesCipher::AllowProcessorInstructions(true); }
};

// FIPS-197 appendix C: plaintext 00112233...ff, key 000102..., per key size.
// With a zero vector the first CBC block is the block cipher's own answer.
TEST_P(AesCipherPath, MatchesTheFipsExampleVectorsForAllKeySizes) {
    const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
    const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const char* expected[] = {"69c4e0d86a7b0430d8cdb78070b4c55a", "dda97ca4864cdfe06eaf70a0ec0d7191",
                              "8ea2b7ca516745bfeafc49904b496089"};
    for (int length = AesCipher::Key128; length <= AesCipher::Key256; ++length) {
        SCOPED_TRACE(length);
        AesCipher cipher;
        ASSERT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key.data(), length, nullptr));
        EXPECT_EQ(GetParam(), cipher.UsesProcessorInstructions());
        uint8_t out[32];
        ASSERT_EQ(32, cipher.EncryptPadded(plain.data(), plain.size(), out));
        EXPECT_EQ(FromHex(expected[length]), Bytes(out, out + 16));
    }
}

// Every length up to 200 and every key size: padded CBC is the block cipher
// chained over the input and its padding (ECB, checked above through the
// first block), and decrypts back.
TEST_P(AesCipherPath, PaddedCbcIsTheChainedBlockCipher) {
    std::mt19937 random(12345);
    for (int keyLength = AesCipher::Key128; keyLength <= AesCipher::Key256; ++keyLength) {
        for (size_t length = 1; length <= 200; length += (length < 40 ? 1 : 13)) {
            SCOPED_TRACE(testing::Message() << "key size " << keyLength << ", length " << length);
            Bytes key(32), iv(16), plain(length);
            for (auto* bytes : {&key, &iv, &plain})
                for (auto& b : *bytes) b = static_cast<uint8_t>(random());
            AesCipher block, cipher, decrypt;
            block.Initialize(AesCipher::ECB, AesCipher::Encrypt, key.data(), keyLength, nullptr);
            Bytes expected = plain, chain = iv;
            expected.resize(16 * (length / 16 + 1), static_cast<uint8_t>(16 - length % 16));
            for (size_t at = 0; at < expected.size(); at += 16) {
                for (size_t i = 0; i < 16; ++i) chain[i] ^= expected[at + i];
                block.EncryptBlock(chain.data(), chain.data());
                std::memcpy(&expected[at], chain.data(), 16);
            }
            ASSERT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key.data(), keyLength, iv.data()));
            Bytes out(length + 16), back(length + 16);
            ASSERT_EQ(static_cast<int>(expected.size()), cipher.EncryptPadded(plain.data(), length, out.data()));
            out.resize(expected.size());
            EXPECT_EQ(expected, out);
            ASSERT_EQ(0, decrypt.Initialize(AesCipher::CBC, AesCipher::Decrypt, key.data(), keyLength, iv.data()));
            ASSERT_EQ(static_cast<int>(length), decrypt.DecryptPadded(out.data(), out.size(), back.data()));
            EXPECT_EQ(plain, Bytes(back.begin(), back.begin() + static_cast<long>(length)));
        }
    }
}

TEST_P(AesCipherPath, ReportsItsResultCodes) {
    const uint8_t key[32] = {1, 2, 3};
    uint8_t out[64];
    const uint8_t in[20] = {};
    AesCipher cipher;
    EXPECT_EQ(-5, cipher.EncryptPadded(in, sizeof(in), out)) << "not initialised";
    EXPECT_EQ(-1, cipher.Initialize(3, AesCipher::Encrypt, key, AesCipher::Key256, nullptr));
    EXPECT_EQ(-2, cipher.Initialize(AesCipher::CBC, 2, key, AesCipher::Key256, nullptr));
    EXPECT_EQ(-3, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key, 3, nullptr));
    EXPECT_EQ(-4, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, nullptr, AesCipher::Key256, nullptr));
    EXPECT_EQ(-5, cipher.EncryptPadded(in, sizeof(in), out)) << "a failed Initialize leaves it unusable";

    // Mode 2 is accepted by Initialize but not by EncryptPadded.
    EXPECT_EQ(0, cipher.Initialize(AesCipher::CFB, AesCipher::Encrypt, key, AesCipher::Key256, nullptr));
    EXPECT_EQ(-1, cipher.EncryptPadded(in, sizeof(in), out));

    EXPECT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Decrypt, key, AesCipher::Key256, nullptr));
    EXPECT_EQ(-5, cipher.EncryptPadded(in, sizeof(in), out)) << "initialised for decryption";

    EXPECT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key, AesCipher::Key256, nullptr));
    EXPECT_EQ(0, cipher.EncryptPadded(in, 0, out)) << "empty input";
    EXPECT_EQ(16, cipher.EncryptPadded(in, 14, out)) << "7 UTF-16 units: one block";
    EXPECT_EQ(32, cipher.EncryptPadded(in, 16, out)) << "8 UTF-16 units: a whole padding block";
}

TEST_P(AesCipherPath, DecryptionRejectsDamagedInput) {
    const uint8_t key[32] = {9}, iv[16] = {7};
    uint8_t plain[40], out[64], back[64];
    for (int i = 0; i < 40; ++i) plain[i] = static_cast<uint8_t>(i);
    AesCipher cipher, decrypt;
    ASSERT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key, AesCipher::Key256, iv));
    ASSERT_EQ(48, cipher.EncryptPadded(plain, sizeof(plain), out));

    ASSERT_EQ(0, decrypt.Initialize(AesCipher::CBC, AesCipher::Decrypt, key, AesCipher::Key256, iv));
    EXPECT_EQ(-6, decrypt.DecryptPadded(out, 47, back)) << "not whole blocks";
    out[47] ^= 0x5a;
    EXPECT_EQ(-7, decrypt.DecryptPadded(out, 48, back)) << "padding destroyed";
}

INSTANTIATE_TEST_SUITE_P(BothPaths, AesCipherPath, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Processor" : "Tables"; });

}  // namespace
