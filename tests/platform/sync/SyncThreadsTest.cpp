// Threads, thread ids, critical sections and clocks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "QueryThreadCheck.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kLongWait = 10000;

struct Gate {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> seenId{0};
    std::atomic<bool> cleanedUp{false};
    ~Gate() { CloseHandle(release); }
};

DWORD WINAPI ReturnAfterGate(LPVOID raw) {
    auto* gate = static_cast<Gate*>(raw);
    gate->seenId = GetCurrentThreadId();
    WaitForSingleObject(gate->release, kLongWait);
    return 42;
}

struct Cleanup {
    Gate* gate;
    ~Cleanup() { gate->cleanedUp = true; }
};

void LeaveEarly() { ExitThread(1234); }

DWORD WINAPI ExitThroughExitThread(LPVOID raw) {
    auto* gate = static_cast<Gate*>(raw);
    Cleanup cleanup{gate};
    LeaveEarly();
    return 7;  // never reached
}

TEST(SyncThreads, ExitCodeIdsAndEndSignal) {
    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReturnAfterGate, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(thread), id);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

    SetLastError(0);
    EXPECT_FALSE(TerminateThread(thread, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    SetEvent(gate.release);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(gate.seenId.load(), id) << "GetCurrentThreadId inside the thread is its id";
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u) << "TerminateThread changed nothing";
    EXPECT_EQ(GetThreadId(thread), id) << "the id stays readable after the end";
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(CloseHandle(thread));

    SetLastError(0);
    EXPECT_EQ(GetThreadId(thread), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

TEST(SyncThreads, ForkedChildReportsItsOwnThreadId) {
    DWORD parentId = GetCurrentThreadId();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool right = GetCurrentThreadId() == static_cast<DWORD>(getpid()) && GetCurrentThreadId() != parentId;
        _exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SyncThreads, ExitThreadUnwindsAndSetsTheCode) {
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, ExitThroughExitThread, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 1234u);
    EXPECT_TRUE(gate.cleanedUp.load());
    CloseHandle(thread);
}

TEST(SyncThreads, CreateThreadRefusesWhatItCannotDo) {
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Gate gate;
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnAfterGate, &gate, CREATE_SUSPENDED, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // An explicit small stack size is honoured or rounded up, never refused.
    SetEvent(gate.release);
    HANDLE thread = CreateThread(nullptr, 4096, ReturnAfterGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST(SyncThreads, NtQueryInformationThreadCalledDirectly) { synctest::CheckQueryThread(&NtQueryInformationThread); }

struct Counter {
    CRITICAL_SECTION section;
    long value = 0;
};

DWORD WINAPI CountUnderLock(LPVOID raw) {
    auto* counter = static_cast<Counter*>(raw);
    for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&counter->section);
        EnterCriticalSection(&counter->section);  // recursive entry
        long seen = counter->value;
        counter->value = seen + 1;
        LeaveCriticalSection(&counter->section);
        LeaveCriticalSection(&counter->section);
    }
    return 0;
}

DWORD WINAPI TryEnterFromOtherThread(LPVOID raw) {
    auto* counter = static_cast<Counter*>(raw);
    if (!TryEnterCriticalSection(&counter->section)) return 0;
    LeaveCriticalSection(&counter->section);
    return 1;
}

TEST(SyncCriticalSection, ExcludesOtherThreadsAndIsRecursive) {
    Counter counter;
    InitializeCriticalSection(&counter.section);
    HANDLE threads[4];
    for (auto& thread : threads) {
        thread = CreateThread(nullptr, 0, CountUnderLock, &counter, 0, nullptr);
        ASSERT_NE(thread, nullptr);
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, 6 * kLongWait), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(counter.value, 80000);

    EnterCriticalSection(&counter.section);
    EXPECT_TRUE(TryEnterCriticalSection(&counter.section));
    EXPECT_EQ(counter.section.owningThread, GetCurrentThreadId());
    HANDLE other = CreateThread(nullptr, 0, TryEnterFromOtherThread, &counter, 0, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
    DWORD entered = 9;
    GetExitCodeThread(other, &entered);
    EXPECT_EQ(entered, 0u) << "held by this thread";
    CloseHandle(other);
    LeaveCriticalSection(&counter.section);
    LeaveCriticalSection(&counter.section);

    other = CreateThread(nullptr, 0, TryEnterFromOtherThread, &counter, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
    GetExitCodeThread(other, &entered);
    EXPECT_EQ(entered, 1u) << "free again after the last leave";
    CloseHandle(other);
    DeleteCriticalSection(&counter.section);
}

TEST(SyncClocks, TicksAndTimesAgreeWithTheSystem) {
    ULONGLONG before = GetTickCount64();
    DWORD tick = GetTickCount();
    Sleep(20);
    ULONGLONG after = GetTickCount64();
    EXPECT_GE(after, before + 19);  // both truncated to milliseconds
    EXPECT_LE(static_cast<DWORD>(tick - static_cast<DWORD>(before)), static_cast<DWORD>(after - before));
    Sleep(0);

    FILETIME fileTime{};
    GetSystemTimeAsFileTime(&fileTime);
    ULONGLONG hundredNs = (static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    long long unixSeconds = static_cast<long long>(hundredNs / 10000000ull) - 11644473600ll;
    long long now = static_cast<long long>(time(nullptr));
    EXPECT_LE(std::llabs(unixSeconds - now), 2);

    SYSTEMTIME local{};
    GetLocalTime(&local);
    time_t seconds = time(nullptr);
    tm expected{};
    localtime_r(&seconds, &expected);
    EXPECT_EQ(local.wYear, expected.tm_year + 1900);
    EXPECT_GE(local.wMonth, 1);
    EXPECT_LE(local.wMonth, 12);
    EXPECT_EQ(local.wDayOfWeek, expected.tm_wday);
    EXPECT_LT(local.wMilliseconds, 1000);
}

}  // namespace
