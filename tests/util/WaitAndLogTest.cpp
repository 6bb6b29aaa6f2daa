#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "LogLines.h"
#include "log/Log.h"
#include "support/TestSupport.h"
#include "util/Utils_OS_Win32.h"

namespace {

using utiltest::CountLines;
using utiltest::CountStartingWith;
using utiltest::Hex;

// Manual-reset events, unsignalled, closed at the end.
struct Events : std::vector<HANDLE> {
    explicit Events(size_t count) {
        while (count-- > 0) push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    }
    ~Events() {
        for (HANDLE h : *this) CloseHandle(h);
    }
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;
};

class WaitAndLogTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_OTHER); }
    void TearDown() override { SetLogLevel(LOG_WARNING); }
    zrtest::ScopedTempDir dir_;
};

TEST_F(WaitAndLogTest, InvalidArgumentsAndFailedWaitsAreLoggedAndUpToSixtyThreeHandlesWaitedFor) {
    Events many(64);
    DWORD object = 77;
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(64, many.data(), &object, 10, 100), 0xFFFFFFFFu);
    EXPECT_EQ(object, 77u);
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(1, nullptr, &object, 10, 100), 0xFFFFFFFFu);
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(1, many.data(), &object, 200, 100), 0xFFFFFFFFu);
    EXPECT_EQ(object, 77u);
    EXPECT_EQ(CountStartingWith("Utils_OS_Win32::WaitAndLog: [E] Invalid params. nEvents:64, pEvents:"), 1u);
    EXPECT_EQ(CountStartingWith("Utils_OS_Win32::WaitAndLog: [E] Invalid params. nEvents:1, pEvents:"), 2u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: WaitResult:-1,  object:0 "), 3u);
    EXPECT_EQ(CountStartingWith("Utils_OS_Win32::WaitAndLog: waiting for"), 0u);

    // A wait the system refuses.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0));
    object = 3;
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(1, &bogus, &object, 100, 1000), 0xFFFFFFFFu);
    EXPECT_EQ(object, 0u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: [E] Wait failed. err:6"), 1u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: WaitResult:-1,  object:0 "), 4u);

    // Objects count from one.
    ASSERT_TRUE(SetEvent(many[62]));
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(63, many.data(), &object, 1000, 10000), 0u);
    EXPECT_EQ(object, 63u);
    ASSERT_TRUE(SetEvent(many[1]));
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(3, many.data(), &object, 1000, 10000), 0u);
    EXPECT_EQ(object, 2u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: Object 2 (" + Hex(many[1]) + ") signaled"), 1u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: WaitResult:0,  object:2 "), 1u);
    EXPECT_EQ(CountStartingWith("Utils_OS_Win32::WaitAndLog: waiting for nEvents(3),Events("), 1u);
}

// Each interval is logged; the overall time-out ends the wait, an infinite
// wait goes on until an object is signalled.
TEST_F(WaitAndLogTest, LogsEachIntervalUntilTheOverallTimeoutOrTheSignal) {
    Events events(2);
    const std::string stillWaiting = "Utils_OS_Win32::WaitAndLog: Timeout, still waiting for 2 events";
    DWORD object = 5;
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(2, events.data(), &object, 50, 200), 258u);
    EXPECT_EQ(object, 0u);
    // At most four 50 ms intervals fit in 200 ms (five if the last overslept).
    const size_t timedOut = CountLines(stillWaiting);
    EXPECT_GE(timedOut, 1u);
    EXPECT_LE(timedOut, 5u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: [E] Wait timed out (200 ms)"), 1u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: WaitResult:258,  object:0 "), 1u);

    // Signals only after the wait has logged two more intervals (or after ten seconds).
    std::thread signaller([&] {
        for (int i = 0; i < 1000 && CountLines(stillWaiting) < timedOut + 2; ++i) Sleep(10);
        SetEvent(events[0]);
    });
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(2, events.data(), &object, 20, INFINITE), 0u);
    signaller.join();
    EXPECT_EQ(object, 1u);
    EXPECT_GE(CountLines(stillWaiting), timedOut + 2);
    EXPECT_EQ(CountStartingWith("Utils_OS_Win32::WaitAndLog: [E] Wait timed out"), 1u);
}

DWORD WINAPI EndWhileOwningMutex(LPVOID parameter) {
    *static_cast<HANDLE*>(parameter) = CreateMutexA(nullptr, TRUE, nullptr);
    return 0;
}

TEST_F(WaitAndLogTest, AbandonedMutexIsReported) {
    HANDLE mutex = nullptr;
    HANDLE owner = CreateThread(nullptr, 0, EndWhileOwningMutex, &mutex, 0, nullptr);
    ASSERT_NE(owner, nullptr);
    ASSERT_EQ(WaitForSingleObject(owner, 10000), WAIT_OBJECT_0);
    CloseHandle(owner);
    ASSERT_NE(mutex, nullptr);
    DWORD object = 0;
    EXPECT_EQ(Utils_OS_Win32::WaitAndLog(1, &mutex, &object, 1000, 10000), 128u);
    EXPECT_EQ(object, 1u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: [E] Wait for object 1 (" + Hex(mutex) + ") was abandoned"),
              1u);
    EXPECT_EQ(CountLines("Utils_OS_Win32::WaitAndLog: WaitResult:128,  object:1 "), 1u);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

DWORD WINAPI ParkedThread(LPVOID parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 0;
}

TEST(GetThreadIDTest, FindsTheIdBehindAThreadHandleOnOldAndNewSystemsAndLogsAFailure) {
    zrtest::ScopedTempDir dir;
    Events release(1);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ParkedThread, release[0], 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(Utils_OS_Win32::GetThreadID(thread), id);
    EXPECT_EQ(Utils_OS_Win32::GetThreadIDFor(thread, 149), id);
    EXPECT_EQ(Utils_OS_Win32::GetThreadIDFor(thread, 60), id) << "the native thread query path";
    SetEvent(release[0]);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);

    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff4));
    EXPECT_EQ(Utils_OS_Win32::GetThreadIDFor(bogus, 50), 0u);
    EXPECT_EQ(Utils_OS_Win32::GetThreadIDFor(bogus, 149), 0u);
    EXPECT_EQ(CountStartingWith("Utils_OS_Win32::GetThreadID: [E] NtQueryInformationThread(0x7FF4, 0, "), 1u);
}

}  // namespace
