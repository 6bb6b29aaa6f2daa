#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <future>
#include <string>
#include <vector>

#include "TestEndpoint.h"
#include "ipc/multiprocess/CEMRequestManager.h"
#include "log/Log.h"
#include "support/MultiProcessTest.h"
#include "support/TestSupport.h"

namespace {

using mptest::CountLines;
using mptest::CountStartingWith;
using mptest::Hex;

// A peer process that lives until its standard input closes.
ZR_CHILD_MAIN(LiveUntilStdinCloses) {
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}

class RequestManagerTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_OTHER); }
    void TearDown() override { SetLogLevel(LOG_WARNING); }

    const DWORD self_ = GetCurrentProcessId();
    const std::string me_ = std::to_string(self_);
    const std::string other_ = std::to_string(self_ + 1);
    zrtest::ScopedTempDir dir_;
    CEMRequestManager manager_;
};

const BYTE* Bytes(const char* text) { return reinterpret_cast<const BYTE*>(text); }

TEST_F(RequestManagerTest, IdsCountFromZeroAndOnlyTheFirstRequestToAProcessIsPending) {
    // Each test runs in a process of its own, so the process-wide counter
    // starts here.
    EXPECT_EQ(manager_.GetNewRequestId(self_), 0);
    EXPECT_EQ(manager_.GetNewRequestId(self_), 1);
    EXPECT_EQ(manager_.GetNewRequestId(0x80000000u), -1);
    EXPECT_EQ(CountLines("CEMRequestManager::GetNewRequestId: [E] Invalid data: pid=2147483648"), 1u);
    EXPECT_EQ(manager_.RequestCount(), 2u);
    EXPECT_EQ(manager_.PendingRequestOf(self_), 0);
    EXPECT_EQ(CEMRequestManager().GetNewRequestId(42), 2) << "a second manager shares the counter";

    // Deleting either outstanding request removes the pending entry.
    const std::string deleting = "CEMRequestManager::DeleteRequest: ";
    manager_.DeleteRequest(1, self_);
    EXPECT_EQ(manager_.PendingRequestOf(self_), -1);
    EXPECT_EQ(CountLines(deleting + "Deleted request {req:1, pid:" + me_ + "}"), 1u);
    EXPECT_EQ(CountLines(deleting + "Removed process " + me_ + " from list of pending responses"), 1u);
    manager_.DeleteRequest(0, self_);
    EXPECT_EQ(CountLines(deleting + "Could not find process " + me_ + " in the list of pending responses (request 0)"),
              1u);
    manager_.DeleteRequest(0, self_);
    EXPECT_EQ(CountLines(deleting + "[E] Could not find request id 0 for process " + me_), 1u);
    EXPECT_EQ(manager_.RequestCount(), 0u);
}

TEST_F(RequestManagerTest, AnAnswerThatArrivesBeforeTheWaitIsKeptAndEmptyAnswersAreAnswers) {
    const int32_t answered = manager_.GetNewRequestId(self_);
    const int32_t empty = manager_.GetNewRequestId(self_);
    const int32_t null = manager_.GetNewRequestId(self_);
    manager_.WakeUp(answered, self_, Bytes("\x01\0\0\0abc"), 7);
    EXPECT_EQ(manager_.PendingRequestOf(self_), -1) << "an answer ends the pending entry";
    manager_.WakeUp(empty, self_, Bytes("x"), 0);
    manager_.WakeUp(null, self_, nullptr, 5);

    const std::pair<int32_t, std::string> cases[] = {
        {answered, std::string("\x01\0\0\0abc", 7)}, {empty, ""}, {null, ""}};
    for (const auto& [id, data] : cases) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(manager_.Wait(id, self_, 10000));  // the event stayed set
        std::string out = "stale";
        EXPECT_TRUE(manager_.GetRequestData(id, self_, out));
        EXPECT_EQ(out, data);
    }
    EXPECT_EQ(CountStartingWith("CEMRequestManager::Wait: Event (0x"), 3u);
    EXPECT_EQ(CountStartingWith("CEMRequestManager::CRequest::WakeUp: Signalled event for request:0{id:"), 3u);
    EXPECT_EQ(manager_.RequestCount(), 3u) << "the waiter deletes, not the wait";
}

TEST_F(RequestManagerTest, UnknownIdsAndForeignPidsAreRefusedAndChangeNothing) {
    const int32_t id = manager_.GetNewRequestId(self_);
    const std::string mismatch = "[E] Request 0 found, but pid (" + me_ + ") does not match ";
    std::string out = "kept";
    EXPECT_FALSE(manager_.Wait(77, self_, 100));
    EXPECT_FALSE(manager_.Wait(id, self_ + 1, 100));
    EXPECT_FALSE(manager_.GetRequestData(77, self_, out));
    EXPECT_FALSE(manager_.GetRequestData(id, self_ + 1, out));
    EXPECT_EQ(out, "kept");
    // An answer for a request nobody waits for is dropped.
    manager_.WakeUp(77, self_, Bytes("zz"), 2);
    manager_.WakeUp(id, self_ + 1, Bytes("zz"), 2);
    EXPECT_EQ(manager_.PendingRequestOf(self_), id);
    EXPECT_FALSE(manager_.Wait(id, self_, 0)) << "a refused answer sets no event";
    manager_.WakeUpWaitingProcess(self_ + 1);

    for (const std::string& line : std::vector<std::string>{
             "CEMRequestManager::Wait: [E] Request 77 not found in the Request manager",
             "CEMRequestManager::Wait: " + mismatch + "remote process (" + other_ + ")",
             "CEMRequestManager::GetRequestData: [E] Request 77 not found in the Request manager",
             "CEMRequestManager::GetRequestData: " + mismatch + "argument (" + other_ + ")",
             "CEMRequestManager::WakeUp: Request 77 (from pid " + me_ + ") not found. Probably asynch request.",
             "CEMRequestManager::WakeUp: " + mismatch + "argument (" + other_ + ")",
             "CEMRequestManager::WakeUpWaitingProcess: No request with pid " + other_ + " pending.",
         })
        EXPECT_EQ(CountLines(line), 1u) << line;
}

TEST_F(RequestManagerTest, AWaitEndsOnItsTimeOutAndWhenThePeerEnds) {
    // Time-out: the own process never ends.
    const int32_t idle = manager_.GetNewRequestId(self_);
    EXPECT_FALSE(manager_.Wait(idle, self_, 300));
    EXPECT_EQ(CountLines("CEMRequestManager::Wait: [W] Time Out (300 ms) waiting for request " + std::to_string(idle) +
                         ", process " + me_ + "."),
              1u);
    manager_.DeleteRequest(idle, self_);

    // The peer process ends while a thread waits without limit.
    auto peer = zrtest::SpawnChild("LiveUntilStdinCloses");
    ASSERT_EQ(peer.Line(), "ready");
    const DWORD pid = static_cast<DWORD>(peer.Pid());
    const int32_t orphan = manager_.GetNewRequestId(pid);
    auto orphanWaiter = std::async(std::launch::async, [&] { return manager_.Wait(orphan, pid, INFINITE); });
    ASSERT_EQ(orphanWaiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    peer.Signal(SIGKILL);
    ASSERT_EQ(orphanWaiter.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(orphanWaiter.get());
    EXPECT_EQ(CountLines("CEMRequestManager::Wait: [E] Exiting request " + std::to_string(orphan) +
                         ", because process " + std::to_string(pid) + " ended."),
              1u);

    // A peer already gone and reaped cannot be opened at all.
    peer.Wait();
    EXPECT_FALSE(manager_.Wait(orphan, pid, INFINITE));
    EXPECT_EQ(CountStartingWith("CEMRequestManager::Wait: [E] Could not find process with pid " + std::to_string(pid) +
                                ". err:"),
              1u);
}

TEST_F(RequestManagerTest, CopiesOfARequestShareItsEventsAndItsTextFormShowsThem) {
    CEMRequestManager::CRequest request(41, 5);
    ASSERT_NE(request.Event(), nullptr);
    ASSERT_NE(request.ErrorEvent(), nullptr);
    const std::string events = " ev:" + Hex(request.Event()) + " evErr:" + Hex(request.ErrorEvent());
    EXPECT_EQ(request.ToString(), "{id:41 pid:5 ref:1" + events + " data:[0]()}");
    {
        CEMRequestManager::CRequest copy = request;
        EXPECT_EQ(copy.Event(), request.Event());
        EXPECT_EQ(request.SharingCount(), 2);
        copy.WakeUp(Bytes("0123456789abcdefXY"), 18);
        EXPECT_EQ(copy.ToString(), "{id:41 pid:5 ref:2" + events + " data:[12](0123456789abcdefXY)}");
    }
    EXPECT_EQ(request.SharingCount(), 1);
    // The copy's set event is the original's.
    EXPECT_EQ(WaitForSingleObject(request.Event(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(request.Event(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto-reset";
    request.SetError();
    EXPECT_EQ(WaitForSingleObject(request.ErrorEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(CountLines("CEMRequestManager::CRequest::SetError: Signalled error event for request:0" +
                         request.ToString()),
              1u);
}

}  // namespace
