// The host as a real process, started through zrrundll by zragent's session
// (the reference parent, in this test process), its log lines read back.
// What zragent itself adds (its events, statuses and errors) is tested in
// tests/agent.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "HostTestSupport.h"
#include "TestPki.h"
#include "ipc/messages/Commands.h"
#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "log/LogTestUtil.h"
#include "modules/ModuleTestSupport.h"
#include "support/ChildProcess.h"
#include "support/MultiProcessTest.h"

using namespace hosttest;
namespace pki = zrtest::pki;

namespace {

const std::string kExiting = "Module: Exiting ZRModProc module...";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

MsgStartArguments StartArguments(const std::wstring& module, bool checkCertificate) {
    MsgStartArguments arguments(module, "p1", 0);
    arguments.SetChkCert(checkCertificate);
    arguments.SetRequest(3);
    return arguments;
}

// MStartModuleArgs, then MStartModuleExec; the latter's reply.
MsgStartExec StartModule(zragent::AgentEndpoint& endpoint, uint32_t host, const std::wstring& module, bool check) {
    EXPECT_EQ(0u, endpoint.SendStartArguments(host, StartArguments(module, check)));
    MsgStartExec exec;
    exec.word0 = 5;
    EXPECT_EQ(0u, endpoint.SendStartExec(host, exec));
    return exec;
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Each test in a folder of its own: the host's current directory, log and
// module folder.
class HostProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(Rundll())) GTEST_SKIP() << "no host starter at " << Rundll();
    }
    // The hosts started from now on log everything.
    void VerboseHostLog() { logtest::UseRegistry(folder_.dir.File("registry.reg"), "\"debug\"=dword:00000004"); }
    void TearDown() override {
        unsetenv("ZRWIN_TRUST_ROOTS");
        unsetenv("ZRWIN_REGISTRY");
    }
    HostFolder folder_;
};

// Another agent process that asks the host (pid in the first argument) to
// announce itself.
ZR_CHILD_MAIN(StrangerAsksForReady) {
    zragent::AgentEndpoint stranger(L"CModule", nullptr);
    if (stranger.Open() != 0) return 2;
    std::printf("status %u\n", static_cast<unsigned>(stranger.SendReady(std::stoul(zrtest::ChildArgs().at(0)))));
    return 0;
}

TEST_F(HostProcess, ServesASignedModuleFromAnnouncementToStop) {
    VerboseHostLog();
    const pki::Identity root = pki::MakeRoot("Host Test Root");
    ASSERT_TRUE(pki::WriteCertificatesPem({root}, folder_.dir.File("roots.pem")));
    setenv("ZRWIN_TRUST_ROOTS", folder_.dir.File("roots.pem").c_str(), 1);
    const std::string path = folder_.Module("echo");
    std::string error;
    ASSERT_TRUE(pki::SignFile(path, pki::MakeSigner(root, {"Vorlandixpertholme Ltd", "", "", ""}), {}, false, &error))
        << error;
    const std::wstring echo = modtest::WindowsPath(path);
    InProcessAgent agent(SessionOptions(folder_, path), false);
    ASSERT_TRUE(agent.started) << agent.Printed();
    const uint32_t host = agent.host;
    zragent::AgentEndpoint& endpoint = agent.session->Endpoint();

    const MsgStartExec started = StartModule(endpoint, host, echo, true);
    EXPECT_EQ(5, started.word0);
    EXPECT_EQ(-1, started.word1);
    EXPECT_EQ(0, started.result);
    EXPECT_EQ(0, started.error);

    // Data requests from several threads at once, each answered with its own
    // text: answers are matched to requests by id, not by arrival (command 6
    // takes the same path: the bad-body test below).
    constexpr int kRequests = 8;
    std::atomic<int> right{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < kRequests; ++i) {
        senders.emplace_back([&, i] {
            const std::string text = "color" + std::to_string(i);
            const zragent::DataAnswer answer = endpoint.SendData(host, ZR_GETOPTION, text);
            right += answer.status == 0 && answer.text == "ZR_GETOPTION:" + text;
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(kRequests, right.load());
    EXPECT_EQ(0u, endpoint.Requests().RequestCount());

    // Another agent asks for an announcement: it goes to the parent.
    auto stranger = zrtest::SpawnChild("StrangerAsksForReady", {std::to_string(host)});
    EXPECT_EQ("status 0", stranger.Line()) << stranger.Err();
    EXPECT_EQ(0, stranger.Wait());

    bool stopped = false;
    EXPECT_EQ(0u, endpoint.SendStop(host, 5000, stopped));
    EXPECT_TRUE(stopped);
    ASSERT_TRUE(agent.session->Host().WaitForExit(20000));
    EXPECT_EQ(0, agent.session->Host().Status());
    const auto lines = LogOf(folder_.Log(), host);
    const std::string me = std::to_string(getpid());
    // The version is read through the handle the attach routine recorded.
    const std::vector<std::string> expected = {
        "Module: Starting ZRModProc module ... {v:1.0.0.1, debug:4(settings), reg:SOFTWARE\\KVL\\zrmodproc}",
        "Module: Setting Shutdown level to 0x100",
        "GetParams: LPCName found in cmdline: CModule",
        "Module: LPCName: CModule, 64 OS: 0, Notify PID: " + me + ", My PID: " + std::to_string(host),
        "Module: Entering the Message loop",
        "ZRModProc::ZRModProc: Notified existence to pid: " + me + " ('ReadyMP' sent)",
        "ZRModProc::StartModuleExec: Module started: '" + Narrow(echo) + "'. opt:0, args:'p1'",
        "ZRModProc::ReceiveMsg: Reply to MStartModuleExec: result=0",
        "ZRModProc::ReceiveMsg: [E] Received MReady message from process " + std::to_string(stranger.Pid()) +
            ", buf parent PID is " + me,
        "ZRModProc::ReceiveMsg: Reply to MReady: Notified existence to pid: " + me + " ('ReadyMP' sent)",
        "ZRModProc::ReceiveMsg: [W] Module stopped.",
        "Module: GetMessage exited due to WM_QUIT",
        "Module: Waiting to finish responses...",
        "ZRModProc::QuitProcessMessage: [W] Module was already stopped",
        "Module: Destroying ZRModProc...",
    };
    for (const auto& line : expected) EXPECT_TRUE(Has(lines, line)) << line;
    EXPECT_EQ(kExiting, lines.back());
    // ReadyMP goes out as a Call: the host waits for the parent to have handled it.
    EXPECT_EQ(2u, static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                  return line.rfind("NtLpcClient::SendMessageA: LPC header:", 0) == 0 &&
                         line.find("MessageInfo:[{pad:[0,0,0,0],type:Call,direct:1,cmd:0,size:0}]") != std::string::npos;
              })));
    EXPECT_EQ(size_t{kRequests}, CountPrefix(lines, "ZRModProc::ProcessMessage: Data returned [{DATA module:"));
    // Neither the private copy nor its lock file stays behind.
    EXPECT_TRUE(folder_.Leftovers({"echo.kvl", "registry.reg", "roots.pem"}).empty());
}

TEST_F(HostProcess, EndsWithoutItsLoopWhenNoParentAnswers) {
    VerboseHostLog();
    const std::string nobody = "PID(" + std::to_string(getpid()) + ") LPCNAME(NobodyServesThis)";
    for (const std::string& commandLine : {std::string(), nobody}) {
        SCOPED_TRACE(commandLine);
        std::vector<std::string> arguments{HostLibrary() + ",Module"};
        if (!commandLine.empty()) arguments.push_back(commandLine);
        zrtest::ChildProcess child(Rundll(), arguments);
        EXPECT_EQ(0, child.Wait()) << child.Err();
        const auto lines = LogOf(folder_.Log(), static_cast<uint32_t>(child.Pid()));
        EXPECT_EQ(1u, CountPrefix(lines, commandLine.empty()
                                             ? "Module: [E] Initialization failed.  name:CModule, pid:0, hInst:"
                                             : "Module: [E] Initialization failed.  name:NobodyServesThis, pid:"));
        EXPECT_EQ(!commandLine.empty(), Has(lines, "GetParams: LPCName found in cmdline: NobodyServesThis"));
        EXPECT_FALSE(Has(lines, "Module: Entering the Message loop"));
        EXPECT_FALSE(Has(lines, "Module: Waiting to finish responses..."));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(kExiting, lines.back());
    }
}

// One host takes every bad body and a start that keeps failing, and serves
// on; only a failed MStartModule ends it.
TEST_F(HostProcess, BadBodiesAndFailedStartsAreLoggedAndOnlyAFailedStartModuleEndsTheHost) {
    VerboseHostLog();
    InProcessAgent agent(SessionOptions(folder_, "absent"), false);
    ASSERT_TRUE(agent.started) << agent.Printed();
    const uint32_t host = agent.host;
    zragent::AgentEndpoint& endpoint = agent.session->Endpoint();
    // A Call is answered only by a host that still serves.
    const auto Call = [&](INT cmd, std::string& body) { return endpoint.SendRaw(host, cmd, body, MP_CALL); };
    const std::string e = "ZRModProc::ReceiveMsg: [E] ";

    // Each bad body of a Call is logged by the time the Call returns. Bodies
    // of MStartModuleExec that start nothing come back as they were sent.
    std::string overlong = StartArguments(L"m", false).Serialize();
    const uint32_t huge = 0x7fffffff;
    std::memcpy(&overlong[12], &huge, 4);  // the module text's byte count runs past the end
    std::string twenty(20, '\0');
    const int32_t words[5] = {11, 12, 13, 14, 15};
    std::memcpy(twenty.data(), words, 20);
    const struct {
        INT cmd;
        std::string body, line;
    } calls[] = {
        {MStopModule, "", e + "MStopModule received empty parameters buffer"},
        {MStopModule, std::string(8, '\0'), e + "Invalid parameters:{STOP size:8, incomplete}"},
        {MStopModule, StopParametersMultiProcess::Encode({0, 5000, 0, -1}),
         e + "Invalid parameters:{STOP request:-1, module:0, isModule:0, timeout:5000}"},
        {MStartModuleArgs, "", "MsgStartArguments::Deserialize: [E] Invalid params, size:0"},
        {MStartModuleArgs, overlong, ""},
        {MStartModuleExec, MsgStartExec().Serialize(),
         e + "Start arguments were not set in a previous MStartModuleArgs operation"},
        {MStartModuleArgs, StartArguments(L"absent", false).Serialize(), ""},
        {MStartModuleExec, "", e + "Invalid MsgStartExec. Received empty buffer"},
        {MStartModuleExec, twenty, e + "Could not deserialize MsgStartExec"},
        {4, "abc", e + "Command id unknown. Cmd:4, Data: [3]"},
        {42, "", e + "Command id unknown. Cmd:42, Data: [0]"},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(std::to_string(c.cmd) + ": " + c.line);
        std::string body = c.body;
        EXPECT_EQ(0u, Call(c.cmd, body));
        if (c.cmd == MStartModuleExec) {
            EXPECT_EQ(c.body, body);
        }
        if (!c.line.empty()) {
            EXPECT_EQ(1u, Count(LogOf(folder_.Log(), host), c.line));
        }
    }
    // Every command but MStartModule with an empty body, a short one and one
    // whose counts run past its end: each Call is answered, so the host serves on.
    std::string pastEndHeader(16, '\0');
    const int32_t header[4] = {-1, -1, 0x7fffffff, 0x7fffffff};
    std::memcpy(pastEndHeader.data(), header, sizeof header);
    for (INT cmd : {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, -1, 1000}) {
        for (const std::string& bad : {std::string(), std::string("\x01\x02\x03", 3), pastEndHeader}) {
            SCOPED_TRACE(std::to_string(cmd) + " with " + std::to_string(bad.size()) + " bytes");
            std::string body = bad;
            EXPECT_EQ(0u, Call(cmd, body));
        }
    }
    // A start of a missing module is tried five times, one second apart,
    // and answered.
    const auto before = std::chrono::steady_clock::now();
    const MsgStartExec failed = StartModule(endpoint, host, L"absent", false);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(3900));
    EXPECT_EQ(-1, failed.result);
    EXPECT_EQ(5, failed.word0);

    auto lines = LogOf(folder_.Log(), host);
    // Bodies of commands 3, 5 and 6 that do not decode are refused as data
    // requests, without an answer.
    const std::string refused = "ZRModProc::ProcessMessage: [E] Refused a data request that does not decode. From pid:" +
                                std::to_string(getpid()) + ", size:";
    EXPECT_EQ(3u, Count(lines, refused + "3"));
    EXPECT_EQ(3u, Count(lines, refused + "16"));
    EXPECT_EQ(3u, Count(lines, "DataParametersMultiProcess::Deserialize: [E] Invalid params, size:3"));
    EXPECT_EQ(1u, Count(lines, "CMultiProcessBase::ReceiveMessage: [E] MModuleDataAsyncEnd from pid:" +
                                   std::to_string(getpid()) + " too short for a request id (3 bytes). Dropped."));
    // Only the start above was tried: no bad body started anything.
    EXPECT_EQ(1u, Count(lines, "ZRModProc::StartModuleExec: [E] Start failed for 'absent'. err:-1"));
    EXPECT_EQ(1u, CountPrefix(lines, e + "Reply to MStartModuleExec: result=-1, err="));
    EXPECT_FALSE(Has(lines, "Module: GetMessage exited due to WM_QUIT"));

    // A failed MStartModule ends it: here one without a body, which fails
    // like a start that returns a negative code.
    std::string none;
    EXPECT_EQ(0u, Call(MStartModule, none));
    ASSERT_TRUE(agent.session->Host().WaitForExit(20000));
    EXPECT_EQ(0, agent.session->Host().Status());
    lines = LogOf(folder_.Log(), host);
    EXPECT_TRUE(Has(lines, e + "MStartModule received empty parameters buffer"));
    EXPECT_TRUE(Has(lines, e + "Start failed. Quitting..."));
    EXPECT_EQ(kExiting, lines.back());
}

TEST_F(HostProcess, ATwentySixthConcurrentRequestIsDroppedAndTheHostRecovers) {
    InProcessAgent agent(SessionOptions(folder_, folder_.Module("zrtest_waitdata")));
    ASSERT_TRUE(agent.started) << agent.Printed();
    const uint32_t host = agent.host;
    std::atomic<int> answered{0}, failed{0};
    std::vector<std::thread> requesters;
    for (int i = 0; i < 26; ++i) {
        requesters.emplace_back([&] {
            const auto answer = agent.session->Endpoint().SendData(host, ZR_RUN_SCRIPT, "wait");
            (answer.status == 0 ? answered : failed)++;
        });
    }
    // All 25 workers are busy once the host drops the 26th; the dump that
    // comes with the drop lists every one of them.
    const std::string me = std::to_string(getpid());
    ASSERT_TRUE(WaitUntil([&] { return LogHas(folder_.Log(), "No Free position. message: pid:" + me + ", cmd:3,"); },
                          20000));
    EXPECT_TRUE(LogHas(folder_.Log(), "Could not find any free worker slot for cmd:3, pid:" + me));
    std::string dump;
    const std::string dumpPrefix = "CMultiProcessBase::StartNewWorker: [E] Dump workers:";
    for (const auto& line : LogOf(folder_.Log(), host))
        if (line.rfind(dumpPrefix, 0) == 0) dump += line.substr(dumpPrefix.size());
    for (int i = 0; i < 25; ++i)
        EXPECT_NE(dump.find(std::to_string(i) + ":{pid:" + me + ", cmd:3, thread: 0x"), std::string::npos) << i;
    EXPECT_EQ(dump.find("thread: 0x0,"), std::string::npos) << "every slot busy";
    std::ofstream(folder_.dir.File("data.go")) << "go";
    EXPECT_TRUE(WaitUntil([&] { return answered == 25; }, 20000));
    const auto again = agent.session->Endpoint().SendData(host, ZR_RUN_SCRIPT, "after");
    EXPECT_EQ(again.status, 0u);
    EXPECT_EQ(again.text, "0|after");
    // The dropped request's sender waits until the host has ended.
    EXPECT_TRUE(agent.session->StopModule());
    EXPECT_TRUE(agent.session->AwaitHostExit(20000)) << agent.Printed();
    for (auto& requester : requesters) requester.join();
    EXPECT_EQ(answered, 25);
    EXPECT_EQ(failed, 1);
}

TEST_F(HostProcess, TenThousandRequestsInARowAreAllAnsweredWithoutGrowth) {
    InProcessAgent agent(SessionOptions(folder_, folder_.Module("echo")));
    ASSERT_TRUE(agent.started) << agent.Printed();
    const uint32_t host = agent.host;
    long afterWarmUp = 0;
    size_t lost = 0, wrong = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::string text = "request " + std::to_string(i);
        const auto answer = agent.session->Endpoint().SendData(host, ZR_GETOPTION, text);
        lost += answer.status != 0;
        wrong += answer.status == 0 && answer.text != "ZR_GETOPTION:" + text;
        if (i == 1999) afterWarmUp = zragent::ResidentKilobytes(host);
    }
    const long atEnd = zragent::ResidentKilobytes(host);
    EXPECT_EQ(wrong, 0u);
    // One requester at a time never finds the slots full: a slot is free again
    // as soon as its module call has returned, before its answer travels.
    EXPECT_EQ(lost, 0u);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed memory (quarantine, shadow history), so the
    // host's resident size says nothing about growth there.
    (void)afterWarmUp;
    (void)atEnd;
#else
    EXPECT_LT(atEnd - afterWarmUp, 1024) << "resident " << afterWarmUp << " kB -> " << atEnd << " kB";
#endif
    EXPECT_TRUE(agent.session->StopModule());
    EXPECT_TRUE(agent.session->AwaitHostExit(20000));
    const auto verified = zrlog::VerifyLogFile(folder_.Log());
    EXPECT_TRUE(verified.ok) << verified.reason;
}

}  // namespace
