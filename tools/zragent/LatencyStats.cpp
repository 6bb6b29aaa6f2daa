#include "LatencyStats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace zragent {

namespace {

double Percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    if (rank == 0) rank = 1;
    return sorted[rank - 1];
}

}  // namespace

LatencySummary Summarize(std::vector<double>& samplesUs, size_t failures, double seconds) {
    std::sort(samplesUs.begin(), samplesUs.end());
    LatencySummary summary;
    summary.count = samplesUs.size();
    summary.failures = failures;
    summary.p50Us = Percentile(samplesUs, 0.50);
    summary.p99Us = Percentile(samplesUs, 0.99);
    summary.maxUs = samplesUs.empty() ? 0 : samplesUs.back();
    summary.seconds = seconds;
    summary.perSecond = seconds > 0 ? static_cast<double>(samplesUs.size()) / seconds : 0;
    return summary;
}

LatencySummary RunConcurrently(int requests, int concurrency, const std::function<double(int)>& once) {
    std::vector<double> samples;
    size_t failures = 0;
    std::mutex lock;
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < concurrency; ++t) {
        const int count = requests / concurrency + (t < requests % concurrency ? 1 : 0);
        threads.emplace_back([&, t, count] {
            std::vector<double> mine;
            size_t failed = 0;
            for (int i = 0; i < count; ++i) {
                const double us = once(t);
                if (us < 0) {
                    ++failed;
                } else {
                    mine.push_back(us);
                }
            }
            std::lock_guard<std::mutex> hold(lock);
            samples.insert(samples.end(), mine.begin(), mine.end());
            failures += failed;
        });
    }
    for (auto& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return Summarize(samples, failures, seconds);
}

}  // namespace zragent
