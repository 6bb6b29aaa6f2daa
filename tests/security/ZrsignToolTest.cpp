// The zrsign command line: signing, listing, verifying and its exit codes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>

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

    void MakeSigner(const std::string& stem, const std::string& name) {
        pki::Identity signer = pki::MakeSigner(root_, {name, "", "", ""});
        ASSERT_TRUE(pki::WriteCertificatePem(signer, dir_.File(stem + ".pem")));
        ASSERT_TRUE(pki::WriteKeyPem(signer, dir_.File(stem + ".key")));
    }

    // Runs zrsign with the arguments; its output in out_, its exit status back.
    int Run(const std::string& arguments) {
        std::string command = std::string(ZRSIGN_PATH) + " " + arguments + " >out.txt 2>&1";
        int status = std::system(command.c_str());
        std::ifstream in("out.txt");
        out_.assign(std::istreambuf_iterator<char>(in), {});
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool OutHas(const std::string& text) const { return out_.find(text) != std::string::npos; }

    zrtest::ScopedTempDir dir_;
    pki::Identity root_;
    std::string out_;
};

TEST_F(ZrsignTool, SignedModuleIsAcceptedAndListed) {
    EXPECT_EQ(Run("sign --cert vix.pem --key vix.key module.dll"), 0) << out_;
    EXPECT_EQ(Run("list module.dll"), 0) << out_;
    EXPECT_TRUE(OutHas("entry 0: length ")) << out_;
    EXPECT_TRUE(OutHas("revision 0x0200, type 0x0002, signer /CN=Vorland-IX Pert Holme, signature ok, digest ok"))
        << out_;
    EXPECT_EQ(Run("verify module.dll"), 0) << out_;
    EXPECT_TRUE(OutHas("trust:     0x00000000 ERROR_SUCCESS")) << out_;
    EXPECT_TRUE(OutHas("signer:    \"Vorland-IX Pert Holme\"")) << out_;
    EXPECT_TRUE(OutHas("publisher: matches \"VORLANDIXPERTHOLME\"")) << out_;
    EXPECT_TRUE(OutHas("verdict:   accepted")) << out_;
}

TEST_F(ZrsignTool, ChainFileCarriesTheIntermediates) {
    pki::Identity intermediate = pki::MakeIntermediate(root_, "Zrsign Test Intermediate");
    pki::Identity signer = pki::MakeSigner(intermediate, {"VORLANDIXPERTHOLME", "", "", ""});
    ASSERT_TRUE(pki::WriteCertificatePem(intermediate, "chain.pem"));
    ASSERT_TRUE(pki::WriteCertificatePem(signer, "leaf.pem"));
    ASSERT_TRUE(pki::WriteKeyPem(signer, "leaf.key"));

    ASSERT_EQ(Run("sign --cert leaf.pem --key leaf.key module.dll"), 0) << out_;
    EXPECT_EQ(Run("verify module.dll"), 0) << out_;  // accepted with problems
    EXPECT_TRUE(OutHas("CERT_E_CHAINING")) << out_;
    ASSERT_EQ(Run("sign --replace --cert leaf.pem --key leaf.key --chain chain.pem module.dll"), 0) << out_;
    EXPECT_EQ(Run("verify module.dll"), 0) << out_;
    EXPECT_TRUE(OutHas("ERROR_SUCCESS")) << out_;
}

TEST_F(ZrsignTool, RefusalsGiveExitStatusOne) {
    EXPECT_EQ(Run("verify module.dll"), 1) << out_;
    EXPECT_TRUE(OutHas("TRUST_E_NOSIGNATURE")) << out_;

    MakeSigner("other", "Another Publisher");
    ASSERT_EQ(Run("sign --cert other.pem --key other.key module.dll"), 0) << out_;
    EXPECT_EQ(Run("verify module.dll"), 1) << out_;
    EXPECT_TRUE(OutHas("publisher: does not match")) << out_;

    // A second entry is warned about, refused by the host, and replaceable.
    ASSERT_EQ(Run("sign --cert vix.pem --key vix.key module.dll"), 0) << out_;
    EXPECT_TRUE(OutHas("warning")) << out_;
    EXPECT_EQ(Run("verify module.dll"), 1) << out_;
    EXPECT_TRUE(OutHas("2 signature entries")) << out_;
    ASSERT_EQ(Run("sign --replace --cert vix.pem --key vix.key module.dll"), 0) << out_;
    EXPECT_EQ(Run("verify module.dll"), 0) << out_;

    std::ofstream("module.dll", std::ios::app) << "appended";
    EXPECT_EQ(Run("verify module.dll"), 1) << out_;
}

TEST_F(ZrsignTool, BadCommandLinesAndUnusableFiles) {
    EXPECT_EQ(Run("--help"), 0);
    EXPECT_TRUE(OutHas("usage: zrsign sign")) << out_;
    EXPECT_EQ(Run(""), 2);
    EXPECT_EQ(Run("frobnicate module.dll"), 2);
    EXPECT_EQ(Run("sign --cert vix.pem module.dll"), 2);
    EXPECT_EQ(Run("verify"), 2);
    EXPECT_EQ(Run("sign --cert vix.pem --key missing.key module.dll"), 3) << out_;
    EXPECT_EQ(Run("sign --cert roots.pem --key vix.key module.dll"), 3) << out_;
    EXPECT_TRUE(OutHas("the key does not belong to the certificate")) << out_;
    EXPECT_EQ(Run("list missing.dll"), 3) << out_;
    // A failed signing leaves the module as it was.
    EXPECT_EQ(Run("list module.dll"), 0) << out_;
    EXPECT_TRUE(OutHas("unsigned")) << out_;
}

}  // namespace
