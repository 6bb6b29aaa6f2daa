// Events, the handle table and waits over several handles (the end of each
// kind of object, waited for alone and among others, is in SyncProcessTest).
#include <atomic>
#include <vector>

#include "SyncTestSupport.h"

namespace {

using namespace synctest;

// Threads that each wait for `event` and end with the wait's result.
struct Waiters {
    explicit Waiters(HANDLE waitedFor) : event(waitedFor) {}
    HANDLE event;
    std::atomic<int> woken{0};
    std::vector<HANDLE> threads;

    void Start(int count) {
        for (int i = 0; i < count; ++i) threads.push_back(CreateThread(nullptr, 0, Wait, this, 0, nullptr));
    }
    static DWORD WINAPI Wait(LPVOID raw) {
        auto* self = static_cast<Waiters*>(raw);
        const DWORD result = WaitForSingleObject(self->event, kLongWait);
        ++self->woken;
        return result;
    }
    ~Waiters() {
        for (HANDLE thread : threads) CloseHandle(thread);
    }
};

TEST(SyncEvents, SetEventWakesOneWaiterOfAnAutoResetEventAndEveryWaiterOfAManualOne) {
    for (const BOOL manual : {FALSE, TRUE}) {
        SCOPED_TRACE(manual ? "manual reset" : "auto reset");
        Waiters waiters{CreateEventA(nullptr, manual, FALSE, nullptr)};
        waiters.Start(manual ? 3 : 2);
        ASSERT_TRUE(SetEvent(waiters.event));
        const DWORD first = WaitForMultipleObjects(2, waiters.threads.data(), FALSE, kLongWait);
        ASSERT_LT(first, 2u);
        if (manual) {
            for (HANDLE thread : waiters.threads) EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(waiters.event, 0), WAIT_OBJECT_0);
            EXPECT_EQ(WaitForSingleObject(waiters.event, 0), WAIT_OBJECT_0) << "stays set";
        } else {
            HANDLE other = waiters.threads[1 - first];
            EXPECT_EQ(WaitForSingleObject(other, kProbe), kTimeout);
            EXPECT_EQ(waiters.woken.load(), 1);
            EXPECT_EQ(WaitForSingleObject(waiters.event, 0), kTimeout) << "the signal was consumed";
            ASSERT_TRUE(SetEvent(waiters.event));
            EXPECT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
        }
        for (HANDLE thread : waiters.threads) EXPECT_EQ(ExitCodeOf(thread), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(waiters.event));
    }
    // Created set; setting twice is still one signal.
    HANDLE autoSet = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), WAIT_OBJECT_0);
    SetEvent(autoSet);
    SetEvent(autoSet);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), kTimeout);
    CloseHandle(autoSet);
}

TEST(SyncEvents, EventWaitedAloneAndAmongOthersKeepsOneState) {
    HANDLE other = CreateEventA(nullptr, FALSE, FALSE, nullptr), event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[2] = {other, event};
    // Set while only ever waited alone, then taken by a wait over both.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), kTimeout) << "consumed by the wait over both";
    // Taken alone: the wait over both no longer sees it.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), kTimeout);
    for (HANDLE handle : {other, event}) CloseHandle(handle);
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
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 20), kTimeout);
    SetEvent(events[3]);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, kLongWait), WAIT_OBJECT_0 + 3);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    for (HANDLE handle : events) CloseHandle(handle);
}

TEST(SyncWaits, BadArgumentsFailWithWindowsCodes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr), closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
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
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(63, many.data(), FALSE, 10), WAIT_OBJECT_0);
    EXPECT_FAILS_WITH(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED, ERROR_NOT_SUPPORTED);
    // The caller's own thread and process never end while it waits.
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 10), kTimeout);
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), kTimeout);

    EXPECT_FAILS_WITH(CreateEventA(nullptr, TRUE, FALSE, "Global\\SomeEvent"), nullptr, ERROR_NOT_SUPPORTED);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FAILS_WITH(SetEvent(mutex), FALSE, ERROR_INVALID_HANDLE) << "a mutex is not an event";
    EXPECT_FAILS_WITH(SetEvent(reinterpret_cast<HANDLE>(0x7ffffffc)), FALSE, ERROR_INVALID_HANDLE);
    CloseHandle(mutex);
    CloseHandle(event);
}

}  // namespace
