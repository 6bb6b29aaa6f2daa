#include "LatencyStats.h"

#include <algorithm>
#include <cmath>

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

}  // namespace zragent
