// korvane-preview run inside the test process: its command line, the output
// forms and the report, with the reasons the parser gives for rejected
// blocks (the comparison with the running daemon is in preview_proc_test.cpp).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "../../tools/preview.h"
#include "reader/reader_lib.h"
#include "testkit/files.h"
#include "testkit/isolation.h"

namespace {

using preview::kExitBadInput, preview::kExitOk, preview::kExitUsage;

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// The tool's whole run with the space-separated `options` and then `rest`
// after the program name, its output in memory, with {Timestamp} and
// --seen-at in UTC+05:45: an offset no machine runs with by accident.
ToolRun Preview(const std::string &options, std::vector<std::string> rest = {}) {
    std::vector<std::string> args{"korvane-preview"};
    std::istringstream words(options);
    for (std::string word; words >> word;)
        args.push_back(word);
    args.insert(args.end(), rest.begin(), rest.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    setenv("TZ", "KVT-05:45", 1);
    tzset();
    char *texts[2] = {};
    size_t sizes[2] = {};
    FILE *files[2] = {open_memstream(&texts[0], &sizes[0]), open_memstream(&texts[1], &sizes[1])};
    ToolRun run;
    run.status = preview::RunTool(static_cast<int>(args.size()), argv.data(), files[0], files[1]);
    for (int i = 0; i < 2; i++) {
        fclose(files[i]);
        (i == 0 ? run.out : run.err).assign(texts[i], sizes[i]);
        free(texts[i]);
    }
    return run;
}

// ---- The command line

TEST(PreviewOptionsTest, TakesEveryTagValue) {
    ToolRun run = Preview(
        "-e left --epc 300833B2DDD90140 --antenna 0x21 --rssi 150 --rssi-dbm -70 --pc 3000 "
        "--xpc1 0x8001 --xpc2 42 --data AABBccdd --timestamp-ms 18446744073709551615 --seen-at",
        {"2024-01-01 08:05:09",
         "{EPC}|{AntennaPort}.{AntennaProperty}|{RSSI}|{RSSIDBM}|{PC}|{XPC_W1}|{XPC_W2}|"
         "{MemoryBank=3,Pointer=0,Length=4}|{TimestampMS}|{Timestamp}"});
    EXPECT_EQ(run.status, kExitOk) << run.err;
    EXPECT_EQ(run.out,
              "300833B2DDD90140|1.2|150|-70|3000|8001|0042|AABBCCDD|18446744073709551615|"
              "2024-01-01 08:05:09\n");
    EXPECT_NE(run.err.find("tag: left, seen at 1704075609 (2024-01-01 08:05:09 local time)\n"),
              std::string::npos)
        << run.err;
    // Values after "=", -t with a template that starts with a dash, "--".
    EXPECT_EQ(
        Preview("-q --read-result=0x0B --event=came {Error=E}{MemoryBank=3,Pointer=0,Length=4}")
            .out,
        "E0B\n");
    EXPECT_EQ(Preview("-q -t -dash{RSSIDBM} --rssi-dbm -32768").out, "-dash-32768\n");
    EXPECT_EQ(Preview("-q --seen-at none -- -x{Timestamp}").out, "-x\n");
}

TEST(PreviewOptionsTest, ValuesOutOfRangeAreBadInput) {
    // "4294967295" means "unknown", which is spelt "none".
    std::istringstream cases(
        "--antenna=256|--antenna=-1|--antenna=0x|--antenna=0x0x1|--antenna=1 |--rssi=300|"
        "--rssi-dbm=-32769|--rssi-dbm=32768|--rssi-dbm=-|--pc=12345|--pc=XYZ|--xpc1=|--epc=123|"
        "--epc=" +
        std::string(32 * 4, 'A') + "|--data=00G0|--data=" + std::string(256 * 4, '0') +
        "|--read-result=0x100|--timestamp-ms=18446744073709551616|--seen-at=yesterday|"
        "--seen-at=2024-02-30 00:00:00|--seen-at=2024-13-01 08:05:09|--seen-at=2024-01-01 "
        "08:05:09x|--seen-at=4294967295|--event=gone");
    for (std::string arg; std::getline(cases, arg, '|');) {
        ToolRun run = Preview("{EPC}", {arg});
        size_t equals = arg.find('=');
        EXPECT_EQ(run.status, kExitBadInput) << arg;
        EXPECT_EQ(run.err, "korvane-preview: bad value \"" + arg.substr(equals + 1) + "\" for " +
                               arg.substr(0, equals) + "\n");
        EXPECT_EQ(run.out, "");
    }
}

TEST(PreviewOptionsTest, MalformedCommandLinesAreUsageErrors) {
    for (const char *line :
         {"", "--epc 1234", "{EPC} {CR}", "-t {EPC} {CR}", "{EPC} -c file", "-c a -c b",
          "{EPC} --hex --raw", "{EPC} --frobnicate", "{EPC} -x", "{EPC} --epc", "{EPC} --raw=1"}) {
        ToolRun run = Preview(line);
        EXPECT_EQ(run.status, kExitUsage) << line;
        EXPECT_NE(run.err.find("Try 'korvane-preview --help'.\n"), std::string::npos) << line;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(Preview("{EPC} --raw --hex").err,
              "korvane-preview: --hex and --raw exclude each other\n"
              "Try 'korvane-preview --help'.\n");
    ToolRun help = Preview("--help --epc 1234");
    EXPECT_EQ(help.status, kExitOk);
    EXPECT_EQ(help.out.compare(0, 23, "Usage: korvane-preview "), 0) << help.out;
    EXPECT_EQ(help.err, "");
}

// ---- Printing

TEST(PreviewOutputTest, PrintsTheDatagramInTheChosenForm) {
    const std::string text = " --epc 3000ABCD {EPC}{TAB}{NUL}{CR}{LF}\\{Hex=02414243444546677F}";
    EXPECT_EQ(Preview("-q" + text).out, "3000ABCD\\t\\0\\r\\n\\\\\\x02ABCDEFg\\x7F\n");
    EXPECT_EQ(Preview("-q --raw" + text).out,
              std::string("3000ABCD\t") + '\0' + "\r\n\\\2ABCDEFg\177");
    EXPECT_EQ(Preview("-q --hex" + text).out,
              "00000000  33 30 30 30 41 42 43 44  09 00 0d 0a 5c 02 41 42  |3000ABCD....\\.AB|\n"
              "00000010  43 44 45 46 67 7f                                 |CDEFg.|\n");
    EXPECT_EQ(preview::EscapeBytes(std::string("\\\r\n\t\0\x01\x1F 0~\x7F\x80\xFF", 13)),
              "\\\\\\r\\n\\t\\0\\x01\\x1F 0~\\x7F\\x80\\xFF");
    // Nothing is sent (no EPC to render): nothing is printed, in any form.
    for (const char *form : {"--raw {EPC}", "--hex {EPC}", "-q {EPC}"})
        EXPECT_EQ(Preview(form).out, "") << form;
    EXPECT_NE(Preview("{EPC}").err.find("datagram: ComingText for a tag that came: nothing is "
                                        "sent (the template renders no bytes)\n"),
              std::string::npos);
}

TEST(PreviewOutputTest, VerboseShowsKorvanesLogOnStandardError) {
    // Standard output and standard error each go to a file of their own.
    FILE *files[2] = {tmpfile(), tmpfile()};
    ASSERT_TRUE(files[0] != nullptr && files[1] != nullptr);
    fflush(stdout);
    int saved[2] = {dup(STDOUT_FILENO), dup(STDERR_FILENO)};
    for (int i = 0; i < 2; i++)
        dup2(fileno(files[i]), STDOUT_FILENO + i);
    ToolRun run = Preview("-v --raw --epc 3000 {Length=0}{EPC}");
    fflush(stdout);
    std::string written[2];
    char buffer[4096];
    for (int i = 0; i < 2; i++) {
        dup2(saved[i], STDOUT_FILENO + i);
        close(saved[i]);
        rewind(files[i]);
        written[i].assign(buffer, fread(buffer, 1, sizeof(buffer), files[i]));
        fclose(files[i]);
    }
    EXPECT_EQ(run.out, "{Length=0}3000");
    EXPECT_EQ(written[0], "");
    EXPECT_EQ(written[1],
              "Korvane: ParseDatagramResultString(): Error parsing magic word \"Length=\". Maybe "
              "wrong additional text \"0\"?\n");
}

// ---- The report: what the parser decided

TEST(PreviewReportTest, RejectedBlocksStayAsTextAndSayWhy) {
    ToolRun run =
        Preview("--epc 3000 --seen-at 0",
                {"a{b{EPC}c|{EPC }|{Length=0}|{Coding=2}|{Coding=5,EPC}|{Length=40}|"
                 "{MemoryBank=3,Pointer=0,Length=600}|{Foo,EPC}|{}|{ ,EPC}|{Hex=0D0}|"
                 "{MemoryBank=4}|{MemoryBank=3,Pointer=0,Length=8}|{MemoryBank=3,Pointer=2,"
                 "Length=8}|{Password=1}|{MemoryBank=3,Pointer=0,Length=8,Password=7}|{EPC"});
    const std::string other =
        "read settings that do not repeat the adopted ones (MemoryBank=3, Pointer=0, Length=8)\n";
    EXPECT_EQ(run.err.substr(0, run.err.find("reader command:")),
              "ComingText: given on the command line\n"
              "  rejected {EPC } at offset 10: \"EPC \" is not a magic word (white space after a "
              "word is part of it)\n"
              "  rejected {Length=0} at offset 17: Length= refused the value \"0\"\n"
              "  rejected {Coding=2} at offset 28: Coding= leaves no word in the block to apply "
              "to\n"
              "  rejected {Coding=5,EPC} at offset 39: Coding= refused the value \"5\"\n"
              "  rejected {Length=40} at offset 54: incomplete read settings: the first block "
              "that gives any must give MemoryBank=, Pointer= and Length= (missing: MemoryBank= "
              "Pointer=)\n"
              "  rejected {MemoryBank=3,Pointer=0,Length=600} at offset 66: Length=600 from "
              "Pointer=0 takes 300 words; one read delivers at most 255\n"
              "  rejected {Foo,EPC} at offset 102: \"Foo\" is not a magic word\n"
              "  rejected {} at offset 112: no magic word in the block\n"
              "  rejected { ,EPC} at offset 115: an empty word (only white space)\n"
              "  rejected {Hex=0D0} at offset 123: Hex= refused the value \"0D0\"\n"
              "  rejected {MemoryBank=4} at offset 133: MemoryBank= refused the value \"4\"\n"
              "  rejected {MemoryBank=3,Pointer=2,Length=8} at offset 182: " +
                  other + "  rejected {Password=1} at offset 216: " + other);
    // The block is escaped in the report.
    EXPECT_NE(Preview("", {"{\t}"}).err.find("  rejected {\\t} at offset 0: an empty word"),
              std::string::npos);
}

TEST(PreviewReportTest, ReaderCommandAndExtendedResultFlags) {
    const char *const cases[] = {
        "{MemoryBank=3,Pointer=0,Length=8,Password=0x1234}",
        "reader command: ASyncReadDataAny(password=4660, bank=3, wordAddress=0, wordCount=4)\n"
        "  from MemoryBank=3, Pointer=0, Length=8, Password=\n",
        "{MemoryBank=2,Pointer=3,Length=0xFFFFFFFF}",
        "reader command: ASyncReadDataUntilEndOfBankAny(password=0, bank=2, wordAddress=1, "
        "wordCount=255)\n  from MemoryBank=2, Pointer=3, Length=0xFFFFFFFF, no Password= (0); the "
        "first byte read is dropped\n",
        "{MemoryBank=1,Pointer=0,Length=3}",
        "wordAddress=0, wordCount=2)\n  from MemoryBank=1, Pointer=0, Length=3, no Password= (0); "
        "the last byte read is dropped\n",
        "{AntennaPort}{AntennaProperty}{RSSI}{Timestamp}{PC}{XPC_W2}{RSSIDBM}{TimestampMS}",
        "extended result flags: 0x6F (AntennaPort/AntennaProperty, RSSI, Timestamp, "
        "PC/XPC_W1/XPC_W2, RSSIDBM, TimestampMS)\n",
        // A rejected block still asks for what its accepted words ask for.
        "{RSSI,Foo}", "extended result flags: 0x02 (RSSI)\n"};
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i += 2) {
        ToolRun run = Preview(cases[i]);
        EXPECT_NE(run.err.find(cases[i + 1]), std::string::npos) << run.err;
    }
}

TEST(PreviewReportTest, RendersTheTemplateOfEachEvent) {
    EXPECT_EQ(Preview("-q --epc 3000 -e left OUT{EPC}").out, "OUT3000\n");
    // The tag words render nothing for a report.
    EXPECT_EQ(Preview("-q --epc 3000 -e start S{EPC}{RSSI}{STX}").out, "S\\x02\n");
    ToolRun stop = Preview("-e stop stop");
    EXPECT_EQ(stop.out, "stop\n");
    EXPECT_NE(stop.err.find("StopText: given on the command line\nreader command: ASyncGetEPCs\n"
                            "extended result flags: 0x00 (none: not sent)\n"
                            "datagram: StopText for the stop report: 4 bytes\n"),
              std::string::npos)
        << stop.err;
}

// ---- Configuration files

class PreviewConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(temp.Error(), "");
        dir = temp.Dir();
    }
    // The configuration file with these templates: its path and -c.
    std::string Config(const std::string &datagrams,
                       const std::string &root = "KorvaneConfiguration") {
        EXPECT_TRUE(
            WriteFile(dir + "/korvane.config.xml",
                      "<" + root + "><Datagrams>\n" + datagrams + "</Datagrams></" + root + ">\n"));
        return "-c " + dir + "/korvane.config.xml ";
    }
    TempDir temp{"korvane-preview-test"};
    std::string dir;
};

TEST_F(PreviewConfigTest, AppliesTemplatesOnlyWithOnTrueAndRefusesOtherFiles) {
    std::string config = Config(
        "<ComingText On=\"TRUE\">IN {EPC}</ComingText>\n<GoingText>OUT {EPC}</GoingText>\n"
        "<StartText On=\"false\">S</StartText>\n<HeartbeatText On=\"true\"></HeartbeatText>\n");
    ToolRun came = Preview(config + "--epc ABCD");
    EXPECT_EQ(came.out, "IN ABCD\n");
    EXPECT_EQ(came.err.substr(0, came.err.find("reader command")),
              "ComingText: on\nGoingText: absent (no On attribute)\nStartText: absent "
              "(On=\"false\")\nHeartbeatText: absent (no text)\nStopText: absent (no element)\n");
    // The going template is off: a tag that left sends nothing.
    ToolRun left = Preview(config + "--epc ABCD -e left");
    EXPECT_EQ(left.out, "");
    EXPECT_NE(left.err.find("nothing is sent (the template is absent)"), std::string::npos);

    ToolRun other = Preview(Config("", "Something"));
    EXPECT_EQ(other.status, kExitBadInput);
    EXPECT_NE(other.err.find("the root element is not <KorvaneConfiguration>"), std::string::npos);
    ASSERT_TRUE(WriteFile(dir + "/empty.xml", ""));
    EXPECT_EQ(Preview("-c " + dir + "/empty.xml").err,
              "korvane-preview: " + dir + "/empty.xml: not an XML document\n");
    EXPECT_EQ(Preview("-c " + dir + "/missing.xml").err,
              "korvane-preview: " + dir + "/missing.xml: No such file or directory\n");
}

TEST_F(PreviewConfigTest, LaterTemplatesLoseReadSettingsOnceTheReadRunsWithoutAReader) {
    // The simulated reader library appends every call it receives to this
    // file.
    std::string log = dir + "/calls.log";
    setenv("READERSIM_CALL_LOG", log.c_str(), 1);
    std::string config = Config(
        "<ComingText On=\"true\">{EPC}:{MemoryBank=3,Pointer=1,Length=5}</ComingText>\n"
        "<GoingText On=\"true\">{Error=E:}{MemoryBank=3,Pointer=1,Length=5}{RSSI}</GoingText>\n"
        "<StopText On=\"true\">stop{MemoryBank=3,Pointer=1,Length=5}</StopText>\n");
    ToolRun came = Preview(config + "--epc 3000 --data 010203040506");
    EXPECT_EQ(came.out, "3000:0203040506\n");
    EXPECT_NE(came.err.find("StopText: on\n  rejected {MemoryBank=3,Pointer=1,Length=5} at "
                            "offset 4: read settings after the memory read has started: only "
                            "ComingText and GoingText choose it\nreader command: "
                            "ASyncReadDataAny(password=0, bank=3, wordAddress=0, wordCount=3)\n"),
              std::string::npos)
        << came.err;
    EXPECT_NE(came.err.find("extended result flags: 0x02 (RSSI)\n"), std::string::npos);
    EXPECT_EQ(Preview(config + "-q -e stop").out, "stop{MemoryBank=3,Pointer=1,Length=5}\n");
    // The error prefix of GoingText applies to ComingText too: one slot.
    EXPECT_EQ(Preview(config + "-q --epc 3000 --read-result 3").out, "3000:E:03\n");
    struct stat info;
    EXPECT_NE(stat(log.c_str(), &info), 0) << "the preview called the reader library";
    // The check can fail: a call does land in the file.
    GetExtendedResultFlag(0);
    unsetenv("READERSIM_CALL_LOG");
    EXPECT_EQ(stat(log.c_str(), &info), 0);
}

}  // namespace
