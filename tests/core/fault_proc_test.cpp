// Faults under load on the running binary. The simulated reader's flood
// numbers every tag and the EPC starts with that number, so a client's stream
// shows whether it is whole and in order.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/e2e.h"
#include "testkit/flood_stream.h"

namespace {

const char kApplied[] = "Korvane: ConfigFileChanged(): Config file modifications applied\n";
// Long datagrams, so that a client which does not read falls behind soon.
const std::string kLong = "A" + std::string(1000, '.');

std::string Config(const std::string &prefix) {
    return ConfigXml("<Datagrams><ComingText On=\"true\">" + prefix +
                         "{EPC}{CR}{LF}</ComingText><StopText On=\"true\"># stop{CR}{LF}"
                         "</StopText></Datagrams>",
                     "14007", "false");
}

class FaultProcTest : public KorvaneE2eTest {};

// Catches clients that reset or never read harming the others, datagrams cut or reordered around
// a configuration turned into garbage, deleted and restored under load, and a stop the reader
// never answers not being retried or swallowing a later stop report.
TEST_F(FaultProcTest, MisbehavingClientsConfigurationAndReaderUnderLoad) {
    SaveConfig(Config(kLong));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    // Three clients read; three never read, with a small window; three reset
    // while the tags flow.
    std::vector<Stream> good;
    std::vector<int> idle, resetting;
    for (int i = 0, small = 4096; i < 3; ++i) {
        good.push_back(MakeStream(ConnectTcp("127.0.0.1", 14007, kStartMs), {kLong}));
        idle.push_back(ConnectTcp("127.0.0.1", 14007, kStartMs));
        setsockopt(idle.back(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        resetting.push_back(ConnectTcp("127.0.0.1", 14007, kStartMs));
    }
    ASSERT_TRUE(WaitForOutputCount(") connected\n", 9, kStartMs));
    ASSERT_EQ(Reader("flood 10000 chain=4 rate=20000"), "OK");
    ASSERT_TRUE(ReadStreams(&good, 2000, kArriveMs));
    for (int fd : resetting)
        close(fd);  // with unread data: a reset
    EXPECT_TRUE(ReadStreams(&good, 10000, 30000));
    EXPECT_EQ(OutputCount("too slow, disconnected\n"), 3u);

    // Garbage is an empty configuration: the clients stay on the default port
    // and, after whole datagrams, get nothing more.
    ASSERT_EQ(Reader("flood 1000000 chain=5 rate=5000"), "OK");
    ASSERT_TRUE(ReadStreams(&good, 10500, kArriveMs));
    ASSERT_TRUE(WriteFile(ConfigPath(), "<KorvaneConfiguration><Datagrams><ComingText On=\"tr"));
    for (long long end = MonotonicMs() + 8000; OutputCount(kApplied) == 0 && MonotonicMs() < end;)
        ReadStreams(&good, LLONG_MAX, 50);
    ASSERT_EQ(OutputCount(kApplied), 1u);
    ReadStreams(&good, LLONG_MAX, 300);
    const long long last = good[0].next;
    ReadStreams(&good, LLONG_MAX, kQuietMs);
    for (Stream &stream : good) {
        EXPECT_EQ(stream.fault + stream.partial, "");
        EXPECT_EQ(stream.next, last);
        close(stream.fd);
    }
    // Deleted, then restored with another template while the tags flow.
    ASSERT_EQ(unlink(ConfigPath().c_str()), 0);
    ASSERT_TRUE(WaitForOutputCount(kApplied, 2, 8000));
    ASSERT_TRUE(WriteFile(ConfigPath(), Config("B")));
    ASSERT_TRUE(WaitForOutputCount(kApplied, 3, 8000));
    std::vector<Stream> fresh{MakeStream(ConnectTcp("127.0.0.1", 14007, kStartMs), {"B"})};
    EXPECT_TRUE(ReadStreams(&fresh, 2000, 10000));

    // The last client leaves; the reader does not answer the stop for 5 s.
    ASSERT_EQ(Reader("flood stop") + Reader("withhold ASyncStopCommand"), "OKOK");
    close(fresh[0].fd);
    const size_t stopped = OutputCount("No clients, OK: ASyncStop\n");
    ASSERT_TRUE(WaitForOutputCount("PollClients(): No clients, Error: ASyncStop: 0\n", 1, 8000));
    ASSERT_EQ(Reader("deliver ASyncStopCommand"), "OK");
    ASSERT_TRUE(WaitForOutputCount("No clients, OK: ASyncStop\n", stopped + 1, 12000));
    // The next client starts the reader; a stop it reports itself is sent.
    const size_t started = CallCount("ASyncGetEPCs");
    TcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", 14007, kStartMs));
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", started + 1, kArriveMs));
    ASSERT_EQ(Reader("report stop"), "OK");
    EXPECT_EQ(client.ReadExactly(8, kArriveMs), "# stop\r\n");
    StopKorvane();
}

}  // namespace
