// Soak run, on demand (scripts/soak.sh), not in CI: the korvane binary of
// this build under a steady load of tags, TCP clients and host commands for
// a chosen time, with its RSS, threads and descriptors reported as it goes.
//
// - the simulated reader floods numbered tags at a chosen rate, in chains;
// - a few clients read everything and check every datagram, whole and in
//   order; others connect and leave (some with a reset) all the time;
// - the test plays the host framework: it sends every command in turn,
//   SetDatagramResult among them (switching between two templates), and
//   checks every reply's status and code.
//
// At the end Korvane gets SIGTERM and must end with 0: under the asan preset
// a leak found at exit changes that (and ASan's bookkeeping adds to the RSS,
// so such a run needs a larger --max-growth). The run fails on a broken stream, a
// failed command, a non-zero exit, or RSS growing by more than --max-growth
// KiB between the end of the first minute (or tenth of the run) and the end.
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "build_settings.h"
#include "cli.h"
#include "proc_sampling.h"
#include "testkit/clock.h"
#include "testkit/fake_host.h"
#include "testkit/files.h"
#include "testkit/flood_stream.h"
#include "testkit/isolation.h"
#include "testkit/korvane_process.h"
#include "testkit/readersim_client.h"
#include "testkit/tcp.h"

namespace {

const uint16_t kPort = 14007;

struct Options {
    int seconds = 600;
    int rate = 50000;
    int readers = 4;
    long long maxGrowthKiB = 1024;
};

std::string ConfigText(const std::string &prefix) {
    return "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">" + prefix +
           "{EPC}{CR}{LF}</ComingText><StopText On=\"true\"># stop{CR}{LF}</StopText>"
           "</Datagrams><Port>14007</Port><KeyboardEmulation>false</KeyboardEmulation>"
           "</KorvaneConfiguration>";
}

// A client of korvane's server: the socket, or -1.
int ConnectClient() {
    return ConnectTcp("127.0.0.1", kPort, 5000);
}

// The host's side: every command in turn, each reply checked.
class Host {
public:
    bool Connect(int timeoutMs) {
        tBytes hello;
        if (!host_.Accept(timeoutMs) || !host_.Read(17, &hello, 2000)) return false;
        return host_.Write(HelloAckBytes(0xFFFFFFFF, 5));
    }

    // One command; false (with the reason) when the reply is not a success.
    bool Command(uint16_t code, const std::string &argument) {
        tBytes payload{static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
        payload.insert(payload.end(), argument.begin(), argument.end());
        uint32_t token = ++token_;
        if (!host_.Write(FrameOf(token, 5, payload))) return Fail("write failed");
        uint32_t repliedToken = 0;
        uint16_t channel = 0;
        tBytes reply;
        if (host_.ReadFrame(&repliedToken, &channel, &reply, 10000) != FakeHost::kFrameRead)
            return Fail("no reply to command " + std::to_string(code));
        if (repliedToken != token || reply.size() < 3 || reply[0] != 0 ||
            (reply[1] | reply[2] << 8) != (code | 0x8000))
            return Fail("bad reply to command " + std::to_string(code) + ": " + HexOf(reply));
        ++done;
        return true;
    }

    std::string problem;
    long long done = 0;

private:
    bool Fail(const std::string &why) {
        problem = why;
        return false;
    }

    FakeHost host_{0, 4006};
    uint32_t token_ = 0;
};

const char kUsage[] =
    "usage: korvane_soak [--seconds N] [--rate TAGS_PER_S] [--readers N] [--max-growth KIB]\n"
    "Runs this build's korvane under a steady load of tags, TCP clients and host\n"
    "commands, reporting its RSS, threads and descriptors every 5 s.\n"
    "  --seconds N          how long, at least 10 (default 600)\n"
    "  --rate TAGS_PER_S    the reader's tag rate (default 50000)\n"
    "  --readers N          clients that read and check every datagram (default 4)\n"
    "  --max-growth KIB     RSS growth allowed after the warm-up (default 1024)\n"
    "  --help               this text\n";

const struct option kLongOptions[] = {
    {"seconds", required_argument, nullptr, 's'}, {"rate", required_argument, nullptr, 'r'},
    {"readers", required_argument, nullptr, 'n'}, {"max-growth", required_argument, nullptr, 'g'},
    {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
};

// One option from the command line into `options`; false for a bad argument.
bool TakeOption(Options *options, int option, const char *argument) {
    long long n = 0;
    switch (option) {
        case 's':
            if (!ParseWholeNumber(argument, 10, INT_MAX, &n)) return false;
            options->seconds = static_cast<int>(n);
            return true;
        case 'r':
            if (!ParseWholeNumber(argument, 1, INT_MAX, &n)) return false;
            options->rate = static_cast<int>(n);
            return true;
        case 'n':
            if (!ParseWholeNumber(argument, 1, INT_MAX, &n)) return false;
            options->readers = static_cast<int>(n);
            return true;
        case 'g':
            if (!ParseWholeNumber(argument, 0, LLONG_MAX, &n)) return false;
            options->maxGrowthKiB = n;
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    int parsed = ParseCommandLine(argc, argv, "korvane_soak", kLongOptions, kUsage,
                                  [&options](int option, const char *argument) {
                                      return TakeOption(&options, option, argument);
                                  });
    if (parsed >= 0) return parsed;
    std::string isolation = EnterIsolation();
    if (!isolation.empty()) {
        fprintf(stderr, "korvane_soak: cannot isolate: %s\n", isolation.c_str());
        return 1;
    }
    Sandbox sandbox;
    if (!sandbox.Error().empty() || !WriteFile(KORVANE_CONFIG_FILE, ConfigText("A"))) {
        fprintf(stderr, "korvane_soak: no sandbox: %s\n", sandbox.Error().c_str());
        return 1;
    }
    Host host;  // listening before korvane starts, so it connects at once
    KorvaneProcess korvane;
    ReaderSimClient reader;
    std::string socketPath = sandbox.Path("readersim.sock");
    // Under AddressSanitizer freed memory waits in a quarantine of 256 MiB by
    // default, which the RSS would show as growth; a small one keeps the RSS
    // about the daemon's own memory (other builds ignore the variable).
    std::string asanOptions = "quarantine_size_mb=16";
    if (const char *given = getenv("ASAN_OPTIONS"))
        asanOptions = std::string(given) + ":" + asanOptions;
    if (!korvane.Start({}, {{"READERSIM_SOCKET", socketPath}, {"ASAN_OPTIONS", asanOptions}}) ||
        !reader.Connect(socketPath, 10000) || !host.Connect(10000)) {
        fprintf(stderr, "korvane_soak: korvane did not come up\n%s", korvane.Errors().c_str());
        return 1;
    }

    std::vector<Stream> streams;
    for (int i = 0; i < options.readers; ++i)
        streams.push_back(MakeStream(ConnectClient(), {"A", "B"}));
    std::atomic<bool> stop{false};
    std::atomic<long long> churned{0};
    std::string failure;
    std::mutex failureLock;
    auto fail = [&](const std::string &why) {
        std::lock_guard<std::mutex> lock(failureLock);
        if (failure.empty()) failure = why;
        stop = true;
    };

    // Clients that come and go.
    std::thread churn([&] {
        for (long long n = 0; !stop.load(); ++n) {
            int fd = ConnectClient();
            if (fd < 0) return fail("a client could not connect");
            SleepMs(20);
            if (n % 3 == 0) {
                struct linger abort = {1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
            }
            close(fd);
            ++churned;
            SleepMs(30);
        }
    });
    // The host's commands, a SetDatagramResult every 50th.
    std::thread commands([&] {
        const uint16_t kCycle[] = {0, 1, 3, 4};
        for (long long n = 0; !stop.load(); ++n) {
            bool ok;
            if (n % 50 == 49) {
                std::string text = ConfigText((n / 50) % 2 == 0 ? "B" : "A");
                ok = host.Command(5, text);
            } else {
                ok = host.Command(kCycle[n % 4], "");
            }
            if (!ok) return fail("host: " + host.problem);
            SleepMs(5);
        }
    });

    printf("%8s %12s %12s %10s %8s %10s %8s %4s\n", "seconds", "tags", "datagrams", "commands",
           "clients", "RSS KiB", "threads", "fds");
    long long tagsAsked = 0;
    long long start = MonotonicMs();
    long long nextReport = start;
    long long warmRss = -1, lastRss = -1, maxRss = 0;
    const long long warmAt = std::min<long long>(60, options.seconds / 10);
    while (!stop.load() && MonotonicMs() - start < options.seconds * 1000LL) {
        if (reader.Command("flood") == "OK 0") {
            std::string reply =
                reader.Command("flood 1000000 chain=8 rate=" + std::to_string(options.rate));
            if (reply != "OK") fail("flood: " + reply);
            tagsAsked += 1000000;
        }
        ReadStreams(&streams, LLONG_MAX, 1000);
        for (const Stream &s : streams) {
            if (!s.fault.empty()) fail("a reading client: " + s.fault);
        }
        long long now = MonotonicMs();
        if (now >= nextReport) {
            nextReport += 5000;
            lastRss = StatusValue(korvane.Pid(), "VmRSS");
            maxRss = std::max(maxRss, lastRss);
            long long seconds = (now - start) / 1000;
            if (warmRss < 0 && seconds >= warmAt) warmRss = lastRss;
            printf("%8lld %12lld %12lld %10lld %8lld %10lld %8lld %4d\n", seconds,
                   tagsAsked - atoll(reader.Command("flood").c_str() + 3), streams[0].received,
                   host.done, churned.load(), lastRss, StatusValue(korvane.Pid(), "Threads"),
                   OpenDescriptors(korvane.Pid()));
            fflush(stdout);
        }
    }
    stop = true;
    churn.join();
    commands.join();
    reader.Command("flood stop");
    reader.Close();
    for (Stream &s : streams)
        close(s.fd);
    korvane.Signal(SIGTERM);
    int code = korvane.WaitExit(10000);

    printf("\nexit code %d; RSS after warm-up %lld KiB, at the end %lld KiB, peak %lld KiB\n", code,
           warmRss, lastRss, maxRss);
    if (code != 0) fail("korvane ended with " + std::to_string(code) + "\n" + korvane.Errors());
    if (warmRss > 0 && lastRss - warmRss > options.maxGrowthKiB)
        fail("RSS grew by " + std::to_string(lastRss - warmRss) + " KiB");
    if (!failure.empty()) {
        printf("FAILED: %s\n", failure.c_str());
        return 1;
    }
    printf("passed\n");
    return 0;
}
