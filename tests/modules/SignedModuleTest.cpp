// The facade with the signature check on, against modules signed at test time.
#include <gtest/gtest.h>

#include <algorithm>

#include "ModuleTestSupport.h"
#include "TestPki.h"
#include "clib/os/modules/Module.h"
#include "log/Log.h"
#include "support/TestSupport.h"

using clib::os::modules::Module;
namespace pki = zrtest::pki;

namespace {

class SignedModuleTest : public ::testing::Test {
protected:
    SignedModuleTest() {
        SetLogLevel(LOG_OTHER);
        root_ = pki::MakeRoot("Module Test Root");
        const std::string roots = dir_.File("roots.pem");
        EXPECT_TRUE(pki::WriteCertificatesPem({root_}, roots));
        zrtest::SetEnv("ZRWIN_TRUST_ROOTS", roots);
    }
    ~SignedModuleTest() override { zrtest::UnsetEnv("ZRWIN_TRUST_ROOTS"); }

    // The full test module signed by a signer of that name.
    void PlaceSigned(const std::string& fileName, const std::string& signerName) {
        const auto path = modtest::PlaceModule("zrtest_full", dir_.Path(), fileName);
        const pki::Identity signer = pki::MakeSigner(root_, {signerName, "", "", ""});
        std::string error;
        ASSERT_TRUE(pki::SignFile(path.string(), signer, {}, false, &error)) << error;
    }

    zrtest::ScopedTempDir dir_;
    modtest::ModuleTrace trace_;
    pki::Identity root_;
};

// The path reaches the signature check in the ANSI code page: one that leaves
// it is refused with that reason named, one that stays in it starts.
TEST_F(SignedModuleTest, PathOutsideTheAnsiCodePageIsRefusedWithTheRealReason) {
    PlaceSigned("m\xC3\xB6" "dul.kvl", "VORLANDIXPERTHOLME");
    Module inside;
    ASSERT_TRUE(inside.Start(L"m\u00f6dul", 0, "")) << inside.GetLastResult();
    EXPECT_TRUE(inside.Stop(1000));

    PlaceSigned("\xE6\xA8\xA1.kvl", "VORLANDIXPERTHOLME");
    Module outside;
    EXPECT_FALSE(outside.Start(L"\u6a21", 0, ""));
    EXPECT_EQ(-3, outside.GetLastResult());
    // The name itself cannot be shown in the ANSI code page either; the reason can.
    const auto messages = logtest::Messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
        return m.rfind("clib::os::modules::Module::InitializeModule: [E] Module path '", 0) == 0 &&
               m.find("' has characters outside the ANSI code page 1252; the signature check cannot open it.") !=
                   std::string::npos;
    }));
}

}  // namespace
