// Faults injected into the running korvane binary: hundreds of TCP clients
// coming and going while tags flow, a reader that never acknowledges a stop,
// the configuration file turned into garbage, deleted and restored under
// load, and SIGTERM in the middle of a burst.
//
// The simulated reader's flood numbers every tag; the EPC as Korvane writes
// it starts with eight hex digits of that number, so a client can tell that
// it received every datagram, whole and in order.
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/e2e.h"
#include "testkit/flood_stream.h"

namespace {

const uint16_t kPort = 14007;
// Every datagram: the flood's 24-digit EPC (8 digits of sequence number, 16
// of time stamp), then CR LF, behind a prefix that tells the template.
std::string Datagrams(const std::string &prefix) {
    return "  <Datagrams>\n    <ComingText On=\"true\">" + prefix +
           "{EPC}{CR}{LF}</ComingText>\n"
           "    <StopText On=\"true\"># stop{CR}{LF}</StopText>\n  </Datagrams>\n";
}

int Connect(int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Closes with a reset instead of an orderly shutdown.
void Reset(int fd) {
    struct linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    close(fd);
}

class FaultProcTest : public KorvaneE2eTest {
protected:
    void StartWith(const std::string &datagrams) {
        SaveConfig(ConfigXml(datagrams, "14007", "false"));
        StartKorvane({"-v"});
    }

    // Connects `count` clients that read; returns once a tag reached every
    // one of them (Korvane registers clients one by one). Without a flood
    // running, single probe tags are sent until one reaches all.
    std::vector<Stream> ReadingClients(size_t count, const std::string &prefix, bool probe = true) {
        std::vector<Stream> streams;
        for (size_t i = 0; i < count; ++i) {
            streams.push_back(MakeStream(Connect(), {prefix}));
            EXPECT_GE(streams.back().fd, 0);
        }
        if (probe) {
            for (int attempt = 0; attempt < 100; ++attempt) {
                if (Reader("flood 1") != "OK") break;
                if (ReadStreams(&streams, 1, 300)) break;
            }
        } else {
            ReadStreams(&streams, 1, kArriveMs);
        }
        for (Stream &stream : streams) {
            EXPECT_GE(stream.received, 1) << "a client got no datagram: " << stream.fault;
            stream.received = 0;
        }
        return streams;
    }

    static void CloseAll(std::vector<Stream> *streams) {
        for (Stream &stream : *streams)
            close(stream.fd);
    }
};

TEST_F(FaultProcTest, ClientsResettingAndNotReadingCostTheOthersNothing) {
    ASSERT_NO_FATAL_FAILURE(StartWith(Datagrams("T")));
    std::vector<Stream> good = ReadingClients(100, "T");
    ASSERT_FALSE(HasFailure());

    // 200 more clients arrive while 20,000 tags flow at 20,000 tags/s: half
    // reset their connection after a moment, half never read a byte (with a
    // small window, so Korvane's backlog for them overflows).
    const long long kTags = 20000;
    ASSERT_EQ(Reader("flood 20000 chain=4 rate=20000"), "OK");
    std::atomic<int> refused{0};
    std::vector<int> idle;
    std::thread arrivals([&] {
        for (int i = 0; i < 100; ++i) {
            int resetting = Connect();
            int silent = Connect(4096);
            if (resetting < 0 || silent < 0) ++refused;
            if (silent >= 0) idle.push_back(silent);
            SleepMs(2);
            if (resetting >= 0) Reset(resetting);
            SleepMs(3);
        }
    });
    bool complete = ReadStreams(&good, kTags, 60000);
    arrivals.join();
    EXPECT_EQ(refused.load(), 0);
    // Each stream is gapless from its first datagram (a leftover probe may
    // come first), so ending at the flood's last number means none is missing.
    EXPECT_TRUE(complete);
    EXPECT_EQ(Reader("flood"), "OK 0");
    ReadStreams(&good, kTags + 100, 300);
    for (size_t i = 0; i < good.size(); ++i) {
        EXPECT_GE(good[i].received, kTags) << "client " << i << ": " << good[i].fault;
        EXPECT_EQ(good[i].next, good[0].next) << "client " << i;
        EXPECT_EQ(good[i].fault, "") << "client " << i;
    }
    for (int fd : idle)
        close(fd);
    CloseAll(&good);
    StopKorvane();
}

TEST_F(FaultProcTest, UnacknowledgedStopIsRetriedAndLaterStopsAreStillAnnounced) {
    ASSERT_NO_FATAL_FAILURE(StartWith(Datagrams("T")));
    {
        TcpClient first;
        ASSERT_TRUE(first.Connect("127.0.0.1", kPort, kStartMs));
        ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 1, kArriveMs));
        ASSERT_EQ(Reader("withhold ASyncStopCommand"), "OK");
    }
    // Nobody listens: Korvane stops the reader, hears nothing back within
    // 5 s and tries again in the next pass, and again, until it is answered.
    const char kFailed[] = "Korvane: PollClients(): No clients, Error: ASyncStop: 0\n";
    ASSERT_TRUE(WaitForOutputCount(kFailed, 2, 15000)) << korvane.Output();
    EXPECT_GE(CallCount("ASyncStopCommand"), 2u);
    ASSERT_EQ(Reader("deliver ASyncStopCommand"), "OK");
    ASSERT_TRUE(korvane.WaitForOutput("No clients, OK: ASyncStop", 8000)) << korvane.Output();
    EXPECT_EQ(Reader("state").rfind("OK running=none ", 0), 0u);

    // The next audience starts the reader again; a stop the reader then
    // reports on its own must reach it: the unanswered attempts left
    // nothing behind that would swallow it.
    TcpClient next;
    ASSERT_TRUE(next.Connect("127.0.0.1", kPort, kStartMs));
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 2, kArriveMs));
    ASSERT_EQ(Reader("report stop"), "OK");
    EXPECT_EQ(next.ReadExactly(8, kArriveMs), "# stop\r\n");
    StopKorvane();
}

TEST_F(FaultProcTest, ConfigurationGarbageDeletionAndRestoreUnderLoad) {
    ASSERT_NO_FATAL_FAILURE(StartWith(Datagrams("A")));
    std::vector<Stream> streams = ReadingClients(3, "A");
    ASSERT_FALSE(HasFailure());
    // Tags flow for the whole test, at 5,000 tags/s, until it stops them.
    ASSERT_EQ(Reader("flood 400000 chain=5 rate=5000"), "OK");
    ASSERT_TRUE(ReadStreams(&streams, 2000, kArriveMs));

    // A file that cannot be parsed counts as an empty configuration: no
    // datagrams, and the default port, where the server listens already, so
    // the clients stay. Up to then they got whole datagrams in order, then
    // nothing more.
    ASSERT_TRUE(WriteFile(ConfigPath(), "<KorvaneConfiguration><Datagrams><ComingText On=\"tr"));
    EXPECT_FALSE(ReadStreams(&streams, 1000000, 8000));
    std::vector<long long> received;
    for (Stream &stream : streams) {
        EXPECT_EQ(stream.fault, "");
        EXPECT_EQ(stream.partial, "");
        received.push_back(stream.received);
    }
    EXPECT_FALSE(ReadStreams(&streams, 1000000, 1000));
    for (size_t i = 0; i < streams.size(); i++) {
        EXPECT_EQ(streams[i].fault, "");
        EXPECT_EQ(streams[i].received, received[i]);
    }
    CloseAll(&streams);

    // Binary garbage, then no file at all: Korvane goes on.
    ASSERT_TRUE(WriteFile(ConfigPath(), std::string(4096, '\x07') + std::string(1, '\0')));
    SleepMs(2600);
    ASSERT_EQ(unlink(ConfigPath().c_str()), 0);
    SleepMs(1000);
    EXPECT_TRUE(korvane.Running());

    // Restored with another template: new clients get it, every datagram
    // from their first on, in order, while the tags keep flowing.
    ASSERT_TRUE(WriteFile(ConfigPath(), ConfigXml(Datagrams("B"), "14007", "false")));
    ASSERT_TRUE(korvane.WaitForOutput("Set coming datagram", 8000));
    SleepMs(300);
    std::vector<Stream> fresh = ReadingClients(3, "B", false);
    ASSERT_FALSE(HasFailure());
    EXPECT_TRUE(ReadStreams(&fresh, 5000, 10000));
    for (Stream &stream : fresh)
        EXPECT_EQ(stream.fault, "");
    EXPECT_TRUE(korvane.Running());
    CloseAll(&fresh);
    ASSERT_EQ(Reader("flood stop"), "OK");
    StopKorvane();
}

TEST_F(FaultProcTest, SigtermInTheMiddleOfABurstEndsCleanlyAndQuickly) {
    ASSERT_NO_FATAL_FAILURE(StartWith(Datagrams("T")));
    std::vector<Stream> streams = ReadingClients(2, "T");
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(Reader("flood 1000000 chain=8 rate=200000"), "OK");
    // Tags are arriving.
    ReadStreams(&streams, 2000, kArriveMs);
    ASSERT_GE(streams[0].received, 2000) << streams[0].fault;
    long long signalled = MonotonicMs();
    korvane.Signal(SIGTERM);
    int code = korvane.WaitExit(kStartMs);
    long long took = MonotonicMs() - signalled;
    // A sanitizer's leak report changes the exit code.
    EXPECT_EQ(code, 0) << korvane.Errors();
    EXPECT_LT(took, 300) << "from SIGTERM to the end of the process";
    // What arrived before the end is whole datagrams in order (a fault
    // quotes the datagram that broke the order; a disconnection does not).
    ReadStreams(&streams, 1000000, 500);
    for (Stream &stream : streams)
        EXPECT_EQ(stream.fault.find('"'), std::string::npos)
            << stream.fault << " (" << stream.received << " received)";
    CloseAll(&streams);
}

}  // namespace
