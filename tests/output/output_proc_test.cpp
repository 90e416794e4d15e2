// The output side of the running korvane binary, as its TCP clients see it
// and as a FIFO standing in for the keyboard gadget does.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/e2e.h"
#include "support/hid_decoder.h"

namespace {

const char kV4[] = "127.0.0.1";
const char kV6[] = "::1";
const char kV4Logged[] = "::ffff:127.0.0.1";  // the dual-stack server sees IPv4 peers mapped

const char kDatagrams[] =
    "  <Datagrams>\n"
    "    <ComingText On=\"true\">IN {EPC}{TAB}{AntennaPort}{CR}{LF}</ComingText>\n"
    "    <GoingText On=\"true\">OUT {EPC}{Hex=3B}{CR}{LF}</GoingText>\n"
    "    <StartText On=\"true\"># start{Hex=5B5D}{NUL}{CR}{LF}</StartText>\n"
    "    <HeartbeatText On=\"true\"># beat{CR}{LF}</HeartbeatText>\n"
    "    <StopText On=\"true\"># stop{CR}{LF}</StopText>\n"
    "  </Datagrams>\n";
const std::string kStart("# start[]\0\r\n", 12);

std::string NotConnected(int fd) {
    return "Korvane: PollClients(): Client " + std::to_string(fd) + " is not connected\n";
}

// The reports that type `typed` with the US layout; '_' is a report without a key.
std::vector<HidReportBytes> Reports(const std::string &typed) {
    std::vector<HidReportBytes> reports;
    for (char c : typed) {
        HidReportBytes report = MakeHidReport(0, 0);
        for (int key = 0; key < 2 * 0x39 && c != '_'; key++) {
            if (HidUsageToChar(key % 0x39, key >= 0x39) == (c == '\r' ? '\n' : c)) {
                report = MakeHidReport(key >= 0x39 ? 0x02 : 0, key % 0x39);
                break;
            }
        }
        reports.push_back(report);
    }
    return reports;
}

class OutputProcTest : public KorvaneE2eTest {};

TEST_F(OutputProcTest, ClientsOfBothStacksStartAndStopTheReaderAcrossAPortMove) {
    unlink(sandbox.Path("hidg0").c_str());  // no gadget: the keyboard thread ends, the rest runs
    SaveConfig(ConfigXml(kDatagrams, "14007", "false"));
    ASSERT_TRUE(korvane.Start({"-v"}, Env()));
    ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs));
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: KeyboardEmulation(): Error while getting access to keyboard \"port\"\n",
        kArriveMs));
    SleepMs(kQuietMs);
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 0u) << "the reader runs for nobody";

    // The first client starts the reader and gets the StartText, the second
    // only what follows; what clients send is thrown away.
    TcpClient first, second, third, fourth;
    ASSERT_TRUE(first.Connect(kV4, 14007, kStartMs));
    EXPECT_EQ(first.ReadExactly(kStart.size(), kArriveMs), kStart) << korvane.Output();
    int firstFd = WaitForClientLogged(kV4Logged, 1, kArriveMs);
    ASSERT_GE(firstFd, 0) << korvane.Output();
    ASSERT_TRUE(first.Send(std::string("hello\r\n\0\xFF", 9)));
    ASSERT_TRUE(second.Connect(kV6, 14007, kStartMs));
    int secondFd = WaitForClientLogged(kV6, 1, kArriveMs);
    ASSERT_GE(secondFd, 0) << korvane.Output();
    ASSERT_EQ(Reader("tags came epc=0002BBBB antenna=3 | epc=0003CCCC antenna=0x21 | "
                     "epc=00040005DDDD antenna=4"),
              "OK");
    const std::string chain =
        ComingBytes("BBBB0002", 3) + ComingBytes("CCCC0003", 1) + ComingBytes("DDDD00050004", 4);
    EXPECT_EQ(first.ReadExactly(chain.size(), kArriveMs), chain);
    EXPECT_EQ(second.ReadExactly(chain.size(), kArriveMs), chain);
    ASSERT_EQ(Reader("report heartbeat"), "OK");
    ASSERT_EQ(Reader("tags left epc=0002BBBB"), "OK");
    const std::string more = "# beat\r\nOUT BBBB0002;\r\n";
    EXPECT_EQ(first.ReadExactly(more.size(), kArriveMs), more);
    EXPECT_EQ(second.ReadExactly(more.size(), kArriveMs), more);
    EXPECT_EQ(CallCount("ASyncGetEPCs"), 1u);

    // Both leave and the reader is stopped for nobody. Its stop report comes
    // late, once a third client listens: that report is swallowed, the
    // reader's next stop report is not.
    ASSERT_EQ(Reader("withhold ASyncStopCommand"), "OK");
    first.Close();
    second.Close();
    EXPECT_TRUE(korvane.WaitForOutput(NotConnected(firstFd), kArriveMs)) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput(NotConnected(secondFd), kArriveMs));
    ASSERT_TRUE(WaitForCall("ASyncStopCommand", 1, kArriveMs));
    ASSERT_TRUE(third.Connect(kV6, 14007, kStartMs));
    ASSERT_GE(WaitForClientLogged(kV6, 2, kArriveMs), 0);
    ASSERT_EQ(Reader("report stop"), "OK");
    ASSERT_EQ(Reader("report stop"), "OK");
    EXPECT_EQ(third.ReadUntilQuiet(kQuietMs), "# stop\r\n");

    // A new port disconnects everyone; with nobody left the reader stops, and
    // the first client on the new port starts it again.
    ASSERT_EQ(Reader("deliver ASyncStopCommand"), "OK");
    SaveConfig(ConfigXml(kDatagrams, "15102", "false"));
    std::string tail;
    EXPECT_TRUE(third.WaitClosed(kStartMs, &tail));
    EXPECT_EQ(tail, "");
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: SetConfigFromFile(): Start listening on TCP port 15102\n", kArriveMs));
    EXPECT_EQ(TcpClient::TryConnect(kV4, 14007), ECONNREFUSED);
    EXPECT_EQ(TcpClient::TryConnect(kV6, 14007), ECONNREFUSED);
    ASSERT_TRUE(
        korvane.WaitForOutput("Korvane: PollClients(): No clients, OK: ASyncStop\n", kArriveMs))
        << korvane.Output();
    ASSERT_TRUE(fourth.Connect(kV4, 15102, kStartMs));
    EXPECT_EQ(fourth.ReadExactly(kStart.size(), kArriveMs), kStart);
    StopKorvane();
}

TEST_F(OutputProcTest, KeyboardTypesEveryTextAndAStalledHostHoldsUpNobody) {
    int host = OpenGadgetFifo();  // reads the reports, can fill the FIFO
    ASSERT_GE(host, 0);
    SaveConfig(
        ConfigXml("  <Datagrams>\n"
                  "    <ComingText On=\"true\">{EPC,Coding=0,TAB}</ComingText>\n"
                  "    <StartText On=\"true\"># start{CR}{LF}</StartText>\n"
                  "  </Datagrams>\n",
                  "14007", "true"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    // The keyboard alone runs the reader: a client then gets no StartText.
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 1, kArriveMs)) << korvane.Output();
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 14007, kStartMs));
    int fd = WaitForClientLogged(kV4Logged, 1, kArriveMs);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Reader("tags came epc=6161 | epc=6162 | epc=4161 | epc=0D0A | epc=C3A9 | "
                     "epc=0061 | epc=2131"),
              "OK");
    EXPECT_EQ(client.ReadExactly(21, kArriveMs),
              std::string("aa\tab\tAa\t\r\n\t\xC3\xA9\t\0a\t!1\t", 21));
    // The same key twice is released in between, also across texts; bytes
    // above 127 are skipped; NUL is a report without a key. The TAB of the
    // binary block ends every text, not only the first.
    std::vector<HidReportBytes> typed =
        Reports("# start\r_\n_a_a\t_ab\t_A_a\t_\r_\n\t__\t__a\t_!_1\t_");
    HidDecoder decoder;
    decoder.ReadUntil(host, typed.size(), kArriveMs);
    EXPECT_EQ(decoder.Reports(), typed);

    const HidReportBytes filler = MakeHidReport(0, 0x2C);
    while (write(host, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size())) {
    }
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(Reader("tags came epc=4F4B"), "OK");
        EXPECT_EQ(client.ReadExactly(3, 1000), "OK\t")
            << "datagram " << i << " waited for the host";
    }

    // The last client leaving does not stop a reader the keyboard needs.
    client.Close();
    ASSERT_TRUE(korvane.WaitForOutput(NotConnected(fd), kArriveMs)) << korvane.Output();
    SleepMs(kQuietMs);
    EXPECT_EQ(OutputCount("No clients"), 0u);
    EXPECT_EQ(CallCount("ASyncStopCommand"), 0u);
    // A host that went away fails the writes (EPIPE); korvane runs on.
    close(host);
    SleepMs(200);
    StopKorvane();
}

}  // namespace
