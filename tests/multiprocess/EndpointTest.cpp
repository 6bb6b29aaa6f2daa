#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "TestEndpoint.h"
#include "ipc/messages/Commands.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "log/Log.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"

namespace {

using mptest::Answer;
using mptest::CountLines;
using mptest::CountStartingWith;
using mptest::RequestBody;

// The peer: an endpoint that serves until its standard input closes.
// Arguments: the group name, the answer mode and the parent's pid. Like the
// host, it connects to the parent from its main thread, which outlives every
// worker (a connection ends with the thread that made it).
ZR_CHILD_MAIN(Peer) {
    SetLogLevel(LOG_OTHER);
    const auto& args = zrtest::ChildArgs();
    if (args.size() < 3) return 2;
    const Answer mode = args[1] == "none" ? Answer::None : Answer::Echo;
    mptest::TestEndpoint endpoint(std::wstring(args[0].begin(), args[0].end()), mode);
    if (!endpoint.Start()) return 1;
    BYTE ready[4] = {};
    const DWORD parent = static_cast<DWORD>(std::stoul(args[2]));
    if (endpoint.SendMessage(parent, MReady, ready, sizeof ready, MP_SYNC) != 0) return 1;
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
            std::vector<std::string>{"--zr-child=Peer", std::string(group_.begin(), group_.end()), mode, me_});
        EXPECT_EQ(peer->Line(), "ready");
        // A connection ends with the thread that made it: the test's own
        // thread connects, before any short-lived sender can.
        EXPECT_EQ(Send(static_cast<DWORD>(peer->Pid()), MReady, std::string(4, '\0'), MP_SYNC), 0u);
        return peer;
    }
    // A data request sent as the parent sends it, waiting for its answer.
    DWORD Request(DWORD pid, const std::string& payload, std::string& answer, DWORD type = MP_SYNC) {
        const int32_t id = self_.Requests().GetNewRequestId(pid);
        return self_.SendMessageCommon(pid, MModuleData, id, RequestBody(id, payload), answer, type);
    }
    // Any command with a body.
    DWORD Send(DWORD pid, INT cmd, std::string body, EndpointMessageType type) {
        return self_.SendMessage(pid, cmd, reinterpret_cast<BYTE*>(body.data()), static_cast<DWORD>(body.size()), type);
    }
    static void End(zrtest::ChildProcess& peer, int status = 0) {
        peer.CloseStdin();
        EXPECT_EQ(peer.Wait(), status);
    }

    zrtest::ScopedTempDir dir_;
    const std::string me_ = std::to_string(GetCurrentProcessId());
    const std::wstring group_ = mptest::GroupOf(GetCurrentProcessId());
    mptest::TestEndpoint self_{group_};
};

TEST_F(EndpointTest, EndpointTypesMapToTransportTypesAndUnknownOnesToSync) {
    const std::pair<DWORD, LpcMessageType> cases[] = {
        {MP_SYNC, LPC_TYPE_SYNC}, {MP_ASYNC, LPC_TYPE_ASYNC}, {MP_CALL, LPC_TYPE_CALL}, {40, LPC_TYPE_SYNC}};
    for (const auto& [endpoint, transport] : cases)
        EXPECT_EQ(CMultiProcessBase::ConvertMessageType(endpoint), transport) << endpoint;
    EXPECT_EQ(CountLines("ConvertMessageType: [E] Invalid type:40"), 1u);
    EXPECT_EQ(CountStartingWith("ConvertMessageType:"), 1u);
}

TEST_F(EndpointTest, ASlotThatOnlyDeliversItsAnswerTakesTheNextRequest) {
    auto peer = StartPeer("echo");
    const DWORD pid = static_cast<DWORD>(peer->Pid());
    // The peer's listener is held, so every answer sent to it waits there.
    ASSERT_EQ(Send(pid, mptest::kHoldListener, std::string(4, '\0'), MP_ASYNC), 0u);
    ASSERT_EQ(peer->Line(), "holding");

    const std::string delivering = "CWorker::DoWork: Message processed. Sending back response";
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(self_.StartNewWorker(MModuleData, pid, RequestBody(100 + i, "x"))) << i;
    ASSERT_TRUE(mptest::AwaitLine(delivering, 25, true));
    // All 25 are done with their work and only deliver: none turns the next away.
    EXPECT_TRUE(self_.StartNewWorker(MModuleData, pid, RequestBody(125, "x")));
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::StartNewWorker: [E]"), 0u);
    ASSERT_TRUE(mptest::AwaitLine(delivering, 26, true));
    End(*peer);  // releases the listener; every delivery ends
}

TEST_F(EndpointTest, AGonePeerIsNotSentToAndAWaitEndsWhenThePeerIsReportedDead) {
    const std::string errorEvent = "CEMRequestManager::Wait: [E] Error event (0x";
    // A peer that is gone is not sent to at all. (A wait for a peer that
    // ends while it waits is the request manager's test.)
    std::string answer = "untouched";
    EXPECT_EQ(Request(0x7FFFFFF0u, "to nobody", answer, MP_CALL), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(answer, "untouched");
    EXPECT_EQ(CountLines("CMultiProcessBase::SendMessageCommon: [E] Process 2147483632 does not exist. Deleting request 0."),
              1u);
    EXPECT_EQ(self_.Requests().RequestCount(), 0u);
    // The transport reports a peer's death: the waiting sender gets the error event.
    auto peer = StartPeer("none");
    const DWORD pid = static_cast<DWORD>(peer->Pid());
    const size_t errorsBefore = CountStartingWith(errorEvent);
    auto waiter = std::async(std::launch::async, [&] {
        std::string answer;
        return Request(pid, "never answered", answer, MP_CALL);
    });
    // The request is on its way once the peer's worker has run.
    ASSERT_TRUE(mptest::AwaitLine("CWorker::DoWork: Message processed. Sending back response (" +
                                  std::string(2 * sizeof(void*), '0') + ") to " + me_ + "..."));
    EXPECT_TRUE(self_.ProcessTermination(pid));
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1460u);
    EXPECT_EQ(CountStartingWith(errorEvent), errorsBefore + 1);
    EXPECT_EQ(CountLines("CEMRequestManager::WakeUpWaitingProcess: [W] Request 1 from pid " + std::to_string(pid) +
                         " pending. Raising error event..."),
              1u);
    EXPECT_EQ(self_.Terminated().back(), pid);
    End(*peer);
}

// Slow: the Sync limit is 10 seconds. Both waits run at once.
TEST_F(EndpointTest, SyncSendsToAPeerThatNeverAnswersEndWith1460AfterTenSeconds) {
    auto peer = StartPeer("none");
    const DWORD pid = static_cast<DWORD>(peer->Pid());
    const std::string peerPid = std::to_string(pid);
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
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::SendMessageCommon: [E] Wait for response failed. pid:" + peerPid +
                                ", cmd:3, type:10, msg:'"),
              1u);
    EXPECT_EQ(CountStartingWith("CMultiProcessBase::SendMessageA: [E] Send Windows message failed.  pid:" + peerPid +
                                ", cmd:5, type:10, msg:{WMSG uMsg:3027"),
              1u);
    End(*peer);
}

}  // namespace
