// korvane-preview: its report of rejected blocks, and the same configuration and tags given to
// the running daemon (through the simulated reader) and to the tool with --raw.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "support/e2e.h"

namespace {

// Every coding, memory words from an odd address, a read error with a prefix of its own, the tag
// words, the fixed words, rejected blocks (an unknown word, a refused value, read settings that
// conflict with the adopted ones or come after the read started) and a template that is off.
const char kDatagrams[] =
    "<Datagrams><ComingText On=\"true\">C|{EPC,Coding=0}|{EPC}|{Coding=2,EPC}|{EPC,Coding=3}|"
    "{EPC,Coding=4}|{MemoryBank=3,Pointer=1,Length=5}|{AntennaPort}.{AntennaProperty}|{RSSI}|"
    "{RSSIDBM}|{PC}{XPC_W1}{XPC_W2}|{PC,Coding=0}|{Timestamp}|{TimestampMS}|{EPC }|{Length=0}|"
    "{CR}{LF}{TAB}{STX}{Hex=0x0d0A}</ComingText><GoingText On=\"true\">G|{Error=E:}"
    "{MemoryBank=3,Pointer=1,Length=5}|{EPC,Coding=2}|{MemoryBank=2,Pointer=0,Length=4}|"
    "{Timestamp}{Hex=2A2A}{CR}{LF}</GoingText><StartText On=\"true\">S{STX}{EPC}{NUL}{Hex=5B5D}"
    "{CR}{LF}</StartText><HeartbeatText On=\"false\">H{CR}{LF}</HeartbeatText><StopText "
    "On=\"TRUE\">{MemoryBank=3,Pointer=1,Length=5}stop{TAB}{RSSI}{CR}{LF}</StopText></Datagrams>";
const char kZone[] = "KVT-05:45";  // {Timestamp} in a zone no machine has by accident

class PreviewProcTest : public KorvaneE2eTest {
protected:
    // The tool's datagram for `options` (split at blanks) and then `last`.
    std::string Preview(const std::string &options, const std::string &last,
                        std::string *report = nullptr) {
        std::vector<std::string> command = Split(KORVANE_PREVIEW_TOOL " --raw " + options, ' ');
        command.push_back(last);
        KorvaneProcess tool;  // without the socket, which its reader library would take
        EXPECT_TRUE(tool.StartProgram(command, {{"TZ", kZone},
                                                {"READERSIM_SOCKET", ""},
                                                {"READERSIM_CALL_LOG", sandbox.Path("tool.log")}}));
        EXPECT_EQ(tool.WaitExit(30000), 0) << tool.Errors();
        if (report != nullptr) *report = tool.Errors();
        return tool.Output();
    }
};

// Catches keyboard reports other than korvane types (releases included) and an unknown layout
// taken.
TEST_F(PreviewProcTest, LayoutOptionPrintsTheReportsAndWhatTheLayoutCannotType) {
    const std::string released = "00 00 00 00 00 00 00 00\n";
    EXPECT_EQ(Preview("-q -l Us", "aA{TAB}{Hex=C3}a"),
              "aA\t\xC3"
              "a00 00 04 00 00 00 00 00\n" +
                  released + "02 00 04 00 00 00 00 00\n" +
                  "00 00 2B 00 00 00 00 00\n00 00 04 00 00 00 00 00\n" + released +
                  "layout us cannot type: none\n");
    KorvaneProcess tool;
    ASSERT_TRUE(tool.StartProgram({KORVANE_PREVIEW_TOOL, "--layout", "x", "a"},
                                  {{"READERSIM_SOCKET", ""}}));
    EXPECT_EQ(tool.WaitExit(30000), 1);
    EXPECT_NE(tool.Errors().find("unknown keyboard layout \"x\"; known: "), std::string::npos);
}

// Catches a rejected block that is not reported, or at a wrong offset or with
// a wrong reason, and an accepted block that is.
TEST_F(PreviewProcTest, NamesEveryRejectedBlockWithItsReason) {
    const char kOther[] =
        "read settings that do not repeat the adopted ones (MemoryBank=3, Pointer=0, Length=8)";
    const std::pair<const char *, const char *> rows[] = {
        {"{EPC }", "\"EPC \" is not a magic word (white space after a word is part of it)"},
        {"{Foo,EPC}", "\"Foo\" is not a magic word"},
        {"{}", "no magic word in the block"},
        {"{ ,EPC}", "an empty word (only white space)"},
        {"{Length=0}", "Length= refused the value \"0\""},
        {"{Coding=5,EPC}", "Coding= refused the value \"5\""},
        {"{Hex=0D0}", "Hex= refused the value \"0D0\""},
        {"{MemoryBank=4}", "MemoryBank= refused the value \"4\""},
        {"{Coding=2}", "Coding= leaves no word in the block to apply to"},
        {"{Length=40}",
         "incomplete read settings: the first block that gives any must give "
         "MemoryBank=, Pointer= and Length= (missing: MemoryBank= Pointer=)"},
        {"{MemoryBank=3,Pointer=0,Length=600}",
         "Length=600 from Pointer=0 takes 300 words; one read delivers at most 255"},
        {"{MemoryBank=3,Pointer=0,Length=8}", nullptr},
        {"{MemoryBank=3,Pointer=2,Length=8}", kOther},
        {"{Password=1}", kOther},
        {"{MemoryBank=3,Pointer=0,Length=8,Password=7}", nullptr},
        {"{EPC}{CR}{LF}{Hex=0x41}", nullptr}};
    std::string text = "x{", report;
    std::vector<std::string> expected;
    for (const auto &row : rows) {
        if (row.second != nullptr) {
            expected.push_back("  rejected " + std::string(row.first) + " at offset " +
                               std::to_string(text.size()) + ": " + row.second + "\n");
        }
        text += std::string(row.first) + "|";
    }
    Preview("--epc 3000", text, &report);
    for (const std::string &line : expected)
        EXPECT_NE(report.find(line), std::string::npos) << line << report;
    EXPECT_EQ(CountOf(report, "  rejected "), expected.size()) << report;
}

// Catches the tool printing other bytes than korvane sends, or naming another reader command.
TEST_F(PreviewProcTest, PrintsWhatKorvaneSends) {
    setenv("TZ", kZone, 1);  // korvane inherits it
    SaveConfig(ConfigXml(kDatagrams, "14007", "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({}));
    TcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", 14007, kStartMs));
    std::string report;
    const std::string start = Preview("-e start -c", ConfigPath(), &report);
    EXPECT_EQ(start, std::string("S\x02\0[]\r\n", 7));
    EXPECT_EQ(client.ReadExactly(start.size(), kArriveMs), start);
    ASSERT_TRUE(WaitForCall("SetExtendedResultFlag", 1, kArriveMs));
    const std::string calls = ReadFile(sandbox.Path("calls.log"));
    EXPECT_NE(calls.find("ASyncReadDataAny(19286,0,3,0,3)"), std::string::npos) << calls;
    EXPECT_NE(report.find("ASyncReadDataAny(password=0, bank=3, wordAddress=0, wordCount=3)\n"),
              std::string::npos);
    EXPECT_NE(calls.find("SetExtendedResultFlag(19286,111)"), std::string::npos) << calls;
    EXPECT_NE(report.find("extended result flags: 0x6F ("), std::string::npos) << report;
    ASSERT_EQ(Reader("report heartbeat"), "OK");
    EXPECT_EQ(Preview("-e heartbeat -c", ConfigPath()), "");

    const std::pair<std::string, std::string> tags[] = {
        {"came epc=56781234 antenna=0x21 rssi=150 rssidbm=-70 pc=3000 xpc1=8001 xpc2=0042 "
         "data=AABBCCDDEEFF ts=1700000000123",
         "-e came --epc 12345678 --antenna 0x21 --rssi 150 --rssi-dbm -70 --pc 3000 --xpc1 8001 "
         "--xpc2 0042 --data AABBCCDDEEFF --timestamp-ms 1700000000123"},
        {"came epc=40000428 antenna=4 rssidbm=-32768 result=0x0B ts=18446744073709551615",
         "-e came --epc 04284000 --antenna 4 --rssi-dbm -32768 --read-result 0x0B "
         "--timestamp-ms 18446744073709551615"},
        {"left epc=000100003008 antenna=2 rssi=9 data=010203040506",
         "-e left --epc 300800000001 --antenna 2 --rssi 9 --data 010203040506"},
        {"left epc=1B2C4E5A result=3", "-e left --epc 4E5A1B2C --read-result 3"}};
    for (const auto &tag : tags) {
        // Korvane takes the reception time between these readings of the clock.
        const time_t before = time(nullptr);
        ASSERT_EQ(Reader("tags " + tag.first), "OK");
        const time_t after = time(nullptr);
        auto seenAt = [&](time_t when) {
            return Preview(tag.second + " --seen-at " + std::to_string(when) + " -c", ConfigPath());
        };
        const std::string expected = seenAt(before),
                          received = client.ReadExactly(expected.size(), kArriveMs);
        EXPECT_TRUE(received == expected || (before != after && received == seenAt(after)))
            << tag.first << ": " << received;
    }
    // The StopText's read settings came after the read had started: kept as text.
    ASSERT_EQ(Reader("report stop"), "OK");
    const std::string stop = Preview("-e stop -c", ConfigPath());
    EXPECT_EQ(stop.rfind("{MemoryBank=3,Pointer=1,Length=5}stop\t", 0), 0u) << stop;
    EXPECT_EQ(client.ReadExactly(stop.size(), kArriveMs), stop);
    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");
    EXPECT_EQ(ReadFile(sandbox.Path("tool.log")), "") << "the tool called the reader library";
    StopKorvane();
}

}  // namespace
