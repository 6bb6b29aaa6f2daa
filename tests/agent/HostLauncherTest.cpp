// The host launcher on either system: the command line it gives the library
// runner, and a real host started with it (zrrundll on Linux, rundll32 under
// Windows) reading the parent's pid and group from that command line. No
// parent serves the port here, so the host ends after its start-up.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostProcess.h"
#include "TestSupport.h"
#include "log/LogReader.h"

namespace fs = std::filesystem;
using zragent::HostCommand;
using zragent::HostProcess;

TEST(HostLauncher, TheRunnerGetsTheLibraryEntryAndTheHostsCommandLine) {
    // The largest pid; smaller ones, and the entry argument, are seen in the start below.
    EXPECT_EQ(zragent::HostParameters(4294967295u, "CModule"), "PID(4294967295) LPCNAME(CModule)");
    // Blanks in either path stay inside their quotes; the parameters follow
    // the entry name as the host reads them.
    EXPECT_EQ(zragent::WindowsCommandLine("C:\\Windows\\System32\\rundll32.exe", "C:\\Program Files\\zr\\zrmodproc.dll",
                                          7, "Grp"),
              "\"C:\\Windows\\System32\\rundll32.exe\" \"C:\\Program Files\\zr\\zrmodproc.dll\",Module PID(7) "
              "LPCNAME(Grp)");
}

namespace {

// The runner and the host library of this build, as absolute paths taken
// before a test changes the current directory.
HostCommand BuiltHost() {
    HostCommand command;
#ifdef _WIN32
    command.rundll = zragent::DefaultRundll();
    command.library = fs::absolute(zrtest::BinaryDir() + "/src/host/zrmodproc.dll").string();
#else
    command.rundll = fs::absolute(zrtest::BinaryDir() + "/tools/zrrundll/zrrundll").string();
    command.library = fs::absolute(zrtest::BinaryDir() + "/src/host/libzrmodproc.so").string();
#endif
    return command;
}

}  // namespace

TEST(HostLauncher, AHostStartedByTheLauncherReadsTheParentsPidAndGroup) {
    HostCommand command = BuiltHost();
    if (!fs::exists(command.rundll) || !fs::exists(command.library))
        GTEST_SKIP() << "no runner or host library: " << command.rundll << ", " << command.library;
    zrtest::ScopedTempDir dir;
    command.group = "Launch Test";
    // No process has this id on either system (Windows ids are multiples of
    // four), so nobody serves the port: the host's start-up fails and it ends.
    command.parentPid = 2147483647u;
    command.workDir = dir.Path().string();
    HostProcess host;
    std::string error;
    ASSERT_TRUE(host.Start(command, error)) << error;
    EXPECT_NE(host.CommandLine().find(",Module PID(2147483647) LPCNAME(Launch Test)"), std::string::npos)
        << host.CommandLine();
    ASSERT_TRUE(host.WaitForExit(60000));
    EXPECT_EQ(host.Status(), 0) << host.Describe();

    std::vector<zrlog::Record> records;
    ASSERT_TRUE(zrlog::ReadLogFile(dir.File("kvlzrmodproc.log"), records, error)) << error;
    // "64 OS" is 1 only for a 32-bit host on 64-bit Windows.
    const std::string head = "Module: LPCName: Launch Test, 64 OS: ";
    const std::string tail = ", Notify PID: 2147483647, My PID: " + std::to_string(host.Pid());
    bool found = false;
    for (const auto& record : records) {
        const std::string message = zrlog::MessageOf(record);
        found = found || (message.rfind(head, 0) == 0 && message.size() == head.size() + 1 + tail.size() &&
                          message.compare(head.size() + 1, std::string::npos, tail) == 0);
    }
    EXPECT_TRUE(found) << "no \"" << head << "N" << tail << "\" in the host's log";
}
