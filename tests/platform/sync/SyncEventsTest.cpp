// Events, the handle table and waits over several handles.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/platform.h"

namespace {

// Generous limit for things that must happen; short probe for things that
// must not have happened yet.
constexpr DWORD kLongWait = 10000;
constexpr DWORD kProbe = 100;

struct WaiterContext {
    HANDLE event;
    std::atomic<int>* woken;
};

DWORD WINAPI WaitOnEvent(LPVOID raw) {
    auto* context = static_cast<WaiterContext*>(raw);
    if (WaitForSingleObject(context->event, kLongWait) != WAIT_OBJECT_0) return 1;
    context->woken->fetch_add(1);
    return 0;
}

TEST(SyncEvents, AutoResetSetEventWakesExactlyOneWaiter) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    WaiterContext context{event, &woken};
    HANDLE threads[2] = {CreateThread(nullptr, 0, WaitOnEvent, &context, 0, nullptr),
                         CreateThread(nullptr, 0, WaitOnEvent, &context, 0, nullptr)};
    ASSERT_NE(threads[0], nullptr);
    ASSERT_NE(threads[1], nullptr);

    ASSERT_TRUE(SetEvent(event));
    DWORD first = WaitForMultipleObjects(2, threads, FALSE, kLongWait);
    ASSERT_LT(first, 2u);
    HANDLE other = threads[1 - first];
    EXPECT_EQ(WaitForSingleObject(other, kProbe), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the signal was consumed";

    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(woken.load(), 2);
    for (HANDLE thread : threads) {
        DWORD code = 99;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, 0u);
        EXPECT_TRUE(CloseHandle(thread));
    }
    EXPECT_TRUE(CloseHandle(event));
}

TEST(SyncEvents, ManualResetWakesAllWaitersAndStaysSet) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    WaiterContext context{event, &woken};
    HANDLE threads[3];
    for (auto& thread : threads) {
        thread = CreateThread(nullptr, 0, WaitOnEvent, &context, 0, nullptr);
        ASSERT_NE(thread, nullptr);
    }
    ASSERT_TRUE(SetEvent(event));
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

TEST(SyncEvents, InitialStateResetAndRepeatedSet) {
    HANDLE autoSet = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(autoSet, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Setting twice is still one signal.
    SetEvent(autoSet);
    SetEvent(autoSet);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(autoSet);
    ResetEvent(autoSet);
    EXPECT_EQ(WaitForSingleObject(autoSet, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE manualSet = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(manualSet, nullptr);
    EXPECT_EQ(WaitForSingleObject(manualSet, kProbe), WAIT_OBJECT_0);
    CloseHandle(autoSet);
    CloseHandle(manualSet);
}

TEST(SyncEvents, NamedEventsAndWrongHandlesFailClearly) {
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\SomeEvent"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(mutex)) << "a mutex is not an event";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(mutex);
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(reinterpret_cast<HANDLE>(0x7ffffffc)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(SyncHandles, ValuesAreSmallMultiplesOfFourAndCloseOnce) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < 50; ++i) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
        auto value = reinterpret_cast<uintptr_t>(event);
        EXPECT_EQ(value % 4, 0u);
        EXPECT_LT(value, 0x80000000u);
        handles.push_back(event);
    }
    for (HANDLE handle : handles) EXPECT_TRUE(CloseHandle(handle));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(handles[0]));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x13)));

    EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)));
    EXPECT_EQ(GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)));
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
}

TEST(SyncWaits, ReportsTheIndexOfTheSignalledHandleLowestFirst) {
    HANDLE events[5];
    for (auto& event : events) {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(events[3]);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, kLongWait), WAIT_OBJECT_0 + 3);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(5, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);

    // A thread that sets the event while the wait is blocked.
    HANDLE late = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE start = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    struct Setter {
        static DWORD WINAPI Run(LPVOID raw) {
            auto* pair = static_cast<HANDLE*>(raw);
            WaitForSingleObject(pair[0], kLongWait);
            SetEvent(pair[1]);
            return 0;
        }
    };
    HANDLE pair[2] = {start, late};
    HANDLE setter = CreateThread(nullptr, 0, Setter::Run, pair, 0, nullptr);
    ASSERT_NE(setter, nullptr);
    HANDLE watched[2] = {late, setter};
    SetEvent(start);
    DWORD result = WaitForMultipleObjects(2, watched, FALSE, kLongWait);
    EXPECT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) << result;
    EXPECT_EQ(WaitForSingleObject(setter, kLongWait), WAIT_OBJECT_0);
    for (HANDLE handle : events) CloseHandle(handle);
    CloseHandle(late);
    CloseHandle(start);
    CloseHandle(setter);
}

TEST(SyncWaits, BadArgumentsFailWithWindowsCodes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE mixed[2] = {event, reinterpret_cast<HANDLE>(0x7ff0)};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForMultipleObjects(63, many.data(), FALSE, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(63, many.data(), FALSE, 10), WAIT_OBJECT_0);

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    // The caller's own thread and process never end while it waits.
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 10), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

}  // namespace
