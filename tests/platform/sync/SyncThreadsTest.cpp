// Threads, thread ids, critical sections and clocks, and the run-time-bound
// exports reached as product code reaches them (LoadLibraryA, GetProcAddress).
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <tuple>

#include "SyncTestSupport.h"

namespace {

using namespace synctest;

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

void LeaveEarly() { ExitThread(1234); }

DWORD WINAPI ExitThroughExitThread(LPVOID raw) {
    struct Cleanup {
        Gate* gate;
        ~Cleanup() { gate->cleanedUp = true; }
    } cleanup{static_cast<Gate*>(raw)};
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
    EXPECT_EQ(ExitCodeOf(thread), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_FAILS_WITH(TerminateThread(thread, 1), FALSE, ERROR_NOT_SUPPORTED);

    SetEvent(gate.release);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(gate.seenId.load(), id) << "GetCurrentThreadId inside the thread is its id";
    EXPECT_EQ(ExitCodeOf(thread), 42u) << "TerminateThread changed nothing";
    EXPECT_EQ(GetThreadId(thread), id) << "the id stays readable after the end";
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(CloseHandle(thread));

    EXPECT_FAILS_WITH(GetThreadId(thread), 0u, ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

TEST(SyncThreads, ExitThreadUnwindsAndCreateThreadRefusesWhatItCannotDo) {
    Gate gate;
    EXPECT_EQ(RunThread(ExitThroughExitThread, &gate), 1234u);
    EXPECT_TRUE(gate.cleanedUp.load());
    EXPECT_FAILS_WITH(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(CreateThread(nullptr, 0, ReturnAfterGate, &gate, CREATE_SUSPENDED, nullptr), nullptr,
                      ERROR_NOT_SUPPORTED);
    // An explicit small stack size is honoured or rounded up, never refused.
    SetEvent(gate.release);
    EXPECT_EQ(RunThread(ReturnAfterGate, &gate, 4096), 42u);
}

// The 32-bit basic-information record, field by field.
struct BasicInformation {
    DWORD exitStatus, teb, processId, threadId, affinity;
    LONG priority, basePriority;
};
static_assert(sizeof(BasicInformation) == 28);

// Reached as product code reaches them: by name from the built-in DLLs.
TEST(SyncThreads, RunTimeBoundQueryOfAThreadsBasicInformation) {
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    auto query = reinterpret_cast<NTSTATUS(NTAPI*)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG)>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread")));
    ASSERT_NE(query, nullptr);

    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReturnAfterGate, &gate, 0, &id);
    BasicInformation info{};
    ULONG length = 0;
    ASSERT_EQ(query(thread, ThreadBasicInformation, &info, sizeof info, &length), 0);
    EXPECT_EQ(length, 28u);
    EXPECT_EQ(std::tuple(info.exitStatus, info.threadId, info.processId),
              std::tuple(static_cast<DWORD>(STILL_ACTIVE), id, GetCurrentProcessId()));
    EXPECT_NE(info.affinity, 0u);
    SetEvent(gate.release);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    ASSERT_EQ(query(thread, ThreadBasicInformation, &info, sizeof info, &length), 0);
    EXPECT_EQ(std::tuple(info.exitStatus, info.threadId), std::tuple(42u, id));
    ASSERT_EQ(query(GetCurrentThread(), ThreadBasicInformation, &info, sizeof info, nullptr), 0);
    EXPECT_EQ(info.threadId, GetCurrentThreadId());

    // Refusals answer a status and leave the last error alone, as NT functions do.
    EXPECT_NT_STATUS(query(thread, static_cast<THREADINFOCLASS>(5), &info, sizeof info, &length),
                     STATUS_INVALID_INFO_CLASS);
    for (ULONG wrongSize : {24u, 32u})
        EXPECT_NT_STATUS(query(thread, ThreadBasicInformation, &info, wrongSize, &length), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_NT_STATUS(query(thread, ThreadBasicInformation, nullptr, sizeof info, &length), STATUS_ACCESS_VIOLATION);
    CloseHandle(thread);
    EXPECT_NT_STATUS(query(thread, ThreadBasicInformation, &info, sizeof info, &length), STATUS_INVALID_HANDLE);
    FreeLibrary(ntdll);
}

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

TEST(SyncCriticalSection, ExcludesOtherThreadsAndIsRecursive) {
    Counter counter;
    InitializeCriticalSection(&counter.section);
    HANDLE threads[4];
    for (auto& thread : threads) ASSERT_NE(thread = CreateThread(nullptr, 0, CountUnderLock, &counter, 0, nullptr), nullptr);
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, 6 * kLongWait), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(counter.value, 80000);
    DeleteCriticalSection(&counter.section);
}

TEST(SyncClocks, TicksAndTimesAgreeWithTheSystem) {
    DWORD before = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - before, 19u);  // both truncated to milliseconds
    SYSTEMTIME local{};
    GetLocalTime(&local);
    time_t seconds = time(nullptr);
    tm expected{};
    localtime_r(&seconds, &expected);
    EXPECT_EQ(std::tuple(local.wYear, local.wMonth, local.wDayOfWeek),
              std::tuple(expected.tm_year + 1900, expected.tm_mon + 1, expected.tm_wday));
    EXPECT_LT(local.wMilliseconds, 1000);
}

}  // namespace
