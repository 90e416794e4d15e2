// The benchmark's latency statistics: percentiles over samples in ns,
// reported in µs.
#ifndef KORVANE_BENCH_STATISTICS_H
#define KORVANE_BENCH_STATISTICS_H

#include <stdint.h>

#include <vector>

// Latency at one tag rate.
struct LatencyFigures {
    double rate = 0;  // tags/s
    uint64_t samples = 0;
    double p50 = 0, p99 = 0, max = 0;  // µs
};

// The sample at `fraction` (0 to 1) of the sorted samples (ns), nearest rank
// below, in µs; 0 without samples.
double Percentile(std::vector<uint32_t> samples, double fraction);

// p50, p99 and maximum of `samples` (ns) taken at `rate`.
LatencyFigures Summarise(double rate, const std::vector<uint32_t> &samples);

#endif  // KORVANE_BENCH_STATISTICS_H
