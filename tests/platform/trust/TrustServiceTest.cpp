// WinVerifyTrust over modules signed at test time: each verdict Windows gives.
// The verdicts the host acts on (a good, expired, untrusted, altered or
// unsigned module) are the signature check's tests; here, the others.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TrustFixture.h"
#include "platform/platform.h"
#include "support/MultiProcessTest.h"

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
        {"server.dll", Pki().serverOnly, true, CERT_E_WRONG_USAGE},  // no code-signing use
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

TEST_F(TrustTest, DamagedTablesAndMessagesGetTheirVerdicts) {
    const struct {
        const char* file;
        void (*spoil)(std::string&);
        LONG verdict;
    } cases[] = {
        // Bytes appended after signing hide the table's trailer.
        {"appended.dll", [](std::string& b) { b += "tail"; }, TRUST_E_NOSIGNATURE},
        // A trailer that claims a table larger than the file.
        {"cut.dll", [](std::string& b) { b = b.substr(b.size() - 40); }, TRUST_E_NOSIGNATURE},
        // An entry that is not a PKCS#7 signature: wCertificateType X509.
        {"type.dll",
         [](std::string& b) {
             const size_t table = size_t(uint8_t(b[b.size() - 8])) | size_t(uint8_t(b[b.size() - 7])) << 8;
             b[b.size() - 16 - table + 6] = 0x01;
         },
         TRUST_E_NOSIGNATURE},
        {"message.dll", [](std::string& b) { b[b.size() - 40] ^= 0x55; }, TRUST_E_BAD_DIGEST},
    };
    for (const auto& c : cases) {
        std::string bytes = ReadAll(SignedModule(c.file, Pki().signer));
        c.spoil(bytes);
        WriteAll(c.file, bytes);
        EXPECT_EQ(Verify(c.file), c.verdict) << c.file;
    }
}

TEST_F(TrustTest, TrustedRootsComeFromTheEnvironmentOrTheSystemStore) {
    SignedModule("module.dll", Pki().signer);
    unsetenv("ZRWIN_TRUST_ROOTS");
    EXPECT_EQ(Verify("module.dll"), CERT_E_CHAINING);
    // A folder of roots, among other files.
    ASSERT_EQ(mkdir("roots", 0700), 0);
    WriteAll("roots/readme.txt", "not a certificate\n");
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().strangerRoot, "roots/a.pem"));
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().root, "roots/b.pem"));
    setenv("ZRWIN_TRUST_ROOTS", dir_.File("roots").c_str(), 1);
    EXPECT_EQ(Verify("module.dll"), 0);
    unsetenv("ZRWIN_TRUST_ROOTS");
    EXPECT_EQ(Verify("module.dll"), CERT_E_CHAINING) << "nothing kept from before";
    // The system's hashed certificate folder, moved aside through OpenSSL's own variable.
    ASSERT_EQ(mkdir("system", 0700), 0);
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "system/%08lx.0", X509_subject_name_hash(Pki().root.certificate.get()));
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().root, hashed));
    setenv("SSL_CERT_DIR", dir_.File("system").c_str(), 1);
    EXPECT_EQ(Verify("module.dll"), 0);
    unsetenv("SSL_CERT_DIR");
    EXPECT_EQ(Verify("module.dll"), CERT_E_CHAINING);
}

// VerifyWithSystemStore <dir> <bundle or ""> in a fresh process (the bundle
// is parsed once per process): the system folder is <dir>/empty, the bundle
// named or not; prints the verdict of <dir>/module.dll.
ZR_CHILD_MAIN(VerifyWithSystemStore) {
    const auto& args = zrtest::ChildArgs();
    if (chdir(args.at(0).c_str()) != 0) return 2;
    unsetenv("ZRWIN_TRUST_ROOTS");
    setenv("SSL_CERT_DIR", (args.at(0) + "/empty").c_str(), 1);
    if (args.at(1).empty()) {
        unsetenv("SSL_CERT_FILE");
    } else {
        setenv("SSL_CERT_FILE", args.at(1).c_str(), 1);
    }
    std::printf("%ld\n", static_cast<long>(Verify("module.dll")));
    return 0;
}

TEST_F(TrustTest, ABundleTheOperatorNamesCompletesChainsTheSystemFolderCannot) {
    SignedModule("module.dll", Pki().signer);
    ASSERT_TRUE(pki::WriteCertificatePem(Pki().root, "bundle.pem"));
    ASSERT_EQ(mkdir("empty", 0700), 0);
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named);
        auto child = zrtest::SpawnChild("VerifyWithSystemStore", {dir_.File(""), named ? dir_.File("bundle.pem") : ""});
        ASSERT_EQ(child.Wait(), 0) << child.Err();
        EXPECT_EQ(child.Line(), std::to_string(named ? 0L : static_cast<long>(CERT_E_CHAINING)));
    }
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

// Resident kB of the unwritable mappings of the library whose path holds `name`.
size_t ResidentReadOnlyKb(const std::string& name) {
    std::ifstream maps("/proc/self/smaps");
    size_t total = 0;
    bool counting = false;
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string first, perms;
        fields >> first >> perms;
        unsigned long rss = 0;
        if (first.find('-') != std::string::npos)  // a mapping's own line, then its fields
            counting = line.find(name) != std::string::npos && perms.size() > 1 && perms[1] != 'w';
        else if (counting && first == "Rss:" && std::sscanf(perms.c_str(), "%lu", &rss) == 1)
            total += rss;
    }
    return total;
}

// A host checks one signature at start and idles for hours: freeing the last
// reference to the trust DLL gives back the code pages the check touched.
TEST_F(TrustTest, FreeingWintrustGivesBackTheCryptoCodePages) {
    SignedModule("module.dll", Pki().signer);
    HMODULE wintrust = LoadLibraryA("Wintrust.dll");
    ASSERT_NE(wintrust, nullptr);
    EXPECT_EQ(Verify("module.dll"), 0);
    const size_t held = ResidentReadOnlyKb("libcrypto");
    ASSERT_TRUE(FreeLibrary(wintrust));
    EXPECT_LT(ResidentReadOnlyKb("libcrypto") * 2, held);
    EXPECT_EQ(Verify("module.dll"), 0);  // the pages come back on use
}

}  // namespace
