// How a thread starts and ends: the id CreateThread hands back, even for a
// thread that ends at once, the end seen by single and multi-object waits
// however they are mixed, fresh thread-local state for every thread, and the
// process list (EnumProcesses) as a snapshot taken during each call.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <vector>

#include "SyncTestSupport.h"
#include "zrwin/psapi.h"

namespace {

using namespace synctest;

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

TEST(ThreadStart, IdsAreKnownAtCreationAndMatchTheThreadsOwnEvenForThreadsThatEndAtOnce) {
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

DWORD WINAPI WaitForGate(LPVOID raw) {
    WaitForSingleObject(static_cast<HANDLE>(raw), kLongWait);
    return 5;
}

TEST(ThreadStart, AnEndIsSeenByEveryKindOfWaitStartedBeforeOrAfterIt) {
    struct Case {
        const char* name;
        bool multiBeforeEnd;  // a multi-object wait has asked for a descriptor while it ran
    };
    for (const Case& c : {Case{"single waits only", false}, Case{"a multi-object wait while it ran", true}}) {
        SCOPED_TRACE(c.name);
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, WaitForGate, gate, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const HANDLE both[2] = {never, thread};
        EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        if (c.multiBeforeEnd) {
            EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), static_cast<DWORD>(WAIT_TIMEOUT));
        }

        HANDLE waiters[2] = {
            CreateThread(nullptr, 0, [](LPVOID h) -> DWORD { return WaitForSingleObject(h, kLongWait); }, thread, 0,
                         nullptr),
            CreateThread(nullptr, 0,
                         [](LPVOID h) -> DWORD {
                             const HANDLE* pair = static_cast<const HANDLE*>(h);
                             return WaitForMultipleObjects(2, pair, FALSE, kLongWait);
                         },
                         const_cast<HANDLE*>(both), 0, nullptr)};
        SetEvent(gate);
        for (HANDLE waiter : waiters) ASSERT_EQ(WaitForSingleObject(waiter, kLongWait), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(waiters[0]), WAIT_OBJECT_0) << "the single wait";
        EXPECT_EQ(ExitCodeOf(waiters[1]), WAIT_OBJECT_0 + 1) << "the multi-object wait";
        // After the end, both kinds still find it signalled.
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(ExitCodeOf(thread), 5u);
        for (HANDLE h : {waiters[0], waiters[1], thread, gate, never}) CloseHandle(h);
    }
}

DWORD WINAPI Sleeps(LPVOID) {
    Sleep(200);
    return 0;
}

TEST(ThreadStart, ATimedWaitOnARunningThreadTimesOut) {
    HANDLE thread = CreateThread(nullptr, 0, Sleeps, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    CloseHandle(thread);
}

bool Listed(DWORD pid) {
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) return false;
    ids.resize(bytes / sizeof(DWORD));
    return std::find(ids.begin(), ids.end(), pid) != ids.end();
}

TEST(ThreadStart, TheProcessListIsTakenAtEveryCall) {
    EXPECT_TRUE(Listed(GetCurrentProcessId()));
    EXPECT_TRUE(Listed(1));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A forked child reads the list through a descriptor of its own.
        _exit(Listed(static_cast<DWORD>(getpid())) && Listed(static_cast<DWORD>(getppid())) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(Listed(static_cast<DWORD>(child))) << "a process that has ended and been reaped is gone";
}

// Each caller forks a child, lists it, ends and reaps it and no longer lists
// it, while the others do the same: a list taken before a call, or shared
// from a read that began before it, would fail one of the two.
TEST(ThreadStart, ManyCallersAtOnceEachSeeTheProcessesOfTheirOwnCall) {
    std::atomic<int> stale{0};
    std::vector<HANDLE> callers;
    for (int i = 0; i < 6; ++i) {
        callers.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID raw) -> DWORD {
                for (int round = 0; round < 40; ++round) {
                    const pid_t child = fork();
                    if (child == 0) {
                        for (;;) pause();
                    }
                    if (child < 0) return 1;
                    // Threads are not processes: a caller's own thread id is never listed.
                    if (!Listed(static_cast<DWORD>(child)) || Listed(GetCurrentThreadId()))
                        static_cast<std::atomic<int>*>(raw)->fetch_add(1);
                    kill(child, SIGKILL);
                    int status = 0;
                    waitpid(child, &status, 0);
                    if (Listed(static_cast<DWORD>(child))) static_cast<std::atomic<int>*>(raw)->fetch_add(1);
                }
                return 0;
            },
            &stale, 0, nullptr));
    }
    for (HANDLE caller : callers) {
        EXPECT_EQ(WaitForSingleObject(caller, 60000), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(caller), 0u);
        CloseHandle(caller);
    }
    EXPECT_EQ(stale.load(), 0);
}

}  // namespace
