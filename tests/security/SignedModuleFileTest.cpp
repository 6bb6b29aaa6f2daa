// CheckSignature and its parts against files signed at test time, with the
// exact lines the host logs.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "log/LogTestUtil.h"
#include "security/Signature.h"
#include "support/Environment.h"
#include "support/TestPki.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"

namespace {

namespace pki = zrtest::pki;
using logtest::Logged;

struct Authorities {
    pki::Identity root = pki::MakeRoot("Signature Test Root");
    pki::Identity stranger = pki::MakeRoot("Signature Test Untrusted Root");
};

const Authorities& Shared() {
    static const Authorities* shared = new Authorities;  // made once per test process
    return *shared;
}

class SignedModuleFile : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_OTHER);
        ASSERT_TRUE(pki::WriteCertificatePem(Shared().root, dir_.File("roots.pem")));
        zrtest::SetEnv("ZRWIN_TRUST_ROOTS", dir_.File("roots.pem"));
    }
    void TearDown() override {
        zrtest::UnsetEnv("ZRWIN_TRUST_ROOTS");
        SetLogLevel(LOG_WARNING);
    }

    // The file signed by a code-signing certificate with that common name.
    void Sign(const std::string& commonName, pki::Validity validity = {}, const pki::Identity* issuer = nullptr,
              const std::string& file = "module.dll") {
        ASSERT_TRUE(pki::WriteModuleFile(file));
        pki::Identity signer = pki::MakeSigner(issuer ? *issuer : Shared().root, {commonName, "", "", ""}, validity);
        std::string error;
        ASSERT_TRUE(pki::SignFile(file, signer, {}, false, &error)) << error;
    }

    zrtest::ScopedTempDir dir_;
};

// The expected publisher in another spelling (MatchLetters has the spelling
// rules); others are refused without a message of their own.
TEST_F(SignedModuleFile, OnlyTheExpectedPublisherIsAccepted) {
    const struct { const char* name; bool accepted; } cases[] = {
        {"Vorland-IX Pert Holme GmbH", true}, {"VORLANDIXPERTHOLM", false}, {"Another Publisher Ltd", false}};
    for (const auto& c : cases) {
        Sign(c.name);
        std::string subject;
        EXPECT_TRUE(GetSubjectName("module.dll", subject)) << c.name;
        EXPECT_EQ(subject, c.name);
        EXPECT_EQ(c.accepted, CheckSignature("module.dll")) << c.name;
    }
    EXPECT_TRUE(Logged(9, {{0, "xCheckAuthenticodeW: Checking 'module.dll' (CRL:1)"},
                           {1, "xCheckAuthenticodeW: Calling WinVerifyTrust..."},
                           {2, "xCheckAuthenticodeW: Certificate 'module.dll' is validated"}}));
    for (const auto& message : logtest::Messages()) EXPECT_EQ(message.find("[E]"), std::string::npos) << message;
    std::string element;
    EXPECT_FALSE(GetCertificateElement("module.dll", 2, element)) << "the one kind known is 1";
}

TEST_F(SignedModuleFile, ExpiredSignerAndUntrustedRootPassWithProblems) {
    Sign("VORLANDIXPERTHOLME", {-30, -1});
    EXPECT_TRUE(CheckSignature("module.dll"));
    Sign("VORLANDIXPERTHOLME", {}, &Shared().stranger, "stranger.dll");
    EXPECT_TRUE(CheckSignature("stranger.dll"));
    EXPECT_TRUE(Logged(
        6, {{2, "xCheckAuthenticodeW: Certificate 'module.dll' is validated with problems (chain:0, expired:1)"},
            {5, "xCheckAuthenticodeW: Certificate 'stranger.dll' is validated with problems (chain:1, expired:0)"}}));
}

TEST_F(SignedModuleFile, AlteredFileAndFileWithTwoEntriesAreRefused) {
    Sign("VORLANDIXPERTHOLME");
    std::fstream("module.dll", std::ios::in | std::ios::out | std::ios::binary).seekp(10).put('\x5A');
    EXPECT_FALSE(CheckSignature("module.dll"));
    Sign("VORLANDIXPERTHOLME", {}, nullptr, "twice.dll");
    ASSERT_TRUE(pki::SignFile("twice.dll", pki::MakeSigner(Shared().root, {"VORLANDIXPERTHOLME", "", "", ""})));
    EXPECT_FALSE(CheckSignature("twice.dll"));
    EXPECT_TRUE(Logged(9, {{2, "xCheckAuthenticodeW: [E] WinVerifyTrust failed for 'module.dll'; " +
                                   GetSystemErrorText(0x80096010)},
                           {3, "CheckSignature: [E] Could not check Authenticode certificate of 'module.dll'"},
                           {6, "xCheckAuthenticodeW: Certificate 'twice.dll' is validated"},
                           {7, "GetCertificateElement: [E] File 'twice.dll' contains 2 certs"},
                           {8, "CheckSignature: [E] Could not extract the name of the certificate of 'twice.dll'"}}));
}

}  // namespace
