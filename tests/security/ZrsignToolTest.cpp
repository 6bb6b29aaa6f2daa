// The zrsign command line: signing, listing, verifying and its exit codes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Environment.h"
#include "support/TestPki.h"
#include "support/TestSupport.h"

namespace {

namespace pki = zrtest::pki;

class ZrsignTool : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = pki::MakeRoot("Zrsign Test Root");
        ASSERT_TRUE(pki::WriteCertificatePem(root_, dir_.File("roots.pem")));
        zrtest::SetEnv("ZRWIN_TRUST_ROOTS", dir_.File("roots.pem"));
        ASSERT_TRUE(pki::WriteModuleFile("module.dll"));
        MakeSigner("vix", "Vorland-IX Pert Holme");
    }
    void TearDown() override { zrtest::UnsetEnv("ZRWIN_TRUST_ROOTS"); }

    void MakeSigner(const std::string& stem, const std::string& name, const pki::Identity* issuer = nullptr) {
        pki::Identity signer = pki::MakeSigner(issuer ? *issuer : root_, {name, "", "", ""});
        ASSERT_TRUE(pki::WriteCertificatePem(signer, dir_.File(stem + ".pem")));
        ASSERT_TRUE(pki::WriteKeyPem(signer, dir_.File(stem + ".key")));
    }

    // Runs zrsign with the arguments: it exits with `status` and prints each of `texts`.
    testing::AssertionResult Runs(const std::string& arguments, int status, std::vector<std::string> texts = {}) {
        std::istringstream words(arguments);
        const auto ran = zrtest::Run(ZRSIGN_PATH, {std::istream_iterator<std::string>(words), {}});
        const std::string out = ran.out + ran.err;
        bool printed = true;
        for (const auto& text : texts) printed = printed && out.find(text) != std::string::npos;
        if (ran.code == status && printed) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "zrsign " << arguments << " exited " << ran.code << ":\n" << out;
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
}

TEST_F(ZrsignTool, BadCommandLinesAndUnusableFiles) {
    EXPECT_TRUE(Runs("--help", 0, {"usage: zrsign sign"}));
    for (const char* arguments : {"", "frobnicate module.dll", "sign --cert vix.pem module.dll", "verify"})
        EXPECT_TRUE(Runs(arguments, 2));
    EXPECT_TRUE(Runs("sign --cert vix.pem --key missing.key module.dll", 3));
    EXPECT_TRUE(
        Runs("sign --cert roots.pem --key vix.key module.dll", 3, {"the key does not belong to the certificate"}));
    // Files that cannot be used are named, with exit status 3, whatever the command.
    ASSERT_EQ(0, mkdir("folder.dll", 0755));
    for (const char* arguments : {"list missing.dll", "verify missing.dll"})
        EXPECT_TRUE(Runs(arguments, 3, {"missing.dll: no such file"}));
    for (const char* arguments : {"list folder.dll", "verify folder.dll", "sign --cert vix.pem --key vix.key folder.dll"})
        EXPECT_TRUE(Runs(arguments, 3, {"folder.dll: is a folder, not a module file"}));
    EXPECT_TRUE(Runs("verify --bogus module.dll", 2, {"unknown option --bogus"}));
    EXPECT_TRUE(Runs("list module.dll other.dll", 2, {"list takes one module"}));
    // A failed signing leaves the module as it was.
    EXPECT_TRUE(Runs("list module.dll", 0, {"unsigned"}));
}

// The verdict for any path is the host's: its ANSI code page form is what the
// host's signature check opens.
TEST_F(ZrsignTool, NonAsciiPathsGetTheHostsVerdict) {
    std::filesystem::copy_file("module.dll", "m\xC3\xB6" "dul\xC3\xA9.dll");
    std::filesystem::copy_file("module.dll", "\xE6\xA8\xA1.dll");
    ASSERT_TRUE(Runs("sign --cert vix.pem --key vix.key m\xC3\xB6" "dul\xC3\xA9.dll", 0));
    ASSERT_TRUE(Runs("sign --cert vix.pem --key vix.key \xE6\xA8\xA1.dll", 0));
    EXPECT_TRUE(Runs("verify m\xC3\xB6" "dul\xC3\xA9.dll", 0, {"verdict:   accepted"}));
    EXPECT_TRUE(Runs("verify \xE6\xA8\xA1.dll", 1, {"outside the ANSI code page (1252)", "verdict:   refused"}));
}

TEST_F(ZrsignTool, SigningALinkSignsItsTarget) {
    ASSERT_EQ(0, symlink("module.dll", "link.dll"));
    ASSERT_TRUE(Runs("sign --cert vix.pem --key vix.key link.dll", 0));
    struct stat info{};
    ASSERT_EQ(0, lstat("link.dll", &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link stays a link";
    EXPECT_TRUE(Runs("verify module.dll", 0, {"verdict:   accepted"}));
}

TEST_F(ZrsignTool, InterruptedSigningLeavesNoTemporaryFile) {
    // Large enough that the copy is still running when the temporary file appears.
    ASSERT_EQ(0, truncate("module.dll", 512ll << 20));
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir_.Path().c_str(), IN_CREATE), 0);
    zrtest::ChildProcess sign(ZRSIGN_PATH, {"sign", "--cert", "vix.pem", "--key", "vix.key", "module.dll"});
    ASSERT_TRUE(sign.Started());
    bool created = false;
    while (!created) {
        pollfd ready{watch, POLLIN, 0};
        ASSERT_EQ(1, poll(&ready, 1, 60000)) << "no temporary file appeared";
        alignas(inotify_event) char events[4096];
        const ssize_t n = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len && std::string(event->name).find(".zrsign-") != std::string::npos) created = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    sign.Signal(SIGINT);
    EXPECT_EQ(128 + SIGINT, sign.Wait());
    close(watch);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".zrsign-")) << entry.path();
    EXPECT_TRUE(Runs("list module.dll", 0, {"unsigned"}));
}

}  // namespace
