// Events, the handle table and waits over several handles.
#include <atomic>
#include <vector>

#include "SyncTestSupport.h"

namespace {

using namespace synctest;

struct Waiters {
    HANDLE event;
    std::atomic<int> woken{0};
};

DWORD WINAPI WaitOnEvent(LPVOID raw) {
    auto* waiters = static_cast<Waiters*>(raw);
    if (WaitForSingleObject(waiters->event, kLongWait) != WAIT_OBJECT_0) return 1;
    waiters->woken.fetch_add(1);
    return 0;
}

HANDLE StartWaiter(Waiters& waiters) { return CreateThread(nullptr, 0, WaitOnEvent, &waiters, 0, nullptr); }

TEST(SyncEvents, AutoResetSetEventWakesExactlyOneWaiter) {
    Waiters waiters{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    ASSERT_NE(waiters.event, nullptr);
    HANDLE threads[2] = {StartWaiter(waiters), StartWaiter(waiters)};
    ASSERT_TRUE(threads[0] && threads[1]);

    ASSERT_TRUE(SetEvent(waiters.event));
    DWORD first = WaitForMultipleObjects(2, threads, FALSE, kLongWait);
    ASSERT_LT(first, 2u);
    HANDLE other = threads[1 - first];
    EXPECT_EQ(WaitForSingleObject(other, kProbe), kTimeout);
    EXPECT_EQ(waiters.woken.load(), 1);
    EXPECT_EQ(WaitForSingleObject(waiters.event, 0), kTimeout) << "the signal was consumed";

    ASSERT_TRUE(SetEvent(waiters.event));
    EXPECT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(waiters.woken.load(), 2);
    for (HANDLE thread : threads) {
        EXPECT_EQ(ExitCodeOf(thread), 0u);
        EXPECT_TRUE(CloseHandle(thread));
    }
    EXPECT_TRUE(CloseHandle(waiters.event));
}

TEST(SyncEvents, ManualResetWakesAllWaitersAndStaysSet) {
    Waiters waiters{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_NE(waiters.event, nullptr);
    HANDLE threads[3] = {StartWaiter(waiters), StartWaiter(waiters), StartWaiter(waiters)};
    ASSERT_TRUE(threads[0] && threads[1] && threads[2]);
    ASSERT_TRUE(SetEvent(waiters.event));
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(waiters.woken.load(), 3);
    EXPECT_EQ(WaitForSingleObject(waiters.event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(waiters.event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(waiters.event));
    EXPECT_EQ(WaitForSingleObject(waiters.event, 0), kTimeout);
    CloseHandle(waiters.event);
}

struct MixedWaiters {
    HANDLE other;
    HANDLE event;
};

DWORD WINAPI WaitAmongOthers(LPVOID raw) {
    auto* waiters = static_cast<MixedWaiters*>(raw);
    HANDLE handles[2] = {waiters->other, waiters->event};
    return WaitForMultipleObjects(2, handles, FALSE, kLongWait);
}

TEST(SyncEvents, EventWaitedAloneAndAmongOthersKeepsOneState) {
    HANDLE other = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(other && event);
    HANDLE both[2] = {other, event};
    // Set while only ever waited alone, then taken by a wait over both.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimeout) << "consumed by the wait over both";
    // Taken alone: the wait over both no longer sees it.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), kTimeout);

    // A manual-reset event wakes a lone waiter and a waiter over both at once.
    Waiters alone{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    MixedWaiters mixed{other, alone.event};
    HANDLE threads[2] = {StartWaiter(alone), CreateThread(nullptr, 0, WaitAmongOthers, &mixed, 0, nullptr)};
    ASSERT_TRUE(threads[0] && threads[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, kProbe), kTimeout);
    ASSERT_TRUE(SetEvent(alone.event));
    for (HANDLE thread : threads) EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(threads[0]), 0u);
    EXPECT_EQ(ExitCodeOf(threads[1]), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(ResetEvent(alone.event));
    EXPECT_EQ(WaitForSingleObject(alone.event, kProbe), kTimeout);
    for (HANDLE handle : {threads[0], threads[1], alone.event, other, event}) CloseHandle(handle);
}

TEST(SyncEvents, InitialStateResetAndRepeatedSet) {
    HANDLE autoSet = CreateEventA(nullptr, FALSE, TRUE, nullptr), manualSet = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(autoSet && manualSet);
    EXPECT_EQ(WaitForSingleObject(manualSet, kProbe), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), kTimeout);
    SetEvent(autoSet);
    SetEvent(autoSet);  // setting twice is still one signal
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), kTimeout);
    SetEvent(autoSet);
    ResetEvent(autoSet);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), kTimeout);
    CloseHandle(autoSet);
    CloseHandle(manualSet);
}

TEST(SyncEvents, NamedEventsAndWrongHandlesFailClearly) {
    EXPECT_FAILS_WITH(CreateEventA(nullptr, TRUE, FALSE, "Global\\SomeEvent"), nullptr, ERROR_NOT_SUPPORTED);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_FAILS_WITH(SetEvent(mutex), FALSE, ERROR_INVALID_HANDLE);  // a mutex is not an event
    CloseHandle(mutex);
    EXPECT_FAILS_WITH(ResetEvent(reinterpret_cast<HANDLE>(0x7ffffffc)), FALSE, ERROR_INVALID_HANDLE);
}

TEST(SyncHandles, ValuesAreSmallMultiplesOfFourAndCloseOnce) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < 50; ++i) {
        handles.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        auto value = reinterpret_cast<uintptr_t>(handles.back());
        EXPECT_TRUE(value != 0 && value % 4 == 0 && value < 0x80000000u) << value;
    }
    for (HANDLE handle : handles) EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FAILS_WITH(CloseHandle(handles[0]), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x13)));

    // The pseudo handles, which closing leaves alone.
    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
}

TEST(SyncWaits, ReportsTheIndexOfTheSignalledHandleLowestFirst) {
    HANDLE events[5];
    for (auto& event : events) ASSERT_NE(event = CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 0), kTimeout);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 20), kTimeout);
    SetEvent(events[3]);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, kLongWait), WAIT_OBJECT_0 + 3);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    for (HANDLE handle : events) CloseHandle(handle);

    // A thread that sets an event (start, then late) while the wait is blocked.
    HANDLE pair[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    auto setLate = [](LPVOID raw) -> DWORD {
        auto* events = static_cast<HANDLE*>(raw);
        WaitForSingleObject(events[0], kLongWait);
        return SetEvent(events[1]) ? 0 : 1;
    };
    HANDLE setter = CreateThread(nullptr, 0, setLate, pair, 0, nullptr);
    ASSERT_NE(setter, nullptr);
    HANDLE watched[2] = {pair[1], setter};
    SetEvent(pair[0]);
    DWORD result = WaitForMultipleObjects(2, watched, FALSE, kLongWait);
    EXPECT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) << result;
    EXPECT_EQ(WaitForSingleObject(setter, kLongWait), WAIT_OBJECT_0);
    for (HANDLE handle : {pair[0], pair[1], setter}) CloseHandle(handle);
}

TEST(SyncWaits, BadArgumentsFailWithWindowsCodes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FAILS_WITH(WaitForSingleObject(closed, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(WaitForSingleObject(nullptr, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    HANDLE mixed[2] = {event, reinterpret_cast<HANDLE>(0x7ff0)};
    EXPECT_FAILS_WITH(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);

    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
    EXPECT_FAILS_WITH(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED,
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), kTimeout);
    EXPECT_EQ(WaitForMultipleObjects(63, many.data(), FALSE, 10), kTimeout);
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(63, many.data(), FALSE, 10), WAIT_OBJECT_0);
    EXPECT_FAILS_WITH(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED, ERROR_NOT_SUPPORTED);

    // The caller's own thread and process never end while it waits.
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 10), kTimeout);
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), kTimeout);
    CloseHandle(event);
}

}  // namespace
