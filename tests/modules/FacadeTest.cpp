// The module facade: module names, private copies, result codes, log lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "ModuleTestSupport.h"
#include "clib/os/modules/Module.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"
#include "util/ScopedHandle.h"

using clib::os::modules::Module;
using modtest::Logged;
using modtest::LoggedStartingWith;
using Trace = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// StuckStart <module>: starts it threaded, whose Start never returns, asks
// for data, stops it and starts it again, and prints what each step answered.
ZR_CHILD_MAIN(StuckStart) {
    SetLogLevel(LOG_OTHER);
    modtest::ModuleTrace trace;
    auto* stuck = new Module;  // never freed: the module's thread keeps using it
    stuck->SetCheckCertificate(false);
    const std::wstring path = modtest::WindowsPath(zrtest::ChildArgs().at(0));
    const bool started = stuck->Start(path, 4, "h") && trace.WaitFor("start h 0");
    std::wstring result = L"same";  // not handed over while the module's Start runs
    const bool data = stuck->Data(2, L"x", result) && result == L"same";
    const bool stopped = stuck->Stop(500);
    const int stopResult = stuck->GetLastResult();
    const bool again = stuck->Start(path, 4, "again");
    std::printf("started %d, data %d, stopped %d (%d), started again %d (%d), running %d, copy kept %d\n", started,
                data, stopped, stopResult, again, stuck->GetLastResult(), stuck->IsRunning(),
                GetFileAttributesW(L"0.kvl") != INVALID_FILE_ATTRIBUTES);
    std::fflush(stdout);
    std::_Exit(0);  // with the module's thread still in its Start
}

class FacadeTest : public ::testing::Test {
protected:
    FacadeTest() {
        SetLogLevel(LOG_OTHER);
        module_.SetCheckCertificate(false);
    }

    std::vector<std::string> Files() const { return modtest::FilesIn(dir_.Path()); }
    bool CopyExists(const std::string& name) const { return fs::exists(dir_.Path() / name); }
    // Holds the file open without any sharing, as another host would.
    static ScopedKernelHandle Hold(const wchar_t* name) {
        ScopedKernelHandle file(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
        EXPECT_TRUE(file.IsValid());
        return file;
    }
    zrtest::ScopedTempDir dir_;
    modtest::ModuleTrace trace_;
    Module module_;
};

// Option 4 runs the module on its own thread, which sees 0 as window value.
class StartOptionTest : public FacadeTest, public ::testing::WithParamInterface<int> {};

TEST_P(StartOptionTest, NameWithoutDotIsLookedForInTheCurrentDirectory) {
    const int options = GetParam();
    modtest::PlaceModule("zrtest_full", dir_.Path(), "report.kvl");
    module_.SetWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x40)));
    ASSERT_TRUE(module_.Start(L"report", options, "p1"));
    ASSERT_TRUE(trace_.WaitFor("started"));
    EXPECT_EQ(L"report", module_.Name());
    EXPECT_EQ(L"report.kvl", module_.FullPath());
    EXPECT_EQ(L"0.kvl", module_.CopyPath());
    EXPECT_TRUE(CopyExists("0.kvl"));
    EXPECT_TRUE(module_.IsRunning());
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: Module 'report' started. options:" + std::to_string(options) +
                       ", params: 'p1', copy: '0.kvl'"));
    EXPECT_TRUE(Logged("clib::os::modules::Module::InitializeModule: Module initialized: 'report.kvl'"));
    EXPECT_EQ(options == 4, LoggedStartingWith("ModuleThreaded::DoRealStart: Module '"));

    std::wstring result;
    EXPECT_TRUE(module_.Data(3, L"value", result));
    EXPECT_EQ(L"3|value", result);

    EXPECT_TRUE(module_.Stop(1000));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Stop: Module 'report' stopped."));
    // A module thread's running event is never reset.
    EXPECT_TRUE(options == 4 || !module_.IsRunning());
    // The copy is gone, and so is its lock file.
    EXPECT_EQ(std::vector<std::string>{"report.kvl"}, Files());
    EXPECT_EQ(trace_.Lines(), (Trace{options == 4 ? "start p1 0" : "start p1 64", "started", "data 3", "stop"}));
}

INSTANTIATE_TEST_SUITE_P(BlockingAndThreaded, StartOptionTest, ::testing::Values(0, 4));

TEST_F(FacadeTest, CopyIsAHiddenByteForByteCopyWithoutItsLockFile) {
    // Padded to several copy blocks and a partial last one.
    const fs::path file = modtest::PlaceModule("zrtest_full", dir_.Path(), "large.kvl");
    std::string bytes = logtest::ReadBytes(file.string());
    bytes.resize((bytes.size() / 65536 + 2) * 65536 + 123, '\x7f');
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    ASSERT_TRUE(module_.Start(L"large", 0, ""));
    EXPECT_EQ(bytes, logtest::ReadBytes("0.kvl"));
    EXPECT_FALSE(fs::exists(dir_.Path() / "0.lck"));
    const DWORD attributes = GetFileAttributesW(L"0.kvl");
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY),
              attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY));
    EXPECT_TRUE(module_.Stop(1000));
}

TEST_F(FacadeTest, PathWithFolderKeepsItsFolderForTheCopy) {
    const fs::path file = modtest::PlaceModule("echo", dir_.Path() / "m", "report.kvl");
    const std::wstring path = modtest::WindowsPath(file);
    ASSERT_TRUE(module_.Start(path, 0, ""));
    EXPECT_EQ(L"report", module_.Name());
    EXPECT_EQ(path, module_.FullPath());
    EXPECT_EQ(modtest::WindowsPath(dir_.Path() / "m" / "0.kvl"), module_.CopyPath());
    EXPECT_TRUE(fs::exists(dir_.Path() / "m" / "0.kvl"));
    EXPECT_TRUE(module_.Stop(1000));
    EXPECT_FALSE(fs::exists(dir_.Path() / "m" / "0.kvl"));
}

TEST_F(FacadeTest, RefusedModulesLeaveNoCopy) {
    std::ofstream("text.kvl") << "not a library";
    modtest::PlaceModule("zrtest_nostop", dir_.Path(), "nostop.kvl");
    modtest::PlaceModule("zrtest_full", dir_.Path(), "plain.kvl");
    const std::string start = "clib::os::modules::Module::Start: [E] ", init = "clib::os::modules::Module::InitializeModule: [E] ";
    const struct { const wchar_t* name; int options; bool check; int code; std::string line; } cases[] = {
        {L"", 0, false, -8, start + "Module is empty"},
        {L"absent", 0, false, -1, init + "Could not open module file 'absent.kvl'. err:2"},
        {L"absent", 0, false, -1, start + "Could not initialize module 'absent'"},
        {L"text", 0, false, -5, start + "Could not load module 'text' options:0, err:-5"},
        {L"nostop", 4, false, -4, start + "Could not load module 'nostop' options:4, err:-4"},
        {L"plain", 0, true, -3, init + "Module 'plain.kvl' is not signed with a valid certificate."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Module module;
        module.SetCheckCertificate(c.check);
        EXPECT_FALSE(module.Start(c.name, c.options, ""));
        EXPECT_EQ(c.code, module.GetLastResult());
        EXPECT_FALSE(module.IsRunning());
        EXPECT_TRUE(LoggedStartingWith(c.line));
    }
    EXPECT_EQ(Files(), (Trace{"nostop.kvl", "plain.kvl", "text.kvl"}));
    EXPECT_TRUE(trace_.Lines().empty());
}

// Files held open by another host: the module itself is refused until it is
// free; a held lock file moves the copy to the next number.
TEST_F(FacadeTest, FilesHeldOpenElsewhere) {
    modtest::PlaceModule("zrtest_full", dir_.Path(), "locked.kvl");
    {
        const ScopedKernelHandle holder = Hold(L"locked.kvl");
        EXPECT_FALSE(module_.Start(L"locked", 0, ""));
        EXPECT_EQ(-2, module_.GetLastResult());
    }
    EXPECT_TRUE(Logged(
        "clib::os::modules::Module::InitializeModule: [E] Could not open module file 'locked.kvl'. err:32"));
    EXPECT_EQ(std::vector<std::string>{"locked.kvl"}, Files());

    const ScopedKernelHandle holder = Hold(L"0.lck");
    ASSERT_TRUE(module_.Start(L"locked", 0, ""));
    EXPECT_EQ(L"1.kvl", module_.CopyPath());
    EXPECT_TRUE(CopyExists("1.kvl"));
    EXPECT_FALSE(CopyExists("0.kvl"));
    EXPECT_TRUE(module_.Stop(1000));
    EXPECT_FALSE(CopyExists("1.kvl"));
}

// Before any start Data and Stop are refused; start option 1 calls both
// exports at once and keeps the copy until Stop.
TEST_F(FacadeTest, DataAndStopOfAModuleThatIsNotRunning) {
    std::wstring result = L"kept";
    EXPECT_FALSE(module_.Data(2, L"x", result));
    EXPECT_EQ(-5, module_.GetLastResult());
    EXPECT_EQ(L"kept", result);
    EXPECT_TRUE(Logged("clib::os::modules::Module::Data: [E] Module '' was not previously loaded. "));
    EXPECT_FALSE(module_.Stop(1000));
    EXPECT_EQ(-5, module_.GetLastResult());
    EXPECT_TRUE(Logged("clib::os::modules::Module::Stop: [E] Module '' was not previously loaded"));

    modtest::PlaceModule("zrtest_full", dir_.Path(), "once.kvl");
    ASSERT_TRUE(module_.Start(L"once", 1, "x"));
    EXPECT_FALSE(module_.IsRunning());
    EXPECT_TRUE(CopyExists("0.kvl"));
    EXPECT_EQ(trace_.Lines(), (Trace{"start x 0", "started", "stop"}));
    EXPECT_FALSE(module_.Data(2, L"", result));
    EXPECT_EQ(-5, module_.GetLastResult());
    EXPECT_TRUE(Logged("clib::os::modules::Module::Data: [E] Module 'once' is loaded but not running."));
    EXPECT_TRUE(module_.Stop(1000));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Stop: [W] Module 'once' was already stopped"));
    EXPECT_FALSE(CopyExists("0.kvl"));
    EXPECT_EQ(trace_.Lines(), (Trace{"start x 0", "started", "stop"})) << "no second stop";
}

TEST_F(FacadeTest, StartWhileRunningIsRefusedAndTheRunningModuleKeepsItsNameAndCopy) {
    modtest::PlaceModule("zrtest_full", dir_.Path(), "first.kvl");
    modtest::PlaceModule("zrtest_full", dir_.Path(), "second.kvl");
    ASSERT_TRUE(module_.Start(L"first", 0, "a"));
    EXPECT_FALSE(module_.Start(L"second", 4, "b"));
    EXPECT_EQ(-9, module_.GetLastResult());
    EXPECT_TRUE(Logged("clib::os::modules::Module::InitializeModule: [E] Module file 'first.kvl' was already loaded"));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: [E] Could not initialize module 'first'"));
    EXPECT_EQ(L"first", module_.Name());
    EXPECT_EQ(0, module_.Options());
    EXPECT_TRUE(module_.IsRunning());
    std::wstring result;
    EXPECT_TRUE(module_.Data(1, L"still", result));
    EXPECT_EQ(L"1|still", result);
    EXPECT_TRUE(module_.Stop(1000));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Stop: Stopping module 'first' (to:1000)"));
    EXPECT_FALSE(CopyExists("0.kvl"));
    EXPECT_EQ(trace_.Lines(), (Trace{"start a 0", "started", "data 1", "stop"}));
}

// A strategy that loads nothing, starts at once and throws from Data and Stop:
// a standard exception for option or time-out 1, any other value otherwise.
class ThrowingStrategy : public Module::ModuleBase {
public:
    int Start(const std::string&) override { return 0; }
    using ModuleBase::Data;
    int Data(int option, const std::wstring&, std::wstring&) override {
        if (option == 1) throw std::runtime_error("bad data");
        throw 5;
    }
    int Stop(int timeoutMs) override {
        if (timeoutMs == 1) throw std::logic_error("bad stop");
        throw 6;
    }
    int Reserved(DWORD, DWORD, DWORD) override { return -4; }
    int LoadModule(const std::wstring&) override { return 0; }
    int UnloadModule() override { return 0; }
    bool IsLoaded() override { return true; }
    bool IsRunning() override { return true; }
};

// A facade whose strategy step refuses, throws, or puts in a ThrowingStrategy.
class ScriptedFacade : public Module {
public:
    enum class Step { kReal, kRefuse, kThrowStandard, kThrowOther, kThrowingStrategy };
    explicit ScriptedFacade(Step first) : step(first) { SetCheckCertificate(false); }
    Step step;

    bool CreateStrategy() override {
        if (step == Step::kRefuse) return false;
        if (step == Step::kThrowStandard) throw std::runtime_error("no strategy today");
        if (step == Step::kThrowOther) throw 7;
        if (step != Step::kThrowingStrategy) return Module::CreateStrategy();
        Strategy() = std::make_unique<ThrowingStrategy>();
        return true;
    }
};

// A strategy that cannot be made leaves the copy open; the next start is
// refused once (-9), and that refusal clears it.
TEST_F(FacadeTest, StrategyThatCannotBeMadeLeavesTheCopyForTheNextStartToClear) {
    modtest::PlaceModule("zrtest_full", dir_.Path(), "first.kvl");
    ScriptedFacade facade(ScriptedFacade::Step::kRefuse);
    const auto failsThenClears = [&](ScriptedFacade::Step step, int options, int code) {
        facade.step = step;
        EXPECT_FALSE(facade.Start(L"first", options, "p"));
        EXPECT_EQ(code, facade.GetLastResult());
        EXPECT_TRUE(CopyExists("0.kvl"));
        facade.step = ScriptedFacade::Step::kReal;
        EXPECT_FALSE(facade.Start(L"first", 0, ""));
        EXPECT_EQ(-9, facade.GetLastResult());
        EXPECT_EQ(std::vector<std::string>{"first.kvl"}, Files());
    };
    failsThenClears(ScriptedFacade::Step::kRefuse, 0, -4);
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: [C] Could not create the implementation module"));
    // Exceptions become -11 with their lines.
    failsThenClears(ScriptedFacade::Step::kThrowStandard, 0, -11);
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: [C] Exception detected. lastE:-6, module:'0.kvl', "
                       "exc:no strategy today"));
    failsThenClears(ScriptedFacade::Step::kThrowOther, 4, -11);
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: [C] Exception detected."));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: [C] lastE:-6, module: '0.kvl'"));
    EXPECT_TRUE(LoggedStartingWith("clib::os::modules::Module::Start: [C] impl:"));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Start: [C] options:4, args: 'p'"));
    EXPECT_TRUE(trace_.Lines().empty());

    EXPECT_TRUE(facade.Start(L"first", 0, "again"));
    EXPECT_TRUE(facade.Stop(1000));
    EXPECT_EQ(trace_.Lines(), (Trace{"start again 0", "started", "stop"}));
}

TEST_F(FacadeTest, ExceptionsInDataAndStopBecomeMinusElevenAndKeepTheCopy) {
    modtest::PlaceModule("zrtest_full", dir_.Path(), "first.kvl");
    ScriptedFacade facade(ScriptedFacade::Step::kThrowingStrategy);
    ASSERT_TRUE(facade.Start(L"first", 0, ""));

    std::wstring result;
    EXPECT_FALSE(facade.Data(1, L"x", result));
    EXPECT_EQ(-11, facade.GetLastResult());
    EXPECT_TRUE(Logged(
        "clib::os::modules::Module::Data: [C] Exception detected. lastE:0, option:1, exc:bad data, args:'x'"));
    EXPECT_FALSE(facade.Data(2, L"y", result));
    EXPECT_EQ(-11, facade.GetLastResult());
    EXPECT_TRUE(Logged("clib::os::modules::Module::Data: [C] Exception detected."));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Data: [C] lastE:-11, option:2, args:'y'"));
    EXPECT_TRUE(LoggedStartingWith("clib::os::modules::Module::Data: [C] impl:"));

    EXPECT_FALSE(facade.Stop(1));
    EXPECT_EQ(-11, facade.GetLastResult());
    EXPECT_TRUE(Logged("clib::os::modules::Module::Stop: [C] Exception detected. lastE:-11, exc:'bad stop'"));
    EXPECT_FALSE(facade.Stop(2));
    EXPECT_TRUE(Logged("clib::os::modules::Module::Stop: [C] Exception detected."));
    EXPECT_TRUE(LoggedStartingWith("clib::os::modules::Module::Stop: [C] err:"));
    EXPECT_TRUE(CopyExists("0.kvl"));
}

// The one test that waits out the facade's 10 s thread limit. The module's
// thread never leaves the library, so it runs in a child of its own (on
// Windows its loaded 0.kvl would also answer later loads of a 0.kvl).
TEST_F(FacadeTest, ThreadedStartThatNeverReturnsFailsToStopAndKeepsItsCopy) {
    const auto file = modtest::PlaceModule("zrtest_hangstart", dir_.Path(), "hang.kvl");
    auto child = zrtest::SpawnChild("StuckStart", {file.string()});
    // Started; not stopped (-10); a new start must not release the library the thread is still in (-9).
    EXPECT_EQ("started 1, data 1, stopped 0 (-10), started again 0 (-9), running 1, copy kept 1", child.Line())
        << child.Err();
    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(trace_.Lines(), (Trace{"start h 0"}));
    EXPECT_TRUE(LoggedStartingWith("ModuleThreaded::Stop: [C] Thread "));
    EXPECT_TRUE(LoggedStartingWith("ModuleThreaded::Stop: Stopping module '"));
}

TEST_F(FacadeTest, DestroyingARunningFacadeReleasesTheCopy) {
    modtest::PlaceModule("zrtest_full", dir_.Path(), "left.kvl");
    {
        Module module;
        module.SetCheckCertificate(false);
        ASSERT_TRUE(module.Start(L"left", 0, ""));
        EXPECT_TRUE(CopyExists("0.kvl"));
    }
    EXPECT_EQ(std::vector<std::string>{"left.kvl"}, Files());
}

TEST_F(FacadeTest, FileHasBeenModifiedIgnoresOnlyTheLastAccessTime) {
    // Attributes, creation, last access and last write time, size high and low.
    const Module::Snapshot before = {0x102, {100, 1}, {200, 1}, {300, 1}, 0, 4096};
    std::vector<Module::Snapshot> changed(6, before);
    changed[0].ftLastAccessTime = {999, 7};  // the one change that does not count
    changed[1].nFileSizeLow = 4097;
    changed[2].nFileSizeHigh = 1;
    changed[3].ftLastWriteTime.dwLowDateTime += 1;
    changed[4].ftCreationTime.dwHighDateTime += 1;
    changed[5].dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    for (size_t i = 0; i < changed.size(); ++i) EXPECT_EQ(i != 0, Module::FileHasBeenModified(before, changed[i])) << i;
    const auto messages = logtest::Messages();
    EXPECT_EQ(5, std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
                  return m.rfind("FileHasBeenModified: [W] Before: ", 0) == 0;
              })) << "a change only to the last access is not logged";
    EXPECT_TRUE(Logged(
        "FileHasBeenModified: [W] Before: attr:0x102, size:0.4096, creation:1.100, write:1.300, access:1.200"));
    EXPECT_TRUE(Logged(
        "FileHasBeenModified: [W] After reopen: attr:0x102, size:0.4097, creation:1.100, write:1.300, access:1.200"));
}

}  // namespace
