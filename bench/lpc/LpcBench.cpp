// Round trips through NtLpcClient and NtLpcServer between two processes,
// each beside a raw AF_UNIX ping-pong of the same size between the same two
// processes: an inline Sync request, an indirect 64 KB Sync request and a
// stream of Async datagrams.
//
// The binary starts itself as the serving process (--serve FD), which runs
// the transport's server and a raw echo on an inherited socket.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "RawPingPong.h"
#include "ipc/lpc/NtLpcBase.h"
#include "log/Log.h"
#include "support/ChildProcess.h"

namespace {

constexpr wchar_t kGroup[] = L"LpcBench";
constexpr INT kFlushCmd = 2;

class BenchEndpoint : public NtLpcBase {
public:
    BenchEndpoint() : NtLpcBase(kGroup, 100, nullptr, nullptr) {}
    ~BenchEndpoint() override { NtLpcServer::StopServer(); }
    INT ReceiveMessage(DWORD, INT, BYTE*, DWORD) override { return 0; }
};

int Serve(int fd) {
    BenchEndpoint endpoint;
    if (!endpoint.Load() || endpoint.StartServer() != 0) return 2;
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
    std::unique_ptr<BenchEndpoint> client;
};

std::string SelfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

Peer& ThePeer() {
    static Peer peer;
    return peer;
}

void SendOrFail(benchmark::State& state, INT cmd, std::string& data, DWORD type) {
    Peer& peer = ThePeer();
    const NTSTATUS status = peer.client->SendMessage(peer.pid, cmd, reinterpret_cast<BYTE*>(data.data()),
                                                     static_cast<DWORD>(data.size()), type);
    if (status != 0) state.SkipWithError("send failed");
}

void BM_LpcSyncRoundTrip(benchmark::State& state) {
    std::string data(static_cast<size_t>(state.range(0)), 'l');
    for (auto _ : state) SendOrFail(state, 1, data, LPC_TYPE_SYNC);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LpcSyncRoundTrip)->Arg(100)->Arg(64 << 10)->UseRealTime();

void BM_RawUnixPingPong(benchmark::State& state) {
    const int fd = ThePeer().fd;
    std::string data(static_cast<size_t>(state.range(0)), 'r');
    std::vector<char> back(data.size());
    for (auto _ : state) {
        if (!zrbench::RoundTrip(fd, data.data(), data.size(), back.data())) {
            state.SkipWithError("raw round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RawUnixPingPong)->Arg(100)->Arg(64 << 10)->UseRealTime();

// Datagrams one way; one Sync request at the end waits until the server has
// taken them all (one listener, one queue, in order).
void BM_LpcAsyncStream(benchmark::State& state) {
    std::string data(static_cast<size_t>(state.range(0)), 'a');
    for (auto _ : state) SendOrFail(state, 1, data, LPC_TYPE_ASYNC);
    std::string flush = "f";
    SendOrFail(state, kFlushCmd, flush, LPC_TYPE_SYNC);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LpcAsyncStream)->Arg(100)->UseRealTime();

void BM_RawUnixDatagramStream(benchmark::State& state) {
    const int fd = ThePeer().fd;
    std::string data(static_cast<size_t>(state.range(0)), zrbench::kOneWay);
    for (auto _ : state) {
        if (!zrbench::SendOneWay(fd, data.data(), data.size())) {
            state.SkipWithError("raw datagram failed");
            break;
        }
    }
    char flush = 'f', back = 0;
    if (!zrbench::RoundTrip(fd, &flush, 1, &back)) state.SkipWithError("raw flush failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RawUnixDatagramStream)->Arg(100)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    SetLogLevel(LOG_ERROR);
    if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) return Serve(std::atoi(argv[2]));

    int fds[2];
    if (!zrbench::MakeSocketPair(fds, true)) return 1;
    Peer& peer = ThePeer();
    peer.process = std::make_unique<zrtest::ChildProcess>(SelfPath(),
                                                          std::vector<std::string>{"--serve", std::to_string(fds[1])});
    close(fds[1]);
    if (peer.process->Line() != "ready") {
        std::fprintf(stderr, "serving process did not start: %s\n", peer.process->Err().c_str());
        return 1;
    }
    peer.fd = fds[0];
    peer.pid = static_cast<DWORD>(peer.process->Pid());
    peer.client = std::make_unique<BenchEndpoint>();
    if (!peer.client->Load()) return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    peer.client.reset();
    close(peer.fd);
    peer.process->CloseStdin();
    peer.process->Wait();
    return 0;
}
