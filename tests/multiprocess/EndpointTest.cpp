#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "MultiProcessLog.h"
#include "TestEndpoint.h"
#include "ipc/messages/Commands.h"
#include "log/Log.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"

namespace {

using mptest::Answer;
using mptest::CountLines;
using mptest::CountStartingWith;
using mptest::RequestBody;
using mptest::TestEndpoint;

// The peer: an endpoint that serves until its standard input closes.
// Arguments: the group name, the answer mode and the parent's pid. Like the
// host, it connects to the parent from its main thread, which outlives every
// worker (a connection ends with the thread that made it).
ZR_CHILD_MAIN(Peer) {
    SetLogLevel(LOG_OTHER);
    const auto& args = zrtest::ChildArgs();
    if (args.size() < 3) return 2;
    const std::wstring group(args[0].begin(), args[0].end());
    const Answer mode = args[1] == "gated" ? Answer::Gated
                        : args[1] == "none" ? Answer::None
                        : args[1] == "die"  ? Answer::Die
                                            : Answer::Echo;
    TestEndpoint endpoint(group, mode);
    if (!endpoint.Start()) return 1;
    BYTE ready[4] = {};
    if (endpoint.SendMessage(static_cast<DWORD>(std::stoul(args[2])), MReady, ready, sizeof ready, MP_SYNC) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    endpoint.OpenGate();  // workers still waiting end before the endpoint does
    return 0;
}

class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_OTHER);
        ASSERT_TRUE(self_.Start());
    }
    void TearDown() override { SetLogLevel(LOG_WARNING); }

    std::unique_ptr<zrtest::ChildProcess> StartPeer(const char* mode) {
        auto peer = std::make_unique<zrtest::ChildProcess>(
            zrtest::SelfPath(),
            std::vector<std::string>{"--zr-child=Peer", std::string(group_.begin(), group_.end()), mode,
                                     std::to_string(pid_)});
        EXPECT_EQ(peer->Line(), "ready");
        // A connection ends with the thread that made it: the test's own
        // thread connects, before any short-lived sender can.
        BYTE hello[4] = {};
        EXPECT_EQ(self_.SendMessage(static_cast<DWORD>(peer->Pid()), MReady, hello, sizeof hello, MP_SYNC), 0u);
        return peer;
    }
    // A data request sent as the parent sends it, waiting for its answer.
    DWORD Request(DWORD pid, const std::string& payload, std::string& answer, DWORD type = MP_SYNC) {
        const int32_t id = self_.Requests().GetNewRequestId(pid);
        return self_.SendMessageCommon(pid, MModuleData, id, RequestBody(id, payload), answer, type);
    }

    zrtest::ScopedTempDir dir_;
    const DWORD pid_ = GetCurrentProcessId();
    const std::wstring group_ = mptest::GroupOf(GetCurrentProcessId());
    TestEndpoint self_{group_};
};

TEST_F(EndpointTest, EndpointTypesMapToTransportTypesAndUnknownOnesToSync) {
    const struct {
        DWORD endpoint;
        LpcMessageType transport;
    } cases[] = {{MP_SYNC, LPC_TYPE_SYNC}, {MP_ASYNC, LPC_TYPE_ASYNC}, {MP_CALL, LPC_TYPE_CALL}, {40, LPC_TYPE_SYNC}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint);
        EXPECT_EQ(CMultiProcessBase::ConvertMessageType(c.endpoint), c.transport);
    }
    EXPECT_EQ(CountLines("ConvertMessageType: [E] Invalid type:40"), 1u);
    EXPECT_EQ(CountStartingWith("ConvertMessageType:"), 1u);
}

TEST_F(EndpointTest, DataRequestsAndWindowMessagesAreAnsweredThroughAPeerProcess) {
    auto peer = StartPeer("echo");
    const DWORD pid = static_cast<DWORD>(peer->Pid());

    std::string answer;
    ASSERT_EQ(Request(pid, "first", answer), 0u);
    EXPECT_EQ(answer, RequestBody(0, "first|done")) << "ids count from 0 and come back first";
    ASSERT_EQ(Request(pid, "empty", answer), 0u);
    EXPECT_EQ(answer, RequestBody(1, "")) << "an answer of the id alone";
    EXPECT_EQ(self_.Requests().RequestCount(), 0u) << "answered requests are deleted";

    // Two requests outstanding to one process at once.
    auto second = std::async(std::launch::async, [&] {
        std::string out;
        const DWORD status = Request(pid, "from a second thread", out);
        return std::make_pair(status, out);
    });
    std::string mine;
    EXPECT_EQ(Request(pid, "from the first thread", mine), 0u);
    const auto theirs = second.get();
    EXPECT_EQ(theirs.first, 0u);
    EXPECT_EQ(mine.substr(4), "from the first thread|done");
    EXPECT_EQ(theirs.second.substr(4), "from a second thread|done");

    // A window message: its answer replaces the record.
    WindowMessageDataMultiProcess message;
    message.uMsg = 3025;
    message.SetWParam("w", 1);
    EXPECT_EQ(self_.SendMessage(pid, MWindowMessage, message, MP_SYNC), 0u);
    EXPECT_EQ(message.uMsg, 3026u);
    EXPECT_EQ(message.iRequestId, 4);
    // Async: sent, not waited for, the record unchanged.
    EXPECT_EQ(self_.SendMessage(pid, MWindowMessage, message, MP_ASYNC), 0u);
    EXPECT_EQ(message.uMsg, 3026u);
    EXPECT_EQ(message.iRequestId, 5);

    // Other commands reach ReceiveMsg on the peer's listener; a Call brings
    // its written answer back.
    BYTE call[16] = {};
    EXPECT_EQ(self_.SendMessage(pid, mptest::kOpenGate, call, sizeof call, MP_CALL), 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(call), "gate open");

    // Answers nobody waits for, and one too short to name a request, are
    // dropped by the peer->
    std::string unknown = RequestBody(999, "late");
    EXPECT_EQ(self_.SendMessage(pid, MModuleDataAsyncEnd, reinterpret_cast<BYTE*>(unknown.data()),
                                static_cast<DWORD>(unknown.size()), MP_SYNC),
              0u);
    BYTE shortBody[2] = {1, 2};
    EXPECT_EQ(self_.SendMessage(pid, MModuleDataAsyncEnd, shortBody, sizeof shortBody, MP_SYNC), 0u);
    EXPECT_EQ(CountLines("CEMRequestManager::WakeUp: Request 999 (from pid " + std::to_string(pid_) +
                         ") not found. Probably asynch request."),
              1u);
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::ReceiveMessage: [E] MModuleDataAsyncEnd from pid:" +
                                std::to_string(pid_) + " too short for a request id (2 bytes)"),
              1u);

    // Still serving afterwards.
    ASSERT_EQ(Request(pid, "last", answer), 0u);
    EXPECT_EQ(answer.substr(4), "last|done");
    peer->CloseStdin();
    EXPECT_EQ(peer->Wait(), 0);
}

TEST_F(EndpointTest, TwentyFiveRequestsRunAtOnceAndATwentySixthIsDroppedWithTheDump) {
    auto peer = StartPeer("gated");
    const DWORD pid = static_cast<DWORD>(peer->Pid());

    std::vector<std::future<std::pair<DWORD, std::string>>> requests;
    for (int i = 0; i < 25; ++i) {
        requests.push_back(std::async(std::launch::async, [this, pid, i] {
            std::string answer;
            const DWORD status = Request(pid, "request " + std::to_string(i), answer);
            return std::make_pair(status, answer);
        }));
    }
    for (int i = 0; i < 25; ++i) ASSERT_EQ(peer->Line(), "working") << i;

    // The peer's listener has handled a Sync message when the send returns.
    std::string dropped = RequestBody(12345, "26th");
    EXPECT_EQ(self_.SendMessage(pid, MModuleData, reinterpret_cast<BYTE*>(dropped.data()),
                                static_cast<DWORD>(dropped.size()), MP_SYNC),
              0u);
    EXPECT_EQ(CountLines("CMultiProcessBase::StartNewWorker: [E] Could not find any free worker slot for cmd:3, pid:" +
                         std::to_string(pid_)),
              1u);
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::ReceiveMessage: [E] No Free position. message: pid:" +
                                std::to_string(pid_) + ", cmd:3, data:[8]"),
              1u);
    // The dump may take several lines; together they list every slot.
    std::string dump;
    const std::string dumpPrefix = "CMultiProcessBase::StartNewWorker: [E] Dump workers:";
    for (const auto& line : logtest::Messages())
        if (line.rfind(dumpPrefix, 0) == 0) dump += line.substr(dumpPrefix.size());
    ASSERT_FALSE(dump.empty());
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        const std::string slot = std::to_string(i) + ":{pid:" + std::to_string(pid_) + ", cmd:3, thread: 0x";
        EXPECT_NE(dump.find(slot), std::string::npos);
    }
    EXPECT_EQ(dump.find("thread: 0x0,"), std::string::npos) << "every slot busy";

    BYTE open[16] = {};
    EXPECT_EQ(self_.SendMessage(pid, mptest::kOpenGate, open, sizeof open, MP_CALL), 0u);
    for (int i = 0; i < 25; ++i) {
        auto result = requests[static_cast<size_t>(i)].get();
        EXPECT_EQ(result.first, 0u) << i;
        EXPECT_EQ(result.second.substr(4), "request " + std::to_string(i) + "|done");
    }
    std::string answer;
    EXPECT_EQ(Request(pid, "after", answer), 0u) << "the slots are free again";
    EXPECT_EQ(answer.substr(4), "after|done");
    EXPECT_EQ(self_.Requests().RequestCount(), 0u);
    peer->CloseStdin();
    EXPECT_EQ(peer->Wait(), 0);
}

TEST_F(EndpointTest, ASlotThatOnlyDeliversItsAnswerTakesTheNextRequest) {
    auto peer = StartPeer("echo");
    const DWORD pid = static_cast<DWORD>(peer->Pid());
    // The peer's listener is held, so every answer sent to it waits there.
    BYTE hold[4] = {};
    ASSERT_EQ(self_.SendMessage(pid, mptest::kHoldListener, hold, sizeof hold, MP_ASYNC), 0u);
    ASSERT_EQ(peer->Line(), "holding");

    for (int i = 0; i < 25; ++i) ASSERT_TRUE(self_.StartNewWorker(MModuleData, pid, RequestBody(100 + i, "x"))) << i;
    ASSERT_TRUE(mptest::AwaitStartingWith("CWorker::DoWork: Message processed. Sending back response", 25));
    // All 25 are done with their work and only deliver: none turns the next away.
    EXPECT_TRUE(self_.StartNewWorker(MModuleData, pid, RequestBody(125, "x")));
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::StartNewWorker: [E]"), 0u);
    ASSERT_TRUE(mptest::AwaitStartingWith("CWorker::DoWork: Message processed. Sending back response", 26));

    peer->CloseStdin();  // releases the listener; every delivery ends
    EXPECT_EQ(peer->Wait(), 0);
}

TEST_F(EndpointTest, WaitsEndEarlyWhenThePeerDiesOrIsReportedDead) {
    // A Call waits without limit, but not for a process that ended.
    {
        auto peer = StartPeer("die");
        const DWORD pid = static_cast<DWORD>(peer->Pid());
        std::string answer = "untouched";
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Request(pid, "fatal", answer, MP_CALL), 1460u);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(answer, "untouched");
        // Whichever comes first: the process handle, or the transport's
        // report of the dead client raising the error event.
        EXPECT_EQ(CountLines("CEMRequestManager::Wait: [E] Exiting request 0, because process " + std::to_string(pid) +
                             " ended.") +
                      CountStartingWith("CEMRequestManager::Wait: [E] Error event (0x"),
                  1u);
        EXPECT_EQ(self_.Requests().RequestCount(), 0u);
        EXPECT_EQ(peer->Wait(), 3);
        // A peer that is gone is not sent to at all.
        EXPECT_EQ(Request(pid, "to nobody", answer, MP_CALL), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(CountLines("CMultiProcessBase::SendMessageCommon: [E] Process " + std::to_string(pid) +
                             " does not exist. Deleting request 1."),
                  1u);
    }
    // The transport reports a peer's death: the waiting sender gets the error event.
    {
        auto peer = StartPeer("none");
        const DWORD pid = static_cast<DWORD>(peer->Pid());
        const size_t errorsBefore = CountStartingWith("CEMRequestManager::Wait: [E] Error event (0x");
        const int32_t id = self_.Requests().GetNewRequestId(pid);
        auto waiter = std::async(std::launch::async, [&] {
            std::string answer;
            return self_.SendMessageCommon(pid, MModuleData, id, RequestBody(id, "never answered"), answer, MP_CALL);
        });
        // The request is on its way once the peer's worker has run.
        ASSERT_TRUE(mptest::AwaitLine("CWorker::DoWork: Message processed. Sending back response (" + std::string(2 * sizeof(void*), '0') + ") to " +
                                      std::to_string(pid_) + "..."));
        EXPECT_TRUE(self_.ProcessTermination(pid));
        ASSERT_EQ(waiter.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(waiter.get(), 1460u);
        EXPECT_EQ(CountStartingWith("CEMRequestManager::Wait: [E] Error event (0x"), errorsBefore + 1);
        EXPECT_EQ(self_.Terminated().back(), pid);
        peer->CloseStdin();
        EXPECT_EQ(peer->Wait(), 0);
    }
}

// Slow: the Sync limit is 10 seconds. Both waits run at once.
TEST_F(EndpointTest, SyncSendsToAPeerThatNeverAnswersEndWith1460AfterTenSeconds) {
    auto peer = StartPeer("none");
    const DWORD pid = static_cast<DWORD>(peer->Pid());
    auto window = std::async(std::launch::async, [&] {
        WindowMessageDataMultiProcess message;
        message.uMsg = 3027;
        return self_.SendMessage(pid, MWindowMessage, message, MP_SYNC);
    });
    const auto started = std::chrono::steady_clock::now();
    std::string answer;
    EXPECT_EQ(Request(pid, "unanswered", answer), 1460u);
    EXPECT_EQ(window.get(), 1460u);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(9500));
    EXPECT_EQ(self_.Requests().RequestCount(), 0u) << "no request left behind";
    EXPECT_EQ(CountStartingWith("CEMRequestManager::Wait: [W] Time Out (10000 ms) waiting for request "), 2u);
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::SendMessageCommon: [E] Wait for response failed. pid:" +
                                std::to_string(pid) + ", cmd:3, type:10, msg:'"),
              1u);
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::SendMessageA: [E] Send Windows message failed.  pid:" +
                                std::to_string(pid) + ", cmd:5, type:10, msg:{WMSG uMsg:3027"),
              1u);
    peer->CloseStdin();
    EXPECT_EQ(peer->Wait(), 0);
}

}  // namespace
