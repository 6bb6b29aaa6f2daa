// CheckSignature and its parts against modules signed at test time, with the
// exact lines the host logs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "log/Log.h"
#include "log/LogReader.h"
#include "platform/platform.h"
#include "security/Signature.h"
#include "security/SigningLibraries.h"
#include "support/TestPki.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"

namespace {

namespace pki = zrtest::pki;

struct Authorities {
    pki::Identity root = pki::MakeRoot("Signature Test Root");
    pki::Identity stranger = pki::MakeRoot("Signature Test Untrusted Root");
};

const Authorities& Shared() {
    static const Authorities* shared = new Authorities;  // made once per test process
    return *shared;
}

class SignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_OTHER);
        ASSERT_TRUE(pki::WriteCertificatePem(Shared().root, dir_.File("roots.pem")));
        setenv("ZRWIN_TRUST_ROOTS", dir_.File("roots.pem").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZRWIN_TRUST_ROOTS");
        SetLogLevel(LOG_WARNING);
    }

    // module.dll signed by a code-signing certificate with that common name.
    void Sign(const std::string& commonName, pki::Validity validity = {}, const pki::Identity* issuer = nullptr,
              const std::string& file = "module.dll") {
        ASSERT_TRUE(pki::WriteModuleFile(file));
        pki::Identity signer = pki::MakeSigner(issuer ? *issuer : Shared().root, {commonName, "", "", ""}, validity);
        std::string error;
        ASSERT_TRUE(pki::SignFile(file, signer, {}, false, &error)) << error;
    }

    static std::vector<std::string> Messages() {
        std::vector<zrlog::Record> records;
        std::string error;
        zrlog::ReadLogFile("kvlzrmodproc.log", records, error);
        std::vector<std::string> messages;
        for (const auto& record : records) messages.push_back(zrlog::MessageOf(record));
        return messages;
    }
    // The log holds `count` messages, with the given ones at their positions.
    static testing::AssertionResult Logged(size_t count, const std::map<size_t, std::string>& expected) {
        std::vector<std::string> messages = Messages();
        if (messages.size() != count) return testing::AssertionFailure() << messages.size() << " messages";
        for (const auto& [index, message] : expected)
            if (messages[index] != message) return testing::AssertionFailure() << index << ": " << messages[index];
        return testing::AssertionSuccess();
    }

    zrtest::ScopedTempDir dir_;
};

TEST_F(SignatureTest, ExpectedPublisherInAnySpellingIsAccepted) {
    for (const char* name : {"vorlandixpertholme", "Vorland-IX Pert Holme", "VORLANDIXPERTHOLME GmbH",
                             "V.O.R.L.A.N.D. IX PERT-HOLME 2"}) {
        Sign(name);
        std::string subject;
        EXPECT_TRUE(GetSubjectName("module.dll", subject)) << name;
        EXPECT_EQ(subject, name);
        EXPECT_TRUE(CheckSignature("module.dll")) << name;
    }
    EXPECT_TRUE(Logged(12, {{9, "xCheckAuthenticodeW: Checking 'module.dll' (CRL:1)"},
                            {10, "xCheckAuthenticodeW: Calling WinVerifyTrust..."},
                            {11, "xCheckAuthenticodeW: Certificate 'module.dll' is validated"}}));
}

TEST_F(SignatureTest, OtherPublishersAreRefusedWithoutAMessageOfTheirOwn) {
    Sign("VORLANDIXPERTHOLM");  // the first 17 letters only
    EXPECT_FALSE(CheckSignature("module.dll"));
    Sign("Another Publisher Ltd");
    EXPECT_FALSE(CheckSignature("module.dll"));
    for (const auto& message : Messages()) EXPECT_EQ(message.find("[E]"), std::string::npos) << message;
}

TEST_F(SignatureTest, ExpiredSignerAndUntrustedRootPassWithProblems) {
    Sign("VORLANDIXPERTHOLME", {-30, -1});
    EXPECT_TRUE(CheckSignature("module.dll"));
    Sign("VORLANDIXPERTHOLME", {}, &Shared().stranger, "stranger.dll");
    EXPECT_TRUE(CheckSignature("stranger.dll"));
    EXPECT_TRUE(Logged(
        6, {{2, "xCheckAuthenticodeW: Certificate 'module.dll' is validated with problems (chain:0, expired:1)"},
            {5, "xCheckAuthenticodeW: Certificate 'stranger.dll' is validated with problems (chain:1, expired:0)"}}));
}

TEST_F(SignatureTest, UnsignedAndAlteredModulesFailWithTheSystemText) {
    ASSERT_TRUE(pki::WriteModuleFile("plain.dll"));
    EXPECT_FALSE(CheckSignature("plain.dll"));
    Sign("VORLANDIXPERTHOLME");
    std::fstream("module.dll", std::ios::in | std::ios::out | std::ios::binary).seekp(10).put('\x5A');
    EXPECT_FALSE(CheckSignature("module.dll"));

    const std::string noSignature = GetSystemErrorText(0x800B0100);
    const std::string badDigest = GetSystemErrorText(0x80096010);
    EXPECT_NE(noSignature.find("No signature was present in the subject."), std::string::npos) << noSignature;
    EXPECT_NE(badDigest.find("The digital signature of the object did not verify."), std::string::npos) << badDigest;
    EXPECT_TRUE(Logged(8, {{2, "xCheckAuthenticodeW: [E] WinVerifyTrust failed for 'plain.dll'; " + noSignature},
                           {3, "CheckSignature: [E] Could not check Authenticode certificate of 'plain.dll'"},
                           {6, "xCheckAuthenticodeW: [E] WinVerifyTrust failed for 'module.dll'; " + badDigest},
                           {7, "CheckSignature: [E] Could not check Authenticode certificate of 'module.dll'"}}));
}

TEST_F(SignatureTest, MissingTrustServiceRefusesTheFileWithItsReason) {
    Sign("VORLANDIXPERTHOLME");
    EXPECT_FALSE(CheckAuthenticodeThrough(L"module.dll", "zrtest_no_such_library.dll", "WinVerifyTrust"));
    EXPECT_FALSE(CheckAuthenticodeThrough(L"module.dll", "Wintrust.dll", "NoSuchEntryPoint"));
    // The real service accepts the same file.
    EXPECT_TRUE(CheckAuthenticodeThrough(L"module.dll", "Wintrust.dll", "WinVerifyTrust"));
    EXPECT_TRUE(Logged(7, {{0, "xCheckAuthenticodeW: Checking 'module.dll' (CRL:1)"},
                           {1, "xCheckAuthenticodeW: [E] Could not load Wintrust.dll, err: 126"},
                           {3, "xCheckAuthenticodeW: [E] Error loading WinVerifyTrust [127]"},
                           {6, "xCheckAuthenticodeW: Certificate 'module.dll' is validated"}}));
}

TEST_F(SignatureTest, FileWithTwoEntriesIsRefused) {
    Sign("VORLANDIXPERTHOLME");
    pki::Identity second = pki::MakeSigner(Shared().root, {"VORLANDIXPERTHOLME", "", "", ""});
    ASSERT_TRUE(pki::SignFile("module.dll", second));
    EXPECT_FALSE(CheckSignature("module.dll"));
    EXPECT_TRUE(Logged(5, {{2, "xCheckAuthenticodeW: Certificate 'module.dll' is validated"},
                           {3, "GetCertificateElement: [E] File 'module.dll' contains 2 certs"},
                           {4, "CheckSignature: [E] Could not extract the name of the certificate of 'module.dll'"}}));
}

TEST_F(SignatureTest, CertificateElementFailures) {
    std::string out = "stale";
    EXPECT_FALSE(GetCertificateElement("missing.dll", kCertificateElementSubjectName, out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(pki::WriteModuleFile("plain.dll"));
    EXPECT_FALSE(GetSubjectName("plain.dll", out));
    Sign("VORLANDIXPERTHOLME");
    EXPECT_FALSE(GetCertificateElement("module.dll", 2, out));  // the one kind known is 1
    EXPECT_TRUE(GetCertificateElement("module.dll", kCertificateElementSubjectName, out));
    EXPECT_EQ(out, "VORLANDIXPERTHOLME");

    EXPECT_TRUE(Logged(2, {{0, "GetCertificateElement: [E] Could not open file 'missing.dll', err:2"},
                           {1, "GetCertificateElement: [E] File 'plain.dll' contains 0 certs"}}));
}

TEST_F(SignatureTest, PathsAreReadInTheAnsiCodePage) {
    // "\xE9" is é in Windows-1252; the file system holds the name in UTF-8.
    Sign("VORLANDIXPERTHOLME", {}, nullptr, "caf\xC3\xA9.dll");
    EXPECT_TRUE(CheckSignature("caf\xE9.dll"));
    EXPECT_TRUE(Logged(3, {{2, "xCheckAuthenticodeW: Certificate 'caf\xE9.dll' is validated"}}));  // ANSI too
}

TEST_F(SignatureTest, PathOutsideTheAnsiCodePageCannotBeVerified) {
    // U+4E2D has no Windows-1252 form: the check never reaches the file.
    std::wstring path = L"\x4E2D.dll";
    std::string narrow = Utils_Conversions::Conversion::toString(path, CP_ACP);
    EXPECT_FALSE(CheckSignature(narrow.c_str()));
}

// Bindings whose library is gone answer "unavailable" without calling.
template <class Binding>
class Unloaded : public Binding {
public:
    Unloaded() { this->module_.Reset(); }
};

TEST_F(SignatureTest, UnboundEntryPointsGiveTheirUnavailableResults) {
    Unloaded<CCrypt32Dll> crypt32;
    char name[8] = "x";
    EXPECT_EQ(crypt32.CertGetNameStringA(nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 8), 1u);
    EXPECT_STREQ(name, "x");  // not called
    EXPECT_FALSE(crypt32.CertFreeCertificateContext(nullptr));
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    EXPECT_FALSE(crypt32.CryptVerifyMessageSignature(&para, 0, nullptr, 0, nullptr, nullptr, nullptr));
    EXPECT_FALSE(crypt32.CryptHashMessage(nullptr, FALSE, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    Unloaded<CImagehlp> imagehlp;
    DWORD count = 5;
    EXPECT_FALSE(imagehlp.ImageEnumerateCertificates(nullptr, CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
    EXPECT_EQ(count, 5u);
    EXPECT_FALSE(imagehlp.ImageGetCertificateHeader(nullptr, 0, nullptr));
    EXPECT_FALSE(imagehlp.ImageGetCertificateData(nullptr, 0, nullptr, nullptr));
    EXPECT_TRUE(Logged(7, {{0, "CLoadLibrary::LoadFunction: [E] Library Crypt32.dll not loaded"},
                           {6, "CLoadLibrary::LoadFunction: [E] Library Imagehlp not loaded"}}));

    // Loaded, the same bindings reach the layer.
    CImagehlp loaded;
    ASSERT_TRUE(pki::WriteModuleFile("plain.dll"));
    HANDLE file = CreateFileA("plain.dll", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(loaded.ImageEnumerateCertificates(file, CERT_SECTION_TYPE_ANY, &count, nullptr, 0));
    EXPECT_EQ(count, 0u);
    CloseHandle(file);
}

}  // namespace
