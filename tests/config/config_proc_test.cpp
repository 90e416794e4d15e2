// The configuration file as the running korvane binary applies it: port texts
// and bad files saved one after another to one daemon, and the watcher (one
// application 2 s after the last save of a burst, symbolic links followed,
// deletions seen, other files ignored).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "support/e2e.h"
#include "testkit/fake_host.h"

namespace {

const char kV4[] = "127.0.0.1";
const char kCheck[] = "Korvane: SetConfigFromFile(): Check config file\n";
const char kApplied[] = "Korvane: ConfigFileChanged(): Config file modifications applied\n";
const char kDefaultLine[] =
    "Korvane: SetConfigFromFile(): No valid port in the config file. Start listening on TCP "
    "port 14007 (default)\n";
const char kStopped[] = "Korvane: SetConfigFromFile(): OK: ASyncStop\n";
const char kSamePort[] =
    "Korvane: SetConfigFromFile(): TCP port is the same, no changes are made\n";
const int kApplyMs = 6000;

std::string Listening(unsigned port) {
    return "Korvane: SetConfigFromFile(): Start listening on TCP port " + std::to_string(port) +
           "\n";
}

// A file whose StartText renders as "# <start>\r\n".
std::string Config(const std::string &start, const char *port) {
    return ConfigXml(TestDatagrams("# " + start + "{CR}{LF}"), port, "false");
}

// Bytes no parser takes for a document, NULs and markup included.
std::string Garbage() {
    std::string bytes("\0<?x\xff<<", 7);
    for (uint32_t state = 1; bytes.size() < 4096; state = state * 1664525u + 1013904223u)
        bytes.push_back(static_cast<char>(state >> 24));
    return bytes;
}

class ConfigProcTest : public KorvaneE2eTest {
protected:
    // Makes `change`, then waits until the watcher had the file applied once
    // more: the ms from the change to the application, or -1.
    double Applied(const std::function<bool()> &change) {
        WaitWatching();
        size_t checks = OutputCount(kCheck);
        int64_t changed = MonotonicNs();
        if (!change() || !WaitForOutputCount(kCheck, checks + 1, kApplyMs)) return -1;
        double ms = MsSince(changed);
        return WaitForOutputCount(kApplied, checks, kArriveMs) ? ms : -1;
    }
    // Once the reader is idle, `client` joins on `port`: the reader starts for
    // it and it gets `start`.
    void Join(TcpClient &client, uint16_t port, const std::string &start) {
        for (int64_t t = MonotonicNs(); Reader("state").find("running=none") == std::string::npos;
             SleepMs(10))
            ASSERT_LT(MsSince(t), kArriveMs) << "the reader still runs for nobody";
        ASSERT_TRUE(client.Connect(kV4, port, kStartMs)) << port;
        EXPECT_EQ(client.ReadExactly(start.size(), kArriveMs), start) << korvane.Output();
    }
};

// Catches: a port section without a valid port reopening the server (clients
// dropped), ports not read as "%hu", a server that could not open not tried
// again, and bad files stopping Korvane or applied wrongly.
TEST_F(ConfigProcTest, PortTextsAndBadFilesSavedOneAfterAnother) {
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    // No file: the default port, no datagram, the reader stopped.
    EXPECT_TRUE(korvane.WaitForOutput(kDefaultLine, kArriveMs)) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput(kStopped, kArriveMs));
    EXPECT_GE(CallCount("ASyncStopCommand"), 1u);
    TcpClient client;
    ASSERT_NO_FATAL_FAILURE(Join(client, 14007, ""));
    ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");

    std::string truncated = Config("truncated", "15060");
    truncated.resize(truncated.find("</Port>") + 4);
    // how: 'k' the server stays and keeps its client, 'm' it moves, 'f' it
    // cannot open (another program holds the port).
    struct tRow {
        const char *name;
        std::string file;
        uint16_t port;
        char how;
    } const rows[] = {
        {"absent", Config("absent", nullptr), 14007, 'k'},
        {"unreadable", Config("unreadable", "none"), 14007, 'k'},
        {"zero", Config("zero", "0"), 14007, 'k'},
        {"garbage", Garbage(), 14007, 'k'},
        {"written out", Config("written out", "14007"), 14007, 'k'},
        {"digits then letters", Config("digits then letters", " 15032abc"), 15032, 'm'},
        {"wraps", Config("wraps", "-1"), 65535, 'm'},
        {"held", Config("held", "15050"), 15050, 'f'},
        {"retried", Config("retried", "15050"), 15050, 'm'},
        {"truncated", truncated, 15060, 'm'},
    };
    for (const tRow &row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<FakeHost> holder(row.how == 'f' ? new FakeHost(0, row.port) : nullptr);
        size_t same = OutputCount(kSamePort);
        ASSERT_GE(Applied([&] { return WriteFile(ConfigPath(), row.file); }), 0)
            << korvane.Output();
        const std::string start = row.file[0] == '<' ? "# " + std::string(row.name) + "\r\n" : "";
        if (row.how == 'k') {
            EXPECT_EQ(OutputCount(kSamePort), same + 1);
            EXPECT_EQ(client.ReadExactly(start.size(), kArriveMs), start) << korvane.Output();
            EXPECT_FALSE(client.PeerClosed());
            continue;
        }
        EXPECT_TRUE(client.WaitClosed(kArriveMs));
        if (row.how == 'f') {
            EXPECT_TRUE(korvane.WaitForOutput(
                "Korvane: SetConfigFromFile(): Can't start listening on TCP port 15050\n", 0));
            continue;
        }
        EXPECT_TRUE(korvane.WaitForOutput(Listening(row.port), 0)) << korvane.Output();
        ASSERT_NO_FATAL_FAILURE(Join(client, row.port, start));
    }
    ASSERT_EQ(Reader("tags came epc=0002BBBB antenna=1"), "OK");
    EXPECT_EQ(client.ReadExactly(ComingBytes("BBBB0002", 1).size(), kArriveMs),
              ComingBytes("BBBB0002", 1));
    EXPECT_EQ(OutputCount(kDefaultLine), 1u) << "the default port was opened once";
    StopKorvane();
}

// Catches: a debounce other than 2 s after the last save, symbolic links not
// followed, other files taken for the file, deletions not seen.
TEST_F(ConfigProcTest, WatcherFollowsTheLinkAppliesABurstOnceAndSeesTheDeletion) {
    ASSERT_EQ(mkdir(sandbox.Path("sub").c_str(), 0755), 0);
    const std::string target = sandbox.Path("sub/settings.xml");
    ASSERT_TRUE(WriteFile(target, Config("one", "15121")));
    ASSERT_EQ(symlink(target.c_str(), ConfigPath().c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ASSERT_TRUE(korvane.WaitForOutput(Listening(15121), kArriveMs)) << korvane.Output();
    TcpClient client;
    ASSERT_NO_FATAL_FAILURE(Join(client, 15121, "# one\r\n"));

    // Files named like the target beside the link, like the link or nearly
    // like the target beside the target, or as long as names go: ignored.
    ASSERT_NO_FATAL_FAILURE(WaitWatching());
    for (const char *name :
         {"settings.xml", "sub/korvane.config.xml", "sub/settings.xml.tmp", "sub/settings.xm"})
        ASSERT_TRUE(WriteFile(sandbox.Path(name), Config("other", "15122")));
    ASSERT_TRUE(WriteFile(sandbox.Path("sub/" + std::string(255, 'n')), "the longest record"));
    ASSERT_EQ(unlink(sandbox.Path("sub/settings.xm").c_str()), 0);
    SleepMs(2500);
    EXPECT_EQ(OutputCount(kCheck), 1u) << korvane.Output();

    // Three saves 400 ms apart: the last is applied, once, 2 s after it.
    for (const char *start : {"two", "three"}) {
        ASSERT_TRUE(WriteFile(target, Config(start, "15121")));
        SleepMs(400);
    }
    double afterMs = Applied([&] { return WriteFile(target, Config("four", "15121")); });
    EXPECT_GE(afterMs, 1700);
    EXPECT_LE(afterMs, 3500);
    EXPECT_EQ(client.ReadExactly(8, kArriveMs), "# four\r\n");
    SleepMs(1500);
    EXPECT_EQ(OutputCount(kCheck), 2u) << korvane.Output();

    // Deleting the target applies the empty configuration.
    ASSERT_GE(Applied([&] { return unlink(target.c_str()) == 0; }), 0) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput(kDefaultLine, 0));
    EXPECT_TRUE(korvane.WaitForOutput(kStopped, kArriveMs));
    EXPECT_TRUE(client.WaitClosed(kArriveMs));
    StopKorvane();
}

}  // namespace
