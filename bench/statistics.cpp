// Latency percentiles; see statistics.h.
#include "statistics.h"

#include <stddef.h>

#include <algorithm>

double Percentile(std::vector<uint32_t> samples, double fraction) {
    if (samples.empty()) return 0;
    size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(index), samples.end());
    return samples[index] / 1000.0;  // µs
}

LatencyFigures Summarise(double rate, const std::vector<uint32_t> &samples) {
    LatencyFigures figures;
    figures.rate = rate;
    figures.samples = samples.size();
    figures.p50 = Percentile(samples, 0.50);
    figures.p99 = Percentile(samples, 0.99);
    if (!samples.empty()) figures.max = *std::max_element(samples.begin(), samples.end()) / 1000.0;
    return figures;
}
