// A data request end to end between two processes, as the parent sends it:
// request id, Async datagram, the peer's listener hands it to a worker, the
// worker's trivial ProcessMessage answers, the answer comes back as command
// 7 (Sync) and wakes the waiting thread. Beside it a raw AF_UNIX ping-pong
// between the same two processes, and the rate of 25 concurrent requesters.
//
// Latency benchmarks report p50 and p99 of the single round trips in
// microseconds as counters. The binary starts itself as the serving process
// (--serve FD PARENTPID), which runs an endpoint and a raw echo on an
// inherited socket.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "RawPingPong.h"
#include "ipc/messages/Commands.h"
#include "ipc/multiprocess/CMultiProcessBase.h"
#include "ipc/multiprocess/Utils_Processes.h"
#include "log/Log.h"
#include "support/ChildProcess.h"

namespace {

constexpr wchar_t kGroup[] = L"MultiProcessBench";

// Answers a data request with its id and two bytes.
class BenchEndpoint : public CMultiProcessBase {
public:
    BenchEndpoint() : CMultiProcessBase(kGroup, 100) {}
    ~BenchEndpoint() override { StopMessaging(); }
    bool Start() { return NtLpcBase::Load() && NtLpcBase::StartServer() == 0; }

    INT ReceiveMsg(DWORD, INT, BYTE*, DWORD) override { return 0; }
    bool OnProcessTerminated(DWORD) override { return true; }
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD, DWORD, const BYTE* data, DWORD size, DWORD& answerSize) override {
        if (size < 4) return nullptr;
        answerSize = 6;
        auto answer = std::make_unique<BYTE[]>(answerSize);
        std::memcpy(answer.get(), data, 4);
        answer[4] = 'o';
        answer[5] = 'k';
        return answer;
    }
    void QuitProcessMessage() override {}
};

int Serve(int fd, DWORD parent) {
    BenchEndpoint endpoint;
    if (!endpoint.Start()) return 2;
    // As the host does: the connection back to the parent is made by the main
    // thread, which outlives every worker.
    BYTE ready[4] = {};
    if (endpoint.SendMessage(parent, MReady, ready, sizeof ready, MP_SYNC) != 0) return 3;
    std::thread raw(zrbench::Echo, fd);
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    shutdown(fd, SHUT_RDWR);
    raw.join();
    return 0;
}

struct Peer {
    std::unique_ptr<zrtest::ChildProcess> process;
    int fd = -1;
    DWORD pid = 0;
    std::unique_ptr<BenchEndpoint> self;
};

Peer& ThePeer() {
    static Peer peer;
    return peer;
}

std::string SelfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// One data request as the parent sends it; false unless its answer came.
bool DataRequest(std::string& body, std::string& answer) {
    Peer& peer = ThePeer();
    const int32_t id = peer.self->Requests().GetNewRequestId(peer.pid);
    std::memcpy(body.data(), &id, sizeof id);
    const DWORD status = peer.self->SendMessageCommon(peer.pid, MModuleData, id, body, answer, MP_SYNC);
    if (status != 0) {
        std::fprintf(stderr, "request %d failed: %u\n", id, static_cast<unsigned>(status));
        return false;
    }
    return answer.size() == 6 && std::memcmp(answer.data(), &id, sizeof id) == 0;
}

void ReportPercentiles(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

template <class Fn>
void Timed(benchmark::State& state, std::vector<double>& micros, Fn&& once) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!once()) {
            state.SkipWithError("round trip failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
}

void BM_DataRequestEndToEnd(benchmark::State& state) {
    std::string body(100, 'q'), answer;
    std::vector<double> micros;
    Timed(state, micros, [&] { return DataRequest(body, answer); });
    ReportPercentiles(state, micros);
}
BENCHMARK(BM_DataRequestEndToEnd)->UseRealTime();

void BM_RawUnixPingPong(benchmark::State& state) {
    const int fd = ThePeer().fd;
    std::string data(100, 'r');
    std::vector<char> back(data.size());
    std::vector<double> micros;
    Timed(state, micros, [&] {
        return zrbench::RoundTrip(fd, data.data(), data.size(), back.data());
    });
    ReportPercentiles(state, micros);
}
BENCHMARK(BM_RawUnixPingPong)->UseRealTime();

// Parts of the round trip, for the breakdown: the liveness check before each
// send, the process handle of each wait, and the thread of each worker.
void BM_PartCheckIfProcessExist(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Utils_Processes::CheckIfProcessExist(ThePeer().pid));
}
BENCHMARK(BM_PartCheckIfProcessExist)->UseRealTime();

void BM_PartOpenProcess(benchmark::State& state) {
    for (auto _ : state) CloseHandle(OpenProcess(SYNCHRONIZE, FALSE, ThePeer().pid));
}
BENCHMARK(BM_PartOpenProcess)->UseRealTime();

DWORD WINAPI NoWork(LPVOID) { return 0; }
void BM_PartThreadStartAndEnd(benchmark::State& state) {
    for (auto _ : state) {
        HANDLE thread = CreateThread(nullptr, 0, &NoWork, nullptr, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
BENCHMARK(BM_PartThreadStartAndEnd)->UseRealTime();

// 25 requesters at once: every worker slot of the peer can be busy.
void BM_DataRequestThroughput(benchmark::State& state) {
    std::string body(100, 't'), answer;
    int64_t failed = 0;
    for (auto _ : state) {
        // A request that finds every slot of the peer busy is dropped and
        // ends at the 10 s limit; counted, not fatal.
        if (!DataRequest(body, answer)) ++failed;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) - failed);
    state.counters["failed"] = benchmark::Counter(static_cast<double>(failed), benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_DataRequestThroughput)->Threads(25)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    SetLogLevel(LOG_ERROR);
    if (argc == 4 && std::strcmp(argv[1], "--serve") == 0)
        return Serve(std::atoi(argv[2]), static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));

    Peer& peer = ThePeer();
    peer.self = std::make_unique<BenchEndpoint>();
    if (!peer.self->Start()) return 1;
    int fds[2];
    if (!zrbench::MakeSocketPair(fds, true)) return 1;
    peer.process = std::make_unique<zrtest::ChildProcess>(
        SelfPath(), std::vector<std::string>{"--serve", std::to_string(fds[1]), std::to_string(GetCurrentProcessId())});
    close(fds[1]);
    if (peer.process->Line() != "ready") {
        std::fprintf(stderr, "serving process did not start: %s\n", peer.process->Err().c_str());
        return 1;
    }
    peer.fd = fds[0];
    peer.pid = static_cast<DWORD>(peer.process->Pid());
    // A connection ends with the thread that made it, and the benchmark's
    // threads come and go: the main thread connects for all of them.
    BYTE hello[4] = {};
    if (peer.self->SendMessage(peer.pid, MReady, hello, sizeof hello, MP_SYNC) != 0) return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    close(peer.fd);
    peer.process->CloseStdin();
    peer.process->Wait();
    peer.self.reset();
    return 0;
}
