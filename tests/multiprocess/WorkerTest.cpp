#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>

#include "TestEndpoint.h"
#include "ipc/multiprocess/CWorker.h"
#include "log/Log.h"
#include "support/TestSupport.h"

namespace {

using mptest::AwaitLine;
using mptest::CountLines;
using mptest::CountStartingWith;
using mptest::Hex;

// An endpoint whose data requests block on a gate the test owns, so that the
// endpoint can be destroyed while one of them still runs.
class BlockingEndpoint : public mptest::TestEndpoint {
public:
    BlockingEndpoint(HANDLE entered, HANDLE gate) : TestEndpoint(L"zrmpblock"), entered_(entered), gate_(gate) {}
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD, DWORD, const BYTE*, DWORD, DWORD& answerSize) override {
        const HANDLE gate = gate_;  // nothing of this object is touched after the wait
        SetEvent(entered_);
        WaitForSingleObject(gate, INFINITE);
        answerSize = 4;
        return std::make_unique<BYTE[]>(4);
    }

private:
    HANDLE entered_;
    HANDLE gate_;
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_OTHER); }
    void TearDown() override { SetLogLevel(LOG_WARNING); }
    zrtest::ScopedTempDir dir_;
};

TEST_F(WorkerTest, AFreeSlotTakesAMessageRefusesAnotherWhileBusyAndIsFreeAgainWhenItsWorkEnds) {
    mptest::TestEndpoint owner(L"zrmpworker", mptest::Answer::Gated);
    CWorker worker;
    // Free: the stop wait shows in hexadecimal, and a stop has nothing to wait for.
    EXPECT_TRUE(worker.IsFree());
    EXPECT_EQ(worker.ToString(), "pid:0, cmd:0, thread: 0x0, wait:7530, mp*: 0x0, data[0]:''");
    worker.StopWorking();
    EXPECT_EQ(CountStartingWith("CWorker::StopWorking:"), 0u);
    EXPECT_EQ(CWorker::WorkerThread(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(CountLines("CWorker::WorkerThread: [C] null pointer"), 1u);

    const std::string data(120, 'd');
    worker.StartWorking(6, 4242, data, &owner);
    ASSERT_FALSE(worker.IsFree());
    const std::string busy = worker.ToString();
    EXPECT_EQ(busy, "pid:4242, cmd:6, thread: 0x" + Hex(worker.ThreadHandle()) + ", wait:7530, mp*: 0x" +
                        Hex(static_cast<CMultiProcessBase*>(&owner)) + ", data[78]:'" + std::string(48, 'd') + ".." +
                        std::string(48, 'd') + "'");
    EXPECT_EQ(CountLines("CWorker::StartWorking: Created working thread " +
                         std::to_string(GetThreadId(worker.ThreadHandle())) + " (0x" +
                         Hex(worker.ThreadHandle(), true) + ")"),
              1u);

    worker.StartWorking(3, 1, "other", &owner);
    EXPECT_EQ(CountLines("CWorker::StartWorking: [E] This worker is not free. Thread: 0x" +
                         Hex(worker.ThreadHandle(), true)),
              1u);
    EXPECT_EQ(worker.ToString(), busy);

    // The stop waits for the work, which ends once the gate opens.
    auto opener = std::async(std::launch::async, [&] {
        if (AwaitLine("CWorker::StopWorking: Waiting for worker:{" + busy + "}")) owner.OpenGate();
    });
    worker.StopWorking();
    opener.get();
    EXPECT_TRUE(worker.IsFree());
    EXPECT_EQ(CountStartingWith("CWorker::StopWorking: [C]"), 0u);
    EXPECT_EQ(worker.ToString(), "pid:0, cmd:6, thread: 0x0, wait:7530, mp*: 0x0, data[0]:''") << "cmd is kept";

    // Without an owner nothing is processed, and the slot frees itself.
    worker.StartWorking(3, 7, "abc", nullptr);
    ASSERT_TRUE(AwaitLine("CWorker::DoWork: Ending worker thread (h:0x0)", 2));
    EXPECT_EQ(CountLines("CWorker::DoWork: [E] Could not process message (3 by): abc"), 1u);
    worker.StopWorking();
    EXPECT_TRUE(worker.IsFree());
}

// Slow: the stop gives up after its 30 seconds.
TEST_F(WorkerTest, AWorkerStillRunningWhenItsEndpointIsDestroyedNeverTouchesIt) {
    ScopedKernelHandle entered(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ScopedKernelHandle gate(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    auto endpoint = std::make_unique<BlockingEndpoint>(entered.Get(), gate.Get());
    ASSERT_TRUE(endpoint->StartNewWorker(3, 77, "stuck"));
    ASSERT_EQ(WaitForSingleObject(entered.Get(), 30000), WAIT_OBJECT_0);
    endpoint.reset();
    EXPECT_EQ(CountStartingWith("CWorker::StopWorking: [C] Waiting for thread to end failed. res: 258, err:"), 1u);

    SetEvent(gate.Get());
    EXPECT_TRUE(AwaitLine("CWorker::DoWork: [W] Worker was stopped meanwhile. Answer for pid:77 dropped."));
    EXPECT_EQ(CountStartingWith("CWorker::DoWork: Message processed."), 0u);
}

}  // namespace
