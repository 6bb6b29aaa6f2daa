// What zragent adds to a real host started through zrrundll: its JSON
// events, its decoded window messages, its exit statuses and error reports,
// its shell, and a parent killed mid-request (zragent is the parent that
// dies). The host's own behaviour is tested in tests/host.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HostTestSupport.h"
#include "MultiProcessTest.h"
#include "log/LogTestUtil.h"

using namespace hosttest;

namespace {

std::string Zragent() { return zrtest::BinaryDir() + "/tools/zragent/zragent"; }

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The host pid from the "host-started" event of the agent `parent`; 0 unless
// that process is the agent's child, so that no stranger is ever signalled.
pid_t HostPidFrom(const std::string& json, pid_t parent) {
    const std::string key = "\"event\":\"host-started\",\"pid\":";
    const size_t at = json.find(key);
    if (at == std::string::npos) return 0;
    const pid_t pid = static_cast<pid_t>(std::strtol(json.c_str() + at + key.size(), nullptr, 10));
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) return 0;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent) return 0;
    return pid;
}

// Each test runs in a host folder of its own (or one per case).
class AgentHost : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(Rundll())) GTEST_SKIP() << "no host starter at " << Rundll();
    }
    // The hosts started from now on log everything (their settings are outside any case's folder).
    void VerboseHostLog() { logtest::UseRegistry(folder.dir.File("registry.reg"), "\"debug\"=dword:00000004"); }
    HostFolder folder;
};

}  // namespace

// With the raw start (the other form runs in every other test here and in
// the host's tests): the events in order, the host's own exit.
TEST_F(AgentHost, RunsEchoEndToEndWithTheRawStart) {
    VerboseHostLog();
    const auto ran = zrtest::Run(Zragent(), {"run", folder.Module("echo"), "--no-signature-check", "--json",
                                             "--raw-start", "--data", "ZR_GETOPTION:proxy.host", "--data", "18:a b"});
    EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
    const std::vector<std::string> order = {
        "\"event\":\"host-started\"", "\"event\":\"ready\"", "\"event\":\"started\"",
        "\"text\":\"ZR_GETOPTION:proxy.host\"", "\"text\":\"ZR_RUN_SCRIPT_ASYNCH:a b\"",
        "\"event\":\"stopped\",\"stopped\":true,\"was_running\":true", "\"event\":\"host-exit\""};
    size_t at = 0;
    for (const auto& event : order) {
        at = ran.out.find(event, at);
        ASSERT_NE(at, std::string::npos) << event << " missing or out of order in\n" << ran.out;
    }
    EXPECT_NE(ran.out.find("\"how\":\"exited with status 0\",\"status\":0"), std::string::npos) << ran.out;
    EXPECT_EQ(ran.out.find("\"event\":\"error\""), std::string::npos) << ran.out;
    // The raw start is answered in its own body.
    EXPECT_TRUE(LogHas(folder.Log(), "ZRModProc::ReceiveMsg: Response:'0'"));
}

TEST_F(AgentHost, WindowMessagesOfTheModuleArePrintedDecodedAndAnswered) {
    VerboseHostLog();
    const auto ran = zrtest::Run(Zragent(), {"run", folder.Module("relay"), "--no-signature-check", "--window",
                                             "--json", "--data", "ZR_SETOPTION:proxy.port=8080", "--data",
                                             "ZR_GETOPTION:proxy.host", "--data", "ZR_RUN_SCRIPT:7 -1"});
    EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("\"event\":\"window\",\"message\":3026,\"name\":\"SETSRVOPTION\",\"option\":\"proxy.port\","
                           "\"bytes\":\"8080\",\"answered\":true"),
              std::string::npos)
        << ran.out;
    EXPECT_NE(ran.out.find("\"name\":\"GETSRVOPTION\",\"option\":\"proxy.host\",\"bytes\":\"\""), std::string::npos);
    EXPECT_NE(ran.out.find("\"name\":\"WM_RUNJOB\",\"wparam\":7,\"lparam\":-1"), std::string::npos);
    // Each relay returned to the module with the window's answer, 1.
    EXPECT_EQ(Count(ran.out, "\"text\":\"sent, window answered 1\""), 3u) << ran.out;
    EXPECT_TRUE(LogHas(folder.Log(), "ZRModProc::WindowMessage: Received WM_RUNJOB message [w:7, l:-1]"));
    EXPECT_EQ(LogCount(folder.Log(), "ZRModProc::WindowMessage: Sending Windows Message to process "), 3u);
    EXPECT_EQ(LogCount(folder.Log(), "ZRModProc::WindowMessage: [E]"), 0u);
}

// zragent's report of a refused start: the host's result, its meaning, exit
// status 1 and no data sent (the host's five tries are the host tests').
TEST_F(AgentHost, ARefusedStartCarriesTheHostsResultAndItsMeaning) {
    const auto ran = zrtest::Run(Zragent(), {"run", folder.Module("echo"), "--json", "--data", "2:x"});
    EXPECT_EQ(ran.code, 1) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("\"event\":\"start-refused\""), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("\"result\":-3,\"meaning\":\"signature check refused the file\""), std::string::npos);
    EXPECT_EQ(ran.out.find("\"event\":\"answer\""), std::string::npos) << "no data after a refused start";
    EXPECT_NE(ran.out.find("\"event\":\"host-exit\""), std::string::npos);
}

TEST_F(AgentHost, AMissingHostOrOneThatDiesBeforeReadyIsReported) {
    const std::string module = folder.Module("echo");
    const std::pair<const char*, const char*> missing[] = {{"--rundll", "host starter not found"},
                                                           {"--host-library", "host library not found"}};
    for (const auto& [option, message] : missing) {
        SCOPED_TRACE(option);
        const auto ran = zrtest::Run(Zragent(), {"run", module, "--json", option, folder.dir.File("nothing")});
        EXPECT_EQ(ran.code, 3);
        EXPECT_NE(ran.out.find("\"kind\":\"host-not-found\",\"message\":\"" + std::string(message)), std::string::npos)
            << ran.out;
    }

    // A library without the entry point: the starter gives up before any ReadyMP.
    const auto early = zrtest::Run(Zragent(), {"run", module, "--json", "--host-library", module});
    EXPECT_EQ(early.code, 3) << early.out;
    EXPECT_NE(early.out.find("\"kind\":\"host-died\",\"message\":\"the host ended before its ReadyMP: it exited "
                             "with status"),
              std::string::npos)
        << early.out;
    EXPECT_EQ(early.out.find("\"event\":\"ready\""), std::string::npos);
}

TEST_F(AgentHost, AParentKilledMidRequestEndsTheHostWithinTwoSeconds) {
    // Orphans of the killed parent become this process's children, so their
    // end can be waited for.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::string module = folder.Module("zrtest_waitdata");
    const std::string trace = folder.dir.File("trace.txt");
    setenv("ZRTEST_MODULE_TRACE", trace.c_str(), 1);
    zrtest::ChildProcess agent(Zragent(), {"shell", module, "--no-signature-check", "--json"});
    unsetenv("ZRTEST_MODULE_TRACE");
    ASSERT_TRUE(agent.WaitForOutput("\"event\":\"started\""));
    const pid_t host = HostPidFrom(agent.Out(), agent.Pid());
    ASSERT_GT(host, 0);
    ASSERT_TRUE(agent.Write("data 0 sleep:400\n"));
    ASSERT_TRUE(WaitUntil([&] { return Slurp(trace).find("data 0") != std::string::npos; }, 20000));
    agent.Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.Wait(), 128 + SIGKILL);
    int status = 0;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() - killed < std::chrono::seconds(2)) {
        ended = waitpid(host, &status, WNOHANG) == host;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) kill(host, SIGKILL), waitpid(host, &status, 0);
    ASSERT_TRUE(ended) << "the host outlived its parent by more than 2 s";
    EXPECT_NE(Slurp(trace).find("stop"), std::string::npos) << Slurp(trace);
    EXPECT_TRUE(folder.Leftovers({"zrtest_waitdata.kvl", "trace.txt"}).empty());
    const auto lines = LogOf(folder.Log());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(LogHas(folder.Log(), "ZRModProc::ProcessTermination: [W] Agent process " + std::to_string(agent.Pid()) +
                                         " closed IPC port. Notifying Server thread to exit..."));
    EXPECT_TRUE(LogHas(folder.Log(), "ZRModProc::QuitProcessMessage: Module stopped"));
    EXPECT_EQ(lines.back(), "Module: Exiting ZRModProc module...");
}

TEST_F(AgentHost, AKilledHostIsReportedWithItsExitStatus) {
    zrtest::ChildProcess agent(Zragent(), {"shell", folder.Module("echo"), "--no-signature-check", "--json"});
    ASSERT_TRUE(agent.WaitForOutput("\"event\":\"started\""));
    const pid_t host = HostPidFrom(agent.Out(), agent.Pid());
    ASSERT_GT(host, 0);
    kill(host, SIGKILL);
    agent.Write("data 2 x\n");
    agent.CloseStdin();
    EXPECT_EQ(agent.Wait(), 3);
    EXPECT_NE(agent.Out().find("\"kind\":\"host-died\""), std::string::npos) << agent.Out();
    EXPECT_NE(agent.Out().find("\"event\":\"host-exit\",\"pid\":" + std::to_string(host) +
                               ",\"how\":\"was killed by signal 9"),
              std::string::npos)
        << agent.Out();
    EXPECT_NE(agent.Out().find("\"status\":137"), std::string::npos);
}

TEST_F(AgentHost, TheShellRunsAScriptFromStandardInput) {
    zrtest::ChildProcess agent(Zragent(), {"shell", folder.Module("echo"), "--no-signature-check", "--json"});
    agent.Write("# a script\nhelp\ndata getoption one\ndata 0 two words\nready\nstatus\nbogus\nstop\n");
    agent.CloseStdin();
    EXPECT_EQ(agent.Wait(), 0) << agent.Out();
    const std::string& out = agent.Out();
    EXPECT_NE(out.find("\"text\":\"ZR_GETOPTION:one\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"text\":\"ZR_RUN_SCRIPT:two words\""), std::string::npos);
    EXPECT_EQ(Count(out, "\"event\":\"ready\""), 2u);  // the start's and the one asked for
    EXPECT_NE(out.find("\"event\":\"status\""), std::string::npos);
    EXPECT_NE(out.find("unknown command \\\"bogus\\\""), std::string::npos);
    EXPECT_NE(out.find("\"event\":\"stopped\",\"stopped\":true,\"was_running\":true"), std::string::npos);
}
