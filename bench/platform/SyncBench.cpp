// Costs of the synchronisation layer's common operations (Google Benchmark;
// not a test). Run: zrwin_sync_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

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

}  // namespace

BENCHMARK_MAIN();
