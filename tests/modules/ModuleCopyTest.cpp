// The private copy's refusal of a copy changed before its reopen, and the
// reopen retries, driven through the facade's copy seams.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ModuleTestSupport.h"
#include "clib/os/modules/Module.h"
#include "log/Log.h"
#include "support/TestSupport.h"
#include "util/ScopedHandle.h"

using clib::os::modules::Module;
using modtest::Logged;
namespace fs = std::filesystem;

namespace {

class ModuleCopyTest : public ::testing::Test {
protected:
    ModuleCopyTest() {
        SetLogLevel(LOG_OTHER);
        module_.SetCheckCertificate(false);
        source_ = modtest::PlaceModule("zrtest_full", dir_.Path(), "mod.kvl");
    }

    // Runs step before every reopen attempt, recording "<copy> <attempt>".
    void BeforeReopen(std::function<void(const std::wstring&, int)> step) {
        Module::CopyHooks hooks;
        hooks.reopenWaitUnitMs = 1;
        hooks.beforeReopen = [this, step](const std::wstring& path, int attempt) {
            attempts_.push_back(std::string(path.begin(), path.end()) + " " + std::to_string(attempt));
            step(path, attempt);
        };
        module_.SetCopyHooks(std::move(hooks));
    }

    // Holds the copy open without any sharing, so that its reopen fails with
    // a sharing violation for as long as it is held.
    void Block(const std::wstring& path) {
        blocker_.Reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(blocker_.IsValid());
    }

    std::string RetryLine(const std::string& copy, int attempt) const {
        return "clib::os::modules::Module::GetModuleCopy: [W] Could not reopen created temporary file '" + copy +
               "'. Retrying...  err:32, try:" + std::to_string(attempt) + ", wait:" + std::to_string(attempt) + "s.";
    }

    zrtest::ScopedTempDir dir_;
    modtest::ModuleTrace trace_;
    Module module_;
    fs::path source_;
    std::vector<std::string> attempts_;
    ScopedKernelHandle blocker_;
};

TEST_F(ModuleCopyTest, CopyChangedBeforeItsReopenIsDiscardedAndTheNextNumberGetsAFreshCopy) {
    BeforeReopen([](const std::wstring& path, int) {
        if (path == L"0.kvl") std::ofstream("0.kvl", std::ios::binary | std::ios::app) << 'x';
    });
    ASSERT_TRUE(module_.Start(L"mod", 0, ""));
    EXPECT_TRUE(Logged("clib::os::modules::Module::GetModuleCopy: [C] Security problem. File '0.kvl' has been "
                       "modified during reopen!"));
    EXPECT_EQ(attempts_, (std::vector<std::string>{"0.kvl 1", "1.kvl 1"}));
    EXPECT_EQ(L"1.kvl", module_.CopyPath());
    EXPECT_EQ(fs::file_size(source_), fs::file_size("1.kvl")) << "a fresh copy, not the changed one";
    // The refused copy went with its handle; no lock file stays behind.
    EXPECT_EQ(modtest::FilesIn(dir_.Path()), (std::vector<std::string>{"1.kvl", "mod.kvl"}));
    EXPECT_TRUE(module_.Stop(1000));
}

TEST_F(ModuleCopyTest, ReopenIsRetriedWithGrowingWaitsUntilItSucceeds) {
    BeforeReopen([this](const std::wstring& path, int attempt) {
        if (attempt == 1) Block(path);
        if (attempt == 3) blocker_.Reset();
    });
    ASSERT_TRUE(module_.Start(L"mod", 0, ""));
    EXPECT_EQ(attempts_, (std::vector<std::string>{"0.kvl 1", "0.kvl 2", "0.kvl 3"}));
    for (int attempt = 1; attempt <= 3; ++attempt) EXPECT_EQ(attempt < 3, Logged(RetryLine("0.kvl", attempt)));
    EXPECT_EQ(L"0.kvl", module_.CopyPath());
    EXPECT_TRUE(module_.Stop(1000));
}

TEST_F(ModuleCopyTest, CopyThatCannotBeReopenedFiveTimesIsGivenUpAndLeftOnDisk) {
    BeforeReopen([this](const std::wstring& path, int attempt) {
        if (path == L"0.kvl" && attempt == 1) Block(path);
        if (path != L"0.kvl") blocker_.Reset();
    });
    ASSERT_TRUE(module_.Start(L"mod", 0, ""));
    for (int attempt = 1; attempt <= 5; ++attempt) EXPECT_TRUE(Logged(RetryLine("0.kvl", attempt)));
    EXPECT_TRUE(Logged("clib::os::modules::Module::GetModuleCopy: [E] Failed to reopen created temporary file "
                       "'0.kvl'. err:32, retries:5"));
    EXPECT_EQ(attempts_,
              (std::vector<std::string>{"0.kvl 1", "0.kvl 2", "0.kvl 3", "0.kvl 4", "0.kvl 5", "1.kvl 1"}));
    EXPECT_EQ(L"1.kvl", module_.CopyPath());
    EXPECT_EQ(modtest::FilesIn(dir_.Path()), (std::vector<std::string>{"0.kvl", "1.kvl", "mod.kvl"}));
    EXPECT_TRUE(module_.Stop(1000));
}

}  // namespace
