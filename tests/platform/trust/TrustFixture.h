// A small PKI shared by the trust tests: a trusted root with an intermediate,
// signers under it, and an untrusted root with its own signer.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/TestPki.h"
#include "support/TestSupport.h"

namespace trusttest {

namespace pki = zrtest::pki;

struct Pki {
    pki::Identity root = pki::MakeRoot("Trust Test Root");
    pki::Identity intermediate = pki::MakeIntermediate(root, "Trust Test Code Signing CA");
    pki::Identity signer = pki::MakeSigner(intermediate, {"Vorland-IX Pert Holme", "Modules", "VIX Org", ""});
    pki::Identity expired = pki::MakeSigner(intermediate, {"VORLANDIXPERTHOLME", "", "", ""}, {-30, -1});
    pki::Identity serverOnly = pki::MakeSigner(intermediate, {"VORLANDIXPERTHOLME", "", "", ""}, {}, false);
    pki::Identity strangerRoot = pki::MakeRoot("Unknown Root");
    pki::Identity strangerSigner = pki::MakeSigner(strangerRoot, {"VORLANDIXPERTHOLME", "", "", ""});
};

inline const Pki& SharedPki() {
    static const Pki* shared = new Pki;  // made once per test process
    return *shared;
}

// Each test in a fresh folder, trusting the shared root through the
// environment as an operator would.
class TrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Pki().root.IsValid());
        ASSERT_TRUE(pki::WriteCertificatePem(Pki().root, dir_.File("roots.pem")));
        setenv("ZRWIN_TRUST_ROOTS", dir_.File("roots.pem").c_str(), 1);
    }
    void TearDown() override { unsetenv("ZRWIN_TRUST_ROOTS"); }

    static const trusttest::Pki& Pki() { return SharedPki(); }

    // A module signed by `signer` carrying the intermediate.
    std::string SignedModule(const std::string& name, const pki::Identity& signer, bool withIntermediate = true) {
        EXPECT_TRUE(pki::WriteModuleFile(name));
        std::string error;
        std::vector<pki::Identity> chain;
        if (withIntermediate) chain.push_back(Pki().intermediate);
        EXPECT_TRUE(pki::SignFile(name, signer, chain, false, &error)) << error;
        return name;
    }

    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteAll(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }

    zrtest::ScopedTempDir dir_;
};

}  // namespace trusttest
