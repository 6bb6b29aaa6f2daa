// `zragent bench`: data-request round trips against a real host beside the
// same number over raw AF_UNIX socket pairs, with the ratios, the start to
// ReadyMP and the host's resident memory idle and under load.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "AgentSession.h"
#include "PingPong.h"
#include "ipc/messages/Commands.h"

namespace zragent {

namespace {

struct BenchReport {
    std::string json;
    std::string text;
};

// The figures of a run, as the lines a person reads and as one JSON event;
// `raw` null when the raw reference did not run.
BenchReport FormatBenchReport(int requests, int concurrency, int payload, const LatencySummary& host,
                              const LatencySummary* raw, double readyMs, long idleKb, long peakKb) {
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    char line[256];
    std::snprintf(line, sizeof line,
                  "bench    %d requests, %d concurrent, %d-byte text\n"
                  "         host (LPC):      p50 %8.1f us  p99 %8.1f us  %9.0f req/s  (%zu failed)\n",
                  requests, concurrency, payload, host.p50Us, host.p99Us, host.perSecond, host.failures);
    std::string report = line;
    JsonObject json("bench");
    json.Add("requests", requests)
        .Add("concurrency", concurrency)
        .Add("payload", payload)
        .Add("host_p50_us", host.p50Us)
        .Add("host_p99_us", host.p99Us)
        .Add("host_per_s", host.perSecond)
        .Add("host_failed", static_cast<long long>(host.failures));
    if (raw) {
        std::snprintf(line, sizeof line,
                      "         raw AF_UNIX:     p50 %8.1f us  p99 %8.1f us  %9.0f req/s\n"
                      "         ratio host/raw:  p50 %8.1fx    p99 %8.1fx    throughput %.2fx\n",
                      raw->p50Us, raw->p99Us, raw->perSecond, ratio(host.p50Us, raw->p50Us),
                      ratio(host.p99Us, raw->p99Us), ratio(host.perSecond, raw->perSecond));
        report += line;
        json.Add("raw_p50_us", raw->p50Us)
            .Add("raw_p99_us", raw->p99Us)
            .Add("raw_per_s", raw->perSecond)
            .Add("ratio_p50", ratio(host.p50Us, raw->p50Us))
            .Add("ratio_p99", ratio(host.p99Us, raw->p99Us))
            .Add("ratio_throughput", ratio(host.perSecond, raw->perSecond));
    }
    std::snprintf(line, sizeof line,
                  "         host start to ReadyMP %.1f ms; host resident %ld kB idle, %ld kB peak under load", readyMs,
                  idleKb, peakKb);
    report += line;
    json.Add("ready_ms", readyMs)
        .Add("rss_idle_kb", static_cast<long long>(idleKb))
        .Add("rss_peak_kb", static_cast<long long>(peakKb));
    return {json.Text(), report};
}

}  // namespace

int AgentSession::Bench() {
    const int requests = options_.benchRequests;
    const int concurrency = std::min(options_.benchConcurrency, requests);
    // The baseline first, while this process has no threads to fork.
    LatencySummary raw;
    const bool withRaw = PingPongAvailable();
    std::string error;
    if (!withRaw) {
        events_.Note("the raw AF_UNIX reference runs on Linux only; the host's figures alone follow");
    } else if (!RunPingPong(requests, concurrency, options_.benchPayload, raw, error)) {
        events_.Error("bench", "raw ping-pong: " + error);
        return kExitFailed;
    }
    if (!LaunchHost()) return exitStatus_;
    const double readyMs = MsSince(launched_);
    if (!StartModule()) {
        if (!hostExitReported_) {
            StopModule();
            AwaitHostExit(options_.hostExitTimeoutMs);
        }
        return exitStatus_;
    }
    const std::string text(static_cast<size_t>(options_.benchPayload), 'x');
    for (int i = 0; i < 20; ++i) endpoint_->SendData(host_.Pid(), ZR_GETOPTION, text);  // warm-up
    const long idleKb = ResidentKilobytes(host_.Pid());

    std::atomic<bool> running{true};
    std::atomic<long> peakKb{idleKb};
    std::thread sampler([&] {
        while (running) {
            const long kb = ResidentKilobytes(host_.Pid());
            if (kb > peakKb) peakKb = kb;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const LatencySummary host = RunConcurrently(requests, concurrency, [&](int) {
        const DataAnswer answer = endpoint_->SendData(host_.Pid(), ZR_GETOPTION, text);
        return answer.status == 0 ? answer.latencyMs * 1000.0 : -1.0;
    });
    running = false;
    sampler.join();

    const BenchReport figures = FormatBenchReport(requests, concurrency, options_.benchPayload, host,
                                                  withRaw ? &raw : nullptr, readyMs, idleKb, peakKb.load());
    events_.Raw(figures.json, figures.text);
    if (host.failures) Fail(kExitFailed);
    StopModule();
    AwaitHostExit(options_.hostExitTimeoutMs);
    return exitStatus_;
}

}  // namespace zragent
