// The host launcher's own case (a host that outlives its owner), module
// paths, start results and bench statistics. A missing starter or library is
// zragent's error test in AgentHostTest.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

#include "HostProcess.h"
#include "LatencyStats.h"
#include "PingPong.h"
#include "ResultCodes.h"
#include "TestSupport.h"

using zragent::HostCommand;
using zragent::HostProcess;

namespace {

// A stand-in starter that ends as its second line says. (The command line
// and how a host's end is reported are seen with real hosts, in
// HostLauncherTest and AgentHostTest.)
std::string FakeStarter(const zrtest::ScopedTempDir& dir, const std::string& ending) {
    const std::string path = dir.File("fake-rundll");
    std::ofstream(path) << "#!/bin/sh\n" << ending << "\n";
    chmod(path.c_str(), 0755);
    std::ofstream(dir.File("libhost.so")) << "not really";
    return path;
}

HostCommand Command(const zrtest::ScopedTempDir& dir, const std::string& starter) {
    HostCommand command;
    command.rundll = starter;
    command.library = dir.File("libhost.so");
    command.group = "Grp";
    command.parentPid = 4321;
    return command;
}

}  // namespace

TEST(HostProcess, AHostStillRunningIsKilledWithItsOwner) {
    zrtest::ScopedTempDir dir;
    pid_t pid = 0;
    {
        HostProcess host;
        std::string error;
        ASSERT_TRUE(host.Start(Command(dir, FakeStarter(dir, "exec sleep 600")), error)) << error;
        pid = static_cast<pid_t>(host.Pid());
        EXPECT_FALSE(host.WaitForExit(50));
    }
    EXPECT_NE(kill(pid, 0), 0);  // gone and reaped
}

TEST(HostProcess, ModulePathsOfExistingFilesBecomeAbsoluteWindowsPaths) {
    zrtest::ScopedTempDir dir;
    std::ofstream("m.kvl") << "x";
    const std::string real = std::filesystem::canonical(dir.File("m.kvl")).string();
    std::string expected = "C:" + real;
    for (char& c : expected)
        if (c == '/') c = '\\';
    EXPECT_EQ(zragent::HostModulePath("m.kvl"), expected);
    EXPECT_EQ(zragent::HostModulePath("echo"), "echo");  // the host looks for echo.kvl itself
    EXPECT_EQ(zragent::HostModulePath("C:\\x\\y.kvl"), "C:\\x\\y.kvl");
}

TEST(HostProcess, StartResultsHaveAMeaning) {
    EXPECT_STREQ(zragent::StartResultMeaning(-1), "module file not found");
    EXPECT_STREQ(zragent::StartResultMeaning(-3), "signature check refused the file");
    EXPECT_STREQ(zragent::StartResultMeaning(-4), "the module lacks the Start or Stop export");
    EXPECT_STREQ(zragent::StartResultMeaning(-99), "unknown result code");
}

TEST(HostProcess, PercentilesAreNearestRank) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) samples.push_back(i);
    const auto summary = zragent::Summarize(samples, 2, 0.5);
    EXPECT_EQ(summary.count, 100u);
    EXPECT_EQ(summary.failures, 2u);
    EXPECT_EQ(summary.p50Us, 50);
    EXPECT_EQ(summary.p99Us, 99);
    EXPECT_EQ(summary.maxUs, 100);
    EXPECT_EQ(summary.perSecond, 200);
    std::vector<double> none;
    EXPECT_EQ(zragent::Summarize(none, 0, 0).p99Us, 0);
}

// 10 requests on 4 threads: shares of 3, 3, 2, 2, each thread its own index;
// a failed one is counted, not sampled.
TEST(HostProcess, ConcurrentRunsSplitTheRequestsAndCountFailures) {
    std::atomic<int> perThread[4] = {};
    const auto summary = zragent::RunConcurrently(10, 4, [&](int t) { return ++perThread[t] == 3 ? -1.0 : 5.0; });
    EXPECT_EQ(summary.count, 8u);
    EXPECT_EQ(summary.failures, 2u);
    EXPECT_EQ(summary.p99Us, 5);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(perThread[t].load(), t < 2 ? 3 : 2) << t;
}

TEST(HostProcess, RawPingPongCompletesEveryRoundTrip) {
    zragent::LatencySummary summary;
    std::string error;
    ASSERT_TRUE(zragent::RunPingPong(200, 4, 64, summary, error)) << error;
    EXPECT_EQ(summary.count, 200u);
    EXPECT_EQ(summary.failures, 0u);
    EXPECT_GT(summary.p50Us, 0);
    EXPECT_LE(summary.p50Us, summary.p99Us);
}
