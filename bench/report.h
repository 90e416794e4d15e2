// The benchmark's results and how they are reported: a table on standard
// output and the same figures as JSON.
#ifndef KORVANE_BENCH_REPORT_H
#define KORVANE_BENCH_REPORT_H

#include <stdint.h>

#include <string>

#include "statistics.h"

// Throughput to one number of clients.
struct ThroughputFigures {
    int clients = 0;
    uint64_t datagrams = 0;  // per client
    double korvanePerSecond = 0;
    double ceilingPerSecond = 0;  // the bare send() loop
    double cpuNsPerDatagram = 0;
};

// Everything one run of the benchmark measured.
struct BenchResults {
    std::string machine;       // MachineLine()
    std::string templateText;  // the ComingText template
    int chain = 0;             // tags per reader chain
    ThroughputFigures throughput[3];
    double sustainedPerSecond = 0;  // p99 under 5 ms for 2 s of tags
    LatencyFigures slow, fast;      // at 1,000 tags/s and at 80% of the sustained maximum
    uint64_t memoryTags = 0;
    uint64_t peakKiB = 0, earlyKiB = 0, steadyKiB = 0, baselineKiB = 0;
    double idleCpuPercent = 0;
    double idleWakeupsPerSecond = 0;
};

// The tables, on standard output.
void PrintReport(const BenchResults &results);

// The same figures, rounded as the tables print them, as a JSON document in
// `path`; false when the file cannot be written.
bool WriteJsonReport(const BenchResults &results, const std::string &path);

#endif  // KORVANE_BENCH_REPORT_H
