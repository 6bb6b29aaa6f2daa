// WinVerifyTrust over modules signed at test time: each verdict Windows gives.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "TrustFixture.h"
#include "platform/platform.h"

namespace {

using trusttest::TrustTest;
namespace pki = zrtest::pki;

LONG Verify(const std::string& path, DWORD unionChoice = WTD_CHOICE_FILE,
            GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2) {
    std::wstring wide(path.begin(), path.end());
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = unionChoice;
    data.pFile = &file;
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

TEST_F(TrustTest, EachSignerGetsItsVerdict) {
    const struct {
        const char* file;
        const pki::Identity& signer;
        bool withIntermediate;
        LONG verdict;
    } cases[] = {
        {"module.dll", Pki().signer, true, 0},
        {"expired.dll", Pki().expired, true, CERT_E_EXPIRED},
        {"server.dll", Pki().serverOnly, true, CERT_E_WRONG_USAGE},  // no code-signing use
        // Chains that do not reach a trusted root: an untrusted root, or the intermediate missing.
        {"stranger.dll", Pki().strangerSigner, false, CERT_E_CHAINING},
        {"nointermediate.dll", Pki().signer, false, CERT_E_CHAINING},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Verify(SignedModule(c.file, c.signer, c.withIntermediate)), c.verdict) << c.file;
    // The same file reached through its absolute path.
    EXPECT_EQ(Verify(dir_.File("module.dll")), 0);
    // An untrusted self-signed root carried in the signature.
    ASSERT_TRUE(pki::WriteModuleFile("carried.dll"));
    ASSERT_TRUE(pki::SignFile("carried.dll", Pki().strangerSigner, {Pki().strangerRoot}));
    EXPECT_EQ(Verify("carried.dll"), CERT_E_CHAINING);
}

TEST_F(TrustTest, UnsignedOrDamagedTablesHaveNoSignature) {
    ASSERT_TRUE(pki::WriteModuleFile("plain.dll"));
    EXPECT_EQ(Verify("plain.dll"), TRUST_E_NOSIGNATURE);

    // Bytes appended after signing hide the table's trailer.
    WriteAll("appended.dll", ReadAll(SignedModule("appended.dll", Pki().signer)) + "tail");
    EXPECT_EQ(Verify("appended.dll"), TRUST_E_NOSIGNATURE);

    // A trailer that claims a table larger than the file.
    std::string cut = ReadAll(SignedModule("cut.dll", Pki().signer));
    WriteAll("cut.dll", cut.substr(cut.size() - 40));
    EXPECT_EQ(Verify("cut.dll"), TRUST_E_NOSIGNATURE);

    // An entry that is not a PKCS#7 signature.
    std::string bytes = ReadAll(SignedModule("type.dll", Pki().signer));
    size_t tableSize = size_t(uint8_t(bytes[bytes.size() - 8])) | size_t(uint8_t(bytes[bytes.size() - 7])) << 8;
    bytes[bytes.size() - 16 - tableSize + 6] = 0x01;  // wCertificateType X509
    WriteAll("type.dll", bytes);
    EXPECT_EQ(Verify("type.dll"), TRUST_E_NOSIGNATURE);
}

TEST_F(TrustTest, ChangesAfterSigningBreakTheDigest) {
    std::string bytes = ReadAll(SignedModule("module.dll", Pki().signer));
    bytes[100] ^= 0x01;
    WriteAll("module.dll", bytes);
    EXPECT_EQ(Verify("module.dll"), TRUST_E_BAD_DIGEST);

    // A damaged signed message.
    bytes = ReadAll(SignedModule("message.dll", Pki().signer));
    bytes[bytes.size() - 40] ^= 0x55;
    WriteAll("message.dll", bytes);
    EXPECT_EQ(Verify("message.dll"), TRUST_E_BAD_DIGEST);
}

TEST_F(TrustTest, TrustedRootsComeFromFileOrFolderOfTheEnvironment) {
    SignedModule("module.dll", Pki().signer);
    unsetenv("ZRWIN_TRUST_ROOTS");
    EXPECT_EQ(Verify("module.dll"), CERT_E_CHAINING);

    ASSERT_EQ(mkdir("roots", 0700), 0);
    WriteAll("roots/readme.txt", "not a certificate\n");
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().strangerRoot, "roots/a.pem"));
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().root, "roots/b.pem"));
    setenv("ZRWIN_TRUST_ROOTS", dir_.File("roots").c_str(), 1);
    EXPECT_EQ(Verify("module.dll"), 0);
}

TEST_F(TrustTest, SystemStoreFolderIsConsulted) {
    // The system's hashed certificate folder, moved aside through OpenSSL's
    // own environment variable.
    SignedModule("module.dll", Pki().signer);
    unsetenv("ZRWIN_TRUST_ROOTS");
    ASSERT_EQ(mkdir("system", 0700), 0);
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "system/%08lx.0", X509_subject_name_hash(Pki().root.certificate.get()));
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().root, hashed));
    setenv("SSL_CERT_DIR", dir_.File("system").c_str(), 1);
    EXPECT_EQ(Verify("module.dll"), 0);
    unsetenv("SSL_CERT_DIR");
    EXPECT_EQ(Verify("module.dll"), CERT_E_CHAINING);
}

TEST_F(TrustTest, ConcurrentVerificationsShareNothingThatChangesTheirVerdict) {
    SignedModule("module.dll", Pki().signer);
    SignedModule("expired.dll", Pki().expired);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 5; ++i) {
                if (Verify("module.dll") != 0) ++wrong;
                if (Verify("expired.dll") != CERT_E_EXPIRED) ++wrong;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(TrustTest, OnlyTheFirstSignatureCounts) {
    SignedModule("trusted-first.dll", Pki().signer);
    ASSERT_TRUE(pki::SignFile("trusted-first.dll", Pki().strangerSigner));
    EXPECT_EQ(Verify("trusted-first.dll"), 0);

    SignedModule("stranger-first.dll", Pki().strangerSigner, false);
    ASSERT_TRUE(pki::SignFile("stranger-first.dll", Pki().signer, {Pki().intermediate}));
    EXPECT_EQ(Verify("stranger-first.dll"), CERT_E_CHAINING);

    // Replacing drops the earlier entries.
    ASSERT_TRUE(pki::SignFile("stranger-first.dll", Pki().signer, {Pki().intermediate}, true));
    EXPECT_EQ(Verify("stranger-first.dll"), 0);
}

TEST_F(TrustTest, RequestsItCannotServeGetWindowsCodes) {
    SignedModule("module.dll", Pki().signer);
    EXPECT_EQ(Verify("module.dll", WTD_CHOICE_FILE, {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}}),
              TRUST_E_ACTION_UNKNOWN);
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    EXPECT_EQ(WinVerifyTrust(nullptr, &action, nullptr), E_INVALIDARG);
    EXPECT_EQ(Verify("module.dll", WTD_CHOICE_CATALOG), TRUST_E_SUBJECT_FORM_UNKNOWN);
    EXPECT_EQ(Verify("missing.dll"), CRYPT_E_FILE_ERROR);
}

TEST(TrustExports, BoundByNameAsTheHostBindsThem) {
    const std::pair<const char*, std::vector<const char*>> expected[] = {
        {"Wintrust.dll", {"WinVerifyTrust"}},
        {"Crypt32.dll",
         {"CertFreeCertificateContext", "CertGetNameStringA", "CryptVerifyMessageSignature", "CryptHashMessage"}},
        {"Imagehlp", {"ImageEnumerateCertificates", "ImageGetCertificateHeader", "ImageGetCertificateData"}},
    };
    for (const auto& [library, names] : expected) {
        HMODULE module = LoadLibraryA(library);
        ASSERT_NE(module, nullptr) << library;
        for (const char* name : names) EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
        EXPECT_TRUE(FreeLibrary(module));
    }
}

}  // namespace
