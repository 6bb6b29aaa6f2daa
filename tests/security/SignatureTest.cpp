// The signature check's paths that need no signed file: an unsigned module,
// a missing file, a missing trust service and unbound entry points, with the
// exact lines the host logs. These run on Windows too.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "log/LogTestUtil.h"
#include "platform/platform.h"
#include "security/Signature.h"
#include "security/SigningLibraries.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"

namespace {

using logtest::Logged;

// An unsigned module built beside the tests, as plain.dll in a folder of its own.
class SignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_OTHER);
        std::filesystem::copy_file(std::string(ZR_MODULES_DIR) + "/echo.kvl", "plain.dll");
    }
    void TearDown() override { SetLogLevel(LOG_WARNING); }

    zrtest::ScopedTempDir dir_;
};

TEST_F(SignatureTest, UnsignedAndMissingFilesAreRefusedWithTheirReasons) {
    EXPECT_FALSE(CheckSignature("plain.dll"));
    std::string out = "stale";
    EXPECT_FALSE(GetCertificateElement("missing.dll", kCertificateElementSubjectName, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(GetSubjectName("plain.dll", out));
    EXPECT_TRUE(Logged(6, {{0, "xCheckAuthenticodeW: Checking 'plain.dll' (CRL:1)"},
                           {2, "xCheckAuthenticodeW: [E] WinVerifyTrust failed for 'plain.dll'; " +
                                   GetSystemErrorText(static_cast<DWORD>(TRUST_E_NOSIGNATURE))},
                           {3, "CheckSignature: [E] Could not check Authenticode certificate of 'plain.dll'"},
                           {4, "GetCertificateElement: [E] Could not open file 'missing.dll', err:2"},
                           {5, "GetCertificateElement: [E] File 'plain.dll' contains 0 certs"}}));
}

TEST_F(SignatureTest, MissingTrustServiceRefusesTheFileWithItsReason) {
    EXPECT_FALSE(CheckAuthenticodeThrough(L"plain.dll", "zrtest_no_such_library.dll", "WinVerifyTrust"));
    EXPECT_FALSE(CheckAuthenticodeThrough(L"plain.dll", "Wintrust.dll", "NoSuchEntryPoint"));
    EXPECT_TRUE(Logged(4, {{1, "xCheckAuthenticodeW: [E] Could not load Wintrust.dll, err: 126"},
                           {3, "xCheckAuthenticodeW: [E] Error loading WinVerifyTrust [127]"}}));
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

}

}  // namespace
