// Costs of the synchronisation layer's common operations (Google Benchmark;
// not a test). Run: zrwin_sync_bench
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

void BM_EventSetAndWait(benchmark::State& state) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(event);
        benchmark::DoNotOptimize(WaitForSingleObject(event, 0));
    }
    CloseHandle(event);
}
BENCHMARK(BM_EventSetAndWait);

struct PingPong {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

DWORD WINAPI Ponger(LPVOID raw) {
    auto* pair = static_cast<PingPong*>(raw);
    HANDLE handles[2] = {pair->stop, pair->ping};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) SetEvent(pair->pong);
    return 0;
}

// One round trip between two threads: the wake-up latency of a wait.
void BM_EventRoundTripBetweenThreads(benchmark::State& state) {
    PingPong pair;
    HANDLE thread = CreateThread(nullptr, 0, Ponger, &pair, 0, nullptr);
    for (auto _ : state) {
        SetEvent(pair.ping);
        WaitForSingleObject(pair.pong, INFINITE);
    }
    SetEvent(pair.stop);
    WaitForSingleObject(thread, INFINITE);
    for (HANDLE handle : {thread, pair.ping, pair.pong, pair.stop}) CloseHandle(handle);
}
BENCHMARK(BM_EventRoundTripBetweenThreads)->UseRealTime();

struct SingleWaitPingPong {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
};

DWORD WINAPI SingleWaitPonger(LPVOID raw) {
    auto* pair = static_cast<SingleWaitPingPong*>(raw);
    while (WaitForSingleObject(pair->ping, INFINITE) == WAIT_OBJECT_0 && !pair->stop.load()) SetEvent(pair->pong);
    return 0;
}

// The same round trip with a one-object wait on both sides, as an LPC reply
// and a worker wait.
void BM_EventRoundTripSingleWaits(benchmark::State& state) {
    SingleWaitPingPong pair;
    HANDLE thread = CreateThread(nullptr, 0, SingleWaitPonger, &pair, 0, nullptr);
    for (auto _ : state) {
        SetEvent(pair.ping);
        WaitForSingleObject(pair.pong, INFINITE);
    }
    pair.stop = true;
    SetEvent(pair.ping);
    WaitForSingleObject(thread, INFINITE);
    for (HANDLE handle : {thread, pair.ping, pair.pong}) CloseHandle(handle);
}
BENCHMARK(BM_EventRoundTripSingleWaits)->UseRealTime();

// The floor the layer is measured against: the same round trip on raw
// eventfds (write, blocking read) and on raw futexes.
void BM_RawEventfdRoundTrip(benchmark::State& state) {
    const int ping = eventfd(0, EFD_CLOEXEC), pong = eventfd(0, EFD_CLOEXEC);
    std::thread ponger([&] {
        uint64_t value = 0;
        while (read(ping, &value, sizeof value) == sizeof value && value != 2) {
            const uint64_t one = 1;
            if (write(pong, &one, sizeof one) != sizeof one) break;
        }
    });
    for (auto _ : state) {
        uint64_t value = 1;
        benchmark::DoNotOptimize(write(ping, &value, sizeof value));
        benchmark::DoNotOptimize(read(pong, &value, sizeof value));
    }
    const uint64_t two = 2;
    benchmark::DoNotOptimize(write(ping, &two, sizeof two));
    ponger.join();
    close(ping);
    close(pong);
}
BENCHMARK(BM_RawEventfdRoundTrip)->UseRealTime();

// A word set to 1 to signal and taken back to 0 by the one waiter.
void FutexTake(std::atomic<uint32_t>& word) {
    for (;;) {
        uint32_t one = 1;
        if (word.compare_exchange_strong(one, 0)) return;
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr, 0);
    }
}

void FutexGive(std::atomic<uint32_t>& word) {
    word.store(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void BM_RawFutexRoundTrip(benchmark::State& state) {
    std::atomic<uint32_t> ping{0}, pong{0};
    std::atomic<bool> stop{false};
    std::thread ponger([&] {
        for (;;) {
            FutexTake(ping);
            if (stop.load()) break;
            FutexGive(pong);
        }
    });
    for (auto _ : state) {
        FutexGive(ping);
        FutexTake(pong);
    }
    stop = true;
    FutexGive(ping);
    ponger.join();
}
BENCHMARK(BM_RawFutexRoundTrip)->UseRealTime();

DWORD WINAPI ReturnZero(LPVOID) { return 0; }

void BM_CreateThreadAndWaitForItsEnd(benchmark::State& state) {
    for (auto _ : state) {
        HANDLE thread = CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
BENCHMARK(BM_CreateThreadAndWaitForItsEnd)->UseRealTime();

// A named mutex that stays open: take and release.
void BM_NamedMutexWaitAndRelease(benchmark::State& state) {
    std::string name = "Global\\zrwin-bench-held-" + std::to_string(getpid());
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    for (auto _ : state) {
        WaitForSingleObject(mutex, 1000);
        ReleaseMutex(mutex);
    }
    CloseHandle(mutex);
}
BENCHMARK(BM_NamedMutexWaitAndRelease);

// What a log record does: create (owning), release and close the named
// mutex, each time; with `other` another handle keeps the object open.
void BM_NamedMutexCreateOwnReleaseClose(benchmark::State& state) {
    std::string name = "Global\\zrwin-bench-log-" + std::to_string(getpid());
    HANDLE keeper = state.range(0) ? CreateMutexA(nullptr, FALSE, name.c_str()) : nullptr;
    for (auto _ : state) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
        if (GetLastError() == ERROR_ALREADY_EXISTS) WaitForSingleObject(mutex, 1000);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    if (keeper) CloseHandle(keeper);
}
BENCHMARK(BM_NamedMutexCreateOwnReleaseClose)->ArgName("other")->Arg(0)->Arg(1);

// The handle table's insert and remove, with `open` other handles already
// taken (an insert looks for the lowest free slot).
void BM_EventCreateAndClose(benchmark::State& state) {
    std::vector<HANDLE> others;
    for (int64_t i = 0; i < state.range(0); ++i) others.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (auto _ : state) CloseHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    for (HANDLE other : others) CloseHandle(other);
}
BENCHMARK(BM_EventCreateAndClose)->ArgName("open")->Arg(0)->Arg(1000);

// A handle lookup, as every wait and set does first.
void BM_HandleLookup(benchmark::State& state) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto _ : state) benchmark::DoNotOptimize(SetEvent(event));
    CloseHandle(event);
}
BENCHMARK(BM_HandleLookup);

void BM_CriticalSectionEnterLeave(benchmark::State& state) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    for (auto _ : state) {
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
    }
    DeleteCriticalSection(&section);
}
BENCHMARK(BM_CriticalSectionEnterLeave);

void BM_GetCurrentThreadId(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(GetCurrentThreadId());
}
BENCHMARK(BM_GetCurrentThreadId);

DWORD WINAPI ReturnAtOnce(LPVOID) { return 0; }

// A worker's life as CWorker asks for it: created with its id wanted, waited
// for, closed. Concurrent creators (Threads > 1) show the cost under load.
void BM_ThreadWithIdStartWaitClose(benchmark::State& state) {
    for (auto _ : state) {
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, 0, &id);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
BENCHMARK(BM_ThreadWithIdStartWaitClose)->Threads(1)->Threads(4)->UseRealTime();

// The process list that every liveness check takes; several callers at once
// share the process's descriptor of /proc or fall back to their own.
void BM_EnumProcesses(benchmark::State& state) {
    std::vector<DWORD> ids(1024);
    DWORD bytes = 0;
    for (auto _ : state) EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes);
    state.counters["processes"] = static_cast<double>(bytes / sizeof(DWORD));
}
BENCHMARK(BM_EnumProcesses)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
