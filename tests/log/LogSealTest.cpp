#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogTestUtil.h"
#include "log/AesCipher.h"
#include "log/LogConfig.h"
#include "log/LogSeal.h"

namespace {

const char kTimestamp[] = "Sat Dec 05 15:54:04 2026";
const char kFileName[] = "kvlzrmodproc.log";

// UTF-16LE of Windows-1252 text restricted to ASCII and Latin-1 letters.
std::string Utf16OfLatin1(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += {static_cast<char>(c), '\0'};
    return out;
}

std::string Md5Of(const std::string& bytes) { return Md5Hex(bytes.data(), bytes.size()); }

// RFC 1321's test suite, the one place the built-in MD5 meets published
// vectors (the hash service's tests check its block boundaries against it).
TEST(LogSeal, Md5HexIsLowerCaseMd5) {
    const struct { const char* text; const char* md5; } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890", "57edf4a22be3c955ac49da2e2107b67a"},  // two blocks
    };
    for (const auto& c : cases) EXPECT_EQ(c.md5, Md5Of(c.text)) << c.text;
    EXPECT_EQ(Md5Of("line\r\n" + Md5Of("abc")), ComputeChainHash("line\r\n", Md5Of("abc")));
    EXPECT_EQ(Md5Of("line\r\n"), ComputeChainHash("line\r\n", ""));
}

// An independent reader rebuilds the key from the record's hash, time stamp
// and file name and gets the line back with the plain cipher.
TEST(LogSeal, RecordsOpenWithTheDocumentedKeyDerivation) {
    const std::string previous = Md5Of("earlier");
    const std::string line = std::string("\x11\x22\x33\xE9", 4) + "[0008.1234] caf\xE9 message\r\n";
    std::string payload;
    ASSERT_TRUE(SealLogRecord(line, kTimestamp, previous.c_str(), kFileName, payload));

    const std::string chainHash = payload.substr(payload.size() - 32);
    EXPECT_EQ(Md5Of(line.substr(4) + previous), chainHash) << "salt excluded, previous hash appended";
    const std::string key = Md5Of(Utf16OfLatin1(chainHash + kTimestamp + kFileName));
    const std::string cipherHex = payload.substr(0, payload.size() - 32);
    EXPECT_EQ(std::string::npos, cipherHex.find_first_not_of("0123456789ABCDEF")) << "upper-case ciphertext";
    const std::string cipherText = logtest::Hex(cipherHex);
    AesCipher cipher;
    ASSERT_EQ(0, cipher.Initialize(AesCipher::CBC, AesCipher::Decrypt, reinterpret_cast<const uint8_t*>(key.data()),
                                   AesCipher::Key256, nullptr));
    std::string plain(cipherText.size(), '\0');
    const int n = cipher.DecryptPadded(reinterpret_cast<const uint8_t*>(cipherText.data()), cipherText.size(),
                                       reinterpret_cast<uint8_t*>(plain.data()));
    ASSERT_GT(n, 0);
    EXPECT_EQ(Utf16OfLatin1(line), plain.substr(0, static_cast<size_t>(n)));
}

TEST(LogSeal, KeyDependsOnTimeStampAndFileName) {
    const std::string line = "SALT[0001.0002] same text\r\n";
    std::string a, b, c;
    ASSERT_TRUE(SealLogRecord(line, kTimestamp, "", kFileName, a));
    ASSERT_TRUE(SealLogRecord(line, "Sat Dec 05 15:54:05 2026", "", kFileName, b));
    ASSERT_TRUE(SealLogRecord(line, kTimestamp, "", "other.log", c));
    EXPECT_EQ(a.substr(a.size() - 32), b.substr(b.size() - 32)) << "same chain hash";
    EXPECT_NE(a.substr(0, a.size() - 32), b.substr(0, b.size() - 32));
    EXPECT_NE(a.substr(0, a.size() - 32), c.substr(0, c.size() - 32));

    // The whole record as the facility writes it (the reader's tests open it).
    std::string text = line, empty;
    ASSERT_TRUE(ProcessDataFinal(kTimestamp, text, "", kFileName));
    EXPECT_EQ(std::string(kTimestamp) + " " + a + "\r\n", text);
    EXPECT_FALSE(ProcessDataFinal(kTimestamp, empty, "", kFileName)) << "nothing to seal";
    EXPECT_FALSE(SealLogRecord("", kTimestamp, "", kFileName, empty));
    EXPECT_TRUE(empty.empty());
}

}  // namespace
