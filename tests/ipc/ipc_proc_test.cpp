// The host link of the running korvane binary, with FakeHost as the host on
// 127.0.0.1:4006 of the test's private network namespace: framing, handshake,
// own channel, reconnection, and the commands that read and edit the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ipc/frame.h"
#include "support/e2e.h"
#include "support/worker.h"
#include "testkit/fake_host.h"

namespace {

const char kCheck[] = "Korvane: SetConfigFromFile(): Check config file\n";
const tBytes kGetVersion = {0x00, 0x00};

tBytes Version(uint32_t token) {
    return FrameOf(token, 5, {0x00, 0x00, 0x80, 0x01, 0x00, 0x04, 0x00, 0x01, 0x00, 0, 0, 0, 0});
}
tBytes Unknown(uint32_t token, uint16_t code) {
    return FrameOf(token, 5, {0x80, uint8_t(code), uint8_t(code >> 8 | 0x80)});
}
tBytes Hello(uint32_t token, uint16_t channel) {
    return FrameOf(token, channel, {0xFF, 0xFE, 0xFF, 0x00, 0x00});
}
// The first 11 bytes of a frame announcing `length` payload bytes.
tBytes Header(uint32_t token, uint32_t length) {
    tBytes header = FrameOf(token, 5, {});
    for (int i = 0; i < 4; i++)
        header[7 + i] = static_cast<uint8_t>(length >> (8 * i));
    return tBytes(header.begin(), header.end() - 1);
}

class IpcProcTest : public KorvaneE2eTest {
protected:
    // Accepts korvane's connection and checks its Hello; HelloAck when `ack`.
    void Handshake(bool ack = true) {
        tBytes hello;
        ASSERT_TRUE(host.Accept(kStartMs) && host.Read(17, &hello, kArriveMs));
        ASSERT_EQ(HexOf(hello), "5A FF FF FF FF 05 00 05 00 00 00 FF FE FF 00 00 A5");
        EXPECT_TRUE(!ack || host.Write(HelloAckBytes(0xFFFFFFFF, 5)));
    }
    void StartLinked(const std::string &config) {
        SaveConfig(config);
        Worker hostSide([this] { Handshake(); });  // korvane starts its threads after it
        ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
        ASSERT_TRUE(hostSide.JoinWithin(kStartMs));
    }
    // Writes `bytes`; the hex of the next `count` bytes korvane sends.
    std::string Exchange(const tBytes &bytes, size_t count) {
        tBytes reply;
        if (!host.Write(bytes) || !host.Read(count, &reply, kArriveMs)) reply.push_back(0);
        return HexOf(reply);
    }
    // A request's reply: status and reply code in hex, then the result text.
    std::string Ask(uint16_t code, const std::string &argument = "") {
        tBytes request = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
        request.insert(request.end(), argument.begin(), argument.end());
        uint32_t token = 0;
        uint16_t channel = 0;
        tBytes reply;
        if (!host.Write(FrameOf(++lastToken, 5, request)) ||
            host.ReadFrame(&token, &channel, &reply, kArriveMs) != FakeHost::kFrameRead)
            return "no reply";
        if (token != lastToken || channel != 5 || reply.size() < 3) return "bad reply";
        std::string text(reply.begin() + 3, reply.end());
        return HexOf(tBytes(reply.begin(), reply.begin() + 3)) + (text.empty() ? "" : " " + text);
    }

    FakeHost host{0, 4006};
    uint32_t lastToken = 0x1000;
};

// Catches: framing and resync faults, the payload limit, control frames told
// by two of their three marker bytes, requests on other channels or without a
// token served, a stalled half frame glued to later bytes, replies on a
// channel the host did not name.
TEST_F(IpcProcTest, FramesAreParsedResyncedAndAnsweredByteExact) {
    ASSERT_NO_FATAL_FAILURE(StartLinked(ConfigXml(TestDatagrams(), nullptr, "false")));
    tBytes badEnd = FrameOf(2, 5, kGetVersion), ghost = FrameOf(3, 5, kGetVersion);
    badEnd.back() = 0x5A;  // taken for a start marker, it would begin the ghost
    const tBytes big = Bytes({kGetVersion, tBytes(kMaxFramePayload - 2, 0x3C)});
    // `tail`: the last 6 bytes of every GetVersion request, no start marker among them.
    const tBytes split = FrameOf(0x40, 5, kGetVersion), tail(split.begin() + 8, split.end());
    auto piece = [](const tBytes &frame, size_t from, size_t to) {
        return tBytes(frame.begin() + from, frame.begin() + std::min(to, frame.size()));
    };
    // Each half frame stalls for 150 ms; its rest then arrives with a whole
    // request and the next half frame.
    std::vector<std::pair<int, tBytes>> stalls = {{0, piece(FrameOf(0x50, 5, kGetVersion), 0, 8)}};
    tBytes stalledReplies;
    for (uint32_t i = 0; i < 5; i++) {
        tBytes next = i < 4 ? piece(FrameOf(0x51 + i, 5, kGetVersion), 0, 8) : tBytes();
        stalls.push_back({150, Bytes({tail, FrameOf(0x58 + i, 5, kGetVersion), next})});
        stalledReplies = Bytes({stalledReplies, Version(0x58 + i)});
    }
    const tBytes control4 = {0xFF, 0xFE, 0xFF, 0x00}, notControl = {0xFF, 0xFE, 0x00, 0x07, 0x00};
    struct tRow {
        const char *name;
        std::vector<std::pair<int, tBytes>> chunks;  // ms to wait before, bytes
        tBytes replies;
    } const rows[] = {
        {"two in one chunk",
         {{0, Bytes({FrameOf(0x01020304, 5, kGetVersion), FrameOf(5, 5, {0x00, 0x01})})}},
         Bytes({Version(0x01020304), Unknown(5, 0x0100)})},
        {"noise and a bad end marker",
         {{0,
           Bytes({{0x00, 0xA5, 0xFF}, badEnd, piece(ghost, 1, 14), FrameOf(6, 5, kGetVersion)})}},
         Version(6)},
        {"no requests",
         {{0, Bytes({FrameOf(1, 4, kGetVersion), FrameOf(9, 6, kGetVersion),
                     FrameOf(0, 5, kGetVersion), FrameOf(2, 5, {0x00}), FrameOf(3, 5, {}),
                     FrameOf(7, 5, kGetVersion)})}},
         Version(7)},
        {"control marker",
         {{0, Bytes({FrameOf(8, 5, {0xFF, 0xFE, 0xFF, 0x07, 0x00}),
                     FrameOf(9, 5, {0xFF, 0xFE, 0xFF, 0x02, 0x00, 0x61}), FrameOf(10, 5, control4),
                     FrameOf(11, 5, notControl)})}},
         Bytes({Unknown(10, 0xFEFF), Unknown(11, 0xFEFF)})},
        {"unknown codes",
         {{0, Bytes({FrameOf(12, 5, {0xFF, 0xFF}), FrameOf(13, 5, {0x01, 0x80})})}},
         Bytes({Unknown(12, 0xFFFF), Unknown(13, 0x8001)})},
        {"payload limit",
         {{0, Bytes({FrameOf(14, 5, big), Header(15, kMaxFramePayload + 1),
                     FrameOf(16, 5, kGetVersion), Header(17, 0xFFFFFFFF),
                     FrameOf(18, 5, kGetVersion)})}},
         Bytes({Version(14), Version(16), Version(18)})},
        {"pieces 20 ms apart",
         {{0, piece(split, 0, 5)}, {20, piece(split, 5, 10)}, {20, piece(split, 10, 14)}},
         Version(0x40)},
        {"stalled half frames", stalls, stalledReplies},
        {"host hello on channel 7",
         {{0, Bytes({Hello(0x12345678, 7), FrameOf(0x60, 5, kGetVersion)})}},
         HelloAckBytes(0x12345678, 7)},
        {"host hello on channel 5",
         {{0, Bytes({Hello(0x61, 5), FrameOf(0x62, 5, kGetVersion)})}},
         Bytes({HelloAckBytes(0x61, 5), Version(0x62)})},
    };
    for (const tRow &row : rows) {
        // The request behind the Hello on channel 7 goes unanswered only while
        // the host stays on 7: it must have been handled before the host
        // comes back to 5 (13 GetVersion requests so far).
        if (&row == &rows[9]) {
            ASSERT_TRUE(WaitForOutputCount("Korvane: WaitForData(): GetVersion\n", 13, kArriveMs));
        }
        for (const auto &chunk : row.chunks) {
            SleepMs(chunk.first);
            ASSERT_TRUE(host.Write(chunk.second)) << row.name;
        }
        tBytes replies;
        host.Read(row.replies.size(), &replies, kArriveMs);
        EXPECT_EQ(HexOf(replies), HexOf(row.replies)) << row.name;
    }
    EXPECT_TRUE(host.QuietFor(300));
    EXPECT_EQ(OutputCount("Korvane: WaitForData(): GetVersion\n"), 14u);
    EXPECT_EQ(OutputCount("Timeout reached"), 0u);
    StopKorvane();
}

// Catches: start-up waiting on a missing HelloAck, reconnection faster than
// once per second, a half frame surviving the link, a failed save leaving the
// own-save flag set (the watcher then skips someone else's change).
TEST_F(IpcProcTest, ReconnectsOncePerSecondAndAFailedSaveLeavesTheWatcherOn) {
    ASSERT_EQ(mkdir(ConfigPath().c_str(), 0755), 0);  // a file korvane can neither read nor save
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ASSERT_NO_FATAL_FAILURE(Handshake(false));
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: main(): Timeout reached, couldn't connect the IPC\n", kStartMs));
    EXPECT_EQ(Exchange(FrameOf(0x70, 5, kGetVersion), 25), HexOf(Version(0x70)));

    // The host goes away in the middle of a request, then drops every attempt.
    const tBytes cut = FrameOf(0x71, 5, kGetVersion);
    ASSERT_TRUE(host.Write(tBytes(cut.begin(), cut.begin() + 8)));
    host.CloseConnection();
    std::vector<int64_t> accepted;
    for (int64_t start = MonotonicNs(); MsSince(start) < 3300;) {
        if (host.Accept(200)) accepted.push_back(host.acceptedNs), host.CloseConnection();
    }
    ASSERT_GE(accepted.size(), 3u);
    EXPECT_LE(accepted.size(), 4u);
    for (size_t i = 1; i < accepted.size(); i++) {
        EXPECT_GE((accepted[i] - accepted[i - 1]) / 1e6, 995) << "attempt " << i;
        EXPECT_LT((accepted[i] - accepted[i - 1]) / 1e6, 1600) << "attempt " << i;
    }
    // On the next link the rest of the cut request is noise.
    ASSERT_NO_FATAL_FAILURE(Handshake());
    EXPECT_EQ(
        Exchange(Bytes({tBytes(cut.begin() + 8, cut.end()), FrameOf(0x72, 5, kGetVersion)}), 25),
        HexOf(Version(0x72)));
    EXPECT_TRUE(host.QuietFor(300));

    ASSERT_NO_FATAL_FAILURE(WaitWatching());
    size_t checks = OutputCount(kCheck);
    EXPECT_EQ(Ask(2, "<KorvaneConfiguration><Port>15301</Port></KorvaneConfiguration>"),
              "01 02 80");
    ASSERT_EQ(rmdir(ConfigPath().c_str()), 0);
    EXPECT_TRUE(WaitForOutputCount(kCheck, checks + 1, 6000)) << "the removal was not applied";
    StopKorvane();
}

// Catches: wrong replies and status codes, markup in request texts not
// escaped in the file, SetDatagramResult hiding that applying the file
// failed, own saves applied a second time by the watcher.
TEST_F(IpcProcTest, CommandsReadAndEditTheFileAndOwnSavesAreAppliedOnce) {
    ASSERT_NO_FATAL_FAILURE(StartLinked(ConfigXml(TestDatagrams(), "none", "false")));
    TcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", 14007, kStartMs));
    ASSERT_EQ(client.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    const std::string root = "<KorvaneConfiguration>", end = "</KorvaneConfiguration>\n";
    // The applied port holds the default korvane added to the unreadable text.
    EXPECT_EQ(Ask(1), "00 01 80 " + root + "\n  <Port>none14007</Port>\n" + end);

    const std::string file = ReadFile(ConfigPath());
    const std::pair<uint16_t, std::string> bad[] = {{2, ""},
                                                    {5, ""},
                                                    {2, "x"},
                                                    {2, root + "<Datagrams/>" + end},
                                                    {2, root + "<Port></Port>" + end},
                                                    {2, "<C><Port>1</Port></C>"},
                                                    {5, root + "<Port>1</Port>" + end}};
    for (const auto &request : bad) {
        EXPECT_EQ(Ask(request.first, request.second), request.first == 2 ? "01 02 80" : "01 05 80")
            << request.second;
    }
    EXPECT_EQ(ReadFile(ConfigPath()), file);

    ASSERT_NO_FATAL_FAILURE(WaitWatching());
    size_t checks = OutputCount(kCheck);
    const std::string datagrams =
        "\n  <Datagrams>\n    <ComingText On=\"true\">NEW {EPC} &amp; {Hex=3C}more&gt;{TAB}"
        "{Hex=0D0A}</ComingText>\n    <GoingText On=\"true\">OUT {EPC}{CR}{LF}</GoingText>\n  "
        "</Datagrams>";
    // Saved and used, but the file's port still does not read: status 1.
    EXPECT_EQ(Ask(5, root + datagrams + end), "01 05 80");
    ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
    const std::string coming = "NEW AAAA0001 & <more>\t\r\n";
    EXPECT_EQ(client.ReadExactly(coming.size(), kArriveMs), coming);
    EXPECT_EQ(Ask(2, root + "<PORT><![CDATA[15201</Port><Evil/>]]></PORT>" + end), "00 02 80");
    EXPECT_TRUE(client.WaitClosed(kArriveMs));
    EXPECT_EQ(TcpClient::TryConnect("127.0.0.1", 15201), 0);
    const std::string port = "\n  <PORT>15201&lt;/Port&gt;&lt;Evil/&gt;</PORT>\n";
    EXPECT_EQ(ReadFile(ConfigPath()), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + root +
                                          "\n  <KeyboardEmulation>false</KeyboardEmulation>" +
                                          datagrams + port + end);
    EXPECT_EQ(Ask(1), "00 01 80 " + root + port + end);
    EXPECT_EQ(Ask(4), "00 04 80 " + root + datagrams + "\n" + end);
    SleepMs(2700);
    EXPECT_EQ(OutputCount(kCheck), checks + 2) << "the watcher applied an own save";

    const std::string words = Ask(3);
    EXPECT_EQ(words.rfind("00 03 80 " + root + "\n  <Groups>\n    <Group Name=\"EPC\">\n", 0), 0u)
        << words;
    EXPECT_EQ(CountOf(words, "<MagicWord Optional="), 23u);
    for (const char *element :
         {"      <MagicWord Optional=\"false\">\n        <Word>EPC</Word>\n      </MagicWord>\n",
          "        <Word>Coding=</Word>\n        <Description>0: Binary, 1: Text, 2: VDA"
          "</Description>\n        <Values Default=\"Text\" Type=\"2\">\n          <Value Id="
          "\"Binary\">0</Value>\n          <Value Id=\"Text\">1</Value>\n          <Value Id="
          "\"VDA\">2</Value>\n        </Values>\n",
          "        <Values Default=\"Error 0x&lt;ErrorCode&gt;\" Type=\"3\"/>\n",
          "  </Groups>\n</KorvaneConfiguration>\n"})
        EXPECT_NE(words.find(element), std::string::npos) << element;
    StopKorvane();
}

}  // namespace
