// `zragent run --keep`: after its requests the module is left running in the
// host until Ctrl-C (SIGINT) or a request to terminate, which stop it in
// order; a host that ends meanwhile is reported as ended unexpectedly.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct KeptModule {
    zrtest::ScopedTempDir dir;
    std::string trace = dir.File("trace.txt");

    // zragent run with one data request and --keep, the module tracing its
    // exports; returns once zragent says it keeps the module running.
    std::unique_ptr<zrtest::ChildProcess> Start() {
        fs::copy_file(zrtest::BinaryDir() + "/modules/zrtest_waitdata.kvl", dir.File("m.kvl"));
        setenv("ZRTEST_MODULE_TRACE", trace.c_str(), 1);
        auto agent = std::make_unique<zrtest::ChildProcess>(
            zrtest::BinaryDir() + "/tools/zragent/zragent",
            std::vector<std::string>{"run", dir.File("m.kvl"), "--no-signature-check", "--json", "--keep", "--data",
                                     "0:sleep:1"});
        unsetenv("ZRTEST_MODULE_TRACE");
        agent->CloseStdin();
        return agent;
    }
    std::string Traced() const {
        std::ifstream in(trace);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

bool HaveHost() { return fs::exists(zrtest::BinaryDir() + "/tools/zrrundll/zrrundll"); }

}  // namespace

TEST(AgentKeep, TheModuleRunsOnUntilCtrlCOrTerminateThenStopsInOrder) {
    if (!HaveHost()) GTEST_SKIP() << "no host starter";
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        KeptModule kept;
        auto agent = kept.Start();
        ASSERT_TRUE(agent->WaitForOutput("module keeps running; Ctrl-C stops it")) << agent->Out() << agent->Err();
        EXPECT_NE(agent->Out().find("\"event\":\"answer\""), std::string::npos);
        // The requests are done and the module was not stopped.
        EXPECT_EQ(kept.Traced().find("stop"), std::string::npos) << kept.Traced();
        EXPECT_EQ(agent->Out().find("\"event\":\"stopped\""), std::string::npos);

        agent->Signal(signal);
        EXPECT_EQ(agent->Wait(), 0) << agent->Out() << agent->Err();
        EXPECT_NE(agent->Out().find("\"event\":\"stopped\",\"stopped\":true,\"was_running\":true"), std::string::npos)
            << agent->Out();
        EXPECT_NE(agent->Out().find("\"status\":0"), std::string::npos);  // the host's own exit
        EXPECT_NE(kept.Traced().find("stop"), std::string::npos) << kept.Traced();
    }
}

TEST(AgentKeep, AHostThatEndsWhileTheModuleIsKeptIsReported) {
    if (!HaveHost()) GTEST_SKIP() << "no host starter";
    KeptModule kept;
    auto agent = kept.Start();
    ASSERT_TRUE(agent->WaitForOutput("module keeps running")) << agent->Out() << agent->Err();
    const std::string key = "\"event\":\"host-started\",\"pid\":";
    const size_t at = agent->Out().find(key);
    ASSERT_NE(at, std::string::npos);
    const pid_t host = static_cast<pid_t>(std::strtol(agent->Out().c_str() + at + key.size(), nullptr, 10));
    ASSERT_GT(host, 0);
    ASSERT_EQ(kill(host, SIGKILL), 0);  // zragent's child, not reaped until zragent sees it end
    EXPECT_EQ(agent->Wait(), 3) << agent->Out();
    EXPECT_NE(agent->Out().find("the host ended while the module ran: it was killed by signal 9"), std::string::npos)
        << agent->Out();
}
