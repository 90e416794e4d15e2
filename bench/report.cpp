// The benchmark's table and JSON document; see report.h.
#include "report.h"

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <nlohmann/json.hpp>

namespace {

typedef nlohmann::ordered_json tJson;

// `value` with `decimals` decimals, exactly as printf's "%.<decimals>f"
// prints it: a whole number for 0 decimals, else the double nearest to the
// printed text (which the JSON writer prints back as that text, trailing
// zeros aside).
tJson Rounded(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof(text), "%.*f", decimals, value);
    if (decimals == 0) return strtoll(text, nullptr, 10);
    return strtod(text, nullptr);
}

}  // namespace

void PrintReport(const BenchResults &r) {
    printf("Korvane benchmark — %s\n", r.machine.c_str());
    printf("Template %s, reader chains of %d tags\n\n", r.templateText.c_str(), r.chain);
    printf(
        "| Clients | Datagrams | Korvane (datagrams/s) | Bare send (datagrams/s) | Ratio | CPU per "
        "datagram |\n");
    printf("|---:|---:|---:|---:|---:|---:|\n");
    for (const ThroughputFigures &t : r.throughput) {
        printf("| %d | %llu | %.0f | %.0f | %.2f | %.2f µs |\n", t.clients,
               static_cast<unsigned long long>(t.datagrams), t.korvanePerSecond, t.ceilingPerSecond,
               t.korvanePerSecond / t.ceilingPerSecond, t.cpuNsPerDatagram / 1000);
    }
    printf(
        "\nSustained maximum (p99 latency under 5 ms for 2 s of tags): %.0f tags/s, %.0f times "
        "1,000 tags/s\n",
        r.sustainedPerSecond, r.sustainedPerSecond / 1000);
    printf("\n| Latency, callback to recv | Tags | p50 | p99 | max |\n|---|---:|---:|---:|---:|\n");
    for (const LatencyFigures *l : {&r.slow, &r.fast}) {
        printf("| at %.0f tags/s | %llu | %.1f µs | %.1f µs | %.1f µs |\n", l->rate,
               static_cast<unsigned long long>(l->samples), l->p50, l->p99, l->max);
    }
    printf("\n| Memory, %llu tags at half the sustained maximum | KiB |\n|---|---:|\n",
           static_cast<unsigned long long>(r.memoryTags));
    printf(
        "| peak RSS (VmHWM) | %llu |\n| RSS after 10%% of the tags | %llu |\n"
        "| RSS after all tags | %llu |\n| RSS of the fresh process before | %llu |\n",
        static_cast<unsigned long long>(r.peakKiB), static_cast<unsigned long long>(r.earlyKiB),
        static_cast<unsigned long long>(r.steadyKiB),
        static_cast<unsigned long long>(r.baselineKiB));
    printf("\n| Idle, one client, no tags | |\n|---|---:|\n");
    printf("| CPU | %.3f %% of one core |\n| wake-ups | %.1f per second |\n", r.idleCpuPercent,
           r.idleWakeupsPerSecond);
}

bool WriteJsonReport(const BenchResults &r, const std::string &path) {
    tJson document;
    document["machine"] = r.machine;
    document["chain"] = r.chain;
    document["sustained_per_s"] = Rounded(r.sustainedPerSecond, 0);
    document["throughput"] = tJson::array();
    for (const ThroughputFigures &t : r.throughput) {
        document["throughput"].push_back({
            {"clients", t.clients},
            {"datagrams", t.datagrams},
            {"korvane_per_s", Rounded(t.korvanePerSecond, 0)},
            {"ceiling_per_s", Rounded(t.ceilingPerSecond, 0)},
            {"ratio", Rounded(t.korvanePerSecond / t.ceilingPerSecond, 3)},
            {"cpu_ns_per_datagram", Rounded(t.cpuNsPerDatagram, 0)},
        });
    }
    document["latency_us"] = tJson::array();
    for (const LatencyFigures *l : {&r.slow, &r.fast}) {
        document["latency_us"].push_back({
            {"rate", Rounded(l->rate, 0)},
            {"samples", l->samples},
            {"p50", Rounded(l->p50, 1)},
            {"p99", Rounded(l->p99, 1)},
            {"max", Rounded(l->max, 1)},
        });
    }
    document["memory_kib"] = {
        {"tags", r.memoryTags},  {"peak", r.peakKiB},         {"early", r.earlyKiB},
        {"steady", r.steadyKiB}, {"baseline", r.baselineKiB},
    };
    document["idle"] = {
        {"cpu_percent", Rounded(r.idleCpuPercent, 3)},
        {"wakeups_per_s", Rounded(r.idleWakeupsPerSecond, 1)},
    };
    std::ofstream out(path, std::ios::trunc);
    // A machine name that is not UTF-8 is written with replacement
    // characters rather than failing the whole report.
    out << document.dump(2, ' ', false, tJson::error_handler_t::replace) << "\n";
    return static_cast<bool>(out);
}
