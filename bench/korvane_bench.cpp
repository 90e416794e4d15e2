// Whole-system benchmark: runs the korvane binary on the simulated reader and
// measures what its TCP clients see.
//
// - throughput to 1, 10 and 100 clients while the reader floods tags as fast
//   as its handler takes them, beside the ceiling: the same bytes written by a
//   bare loop of send() calls to as many clients of this process;
// - latency from the reader's callback to the client's recv(), at 1,000
//   tags/s and at 80% of the sustained maximum (every flood tag carries the
//   monotonic time of its callback in its EPC);
// - CPU time per datagram, peak and steady RSS over one million tags;
// - idle cost with one client connected and no tags.
//
// The benchmark isolates itself like the process tests (private mount and
// network namespaces, a private directory over Korvane's), so it never meets
// a running Korvane. It prints a table and writes the same numbers as JSON.
//
// This file holds the runs and their order; receiver.h checks and times what
// the clients receive, proc_sampling.h reads /proc, statistics.h makes the
// percentiles and report.h prints and writes the results.
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "build_settings.h"
#include "cli.h"
#include "proc_sampling.h"
#include "receiver.h"
#include "report.h"
#include "statistics.h"
#include "testkit/clock.h"
#include "testkit/isolation.h"
#include "testkit/korvane_process.h"
#include "testkit/readersim_client.h"
#include "testkit/tcp.h"

namespace {

// The typical template: EPC, antenna port, RSSI in dBm, time stamp in ms.
const char kTemplate[] = "{EPC};{AntennaPort};{RSSIDBM};{TimestampMS}{CR}{LF}";
const uint16_t kPort = 14007;
const int kStartMs = 10000;
const int kConnectMs = 5000;

void CloseAll(std::vector<int> *fds) {
    for (int fd : *fds)
        close(fd);
    fds->clear();
}

struct Options {
    bool quick = false;
    int chain = 8;
    std::string json;
};

// One korvane process at a time, its reader and the runs against it.
class Bench {
public:
    explicit Bench(const Options &options) : options_(options) {}

    bool Start() {
        if (!sandbox_.Error().empty()) return Fail("sandbox: " + sandbox_.Error());
        std::string config =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KorvaneConfiguration>\n"
            "  <Datagrams>\n    <ComingText On=\"true\">" +
            std::string(kTemplate) + "</ComingText>\n  </Datagrams>\n  <Port>" +
            std::to_string(kPort) +
            "</Port>\n  <KeyboardEmulation>false</KeyboardEmulation>\n"
            "</KorvaneConfiguration>\n";
        if (!WriteFile(KORVANE_CONFIG_FILE, config)) return Fail("cannot write the configuration");
        std::string socketPath = sandbox_.Path("readersim.sock");
        korvane_ = std::make_unique<KorvaneProcess>();
        sequence_ = 0;  // a new session of the reader numbers from 0
        if (!korvane_->Start({}, {{"READERSIM_SOCKET", socketPath}}))
            return Fail("cannot start korvane");
        if (!reader_.Connect(socketPath, kStartMs)) return Fail("no reader control socket");
        return true;
    }

    // Connects `count` clients and waits until the reader runs.
    bool ConnectClients(int count, std::vector<int> *fds) {
        for (int i = 0; i < count; ++i) {
            int fd = ConnectTcp("127.0.0.1", kPort, kConnectMs);
            if (fd < 0) return Fail("cannot connect to korvane");
            fds->push_back(fd);
        }
        long long deadline = MonotonicMs() + 10000;
        while (reader_.Command("state").find("running=inventory") == std::string::npos) {
            if (MonotonicMs() > deadline) return Fail("the reader did not start");
            SleepMs(20);
        }
        // Korvane registers the clients on its own thread, one by one: probe
        // with single tags until one reaches every client.
        for (int attempt = 0; attempt < 100; ++attempt) {
            Receiver receiver(*fds, sequence_, 1, true);
            std::string reply = reader_.Command("flood 1");
            if (reply != "OK") return Fail("flood: " + reply);
            ++sequence_;
            if (receiver.Run(200)) return true;
            if (!receiver.Problem().empty()) return Fail(receiver.Problem());
        }
        return Fail("not every client was served");
    }

    // Floods `count` tags and receives them on every client.
    bool Flood(const std::vector<int> &fds, uint64_t count, const std::string &options,
               int timeoutMs, Receiver **keep) {
        Receiver *receiver = new Receiver(fds, sequence_, count);
        std::string reply = reader_.Command("flood " + std::to_string(count) + options);
        if (reply != "OK") {
            delete receiver;
            return Fail("flood: " + reply);
        }
        bool ok = receiver->Run(timeoutMs);
        sequence_ += count;
        if (!ok) {
            Fail(receiver->Problem().empty()
                     ? "datagrams missing after " + std::to_string(timeoutMs) + " ms"
                     : receiver->Problem());
        }
        if (keep != nullptr) {
            *keep = receiver;
        } else {
            delete receiver;
        }
        if (!ok) return Fail("a client missed datagrams or was disconnected");
        return true;
    }

    bool Throughput(int clients, uint64_t count, ThroughputFigures *figures) {
        std::vector<int> fds;
        if (!ConnectClients(clients, &fds)) return false;
        ThreadTimes before = ReadThreadTimes(korvane_->Pid());
        uint64_t start = NowNs();
        Receiver *receiver = nullptr;
        bool ok = Flood(fds, count, " chain=" + std::to_string(options_.chain), 120000, &receiver);
        uint64_t end = receiver != nullptr ? receiver->LastArrivalNs() : NowNs();
        delete receiver;
        ThreadTimes after = ReadThreadTimes(korvane_->Pid());
        CloseAll(&fds);
        if (!ok) return false;
        WaitForNoClients();
        figures->clients = clients;
        figures->datagrams = count;
        figures->korvanePerSecond = count * 1e9 / static_cast<double>(end - start);
        figures->cpuNsPerDatagram =
            (after.korvaneNs - before.korvaneNs) / static_cast<double>(count);
        figures->ceilingPerSecond = Ceiling(clients, count);
        return figures->ceilingPerSecond > 0;
    }

    bool Latency(double rate, uint64_t count, int chain, LatencyFigures *figures) {
        std::vector<int> fds;
        if (!ConnectClients(1, &fds)) return false;
        Receiver *receiver = nullptr;
        uint64_t limit = static_cast<uint64_t>(count / rate * 1000) + 30000;
        bool ok = Flood(fds, count,
                        " chain=" + std::to_string(chain) +
                            " rate=" + std::to_string(static_cast<uint64_t>(rate)),
                        static_cast<int>(limit), &receiver);
        if (ok) *figures = Summarise(rate, receiver->Latencies());
        delete receiver;
        CloseAll(&fds);
        WaitForNoClients();
        return ok;
    }

    // RSS over `count` tags at `rate`, sampled while they flow.
    bool Memory(double rate, uint64_t count, uint64_t *peakKiB, uint64_t *earlyKiB,
                uint64_t *steadyKiB) {
        std::vector<int> fds;
        if (!ConnectClients(1, &fds)) return false;
        std::atomic<bool> done{false};
        std::vector<uint64_t> samples{StatusKiB(korvane_->Pid(), "VmRSS")};
        std::thread sampler([&] {
            while (!done.load()) {
                samples.push_back(StatusKiB(korvane_->Pid(), "VmRSS"));
                SleepMs(20);
            }
        });
        bool ok = Flood(fds, count,
                        " chain=" + std::to_string(options_.chain) +
                            " rate=" + std::to_string(static_cast<uint64_t>(rate)),
                        static_cast<int>(count / rate * 1000) + 60000, nullptr);
        done = true;
        sampler.join();
        samples.push_back(StatusKiB(korvane_->Pid(), "VmRSS"));
        CloseAll(&fds);
        WaitForNoClients();
        if (!ok) return false;
        *peakKiB = StatusKiB(korvane_->Pid(), "VmHWM");
        *earlyKiB = samples[std::max<size_t>(1, samples.size() / 10)];
        *steadyKiB = samples.back();
        return true;
    }

    bool Idle(int seconds, double *cpuPercent, double *wakeupsPerSecond) {
        std::vector<int> fds;
        if (!ConnectClients(1, &fds)) return false;
        SleepMs(500);
        ThreadTimes before = ReadThreadTimes(korvane_->Pid());
        SleepMs(seconds * 1000);
        ThreadTimes after = ReadThreadTimes(korvane_->Pid());
        CloseAll(&fds);
        WaitForNoClients();
        double ns = static_cast<double>(after.korvaneNs + after.generatorNs - before.korvaneNs -
                                        before.generatorNs);
        *cpuPercent = ns / (seconds * 1e9) * 100;
        *wakeupsPerSecond = static_cast<double>(after.switches - before.switches) / seconds;
        return true;
    }

    // Ends Korvane; its exit code (0 for a clean end), or -1.
    int Stop() {
        reader_.Close();
        if (!korvane_ || !korvane_->Running()) return -1;
        korvane_->Signal(SIGTERM);
        return korvane_->WaitExit(5000);
    }

    const std::string &Error() const { return error_; }
    uint64_t RssKiB() { return StatusKiB(korvane_->Pid(), "VmRSS"); }
    bool Fail(const std::string &what) {
        if (error_.empty()) error_ = what;
        return false;
    }
    std::string Output() { return korvane_ ? korvane_->Output() : ""; }

private:
    // Once the last client has gone Korvane stops the reader; the next run
    // starts it again.
    void WaitForNoClients() {
        long long deadline = MonotonicMs() + 10000;
        while (reader_.Command("state").find("running=none") == std::string::npos &&
               MonotonicMs() < deadline)
            SleepMs(20);
    }

    // The same datagrams written by a bare loop of send() calls, one per
    // datagram and client, to as many clients of this process.
    double Ceiling(int clients, uint64_t count) {
        uint16_t port = 0;
        int listener = ListenLoopback(0, 256, 0, &port);
        if (listener < 0) {
            Fail("ceiling: no listening socket");
            return 0;
        }
        std::vector<int> receiving, sending;
        for (int i = 0; i < clients; ++i) {
            receiving.push_back(ConnectTcp("127.0.0.1", port, kConnectMs));
            sending.push_back(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        }
        close(listener);
        // Korvane's sockets are made by accept() with default options too.
        Receiver receiver(receiving, 0, count);
        uint64_t start = NowNs();
        std::thread sender([&] {
            char line[64];
            for (uint64_t sequence = 0; sequence < count; ++sequence) {
                int size = snprintf(line, sizeof(line), "%08llX%016llX;%d;%d;%llu\r\n",
                                    static_cast<unsigned long long>(sequence),
                                    static_cast<unsigned long long>(NowNs()),
                                    static_cast<int>(1 + sequence % 4),
                                    static_cast<int>(-35 - sequence % 41), 1700000000000ull);
                for (int fd : sending) {
                    if (send(fd, line, static_cast<size_t>(size), MSG_NOSIGNAL) != size) return;
                }
            }
        });
        bool ok = receiver.Run(120000);
        sender.join();
        uint64_t end = receiver.LastArrivalNs();
        CloseAll(&receiving);
        CloseAll(&sending);
        if (!ok) {
            Fail("ceiling: a client missed datagrams");
            return 0;
        }
        return count * 1e9 / static_cast<double>(end - start);
    }

    Options options_;
    Sandbox sandbox_;
    std::unique_ptr<KorvaneProcess> korvane_;
    ReaderSimClient reader_;
    uint64_t sequence_ = 0;
    std::string error_;
};

const char kUsage[] =
    "usage: korvane_bench [--quick] [--chain K] [--json FILE]\n"
    "Runs this build's korvane on the simulated reader, in private namespaces, and\n"
    "prints its throughput, latency, CPU, memory and idle figures as tables.\n"
    "  --quick       a short run of a few seconds (ctest runs this)\n"
    "  --chain K     tags per reader chain, 1 to 1000 (default 8)\n"
    "  --json FILE   also write the figures as JSON to FILE\n"
    "  --help        this text\n";

const struct option kLongOptions[] = {
    {"quick", no_argument, nullptr, 'q'},
    {"chain", required_argument, nullptr, 'c'},
    {"json", required_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// One option from the command line into `options`; false for a bad argument.
bool TakeOption(Options *options, int option, const char *argument) {
    long long number = 0;
    switch (option) {
        case 'q':
            options->quick = true;
            return true;
        case 'c':
            if (!ParseWholeNumber(argument, 1, 1000, &number)) return false;
            options->chain = static_cast<int>(number);
            return true;
        case 'j':
            options->json = argument;
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    int parsed = ParseCommandLine(argc, argv, "korvane_bench", kLongOptions, kUsage,
                                  [&options](int option, const char *argument) {
                                      return TakeOption(&options, option, argument);
                                  });
    if (parsed >= 0) return parsed;
    std::string isolation = EnterIsolation();
    if (!isolation.empty()) {
        fprintf(stderr, "korvane_bench: cannot isolate: %s\n", isolation.c_str());
        return 1;
    }

    Bench bench(options);
    BenchResults results;
    results.templateText = kTemplate;
    results.chain = options.chain;
    const int clientCounts[3] = {1, 10, 100};
    const uint64_t perRun = options.quick ? 20000 : 2000000;  // datagrams x clients
    results.memoryTags = options.quick ? 50000 : 1000000;
    // Throughput first. Floods at full speed pile tags up in Korvane's queue,
    // so the other figures come from a fresh process.
    bool ok = bench.Start();
    for (int i = 0; i < 3 && ok; ++i) {
        uint64_t count = std::max<uint64_t>(perRun / static_cast<uint64_t>(clientCounts[i]), 1000);
        ok = bench.Throughput(clientCounts[i], count, &results.throughput[i]);
    }
    // The throughput above lets tags pile up in Korvane's queue while the
    // reader floods, and counts the draining too. The rate Korvane keeps up
    // with for good is found by pacing the reader: from that figure down in
    // steps of 15% until two seconds of tags keep p99 latency under 5 ms,
    // i.e. the queue does not grow.
    double sustained = results.throughput[0].korvanePerSecond;
    for (int step = 0; ok && step < 12; ++step) {
        LatencyFigures probe;
        ok = bench.Latency(sustained, static_cast<uint64_t>(sustained * (options.quick ? 0.2 : 2)),
                           options.chain, &probe);
        if (probe.p99 < 5000) break;
        sustained *= 0.85;
    }
    if (ok && bench.Stop() != 0) ok = bench.Fail("korvane did not end cleanly");
    double maxRate = sustained;
    results.sustainedPerSecond = maxRate;
    ok = ok && bench.Start();
    if (ok) results.baselineKiB = bench.RssKiB();
    // Memory in steady running: at half the sustained maximum.
    ok = ok && bench.Memory(0.5 * maxRate, results.memoryTags, &results.peakKiB, &results.earlyKiB,
                            &results.steadyKiB);
    ok = ok && bench.Latency(1000, options.quick ? 1000 : 10000, 1, &results.slow);
    ok = ok && bench.Latency(0.8 * maxRate,
                             static_cast<uint64_t>(0.8 * maxRate * (options.quick ? 0.5 : 3)),
                             options.chain, &results.fast);
    ok = ok &&
         bench.Idle(options.quick ? 2 : 10, &results.idleCpuPercent, &results.idleWakeupsPerSecond);
    if (ok && bench.Stop() != 0) ok = bench.Fail("korvane did not end cleanly");
    if (!ok) {
        fprintf(stderr, "korvane_bench: %s\n%s", bench.Error().c_str(), bench.Output().c_str());
        bench.Stop();
        return 1;
    }

    results.machine = MachineLine();
    PrintReport(results);
    if (!options.json.empty() && !WriteJsonReport(results, options.json)) {
        fprintf(stderr, "korvane_bench: cannot write %s\n", options.json.c_str());
        return 1;
    }
    return 0;
}
