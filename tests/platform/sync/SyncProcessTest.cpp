// Process handles, the process list, mutexes (named ones across real
// processes), and the end of every kind of waitable object.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SyncTestSupport.h"
#include "support/MultiProcessTest.h"

namespace {

using namespace synctest;

void WaitForStdinClose() {
    char buffer[16];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
}

bool Got(DWORD result) { return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED; }

// ExitOnStdinClose <code>: exits with <code> once stdin closes.
ZR_CHILD_MAIN(ExitOnStdinClose) {
    WaitForStdinClose();
    return std::atoi(zrtest::ChildArgs().at(0).c_str());
}

// HoldMutex <name> <how>: takes the named mutex and prints "ready"; then, by
// <how>, dies at once without releasing it ("die"), dies once stdin closes
// ("die-later"), or releases it once stdin closes and exits 0 ("release-later").
ZR_CHILD_MAIN(HoldMutex) {
    const auto& args = zrtest::ChildArgs();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    if (!mutex || !Got(WaitForSingleObject(mutex, 30000))) return 101;
    (void)!write(1, "ready\n", 6);
    if (args.at(1) == "die") _exit(7);
    WaitForStdinClose();
    if (args.at(1) == "die-later") _exit(7);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 0;
}

// Adds one to the number in the file; lost updates show when two processes
// were inside at once.
bool AddOne(const char* path) {
    int fd = open(path, O_RDWR);
    unsigned value = 0;
    bool ok = fd >= 0 && pread(fd, &value, sizeof value, 0) == static_cast<ssize_t>(sizeof value);
    ++value;
    usleep(20);  // widens the window a second owner would hit
    ok = ok && pwrite(fd, &value, sizeof value, 0) == static_cast<ssize_t>(sizeof value);
    if (fd >= 0) close(fd);
    return ok;
}

// CountUnderMutex <name> <file> <rounds>: once stdin closes, each round
// creates the named mutex owning it (waiting when it existed), adds one to the
// number in <file>, releases and closes it, as the log does for every record.
ZR_CHILD_MAIN(CountUnderMutex) {
    const auto& args = zrtest::ChildArgs();
    WaitForStdinClose();  // all counters start together
    for (int i = 0, rounds = std::atoi(args.at(2).c_str()); i < rounds; ++i) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, args.at(0).c_str());
        if (!mutex) return 101;
        if (GetLastError() == ERROR_ALREADY_EXISTS && !Got(WaitForSingleObject(mutex, 30000))) return 102;
        const bool added = AddOne(args.at(1).c_str()), released = ReleaseMutex(mutex) != FALSE;
        CloseHandle(mutex);
        if (!added || !released) return 104;
    }
    return 0;
}

// TryMutex <name> <milliseconds>: opens the existing named mutex (exit 200
// when the create did not report ERROR_ALREADY_EXISTS) and waits for it: exit
// 0 when it got it, 128 when abandoned, 58 on time-out, 103 when the wait failed.
ZR_CHILD_MAIN(TryMutex) {
    const auto& args = zrtest::ChildArgs();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    if (!mutex) return 101;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return 200;
    DWORD result = WaitForSingleObject(mutex, static_cast<DWORD>(std::atoi(args.at(1).c_str())));
    if (Got(result)) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result == WAIT_OBJECT_0 ? 0 : result == WAIT_ABANDONED ? 128 : result == WAIT_TIMEOUT ? 58 : 103;
}

int Try(const std::string& name, const char* milliseconds) {
    return zrtest::SpawnChild("TryMutex", {name, milliseconds}).Wait();
}

// Names unique to this test process, so parallel test runs never share one.
std::string UniqueName(const char* tag) {
    static int counter = 0;
    return "Global\\zrwin-test-" + std::string(tag) + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

bool SharedObjectExists(const std::string& name) {
    struct stat info {};
    return stat(("/dev/shm/zrwin-mutex-n-" + name.substr(name.find('\\') + 1)).c_str(), &info) == 0;
}

// A name whose last handle closed is gone in the Windows sense: whoever
// creates it next, another process or this one, gets a new mutex.
void ExpectNameIsDead(const std::string& name) {
    EXPECT_EQ(Try(name, "0"), 200) << "another process gets a new mutex";
    HANDLE again = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "so does this one";
    EXPECT_EQ(Try(name, "50"), 58) << "owned, as the create asked";
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_TRUE(CloseHandle(again));
}

DWORD ProcessExitCode(HANDLE process) {
    DWORD code = kNoCode;
    return GetExitCodeProcess(process, &code) ? code : kNoCode;
}

TEST(SyncProcesses, WaitOnAProcessEndsWhenItExitsAndItsPidThenOpensNothing) {
    auto child = zrtest::SpawnChild("ExitOnStdinClose", {"23"});
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(child.Pid()));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(ProcessExitCode(process), static_cast<DWORD>(STILL_ACTIVE));
    child.CloseStdin();
    EXPECT_EQ(WaitForSingleObject(process, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(ProcessExitCode(process), 23u);
    EXPECT_EQ(child.Wait(), 23);
    EXPECT_EQ(ProcessExitCode(process), 23u) << "once reaped the code is still the one learnt before";
    EXPECT_TRUE(CloseHandle(process));
    EXPECT_EQ(ProcessExitCode(GetCurrentProcess()), static_cast<DWORD>(STILL_ACTIVE));
    // The reaped child's pid is free (and not reused this quickly); so are these.
    for (DWORD pid : {static_cast<DWORD>(child.Pid()), 0u, 0xFFFFFFF0u})
        EXPECT_FAILS_WITH(OpenProcess(SYNCHRONIZE, FALSE, pid), nullptr, ERROR_INVALID_PARAMETER);
    HANDLE self = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    EXPECT_EQ(WaitForSingleObject(self, 0), kTimeout);
    CloseHandle(self);
}

DWORD WINAPI WaitAlone(LPVOID handle) { return WaitForSingleObject(static_cast<HANDLE>(handle), kLongWait); }
DWORD WINAPI WaitAmongTwo(LPVOID pair) {
    return WaitForMultipleObjects(2, static_cast<HANDLE*>(pair), FALSE, kLongWait);
}

// An event's signal, a thread's or a process's end releases a single wait and
// a multi-object wait that began before it, and both kinds find the object
// signalled after. A multi-object wait may have timed out on it before.
TEST(SyncWaits, EveryKindOfObjectEndsTheWaitsOnItAndStaysSignalled) {
    struct Case {
        const char* kind;
        bool probedFirst;
    };
    for (const Case& c : {Case{"event", true}, {"thread", false}, {"thread", true}, {"process", true}}) {
        SCOPED_TRACE(std::string(c.kind) + (c.probedFirst ? ", probed first" : ""));
        const std::string kind = c.kind;
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr), never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE object = kind == "thread" ? CreateThread(nullptr, 0, WaitAlone, gate, 0, nullptr) : gate;
        std::unique_ptr<zrtest::ChildProcess> child;
        if (kind == "process") {
            child.reset(new zrtest::ChildProcess(zrtest::SpawnChild("ExitOnStdinClose", {"0"})));
            object = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child->Pid()));
        }
        HANDLE pair[2] = {never, object};
        if (c.probedFirst) {
            EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, kProbe), kTimeout);
        }
        HANDLE waiters[2] = {CreateThread(nullptr, 0, WaitAlone, object, 0, nullptr),
                             CreateThread(nullptr, 0, WaitAmongTwo, pair, 0, nullptr)};
        if (child) {
            child->CloseStdin();
        } else {
            SetEvent(gate);
        }
        for (HANDLE waiter : waiters) ASSERT_EQ(WaitForSingleObject(waiter, kLongWait), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(waiters[0]), WAIT_OBJECT_0);
        EXPECT_EQ(ExitCodeOf(waiters[1]), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(WaitForSingleObject(object, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(child ? child->Wait() : 0, 0);
        if (object != gate) CloseHandle(object);
        for (HANDLE handle : {waiters[0], waiters[1], gate, never}) CloseHandle(handle);
    }
}

bool Listed(DWORD pid) {
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) return false;
    ids.resize(bytes / sizeof(DWORD));
    return std::find(ids.begin(), ids.end(), pid) != ids.end();
}

// Each caller forks a child, lists it, ends and reaps it and no longer lists
// it, while the others do the same: a list taken before a call, or shared
// from a read that began before it, would fail one of the two.
TEST(SyncProcesses, ProcessListIsTakenAtEveryCallAndHoldsWholeIdsOnly) {
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
                    waitpid(child, nullptr, 0);
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
    // A forked child lists through a descriptor of its own.
    const pid_t child = fork();
    if (child == 0) _exit(Listed(static_cast<DWORD>(getpid())) && Listed(static_cast<DWORD>(getppid())) ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    DWORD two[2] = {0, 0}, bytes = 0;
    ASSERT_TRUE(EnumProcesses(two, 7, &bytes));  // room for one whole id
    EXPECT_EQ(bytes, 4u);
    EXPECT_FAILS_WITH(EnumProcesses(two, sizeof two, nullptr), FALSE, ERROR_NOACCESS);
}

// More than 1,024 processes at once, the youngest (with the highest ids)
// last: every one is listed.
TEST(SyncProcesses, EveryProcessIsListedWithMoreThan1024Running) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> idle;
    for (int i = 0; i < 1100; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            char c;
            close(gate[1]);
            while (read(gate[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        if (pid < 0) break;
        idle.push_back(pid);
    }
    std::vector<DWORD> ids(65536);
    DWORD bytes = 0;
    EXPECT_TRUE(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes));
    ids.resize(bytes / sizeof(DWORD));
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
    size_t missing = 0;
    for (pid_t pid : idle) missing += std::find(ids.begin(), ids.end(), static_cast<DWORD>(pid)) == ids.end();
    close(gate[0]);
    close(gate[1]);  // the idle processes end
    for (pid_t pid : idle) waitpid(pid, nullptr, 0);
    EXPECT_EQ(idle.size(), 1100u);
    EXPECT_EQ(missing, 0u);
}

TEST(SyncMutex, SecondCreateReportsAlreadyExistsAndHeldMutexTimesOutOtherProcess) {
    const std::string name = UniqueName("exists");
    HANDLE first = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(SharedObjectExists(name));
    // Same name through the other prefix.
    const std::string local = "Local\\" + name.substr(name.find('\\') + 1);
    HANDLE second = CreateMutexA(nullptr, TRUE, local.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(second, first);
    EXPECT_EQ(Try(name, "200"), 58) << "held by this process";
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_FAILS_WITH(ReleaseMutex(second), FALSE, ERROR_NOT_OWNER) << "the second create did not take ownership";
    EXPECT_EQ(Try(name, "5000"), 0);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(SharedObjectExists(name)) << "still open through the second handle";
    EXPECT_TRUE(CloseHandle(second));
    ExpectNameIsDead(name);

    // A reopened dead name outlives this process's handle while another process holds it.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    auto holder = zrtest::SpawnChild("HoldMutex", {name, "release-later"});
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_TRUE(SharedObjectExists(name));
    mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the same object, still held";
    EXPECT_EQ(WaitForSingleObject(mutex, kProbe), kTimeout);
    holder.CloseStdin();
    EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
    ExpectNameIsDead(name);
}

TEST(SyncMutex, ProcessesCreatingAndClosingPerUseStillExcludeEachOther) {
    zrtest::ScopedTempDir folder;
    const std::string counter = folder.File("counter");
    std::ofstream(counter, std::ios::binary).write("\0\0\0\0", 4);
    // The name appears and vanishes all the time, so every create, open and
    // removal race of the shared object is exercised.
    const std::string name = UniqueName("count");
    constexpr int kRounds = 500;
    std::vector<std::unique_ptr<zrtest::ChildProcess>> counters;
    for (int i = 0; i < 3; ++i)
        counters.emplace_back(
            new zrtest::ChildProcess(zrtest::SpawnChild("CountUnderMutex", {name, counter, std::to_string(kRounds)})));
    for (auto& child : counters) child->CloseStdin();
    for (auto& child : counters) EXPECT_EQ(child->Wait(), 0);
    unsigned total = 0;
    EXPECT_TRUE(std::ifstream(counter, std::ios::binary).read(reinterpret_cast<char*>(&total), sizeof total));
    EXPECT_EQ(total, 3u * kRounds);
    EXPECT_FALSE(SharedObjectExists(name)) << "the last process to close the name removed it when it exited";
    ExpectNameIsDead(name);
}

// Descriptors of this process open on shared-memory objects (the mappings of
// named mutexes and the share-mode table).
size_t SharedMemoryDescriptors() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string().rfind("/dev/shm/", 0) == 0) ++count;
    }
    return count;
}

TEST(SyncMutex, ThreadsCreatingAndClosingPerUseLeaveNoDescriptorsBehind) {
    const std::string name = UniqueName("threads");
    const size_t before = SharedMemoryDescriptors();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            // What the log does for every record: create owning, wait when it existed, release, close.
            for (int i = 0; i < 2000; ++i) {
                HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
                const bool owned = mutex && (GetLastError() != ERROR_ALREADY_EXISTS ||
                                             WaitForSingleObject(mutex, kLongWait) == WAIT_OBJECT_0);
                if (!owned || !ReleaseMutex(mutex)) ++failures;
                if (mutex) CloseHandle(mutex);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(SharedMemoryDescriptors(), before + 1) << "at most the one parked mapping of the name stays open";
}

DWORD WINAPI TakeAndReturn(LPVOID raw) {
    return WaitForSingleObject(static_cast<HANDLE>(raw), kLongWait);  // ends holding the mutex when it got it
}

DWORD WINAPI TryRelease(LPVOID raw) { return ReleaseMutex(static_cast<HANDLE>(raw)) ? 0 : GetLastError(); }

TEST(SyncMutex, OwnershipIsPerThreadAndAbandonedByAnEndedThread) {
    const std::string named = "Local\\zrwin-test-thread-owned" + std::to_string(getpid());
    for (const char* name : {static_cast<const char*>(nullptr), named.c_str()}) {
        SCOPED_TRACE(name ? name : "unnamed");
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        EXPECT_EQ(RunThread(TakeAndReturn, mutex), WAIT_OBJECT_0);
        EXPECT_FAILS_WITH(ReleaseMutex(mutex), FALSE, ERROR_NOT_OWNER) << "owned by the ended thread";
        EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), static_cast<DWORD>(WAIT_ABANDONED));
        EXPECT_EQ(RunThread(TryRelease, mutex), static_cast<DWORD>(ERROR_NOT_OWNER)) << "another thread cannot release it";
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_FALSE(ReleaseMutex(mutex));
        CloseHandle(mutex);
    }
}

TEST(SyncMutex, WaitsOnAMutexOfAnotherProcessEndWhenItIsReleasedOrItsOwnerDies) {
    const std::string name = UniqueName("abandon");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str()), event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE handles[2] = {mutex, event};
    auto dead = zrtest::SpawnChild("HoldMutex", {name, "die"});
    ASSERT_EQ(dead.Line(), "ready");
    EXPECT_EQ(dead.Wait(), 7);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_ABANDONED_0);
    // Now this thread owns it: another process times out, and it is not
    // reported abandoned a second time.
    EXPECT_EQ(Try(name, "50"), 58);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursive
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(Try(name, "5000"), 0);

    auto holder = zrtest::SpawnChild("HoldMutex", {name, "release-later"});
    ASSERT_EQ(holder.Line(), "ready");
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kProbe), kTimeout);
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_OBJECT_0 + 1);
    holder.CloseStdin();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(holder.Wait(), 0);
    EXPECT_TRUE(ReleaseMutex(mutex));

    // A waiter blocked when the owner dies wakes abandoned; it ends owning the
    // mutex, so the next wait finds it abandoned once more.
    auto dier = zrtest::SpawnChild("HoldMutex", {name, "die-later"});
    ASSERT_EQ(dier.Line(), "ready");
    HANDLE waiter = CreateThread(nullptr, 0, WaitAlone, mutex, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, kProbe), kTimeout) << "blocked on the held mutex";
    dier.CloseStdin();
    ASSERT_EQ(WaitForSingleObject(waiter, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(waiter), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_EQ(dier.Wait(), 7);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, kLongWait), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    for (HANDLE handle : {waiter, mutex, event}) CloseHandle(handle);
    ExpectNameIsDead(name);
}

}  // namespace
