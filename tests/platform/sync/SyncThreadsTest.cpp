// Threads, thread ids (known at creation, even for threads that end at once),
// critical sections and clocks, and the run-time-bound thread query reached
// as product code reaches it (LoadLibraryA, GetProcAddress).
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <set>
#include <tuple>
#include <vector>

#include "SyncTestSupport.h"

namespace {

using namespace synctest;

struct Gate {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> cleanedUp{false};
    ~Gate() { CloseHandle(release); }
};

DWORD WINAPI ReturnAfterGate(LPVOID raw) {
    WaitForSingleObject(static_cast<Gate*>(raw)->release, kLongWait);
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
    EXPECT_EQ(ExitCodeOf(thread), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_FAILS_WITH(TerminateThread(thread, 1), FALSE, ERROR_NOT_SUPPORTED);

    SetEvent(gate.release);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(thread), 42u) << "TerminateThread changed nothing";
    EXPECT_EQ(GetThreadId(thread), id) << "the id stays readable after the end";
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(CloseHandle(thread));

    EXPECT_FAILS_WITH(GetThreadId(thread), 0u, ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

thread_local int t_counter = 0;

struct Seen {
    std::atomic<DWORD> id{0};
    int counterAtStart = -1;
};

// Ends at once, so that it races its creator's return from CreateThread.
DWORD WINAPI RecordAndReturn(LPVOID raw) {
    auto* seen = static_cast<Seen*>(raw);
    seen->counterAtStart = t_counter++;
    seen->id = GetCurrentThreadId();
    return seen->id;
}

TEST(SyncThreads, IdsAreKnownAtCreationAndMatchTheThreadsOwnEvenForThreadsThatEndAtOnce) {
    constexpr int kThreads = 200;
    std::vector<Seen> seen(kThreads);
    std::vector<HANDLE> handles;
    std::vector<DWORD> ids;
    for (int i = 0; i < kThreads; ++i) {
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, RecordAndReturn, &seen[i], 0, &id);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(GetThreadId(thread), id);
        handles.push_back(thread);
        ids.push_back(id);
    }
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(WaitForSingleObject(handles[i], kLongWait), WAIT_OBJECT_0);
        EXPECT_EQ(seen[i].id.load(), ids[i]);
        EXPECT_EQ(ExitCodeOf(handles[i]), ids[i]);
        EXPECT_EQ(seen[i].counterAtStart, 0) << "thread-local state starts fresh in every thread";
    }
    // While their handles are open, ended threads keep distinct ids.
    EXPECT_EQ(std::set<DWORD>(ids.begin(), ids.end()).size(), ids.size());
    for (HANDLE thread : handles) EXPECT_TRUE(CloseHandle(thread));
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
    EXPECT_EQ(std::tuple(info.exitStatus, info.processId), std::tuple(DWORD{STILL_ACTIVE}, GetCurrentProcessId()));
    EXPECT_NE(info.affinity, 0u);
    SetEvent(gate.release);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    ASSERT_EQ(query(thread, ThreadBasicInformation, &info, sizeof info, &length), 0);
    EXPECT_EQ(std::tuple(info.exitStatus, info.threadId), std::tuple(42u, id));

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
