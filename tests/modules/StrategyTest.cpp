// The execution strategies against the test modules, loaded straight from the
// build folder.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <thread>

#include "ModuleTestSupport.h"
#include "clib/os/modules/Module.h"
#include "log/Log.h"
#include "support/TestSupport.h"

using clib::os::modules::ModuleBlocking;
using clib::os::modules::ModuleThreaded;
using modtest::Logged;
using modtest::LoggedStartingWith;

namespace {

const HWND kWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234));

// Parameter: false for the blocking strategy, true for the threaded one.
class StrategyTest : public ::testing::TestWithParam<bool> {
protected:
    StrategyTest() { SetLogLevel(LOG_OTHER); }

    std::unique_ptr<ModuleBlocking> Make() {
        if (!GetParam()) return std::make_unique<ModuleBlocking>(kWindow);
        auto threaded = std::make_unique<ModuleThreaded>(kWindow);
        threaded->threadTimeoutMs = 10000;
        return threaded;
    }

    static std::wstring Path(const std::string& module) { return modtest::WindowsPath(modtest::BuiltModule(module)); }

    zrtest::ScopedTempDir dir_;
    modtest::ModuleTrace trace_;
};

// Failed loads, and what an unloaded strategy answers.
TEST_P(StrategyTest, LoadModuleReportsMissingFilesAndExports) {
    auto strategy = Make();
    EXPECT_EQ(-8, strategy->LoadModule(L""));
    EXPECT_TRUE(Logged("ModuleBlocking::LoadModule: [E] Module is empty. res:-8"));
    EXPECT_EQ(-5, strategy->LoadModule(Path("no_such_module")));
    EXPECT_TRUE(LoggedStartingWith("ModuleBlocking::LoadModule: [E] Failed to load the module. err:"));
    EXPECT_FALSE(strategy->IsLoaded());
    const int code = GetParam() ? -5 : -6;
    EXPECT_EQ(code, strategy->Start("x"));
    EXPECT_FALSE(strategy->IsRunning());
    EXPECT_EQ(code, strategy->Stop(100));
    std::wstring result;
    EXPECT_EQ(-6, strategy->Data(1, L"", result));
    EXPECT_EQ(GetParam(), Logged("ModuleThreaded::Start: [E] Module load failed; thread will not be created"));

    auto noStop = Make();
    EXPECT_EQ(-4, noStop->LoadModule(Path("zrtest_nostop")));
    EXPECT_FALSE(noStop->IsLoaded());
    EXPECT_TRUE(LoggedStartingWith("ModuleBlocking::LoadModule: [E] Could not load module functions; (Start:"));
    // The library stays mapped until it is unloaded.
    EXPECT_EQ(0, noStop->UnloadModule());
    EXPECT_EQ(-5, noStop->UnloadModule());
}

TEST_P(StrategyTest, LoadModuleReportsOptionalExportsAndUnloadsOnce) {
    for (const auto& [module, supported] : {std::pair{"zrtest_minimal", "0"}, {"zrtest_full", "1"}}) {
        auto strategy = Make();
        const std::wstring path = Path(module);
        ASSERT_EQ(0, strategy->LoadModule(path));
        EXPECT_TRUE(strategy->IsLoaded());
        EXPECT_TRUE(Logged(std::string("ModuleBlocking::LoadModule: Module initialized successfully (supported Data:") +
                           supported + ", DataExt:" + supported + ", Event:" + supported + ", EventEx:" + supported +
                           "): " + std::string(path.begin(), path.end())));
        EXPECT_EQ(-4, strategy->Reserved(1, 2, 3));
        EXPECT_EQ(0, strategy->UnloadModule());
        EXPECT_FALSE(strategy->IsLoaded());
        EXPECT_EQ(-5, strategy->UnloadModule());
    }
}

// A null answer empties the result, an embedded zero ends it, a module
// without the data export answers -6.
TEST_P(StrategyTest, DataAnswersAsTheModuleGivesThem) {
    const struct { const char* module; int code; const wchar_t* result; } cases[] = {
        {"zrtest_nulldata", 0, L""}, {"zrtest_zerodata", 0, L"abc"}, {"zrtest_minimal", -6, L"old"}};
    size_t started = 0;
    for (const auto& c : cases) {
        auto strategy = Make();
        ASSERT_EQ(0, strategy->LoadModule(Path(c.module)));
        ASSERT_EQ(0, strategy->Start("p"));
        // The threaded strategy hands data over once the module's Start has returned.
        ASSERT_TRUE(trace_.WaitFor("started", ++started));
        std::wstring result = L"old";
        EXPECT_EQ(c.code, strategy->Data(2, L"x", result)) << c.module;
        EXPECT_EQ(c.result, result) << c.module;
        EXPECT_EQ(c.code, strategy->Data(2, L"x")) << "the form without a result hands the request on";
        EXPECT_EQ(0, strategy->Stop(1000));
    }
}

INSTANTIATE_TEST_SUITE_P(BothStrategies, StrategyTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Threaded" : "Blocking"; });

class BlockingTest : public StrategyTest {};

TEST_F(BlockingTest, StartWaitsForTheModulesStart) {
    ModuleBlocking strategy(kWindow);
    ASSERT_EQ(0, strategy.LoadModule(Path("zrtest_waitstart")));
    int started = 1;
    std::thread starter([&] { started = strategy.Start("w"); });
    ASSERT_TRUE(trace_.WaitFor("start w 4660"));
    EXPECT_FALSE(strategy.IsRunning());
    std::ofstream("start.go").close();
    starter.join();
    EXPECT_EQ(0, started);
    EXPECT_TRUE(strategy.IsRunning());
    EXPECT_EQ(0, strategy.Stop(0));
}

TEST(StartToken, FoldsSerialVersionAndCoarseTicks) {
    using clib::os::modules::StartTokenFrom;
    // The low 16 bits of the tick count do not matter.
    EXPECT_EQ(StartTokenFrom(true, 0x11112222, 0x0A00, 0x00050000),
              StartTokenFrom(true, 0x11112222, 0x0A00, 0x0005FFFF));
    EXPECT_NE(StartTokenFrom(true, 0x11112222, 0x0A00, 0x00050000),
              StartTokenFrom(true, 0x11112222, 0x0A00, 0x00060000));
    EXPECT_NE(StartTokenFrom(true, 1, 0x0A00, 0), StartTokenFrom(true, 2, 0x0A00, 0));
    // Without a serial number the mask stands alone.
    EXPECT_EQ(StartTokenFrom(false, 0xDEADBEEF, 0, 0), StartTokenFrom(true, 0, 0, 0));
}

}  // namespace
