// zrmodrun as a module developer meets it: interrupted runs end cleanly.
#include <signal.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ModuleTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

TEST(ZrmodrunTool, InterruptStopsTheModuleAndRemovesItsCopy) {
    zrtest::ScopedTempDir dir;
    modtest::ModuleTrace trace;
    modtest::PlaceModule("zrtest_waitstart", dir.Path(), "slow.kvl");
    zrtest::ChildProcess run(ZRMODRUN_PATH, {"--no-check", "slow.kvl", "--data", "0", "never sent"});
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(trace.WaitFor("start  0")) << "Start never began";

    run.Signal(SIGINT);
    std::ofstream("start.go") << "go";  // lets the module's Start return
    EXPECT_EQ(128 + SIGINT, run.Wait()) << run.Out() << run.Err();
    EXPECT_NE(std::string::npos, run.Out().find("interrupted: stopping the module\nStop: ok")) << run.Out();
    EXPECT_EQ(1u, trace.Count("stop"));
    EXPECT_EQ(0u, trace.Count("data 0")) << "no step starts after the interrupt";
    EXPECT_EQ((std::vector<std::string>{"slow.kvl", "start.go"}), modtest::FilesIn(dir.Path()));
}

}  // namespace
