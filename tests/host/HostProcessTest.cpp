// The host as a real process, started through zrrundll, against a test
// parent that speaks the protocol through the product's own endpoint.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostTestSupport.h"
#include "TestPki.h"
#include "ipc/messages/Commands.h"
#include "ipc/messages/MsgStartArguments.h"
#include "ipc/messages/MsgStartExec.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "log/Log.h"
#include "log/LogTestUtil.h"
#include "modules/ModuleTestSupport.h"
#include "support/MultiProcessTest.h"

using namespace hosttest;
namespace pki = zrtest::pki;

namespace {

const std::wstring kGroup = L"ZrHostTest";
const std::string kExiting = "Module: Exiting ZRModProc module...";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string StartArguments(const std::wstring& module, bool checkCertificate) {
    MsgStartArguments arguments(module, "p1", 0);
    arguments.SetChkCert(checkCertificate);
    arguments.SetRequest(3);
    return arguments.Serialize();
}

// What the host tests share: a folder of their own (the host's current
// directory, log and module folder), the most verbose log level in the
// registry the host reads, a trusted root, and the parent's endpoint.
class HostProcess : public ::testing::Test {
protected:
    HostProcess() {
        logtest::UseRegistry(dir_.File("registry.reg"), "\"debug\"=dword:00000004");
        root_ = pki::MakeRoot("Host Test Root");
        EXPECT_TRUE(pki::WriteCertificatesPem({root_}, dir_.File("roots.pem")));
        setenv("ZRWIN_TRUST_ROOTS", dir_.File("roots.pem").c_str(), 1);
        parent_ = std::make_unique<TestParent>(kGroup);
        EXPECT_TRUE(parent_->Serving());
    }
    ~HostProcess() override {
        parent_.reset();
        unsetenv("ZRWIN_TRUST_ROOTS");
        unsetenv("ZRWIN_REGISTRY");
    }

    // Starts the host and waits for its announcement.
    DWORD StartServingHost() {
        host_ = StartHost("x PID(" + std::to_string(getpid()) + ") lpcname(ZrHostTest)");
        EXPECT_TRUE(host_->Started());
        const DWORD pid = static_cast<DWORD>(host_->Pid());
        EXPECT_TRUE(parent_->WaitForCommand(MReady, pid)) << host_->Err();
        return pid;
    }

    // MStartModuleArgs, then MStartModuleExec; the latter's reply.
    MsgStartExec StartModule(DWORD host, const std::wstring& module, bool checkCertificate) {
        EXPECT_EQ(0u, parent_->Call(host, MStartModuleArgs, StartArguments(module, checkCertificate)));
        MsgStartExec exec;
        exec.word0 = 5;
        std::string body = exec.Serialize();
        EXPECT_EQ(0u, parent_->Call(host, MStartModuleExec, body));
        exec.Deserialize(body.substr(0, MsgStartExec::kSize));
        return exec;
    }

    // Stops the module and waits for the host to end; the stop result byte.
    int StopAndWait(DWORD host) {
        std::string body = StopParametersMultiProcess::Encode({0, 5000, 0, 9});
        EXPECT_EQ(0u, parent_->Call(host, MStopModule, body));
        EXPECT_EQ(0, host_->Wait()) << host_->Err();
        return static_cast<unsigned char>(body[StopParametersMultiProcess::kIsModuleOffset]);
    }

    zrtest::ScopedTempDir dir_;
    pki::Identity root_;
    std::unique_ptr<TestParent> parent_;
    std::unique_ptr<zrtest::ChildProcess> host_;
};

// Another agent process that asks the host (pid in the first argument) to
// announce itself, then waits for its standard input to close.
ZR_CHILD_MAIN(StrangerAsksForReady) {
    TestParent stranger(kGroup);
    const DWORD host = static_cast<DWORD>(std::stoul(zrtest::ChildArgs().at(0)));
    std::printf("status %u\n", static_cast<unsigned>(stranger.Call(host, MReady)));
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}

TEST_F(HostProcess, ServesASignedModuleFromAnnouncementToStop) {
    const auto path = modtest::PlaceModule("echo", dir_.Path(), "echo.kvl");
    std::string error;
    ASSERT_TRUE(pki::SignFile(path.string(), pki::MakeSigner(root_, {"Vorlandixpertholme Ltd", "", "", ""}), {},
                              false, &error))
        << error;
    const std::wstring echo = modtest::WindowsPath(path);
    // ReadyMP is a Call: the host waits in its constructor until this
    // handler has returned, so its own "Notified" line cannot be there yet.
    const std::string notified = "ZRModProc::ZRModProc: Notified existence to pid: " + std::to_string(getpid()) +
                                 " ('ReadyMP' sent)";
    const auto notifiedBeforeReply = std::make_shared<std::atomic<int>>(-1);
    parent_.reset();  // its port name is the new parent's
    parent_ = std::make_unique<TestParent>(kGroup, [notifiedBeforeReply, notified](DWORD pid, INT cmd) {
        if (cmd != MReady || *notifiedBeforeReply >= 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a host that does not wait
        *notifiedBeforeReply = Has(LogOf(pid), notified) ? 1 : 0;
    });
    const DWORD host = StartServingHost();
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(0, *notifiedBeforeReply);

    const MsgStartExec started = StartModule(host, echo, true);
    EXPECT_EQ(5, started.word0);
    EXPECT_EQ(-1, started.word1);
    EXPECT_EQ(0, started.result);
    EXPECT_EQ(0, started.error);

    // Both data commands (concurrent requests are the endpoint's and the agent's tests).
    for (INT cmd : {MModuleData, MModuleData2}) {
        SCOPED_TRACE(cmd);
        DataParametersMultiProcess answer;
        ASSERT_TRUE(parent_->Request(host, cmd, ZR_GETOPTION, L"color" + std::to_wstring(cmd), answer));
        std::wstring text;
        EXPECT_TRUE(answer.GetParam(text));
        EXPECT_EQ(L"ZR_GETOPTION:color" + std::to_wstring(cmd), text);
        EXPECT_EQ(ZR_GETOPTION, answer.option);
        EXPECT_EQ(1, answer.module);
    }
    EXPECT_EQ(0u, parent_->Requests().RequestCount());

    // Another agent asks for an announcement: it goes to the parent.
    auto stranger = zrtest::SpawnChild("StrangerAsksForReady", {std::to_string(host)});
    EXPECT_EQ("status 0", stranger.Line()) << stranger.Err();
    EXPECT_TRUE(parent_->WaitForCommand(MReady, host, 2));
    stranger.CloseStdin();
    EXPECT_EQ(0, stranger.Wait());

    EXPECT_EQ(1, StopAndWait(host));
    const auto lines = LogOf(host);
    // The version is read through the handle the attach routine recorded.
    const std::vector<std::string> expected = {
        "Module: Starting ZRModProc module ... {v:1.0.0.1, debug:4(settings), reg:SOFTWARE\\KVL\\zrmodproc}",
        "Module: Setting Shutdown level to 0x100",
        "Module: LPCName: ZrHostTest, 64 OS: 0, Notify PID: " + std::to_string(getpid()) +
            ", My PID: " + std::to_string(host),
        "Module: Entering the Message loop",
        notified,
        "ZRModProc::StartModuleExec: Module started: '" + Narrow(echo) + "'. opt:0, args:'p1'",
        "ZRModProc::ReceiveMsg: Reply to MStartModuleExec: result=0",
        "ZRModProc::ReceiveMsg: [E] Received MReady message from process " + std::to_string(stranger.Pid()) +
            ", buf parent PID is " + std::to_string(getpid()),
        "ZRModProc::ReceiveMsg: [W] Module stopped.",
        "Module: GetMessage exited due to WM_QUIT",
        "Module: Waiting to finish responses...",
        "ZRModProc::QuitProcessMessage: [W] Module was already stopped",
        "Module: Destroying ZRModProc...",
    };
    for (const auto& line : expected) EXPECT_TRUE(Has(lines, line)) << line;
    EXPECT_EQ(kExiting, lines.back());
    EXPECT_EQ(2u, CountPrefix(lines, "ZRModProc::ProcessMessage: Data returned [{DATA module:1, lparam:2, "));
    // Neither the private copy nor its lock file stays behind.
    EXPECT_EQ(modtest::FilesIn(dir_.Path()), (std::vector<std::string>{"echo.kvl", "registry.reg", "roots.pem"}));
}

TEST_F(HostProcess, EndsWithoutItsLoopWhenNoParentAnswers) {
    const std::string nobody = "PID(" + std::to_string(getpid()) + ") LPCNAME(NobodyServesThis)";
    for (const std::string& commandLine : {std::string(), nobody}) {
        SCOPED_TRACE(commandLine);
        const auto child = StartHost(commandLine);
        EXPECT_EQ(0, child->Wait()) << child->Err();
        const auto lines = LogOf(static_cast<DWORD>(child->Pid()));
        EXPECT_EQ(1u, CountPrefix(lines, commandLine.empty()
                                             ? "Module: [E] Initialization failed.  name:CModule, pid:0, hInst:"
                                             : "Module: [E] Initialization failed.  name:NobodyServesThis, pid:"));
        EXPECT_FALSE(Has(lines, "Module: Entering the Message loop"));
        EXPECT_FALSE(Has(lines, "Module: Waiting to finish responses..."));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(kExiting, lines.back());
    }
}

// One host takes every bad body and a start that keeps failing, and serves
// on; only a failed MStartModule ends it.
TEST_F(HostProcess, BadBodiesAndFailedStartsAreLoggedAndOnlyAFailedStartModuleEndsTheHost) {
    const DWORD host = StartServingHost();
    ASSERT_FALSE(HasFailure());
    const std::string e = "ZRModProc::ReceiveMsg: [E] ";

    // Each bad body of a Call is logged by the time the Call returns. Bodies
    // of MStartModuleExec that start nothing come back as they were sent.
    std::string overlong = StartArguments(L"m", false);
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
        {MStartModuleArgs, StartArguments(L"absent", false), ""},
        {MStartModuleExec, "", e + "Invalid MsgStartExec. Received empty buffer"},
        {MStartModuleExec, twenty, e + "Could not deserialize MsgStartExec"},
        {4, "abc", e + "Command id unknown. Cmd:4, Data: [3]"},
        {42, "", e + "Command id unknown. Cmd:42, Data: [0]"},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(std::to_string(c.cmd) + ": " + c.line);
        std::string body = c.body;
        EXPECT_EQ(0u, parent_->Call(host, c.cmd, body));
        if (c.cmd == MStartModuleExec) {
            EXPECT_EQ(c.body, body);
        }
        if (!c.line.empty()) {
            EXPECT_EQ(1u, Count(LogOf(host), c.line));
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
            EXPECT_EQ(0u, parent_->Call(host, cmd, body));
        }
    }
    // Data requests that do not decode: short, and a count past the end.
    std::string shortRequest(8, '\x01');
    std::string pastEnd = DataParametersMultiProcess().Serialize() + "abcd";
    const int32_t length = 1000;
    std::memcpy(&pastEnd[12], &length, 4);
    for (auto* body : {&shortRequest, &pastEnd})
        EXPECT_EQ(0u, parent_->SendMessage(host, MModuleData, reinterpret_cast<BYTE*>(body->data()),
                                           static_cast<DWORD>(body->size()), MP_ASYNC));
    const std::string refused = "ZRModProc::ProcessMessage: [E] Refused a data request that does not decode. From pid:";
    EXPECT_TRUE(WaitForLog(host, [&](const std::vector<std::string>& lines) {
        const std::string from = refused + std::to_string(getpid());
        return Count(lines, from + ", size:8") == 1 && Count(lines, from + ", size:20") == 1;
    }));

    // A start of a missing module is tried five times, one second apart,
    // and answered.
    const auto before = Clock::now();
    const MsgStartExec failed = StartModule(host, L"absent", false);
    EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(3900));
    EXPECT_EQ(-1, failed.result);
    EXPECT_EQ(5, failed.word0);

    auto lines = LogOf(host);
    EXPECT_EQ(1u, Count(lines, "DataParametersMultiProcess::Deserialize: [E] Invalid params, size:8"));
    // Only the start above was tried: no bad body started anything.
    EXPECT_EQ(1u, Count(lines, "ZRModProc::StartModuleExec: [E] Start failed for 'absent'. err:-1"));
    EXPECT_EQ(1u, CountPrefix(lines, e + "Reply to MStartModuleExec: result=-1, err="));
    EXPECT_FALSE(Has(lines, "Module: GetMessage exited due to WM_QUIT"));

    // A failed MStartModule ends it: here one without a body, which fails
    // like a start that returns a negative code.
    EXPECT_EQ(0u, parent_->Call(host, MStartModule, ""));
    EXPECT_EQ(0, host_->Wait());
    lines = LogOf(host);
    EXPECT_TRUE(Has(lines, e + "MStartModule received empty parameters buffer"));
    EXPECT_TRUE(Has(lines, e + "Start failed. Quitting..."));
    EXPECT_EQ(kExiting, lines.back());
}

}  // namespace
