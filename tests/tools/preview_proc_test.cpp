// korvane-preview against the running daemon: the same configuration and the
// same tags go to korvane (through the simulated reader) and to the preview
// tool, and what a TCP client of korvane receives must equal, byte for byte,
// what the tool prints with --raw. The reader command and the extended result
// flags the tool reports must be the calls korvane made.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "support/e2e.h"

namespace {

// UTC+05:45, for korvane and the tool alike: {Timestamp} is local time, and
// an unusual offset shows a time zone that one of them missed.
const char kZone[] = "KVT-05:45";

std::string PreviewTool() {
    return KORVANE_PREVIEW_TOOL;
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args`, with TZ and a call log of its own, and without
// the simulated reader's control socket (with READERSIM_SOCKET set, the
// library would open the daemon's socket when it is loaded).
ToolRun RunPreview(const std::vector<std::string> &args, const std::string &callLog) {
    ToolRun run;
    std::vector<std::string> command{PreviewTool()};
    command.insert(command.end(), args.begin(), args.end());
    KorvaneProcess tool;
    if (!tool.StartProgram(command, {{"TZ", kZone},
                                     {"READERSIM_CALL_LOG", callLog},
                                     {"READERSIM_SOCKET", ""},
                                     {"READERSIM_HOLD", ""}}))
        return run;
    run.status = tool.WaitExit(30000);
    run.out = tool.Output();
    run.err = tool.Errors();
    return run;
}

// The EPC as the reader's record holds it (last word first) for the EPC as
// Korvane writes it.
std::string RecordEpc(const std::string &written) {
    std::string record;
    for (size_t at = written.size(); at >= 4; at -= 4)
        record += written.substr(at - 4, 4);
    return record;
}

// The last call named `name` in the simulated reader's call log, without the
// name: "(19286,0,3,0,3)".
std::string LastCall(const std::string &log, const std::string &name) {
    std::string last;
    for (const std::string &call : Split(log, '\n')) {
        if (call.compare(0, name.size() + 1, name + "(") == 0) last = call.substr(name.size());
    }
    return last;
}

// The numbers of a call's argument list "(a,b,c)".
std::vector<unsigned long> CallArguments(const std::string &arguments) {
    std::vector<unsigned long> numbers;
    if (arguments.size() < 2) return numbers;
    for (const std::string &number : Split(arguments.substr(1, arguments.size() - 2), ','))
        numbers.push_back(strtoul(number.c_str(), nullptr, 10));
    return numbers;
}

// The templates: every coding with an EPC, memory words read from an odd
// byte address, a read error with a prefix of its own, the tag information
// words, the fixed texts and blocks the parser rejects (an unknown word, a
// refused value, read settings that conflict with the adopted ones, read
// settings after the read has started), a report template that is off. Each
// "Hex=" block renders its own bytes, and the StartText has words that no
// other template uses ({NUL} and its "Hex="): the first client's start report
// must carry them although it arrives while the reader is being started.
const char kComingText[] =
    "C|{EPC,Coding=0}|{EPC}|{Coding=2,EPC}|{EPC,Coding=3}|{EPC,Coding=4}|"
    "{MemoryBank=3,Pointer=1,Length=5}|{AntennaPort}.{AntennaProperty}|{RSSI}|{RSSIDBM}|"
    "{PC}{XPC_W1}{XPC_W2}|{PC,Coding=0}|{Timestamp}|{TimestampMS}|{EPC }|{Length=0}|"
    "{CR}{LF}{TAB}{STX}{Hex=0x0d0A}";
const char kGoingText[] =
    "G|{Error=E:}{MemoryBank=3,Pointer=1,Length=5}|{EPC,Coding=2}|{EPC,Coding=4}|"
    "{MemoryBank=2,Pointer=0,Length=4}|{Timestamp}{Hex=2A2A}{CR}{LF}";
const char kStartText[] = "S{STX}{EPC}{NUL}{Hex=5B5D}{CR}{LF}";
const char kHeartbeatText[] = "H{CR}{LF}";
const char kStopText[] = "{MemoryBank=3,Pointer=1,Length=5}stop{TAB}{RSSI}{CR}{LF}";

std::string Datagrams() {
    return std::string("  <Datagrams>\n") + "    <ComingText On=\"true\">" + kComingText +
           "</ComingText>\n" + "    <GoingText On=\"true\">" + kGoingText + "</GoingText>\n" +
           "    <StartText On=\"true\">" + kStartText + "</StartText>\n" +
           "    <HeartbeatText On=\"false\">" + kHeartbeatText + "</HeartbeatText>\n" +
           "    <StopText On=\"TRUE\">" + kStopText + "</StopText>\n" + "  </Datagrams>\n";
}

// One tag: what the simulated reader delivers and the same for the tool.
struct TagCase {
    const char *event;                     // came or left
    std::string epc;                       // as Korvane writes it
    std::string record;                    // the rest of the reader's record
    std::vector<std::string> previewArgs;  // the same for the tool
};

class PreviewProcTest : public KorvaneE2eTest {};

TEST_F(PreviewProcTest, PrintsWhatKorvaneSends) {
    // Korvane inherits the test's environment.
    setenv("TZ", kZone, 1);
    tzset();
    const std::string config = ConfigXml(Datagrams(), "14007", "false");
    SaveConfig(config);
    const std::string previewConfig = sandbox.Path("preview.config.xml");
    ASSERT_TRUE(WriteFile(previewConfig, config));
    const std::string previewCalls = sandbox.Path("preview-calls.log");
    auto preview = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", previewConfig, "--raw"});
        ToolRun run = RunPreview(args, previewCalls);
        EXPECT_EQ(run.status, 0) << run.err;
        return run;
    };

    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    TcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", 14007, kStartMs));

    // The StartText of the read the first client starts.
    ToolRun start = preview({"-e", "start"});
    EXPECT_EQ(start.out, std::string("S\x02\0[]\r\n", 7)) << start.err;
    EXPECT_EQ(client.ReadExactly(start.out.size(), kArriveMs), start.out);

    // The command and the flags the tool names are the calls korvane made.
    ASSERT_TRUE(WaitForCall("ASyncReadDataAny", 1, kArriveMs));
    const std::string calls = ReadFile(sandbox.Path("calls.log"));
    std::vector<unsigned long> read = CallArguments(LastCall(calls, "ASyncReadDataAny"));
    ASSERT_EQ(read.size(), 5u) << calls;
    std::vector<unsigned long> flags = CallArguments(LastCall(calls, "SetExtendedResultFlag"));
    ASSERT_EQ(flags.size(), 2u) << calls;
    char expectedCommand[160], expectedFlags[64];
    snprintf(expectedCommand, sizeof(expectedCommand),
             "reader command: ASyncReadDataAny(password=%lu, bank=%lu, wordAddress=%lu, "
             "wordCount=%lu)\n",
             read[1], read[2], read[3], read[4]);
    snprintf(expectedFlags, sizeof(expectedFlags), "extended result flags: 0x%02lX (", flags[1]);
    EXPECT_NE(start.err.find(expectedCommand), std::string::npos) << start.err << calls;
    EXPECT_NE(start.err.find(expectedFlags), std::string::npos) << start.err << calls;
    // And the blocks it says are rejected are the ones korvane keeps as text
    // (checked byte for byte below).
    EXPECT_NE(start.err.find("rejected {EPC } at offset"), std::string::npos) << start.err;
    EXPECT_NE(start.err.find("rejected {MemoryBank=2,Pointer=0,Length=4}"), std::string::npos);
    EXPECT_NE(start.err.find("HeartbeatText: absent (On=\"false\")"), std::string::npos);

    // The heartbeat template is off: korvane sends nothing, the tool prints
    // nothing (the next bytes the client gets are the first tag's).
    ASSERT_EQ(Reader("report heartbeat"), "OK");
    ToolRun heartbeat = preview({"-e", "heartbeat"});
    EXPECT_EQ(heartbeat.out, "");

    const std::vector<TagCase> tags = {
        {"came",
         "12345678",
         "antenna=0x21 rssi=150 rssidbm=-70 pc=3000 xpc1=8001 xpc2=0042 data=AABBCCDDEEFF "
         "ts=1700000000123",
         {"--antenna", "0x21", "--rssi", "150", "--rssi-dbm", "-70", "--pc", "3000", "--xpc1",
          "8001", "--xpc2", "0042", "--data", "AABBCCDDEEFF", "--timestamp-ms", "1700000000123"}},
        {"came",
         "04284000",
         "antenna=4 rssidbm=-32768 result=0x0B ts=18446744073709551615",
         {"--antenna", "4", "--rssi-dbm", "-32768", "--read-result", "0x0B", "--timestamp-ms",
          "18446744073709551615"}},
        {"left",
         "3008000000000001",
         "antenna=2 rssi=9 data=010203040506",
         {"--antenna", "2", "--rssi", "9", "--data", "010203040506"}},
        {"left", "E2801160600002054E5A1B2C", "result=3", {"--read-result", "3"}},
    };
    for (const TagCase &tag : tags) {
        SCOPED_TRACE(std::string(tag.event) + " " + tag.epc);
        std::vector<std::string> args = tag.previewArgs;
        args.insert(args.end(), {"-e", tag.event, "--epc", tag.epc});
        // Korvane takes the reception time ({Timestamp}) when the record
        // arrives, within these two readings of the clock.
        time_t before = time(nullptr);
        ASSERT_EQ(Reader(std::string("tags ") + tag.event + " epc=" + RecordEpc(tag.epc) + " " +
                         tag.record),
                  "OK");
        time_t after = time(nullptr);
        std::vector<std::string> atBefore = args;
        atBefore.insert(atBefore.end(), {"-q", "--seen-at", std::to_string(before)});
        ToolRun expected = preview(atBefore);
        ASSERT_FALSE(expected.out.empty());
        std::string received = client.ReadExactly(expected.out.size(), kArriveMs);
        if (before == after) {
            EXPECT_EQ(received, expected.out);
        } else {
            // A second boundary fell between the readings: the datagram is
            // the one of either second (the rendered time has a fixed length).
            std::vector<std::string> atAfter = args;
            atAfter.insert(atAfter.end(), {"-q", "--seen-at", std::to_string(after)});
            ToolRun later = preview(atAfter);
            EXPECT_TRUE(received == expected.out || received == later.out) << received << "\n"
                                                                           << expected.out << "\n"
                                                                           << later.out;
        }
    }

    // A stop the reader reports on its own gets the StopText, whose read
    // settings came after the read had started.
    ASSERT_EQ(Reader("report stop"), "OK");
    ToolRun stop = preview({"-e", "stop"});
    ASSERT_FALSE(stop.out.empty());
    EXPECT_EQ(client.ReadExactly(stop.out.size(), kArriveMs), stop.out);
    const std::string keptBlock = "{MemoryBank=3,Pointer=1,Length=5}";
    EXPECT_EQ(stop.out.compare(0, keptBlock.size(), keptBlock), 0) << stop.out;

    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");
    // The tool made no call to the reader library.
    struct stat info;
    EXPECT_NE(stat(previewCalls.c_str(), &info), 0) << ReadFile(previewCalls);
    StopKorvane();
}

}  // namespace
