// Latency samples of one measurement and what is reported of them.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace zragent {

struct LatencySummary {
    size_t count = 0;
    size_t failures = 0;
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    double seconds = 0;      // wall time of the whole run
    double perSecond = 0;    // completed round trips per second
};

// Nearest-rank percentiles of the samples (microseconds); sorts them.
LatencySummary Summarize(std::vector<double>& samplesUs, size_t failures, double seconds);

// Makes `requests` round trips spread over `concurrency` threads, thread t
// making its share one after another with once(t), which gives the round
// trip's latency in microseconds or a negative number when it failed; the
// wall time runs from the first thread's start to the last one's end.
LatencySummary RunConcurrently(int requests, int concurrency, const std::function<double(int)>& once);

}  // namespace zragent
