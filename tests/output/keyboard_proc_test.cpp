// Keyboard emulation in the running korvane binary: datagrams typed on the
// gadget (a FIFO here) while TCP clients are served, and a missing gadget
// that leaves the rest of Korvane running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/e2e.h"
#include "support/hid_decoder.h"

namespace {

const char kTyped[] =
    "  <Datagrams>\n"
    "    <ComingText On=\"true\">Tag {EPC} aa!{LF}</ComingText>\n"
    "  </Datagrams>\n";

class KeyboardProcTest : public KorvaneE2eTest {};

TEST_F(KeyboardProcTest, DatagramsAreTypedOnTheGadgetAndSentToClients) {
    std::string gadgetPath = sandbox.Path("hidg0");
    unlink(gadgetPath.c_str());
    ASSERT_EQ(mkfifo(gadgetPath.c_str(), 0666), 0);
    // The reading end is open first, so Korvane's open for writing succeeds.
    int gadget = open(gadgetPath.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(gadget, 0);
    SaveConfig(ConfigXml(kTyped, "14007", "true"));
    StartKorvane({"-v"});
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 1, kArriveMs)) << korvane.Output();
    TcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", 14007, kStartMs));
    ASSERT_GE(WaitForClientLogged("::ffff:127.0.0.1", 1, kArriveMs), 0);

    ASSERT_EQ(Reader("tags came epc=0001AAAA"), "OK");
    const std::string datagram = "Tag AAAA0001 aa!\n";
    EXPECT_EQ(client.ReadExactly(datagram.size(), kArriveMs), datagram);
    // Every character is a press; repeated keys (AAAA, 000, aa) are released
    // in between, and the text ends with a release.
    HidDecoder decoder;
    for (int i = 0; i < 50 && decoder.Text().size() < datagram.size(); i++) {
        decoder.ReadUntil(gadget, decoder.Reports().size() + 1, 100);
    }
    decoder.ReadUntil(gadget, decoder.Reports().size() + 1, 100);  // the final release
    EXPECT_EQ(decoder.Text(), datagram);
    ASSERT_FALSE(decoder.Reports().empty());
    EXPECT_EQ(decoder.Reports().back(), MakeHidReport(0, 0));
    StopKorvane();
    close(gadget);
}

TEST_F(KeyboardProcTest, MissingGadgetLeavesTheRestRunning) {
    unlink(sandbox.Path("hidg0").c_str());
    SaveConfig(ConfigXml(kTyped, "14007", "true"));
    // Not StartKorvane: the keyboard thread ends at once, by design.
    ASSERT_TRUE(korvane.Start({"-v"}, Env()));
    ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs));
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: KeyboardEmulation(): Error while getting access to keyboard \"port\"\n",
        kArriveMs));
    // Keyboard emulation still counts as an audience, and clients are served.
    ASSERT_TRUE(WaitForCall("ASyncGetEPCs", 1, kArriveMs)) << korvane.Output();
    TcpClient client;
    ASSERT_TRUE(client.Connect("::1", 14007, kStartMs));
    ASSERT_GE(WaitForClientLogged("::1", 1, kArriveMs), 0);
    ASSERT_EQ(Reader("tags came epc=12345678"), "OK");
    EXPECT_EQ(client.ReadExactly(17, kArriveMs), "Tag 56781234 aa!\n");
    StopKorvane();
}

}  // namespace
