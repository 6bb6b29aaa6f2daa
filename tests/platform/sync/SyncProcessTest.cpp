// Process handles, mutexes (named ones across real processes) and the
// process list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "support/TestSupport.h"
#include "platform/platform.h"

namespace {

using synctest::ChildProcess;

constexpr DWORD kLongWait = 10000;
constexpr DWORD kProbe = 100;

// Names unique to this test process, so parallel test runs never share one.
std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "Global\\zrwin-test-" + std::string(tag) + "-" + std::to_string(getpid()) + "-" +
           std::to_string(++counter);
}

bool SharedObjectExists(const std::string& name) {
    std::string bare = name.substr(name.find('\\') + 1);
    std::string path = "/dev/shm/zrwin-mutex-n-" + bare;
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

TEST(SyncProcesses, WaitOnAProcessEndsWhenItExits) {
    ChildProcess child({"wait-stdin", "23"}, false);
    ASSERT_TRUE(child.Started());
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(child.Pid()));
    ASSERT_NE(process, nullptr);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(process, kProbe), static_cast<DWORD>(WAIT_TIMEOUT));

    child.CloseStdin();
    EXPECT_EQ(WaitForSingleObject(process, kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 23u);
    EXPECT_EQ(child.Join(), 23);
    // Once reaped the code is still the one learnt before.
    ASSERT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, 23u);
    EXPECT_TRUE(CloseHandle(process));

    ASSERT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
}

TEST(SyncProcesses, OpenProcessOfMissingProcessesFailsWithInvalidParameter) {
    ChildProcess child({"exit", "0"}, false);
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(child.Join(), 0);
    // The reaped child's pid is free (and not reused this quickly).
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child.Pid())), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0xFFFFFFF0u), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    HANDLE self = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(WaitForSingleObject(self, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(self);
}

TEST(SyncProcesses, MixedWaitReportsEventThreadAndProcessIndexes) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Gated {
        static DWORD WINAPI Run(LPVOID raw) { return WaitForSingleObject(static_cast<HANDLE>(raw), kLongWait); }
    };
    HANDLE thread = CreateThread(nullptr, 0, Gated::Run, gate, 0, nullptr);
    ChildProcess child({"wait-stdin", "0"}, false);
    ASSERT_TRUE(child.Started());
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child.Pid()));
    ASSERT_NE(process, nullptr);
    ASSERT_NE(thread, nullptr);
    HANDLE handles[3] = {event, thread, process};

    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kProbe), static_cast<DWORD>(WAIT_TIMEOUT));
    child.CloseStdin();
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 2);
    SetEvent(gate);
    ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 1);
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(child.Join(), 0);
    for (HANDLE handle : handles) CloseHandle(handle);
    CloseHandle(gate);
}

TEST(SyncProcesses, EnumProcessesListsLiveProcessesAndTruncates) {
    ChildProcess child({"wait-stdin", "0"}, false);
    ASSERT_TRUE(child.Started());
    std::vector<DWORD> ids(65536);
    DWORD bytes = 0;
    ASSERT_TRUE(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes));
    ASSERT_EQ(bytes % sizeof(DWORD), 0u);
    ids.resize(bytes / sizeof(DWORD));
    EXPECT_NE(std::find(ids.begin(), ids.end(), GetCurrentProcessId()), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), static_cast<DWORD>(child.Pid())), ids.end());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);

    DWORD two[2] = {0, 0};
    ASSERT_TRUE(EnumProcesses(two, 7, &bytes));  // room for one whole id
    EXPECT_EQ(bytes, 4u);
    SetLastError(0);
    EXPECT_FALSE(EnumProcesses(two, sizeof two, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    child.CloseStdin();
    EXPECT_EQ(child.Join(), 0);
}

TEST(SyncMutex, NamedMutexAbandonedByADeadProcessPassesToTheNextWaiter) {
    std::string name = UniqueName("abandon");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    ChildProcess holder({"hold-and-die", name}, true);
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(holder.WaitReady());
    EXPECT_EQ(holder.Join(), 7);

    EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), static_cast<DWORD>(WAIT_ABANDONED));
    // Now this thread owns it: another process times out, and it is not
    // reported abandoned a second time.
    ChildProcess prober({"try", name, "50"}, false);
    EXPECT_EQ(prober.Join(), 58);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursive
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    ChildProcess taker({"try", name, "5000"}, false);
    EXPECT_EQ(taker.Join(), 0);
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(SharedObjectExists(name)) << "the last close removes the shared object";
}

DWORD WINAPI WaitForMutex(LPVOID raw) { return WaitForSingleObject(static_cast<HANDLE>(raw), 3 * kLongWait); }

TEST(SyncMutex, BlockedWaiterWakesAbandonedWhenTheOwnerProcessDies) {
    std::string name = UniqueName("blocked");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    ChildProcess holder({"hold-then-die", name}, true);
    ASSERT_TRUE(holder.WaitReady());
    HANDLE waiter = CreateThread(nullptr, 0, WaitForMutex, mutex, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, kProbe), static_cast<DWORD>(WAIT_TIMEOUT)) << "blocked on the held mutex";
    holder.CloseStdin();
    ASSERT_EQ(WaitForSingleObject(waiter, kLongWait), WAIT_OBJECT_0);
    DWORD result = 0;
    GetExitCodeThread(waiter, &result);
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_EQ(holder.Join(), 7);
    CloseHandle(waiter);
    // The waiter thread ended owning it, so it is abandoned once more.
    EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(SyncMutex, SecondCreateReportsAlreadyExistsAndHeldMutexTimesOutOtherProcess) {
    std::string name = UniqueName("exists");
    HANDLE first = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(SharedObjectExists(name));

    // Same name through the wide call and the other prefix.
    std::string local = "Local\\" + name.substr(name.find('\\') + 1);
    std::wstring wide(local.begin(), local.end());
    HANDLE second = CreateMutexW(nullptr, TRUE, wide.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(second, first);

    ChildProcess prober({"try", name, "200"}, false);
    EXPECT_EQ(prober.Join(), 58) << "held by this process";

    EXPECT_TRUE(ReleaseMutex(first));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(second)) << "the second create did not take ownership";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

    ChildProcess taker({"try", name, "5000"}, false);
    EXPECT_EQ(taker.Join(), 0);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(SharedObjectExists(name)) << "still open through the second handle";
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(SharedObjectExists(name));
}

TEST(SyncMutex, SharedObjectOutlivesTheCreatorWhileAnotherProcessHasItOpen) {
    std::string name = UniqueName("outlive");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    ChildProcess holder({"hold", name}, true);
    ASSERT_TRUE(holder.WaitReady());
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_TRUE(SharedObjectExists(name));

    mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the same object, still held";
    EXPECT_EQ(WaitForSingleObject(mutex, kProbe), static_cast<DWORD>(WAIT_TIMEOUT));
    holder.CloseStdin();
    EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(holder.Join(), 0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(SharedObjectExists(name));
}

TEST(SyncMutex, ProcessesCreatingAndClosingPerUseStillExcludeEachOther) {
    zrtest::ScopedTempDir folder;
    std::string counter = folder.File("counter");
    {
        FILE* file = std::fopen(counter.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        unsigned zero = 0;
        std::fwrite(&zero, sizeof zero, 1, file);
        std::fclose(file);
    }
    // The name appears and vanishes all the time, so every create, open and
    // removal race of the shared object is exercised.
    std::string name = UniqueName("count");
    constexpr int kRounds = 500;
    ChildProcess a({"count", name, counter, std::to_string(kRounds)}, false);
    ChildProcess b({"count", name, counter, std::to_string(kRounds)}, false);
    ChildProcess c({"count", name, counter, std::to_string(kRounds)}, false);
    a.CloseStdin();
    b.CloseStdin();
    c.CloseStdin();
    EXPECT_EQ(a.Join(), 0);
    EXPECT_EQ(b.Join(), 0);
    EXPECT_EQ(c.Join(), 0);
    FILE* file = std::fopen(counter.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    unsigned total = 0;
    EXPECT_EQ(std::fread(&total, sizeof total, 1, file), 1u);
    std::fclose(file);
    EXPECT_EQ(total, 3u * kRounds);
    EXPECT_FALSE(SharedObjectExists(name));
}

DWORD WINAPI TakeAndReturn(LPVOID raw) {
    DWORD result = WaitForSingleObject(static_cast<HANDLE>(raw), kLongWait);
    return result;  // ends holding the mutex when it got it
}

DWORD WINAPI TryRelease(LPVOID raw) {
    if (ReleaseMutex(static_cast<HANDLE>(raw))) return 0;
    return GetLastError();
}

TEST(SyncMutex, OwnershipIsPerThreadAndAbandonedByAnEndedThread) {
    for (const char* name : {static_cast<const char*>(nullptr), "Local\\zrwin-test-thread-owned"}) {
        std::string unique = name ? name + std::to_string(getpid()) : "";
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name ? unique.c_str() : nullptr);
        ASSERT_NE(mutex, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, TakeAndReturn, mutex, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeThread(thread, &code);
        EXPECT_EQ(code, WAIT_OBJECT_0);
        CloseHandle(thread);

        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(mutex)) << "owned by the ended thread";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
        EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), static_cast<DWORD>(WAIT_ABANDONED));

        thread = CreateThread(nullptr, 0, TryRelease, mutex, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
        GetExitCodeThread(thread, &code);
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_OWNER)) << "another thread cannot release it";
        CloseHandle(thread);
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_FALSE(ReleaseMutex(mutex));
        CloseHandle(mutex);
    }
}

TEST(SyncMutex, MutexesTakePartInMultiObjectWaits) {
    std::string name = UniqueName("multi");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(event, nullptr);
    ChildProcess holder({"hold", name}, true);
    ASSERT_TRUE(holder.WaitReady());

    HANDLE handles[2] = {mutex, event};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kProbe), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 1);
    holder.CloseStdin();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(holder.Join(), 0);
    EXPECT_TRUE(ReleaseMutex(mutex));

    ChildProcess dier({"hold-and-die", name}, true);
    ASSERT_TRUE(dier.WaitReady());
    EXPECT_EQ(dier.Join(), 7);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
    CloseHandle(event);
}

}  // namespace
