#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "OpenSslReference.h"
#include "log/AesCipher.h"

namespace {

using logtest::FromHex;

// Every case runs on the table code and, where the processor has them, on
// its AES instructions.
class AesCipherPath : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        AesCipher probe;
        const uint8_t key[32] = {};
        AesCipher::AllowProcessorInstructions(true);
        probe.Initialize(AesCipher::ECB, AesCipher::Encrypt, key, AesCipher::Key256, nullptr);
        if (GetParam() && !probe.UsesProcessorInstructions()) GTEST_SKIP() << "no AES instructions here";
        AesCipher::AllowProcessorInstructions(GetParam());
    }
    void TearDown() override { AesCipher::AllowProcessorInstructions(true); }
};

std::string PathName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "Processor" : "Tables"; }

// FIPS-197 appendix C: plaintext 00112233...ff, key 000102..., per key size.
TEST_P(AesCipherPath, MatchesTheFipsExampleVectorsForAllKeySizes) {
    const std::vector<uint8_t> plain = FromHex("00112233445566778899aabbccddeeff");
    const std::vector<uint8_t> key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const char* expected[] = {"69c4e0d86a7b0430d8cdb78070b4c55a", "dda97ca4864cdfe06eaf70a0ec0d7191",
                              "8ea2b7ca516745bfeafc49904b496089"};
    for (int length = AesCipher::Key128; length <= AesCipher::Key256; ++length) {
        SCOPED_TRACE(length);
        AesCipher cipher;
        ASSERT_EQ(0, cipher.Initialize(AesCipher::ECB, AesCipher::Encrypt, key.data(), length, nullptr));
        uint8_t out[32];
        // Padded ECB: the first block is the plain block cipher, the second a
        // whole block of padding encrypted on its own.
        ASSERT_EQ(32, cipher.EncryptPadded(plain.data(), plain.size(), out));
        EXPECT_EQ(FromHex(expected[length]), std::vector<uint8_t>(out, out + 16));
        std::vector<uint8_t> padding(16, 16), paddingOut(16);
        cipher.EncryptBlock(padding.data(), paddingOut.data());
        EXPECT_EQ(paddingOut, std::vector<uint8_t>(out + 16, out + 32));

        AesCipher decrypt;
        ASSERT_EQ(0, decrypt.Initialize(AesCipher::ECB, AesCipher::Decrypt, key.data(), length, nullptr));
        uint8_t back[32];
        ASSERT_EQ(16, decrypt.DecryptPadded(out, 32, back));
        EXPECT_EQ(plain, std::vector<uint8_t>(back, back + 16));
    }
}

TEST_P(AesCipherPath, CbcEqualsOpenSslOnRandomInputs) {
    std::mt19937 random(12345);
    for (size_t length = 1; length <= 200; length += (length < 40 ? 1 : 13)) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> key(32), plain(length);
        for (auto& b : key) b = static_cast<uint8_t>(random());
        for (auto& b : plain) b = static_cast<uint8_t>(random());
        AesCipher cipher;
        ASSERT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key.data(), AesCipher::Key256, nullptr));
        std::vector<uint8_t> out(length + 16);
        const int n = cipher.EncryptPadded(plain.data(), plain.size(), out.data());
        ASSERT_EQ(static_cast<int>(16 * (length / 16 + 1)), n);
        out.resize(static_cast<size_t>(n));
        EXPECT_EQ(logtest::OpenSslCbc256(true, key.data(), plain), out);

        AesCipher decrypt;
        ASSERT_EQ(0, decrypt.Initialize(AesCipher::CBC, AesCipher::Decrypt, key.data(), AesCipher::Key256, nullptr));
        std::vector<uint8_t> back(out.size());
        ASSERT_EQ(static_cast<int>(length), decrypt.DecryptPadded(out.data(), out.size(), back.data()));
        back.resize(length);
        EXPECT_EQ(plain, back);
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
    const uint8_t key[32] = {9};
    const uint8_t iv[16] = {7};
    uint8_t plain[40];
    for (int i = 0; i < 40; ++i) plain[i] = static_cast<uint8_t>(i);
    uint8_t out[64], back[64];
    AesCipher cipher;
    ASSERT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key, AesCipher::Key256, iv));
    ASSERT_EQ(48, cipher.EncryptPadded(plain, sizeof(plain), out));

    AesCipher decrypt;
    ASSERT_EQ(0, decrypt.Initialize(AesCipher::CBC, AesCipher::Decrypt, key, AesCipher::Key256, iv));
    EXPECT_EQ(-6, decrypt.DecryptPadded(out, 47, back)) << "not whole blocks";
    EXPECT_EQ(40, decrypt.DecryptPadded(out, 48, back));
    out[47] ^= 0x5a;
    EXPECT_EQ(-7, decrypt.DecryptPadded(out, 48, back)) << "padding destroyed";

    AesCipher zeroVector;
    ASSERT_EQ(0, zeroVector.Initialize(AesCipher::CBC, AesCipher::Decrypt, key, AesCipher::Key256, nullptr));
    out[47] ^= 0x5a;
    const int n = zeroVector.DecryptPadded(out, 48, back);
    // A different vector only changes the first block.
    ASSERT_EQ(40, n);
    EXPECT_NE(0, std::memcmp(plain, back, 16));
    EXPECT_EQ(0, std::memcmp(plain + 16, back + 16, 24));
}

INSTANTIATE_TEST_SUITE_P(BothPaths, AesCipherPath, ::testing::Bool(), PathName);

// What one path makes of random inputs: each key size and mode, encrypted and
// decrypted again.
std::vector<std::vector<uint8_t>> RunPath(bool processor, bool& used) {
    AesCipher::AllowProcessorInstructions(processor);
    std::mt19937 random(777);
    std::vector<std::vector<uint8_t>> results;
    used = false;
    for (int length = AesCipher::Key128; length <= AesCipher::Key256; ++length) {
        for (int mode : {AesCipher::ECB, AesCipher::CBC}) {
            for (size_t size : {size_t(1), size_t(16), size_t(47), size_t(430)}) {
                std::vector<uint8_t> key(32), iv(16), plain(size);
                for (auto& b : key) b = static_cast<uint8_t>(random());
                for (auto& b : iv) b = static_cast<uint8_t>(random());
                for (auto& b : plain) b = static_cast<uint8_t>(random());
                AesCipher cipher, decipher;
                cipher.Initialize(mode, AesCipher::Encrypt, key.data(), length, iv.data());
                decipher.Initialize(mode, AesCipher::Decrypt, key.data(), length, iv.data());
                used = cipher.UsesProcessorInstructions();
                std::vector<uint8_t> out(size + 16), back(size + 16);
                out.resize(static_cast<size_t>(cipher.EncryptPadded(plain.data(), size, out.data())));
                back.resize(static_cast<size_t>(std::max(0, decipher.DecryptPadded(out.data(), out.size(), back.data()))));
                results.push_back(out);
                results.push_back(back == plain ? std::vector<uint8_t>{1} : std::vector<uint8_t>{0});
            }
        }
    }
    AesCipher::AllowProcessorInstructions(true);
    return results;
}

TEST(AesCipher, ProcessorAndTablePathsAgreeForEveryKeySizeAndMode) {
    bool usedTables = true, usedProcessor = false;
    const auto tables = RunPath(false, usedTables);
    const auto processor = RunPath(true, usedProcessor);
    EXPECT_FALSE(usedTables);
    if (!usedProcessor) GTEST_SKIP() << "no AES instructions here";
    ASSERT_EQ(tables.size(), processor.size());
    for (size_t i = 0; i < tables.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tables[i], processor[i]);
        if (i % 2 == 1) {
            EXPECT_EQ(std::vector<uint8_t>{1}, tables[i]) << "round trip";
        }
    }
}

}  // namespace
