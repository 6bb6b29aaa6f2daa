// The zrsign command line: signing, listing, verifying and its exit codes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/TestPki.h"
#include "support/TestSupport.h"

namespace {

namespace pki = zrtest::pki;

class ZrsignTool : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = pki::MakeRoot("Zrsign Test Root");
        ASSERT_TRUE(pki::WriteCertificatePem(root_, dir_.File("roots.pem")));
        setenv("ZRWIN_TRUST_ROOTS", dir_.File("roots.pem").c_str(), 1);
        ASSERT_TRUE(pki::WriteModuleFile("module.dll"));
        MakeSigner("vix", "Vorland-IX Pert Holme");
    }
    void TearDown() override { unsetenv("ZRWIN_TRUST_ROOTS"); }

    void MakeSigner(const std::string& stem, const std::string& name, const pki::Identity* issuer = nullptr) {
        pki::Identity signer = pki::MakeSigner(issuer ? *issuer : root_, {name, "", "", ""});
        ASSERT_TRUE(pki::WriteCertificatePem(signer, dir_.File(stem + ".pem")));
        ASSERT_TRUE(pki::WriteKeyPem(signer, dir_.File(stem + ".key")));
    }

    // Runs zrsign with the arguments: it exits with `status` and prints each of `texts`.
    testing::AssertionResult Runs(const std::string& arguments, int status, std::vector<std::string> texts = {}) {
        int raw = std::system((std::string(ZRSIGN_PATH) + " " + arguments + " >out.txt 2>&1").c_str());
        std::ifstream in("out.txt");
        std::string out(std::istreambuf_iterator<char>(in), {});
        int exit = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        bool printed = true;
        for (const auto& text : texts) printed = printed && out.find(text) != std::string::npos;
        if (exit == status && printed) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "zrsign " << arguments << " exited " << exit << ":\n" << out;
    }

    zrtest::ScopedTempDir dir_;
    pki::Identity root_;
};

TEST_F(ZrsignTool, SignedModuleIsAcceptedAndListed) {
    EXPECT_TRUE(Runs("sign --cert vix.pem --key vix.key module.dll", 0));
    EXPECT_TRUE(Runs("list module.dll", 0,
                     {"entry 0: length ",
                      "revision 0x0200, type 0x0002, signer /CN=Vorland-IX Pert Holme, signature ok, digest ok"}));
    EXPECT_TRUE(Runs("verify module.dll", 0,
                     {"trust:     0x00000000 ERROR_SUCCESS", "signer:    \"Vorland-IX Pert Holme\"",
                      "publisher: matches \"VORLANDIXPERTHOLME\"", "verdict:   accepted"}));
}

TEST_F(ZrsignTool, ChainFileCarriesTheIntermediates) {
    pki::Identity intermediate = pki::MakeIntermediate(root_, "Zrsign Test Intermediate");
    ASSERT_TRUE(pki::WriteCertificatePem(intermediate, "chain.pem"));
    MakeSigner("leaf", "VORLANDIXPERTHOLME", &intermediate);

    ASSERT_TRUE(Runs("sign --cert leaf.pem --key leaf.key module.dll", 0));
    EXPECT_TRUE(Runs("verify module.dll", 0, {"CERT_E_CHAINING"}));  // accepted with problems
    ASSERT_TRUE(Runs("sign --replace --cert leaf.pem --key leaf.key --chain chain.pem module.dll", 0));
    EXPECT_TRUE(Runs("verify module.dll", 0, {"ERROR_SUCCESS"}));
}

TEST_F(ZrsignTool, RefusalsGiveExitStatusOne) {
    EXPECT_TRUE(Runs("verify module.dll", 1, {"TRUST_E_NOSIGNATURE"}));
    MakeSigner("other", "Another Publisher");
    ASSERT_TRUE(Runs("sign --cert other.pem --key other.key module.dll", 0));
    EXPECT_TRUE(Runs("verify module.dll", 1, {"publisher: does not match"}));

    // A second entry is warned about, refused by the host, and replaceable.
    ASSERT_TRUE(Runs("sign --cert vix.pem --key vix.key module.dll", 0, {"warning"}));
    EXPECT_TRUE(Runs("verify module.dll", 1, {"2 signature entries"}));
    ASSERT_TRUE(Runs("sign --replace --cert vix.pem --key vix.key module.dll", 0));
    EXPECT_TRUE(Runs("verify module.dll", 0));

    std::ofstream("module.dll", std::ios::app) << "appended";
    EXPECT_TRUE(Runs("verify module.dll", 1));
}

TEST_F(ZrsignTool, BadCommandLinesAndUnusableFiles) {
    EXPECT_TRUE(Runs("--help", 0, {"usage: zrsign sign"}));
    for (const char* arguments : {"", "frobnicate module.dll", "sign --cert vix.pem module.dll", "verify"})
        EXPECT_TRUE(Runs(arguments, 2));
    EXPECT_TRUE(Runs("sign --cert vix.pem --key missing.key module.dll", 3));
    EXPECT_TRUE(
        Runs("sign --cert roots.pem --key vix.key module.dll", 3, {"the key does not belong to the certificate"}));
    EXPECT_TRUE(Runs("list missing.dll", 3));
    // A failed signing leaves the module as it was.
    EXPECT_TRUE(Runs("list module.dll", 0, {"unsigned"}));
}

}  // namespace
