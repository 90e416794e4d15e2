// The TCP server of the running korvane binary and its coupling to the
// reader: who gets the StartText, what every client receives byte for byte,
// when the reader is started and stopped, and what a port change does.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/e2e.h"

namespace {

const char kV4[] = "127.0.0.1";
const char kV6[] = "::1";
// How korvane logs the peer of each kind: the server is dual-stack, so an
// IPv4 client shows up as a mapped address.
const char kV4Logged[] = "::ffff:127.0.0.1";
const char kV6Logged[] = "::1";
const char kStopForNobody[] = "Korvane: PollClients(): No clients, OK: ASyncStop\n";

std::string NotConnectedLine(int fd) {
    return "Korvane: PollClients(): Client " + std::to_string(fd) + " is not connected\n";
}

class ServerProcTest : public KorvaneE2eTest {
protected:
    void StartWith(const char *port, const char *keyboard) {
        SaveConfig(ConfigXml(TestDatagrams(), port, keyboard));
        StartKorvane({"-v"});
    }
};

struct Family {
    const char *name;
    const char *firstHost;
    const char *firstLogged;
    const char *secondHost;
    const char *secondLogged;
};

void PrintTo(const Family &family, std::ostream *out) {
    *out << family.name;
}

class FirstAndSecondClientTest : public ServerProcTest,
                                 public ::testing::WithParamInterface<Family> {};

TEST_P(FirstAndSecondClientTest, FirstStartsReaderAndGetsStartTextSecondOnlyWhatFollows) {
    const Family &family = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartWith("14007", "false"));
    // Nobody listens yet: the reader is idle.
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 0u);
    EXPECT_EQ(Reader("state").rfind("OK running=none ", 0), 0u);

    TcpClient first;
    ASSERT_TRUE(first.Connect(family.firstHost, 14007, kStartMs));
    EXPECT_EQ(first.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 1u);
    EXPECT_EQ(Reader("state").rfind("OK running=inventory ", 0), 0u);
    EXPECT_GE(WaitForClientLogged(family.firstLogged, 1, kArriveMs), 0) << korvane.Output();

    ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
    EXPECT_EQ(first.ReadExactly(ComingBytes("AAAA0001", 2).size(), kArriveMs),
              ComingBytes("AAAA0001", 2));

    TcpClient second;
    ASSERT_TRUE(second.Connect(family.secondHost, 14007, kStartMs));
    size_t nth = std::string(family.firstLogged) == family.secondLogged ? 2 : 1;
    ASSERT_GE(WaitForClientLogged(family.secondLogged, nth, kArriveMs), 0) << korvane.Output();

    // One chain of three records, then a report and a tag leaving: both
    // clients get the same bytes in the same order, the second nothing else.
    ASSERT_EQ(Reader("tags came epc=0002BBBB antenna=3 | epc=0003CCCC antenna=1 | "
                     "epc=00040005DDDD antenna=4"),
              "OK");
    std::string chain =
        ComingBytes("BBBB0002", 3) + ComingBytes("CCCC0003", 1) + ComingBytes("DDDD00050004", 4);
    EXPECT_EQ(second.ReadExactly(chain.size(), kArriveMs), chain);
    EXPECT_EQ(first.ReadExactly(chain.size(), kArriveMs), chain);
    ASSERT_EQ(Reader("report heartbeat"), "OK");
    EXPECT_EQ(first.ReadExactly(sizeof(kHeartbeatBytes) - 1, kArriveMs), kHeartbeatBytes);
    EXPECT_EQ(second.ReadExactly(sizeof(kHeartbeatBytes) - 1, kArriveMs), kHeartbeatBytes);
    ASSERT_EQ(Reader("tags left epc=0001AAAA"), "OK");
    EXPECT_EQ(first.ReadExactly(GoingBytes("AAAA0001").size(), kArriveMs), GoingBytes("AAAA0001"));
    EXPECT_EQ(second.ReadExactly(GoingBytes("AAAA0001").size(), kArriveMs), GoingBytes("AAAA0001"));

    EXPECT_EQ(first.ReadUntilQuiet(kQuietMs), "");
    EXPECT_EQ(second.ReadUntilQuiet(kQuietMs), "");
    // The second client found the reader running and did not restart it.
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 1u);
    EXPECT_EQ(CallCount("ASyncStopCommand"), 0u);
    StopKorvane();
}

INSTANTIATE_TEST_SUITE_P(OverBothFamilies, FirstAndSecondClientTest,
                         ::testing::Values(Family{"FirstOverIpv4", kV4, kV4Logged, kV6, kV6Logged},
                                           Family{"FirstOverIpv6", kV6, kV6Logged, kV4, kV4Logged},
                                           Family{"BothOverIpv4", kV4, kV4Logged, kV4, kV4Logged}),
                         [](const ::testing::TestParamInfo<Family> &info) {
                             return info.param.name;
                         });

// A template set whose fixed words are each used by one template only: the
// CR, TAB, NUL and "Hex=" words of the StartText appear nowhere else, and the
// GoingText has a "Hex=" of its own.
std::string OwnWordDatagrams(const std::string &startText) {
    return "  <Datagrams>\n"
           "    <ComingText On=\"true\">C:{EPC}{LF}</ComingText>\n"
           "    <GoingText On=\"true\">G:{EPC}{Hex=3B}{LF}</GoingText>\n"
           "    <StartText On=\"true\">" +
           startText +
           "</StartText>\n"
           "  </Datagrams>\n";
}

TEST_F(ServerProcTest, StartReportRendersFromTheWholeCurrentTemplateSet) {
    SaveConfig(ConfigXml(OwnWordDatagrams("START{CR}{TAB}{Hex=5B5D}{LF}"), "14007", "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    // The first client makes Korvane parse the set again and start the
    // reader, whose start report comes while the start is acknowledged.
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 14007, kStartMs));
    const std::string start = "START\r\t[]\n";
    EXPECT_EQ(client.ReadExactly(start.size(), kArriveMs), start) << korvane.Output();
    ASSERT_EQ(Reader("tags came epc=0001AAAA"), "OK");
    ASSERT_EQ(Reader("tags left epc=0001AAAA"), "OK");
    const std::string tag = "C:AAAA0001\nG:AAAA0001;\n";
    EXPECT_EQ(client.ReadExactly(tag.size(), kArriveMs), tag);

    // An edit of the templates while the client listens starts the reader
    // again; that start report already uses the new StartText.
    size_t starts = CallCount("ASyncGetEPCs");
    SaveConfig(ConfigXml(OwnWordDatagrams("NEW{NUL}{Hex=2A2A}{CR}{LF}"), "14007", "false"));
    const std::string restarted("NEW\0**\r\n", 8);
    EXPECT_EQ(client.ReadExactly(restarted.size(), 3 * kArriveMs), restarted) << korvane.Output();
    EXPECT_EQ(CallCount("ASyncGetEPCs"), starts + 1);
    ASSERT_EQ(Reader("tags left epc=0002BBBB"), "OK");
    EXPECT_EQ(client.ReadExactly(12, kArriveMs), "G:BBBB0002;\n");
    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");
    StopKorvane();
}

TEST_F(ServerProcTest, LastClientLeavingStopsReaderWithoutStopText) {
    ASSERT_NO_FATAL_FAILURE(StartWith("14007", "false"));
    {
        TcpClient only;
        ASSERT_TRUE(only.Connect(kV4, 14007, kStartMs));
        ASSERT_EQ(only.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
        int fd = WaitForClientLogged(kV4Logged, 1, kArriveMs);
        ASSERT_GE(fd, 0) << korvane.Output();
        only.Close();

        ASSERT_TRUE(korvane.WaitForOutput(kStopForNobody, kArriveMs)) << korvane.Output();
        std::string out = korvane.Output();
        size_t gone = out.find(NotConnectedLine(fd));
        ASSERT_NE(gone, std::string::npos) << out;
        EXPECT_LT(gone, out.find(kStopForNobody));
    }
    std::vector<std::string> calls = CallNames();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "ASyncStopCommand") << ReadFile(sandbox.Path("calls.log"));
    EXPECT_EQ(CallCount("ASyncStopCommand"), 1u);
    EXPECT_EQ(Reader("state").rfind("OK running=none ", 0), 0u);
    // With nobody left the reader stays stopped.
    usleep(kQuietMs * 1000);
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 1u);

    // The next client starts it again: a new StartText, and no StopText
    // before it.
    TcpClient next;
    ASSERT_TRUE(next.Connect(kV6, 14007, kStartMs));
    EXPECT_EQ(next.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 2u);
    // The stop Korvane caused has been accounted for: a stop the reader
    // reports by itself is still announced.
    ASSERT_EQ(Reader("report stop"), "OK");
    EXPECT_EQ(next.ReadExactly(sizeof(kStopBytes) - 1, kArriveMs), kStopBytes);
    EXPECT_EQ(next.ReadUntilQuiet(kQuietMs), "");
    StopKorvane();
}

TEST_F(ServerProcTest, KeyboardEmulationRunsReaderWithoutClientsAndKeepsItRunning) {
    ASSERT_NO_FATAL_FAILURE(StartWith("14007", "true"));
    // No client at all: the keyboard is audience enough.
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 1, kArriveMs)) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput("Korvane: HandleMemoryBankSettings(): OK: ASyncGetEPCs\n",
                                      kArriveMs));
    EXPECT_EQ(Reader("state").rfind("OK running=inventory ", 0), 0u);

    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 14007, kStartMs));
    int fd = WaitForClientLogged(kV4Logged, 1, kArriveMs);
    ASSERT_GE(fd, 0) << korvane.Output();
    // The reader was running already: no StartText, the tag comes first.
    ASSERT_EQ(Reader("tags came epc=1234ABCD antenna=1"), "OK");
    EXPECT_EQ(client.ReadExactly(ComingBytes("ABCD1234", 1).size(), kArriveMs),
              ComingBytes("ABCD1234", 1));
    client.Close();

    ASSERT_TRUE(korvane.WaitForOutput(NotConnectedLine(fd), kArriveMs)) << korvane.Output();
    // Several passes of the poller later the reader still runs.
    usleep(kQuietMs * 1000);
    EXPECT_EQ(OutputCount("No clients"), 0u) << korvane.Output();
    EXPECT_EQ(CallCount("ASyncStopCommand"), 0u) << ReadFile(sandbox.Path("calls.log"));
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 1u);
    EXPECT_EQ(Reader("state").rfind("OK running=inventory ", 0), 0u);
    StopKorvane();
}

TEST_F(ServerProcTest, ClientThatSendsDataStaysConnected) {
    ASSERT_NO_FATAL_FAILURE(StartWith("14007", "false"));
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV6, 14007, kStartMs));
    ASSERT_EQ(client.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    int fd = WaitForClientLogged(kV6Logged, 1, kArriveMs);
    ASSERT_GE(fd, 0);

    ASSERT_TRUE(client.Send("hello korvane\r\n"));
    ASSERT_TRUE(client.Send(std::string(4000, 'x') + '\0' + "\xff\xfe"));
    // Ten passes of the poller.
    usleep(1000 * 1000);
    EXPECT_EQ(korvane.Output().find(NotConnectedLine(fd)), std::string::npos) << korvane.Output();
    EXPECT_FALSE(client.PeerClosed());

    ASSERT_EQ(Reader("tags came epc=00FF00EE antenna=2"), "OK");
    EXPECT_EQ(client.ReadExactly(ComingBytes("00EE00FF", 2).size(), kArriveMs),
              ComingBytes("00EE00FF", 2));
    ASSERT_TRUE(client.Send("more\n"));
    ASSERT_EQ(Reader("tags left epc=00FF00EE"), "OK");
    EXPECT_EQ(client.ReadExactly(GoingBytes("00EE00FF").size(), kArriveMs), GoingBytes("00EE00FF"));
    EXPECT_EQ(CallCount("ASyncStopCommand"), 0u);
    StopKorvane();
}

// The watcher applies the new port about 2 s after the save.
TEST_F(ServerProcTest, PortChangeDisconnectsEveryoneAndServerMovesToNewPort) {
    ASSERT_NO_FATAL_FAILURE(StartWith("15101", "false"));
    TcpClient v4;
    TcpClient v6;
    ASSERT_TRUE(v4.Connect(kV4, 15101, kStartMs));
    ASSERT_EQ(v4.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    ASSERT_TRUE(v6.Connect(kV6, 15101, kStartMs));
    ASSERT_GE(WaitForClientLogged(kV6Logged, 1, kArriveMs), 0);
    EXPECT_EQ(TcpClient::TryConnect(kV4, 15102), ECONNREFUSED);

    SaveConfig(ConfigXml(TestDatagrams(), "15102", "false"));
    std::string tail4, tail6;
    ASSERT_TRUE(v4.WaitClosed(kStartMs, &tail4)) << korvane.Output();
    ASSERT_TRUE(v6.WaitClosed(kStartMs, &tail6));
    EXPECT_EQ(tail4, "");
    EXPECT_EQ(tail6, "");
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: SetConfigFromFile(): Start listening on TCP port 15102\n", kArriveMs))
        << korvane.Output();
    EXPECT_EQ(TcpClient::TryConnect(kV4, 15101), ECONNREFUSED);
    EXPECT_EQ(TcpClient::TryConnect(kV6, 15101), ECONNREFUSED);

    // Everyone has gone, so the reader is stopped; the first client on the
    // new port starts it again.
    ASSERT_TRUE(korvane.WaitForOutput(kStopForNobody, kArriveMs)) << korvane.Output();
    TcpClient moved;
    ASSERT_TRUE(moved.Connect(kV6, 15102, kStartMs));
    EXPECT_EQ(moved.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    ASSERT_EQ(Reader("tags came epc=0102A0B0 antenna=3"), "OK");
    EXPECT_EQ(moved.ReadExactly(ComingBytes("A0B00102", 3).size(), kArriveMs),
              ComingBytes("A0B00102", 3));
    StopKorvane();
}

}  // namespace
