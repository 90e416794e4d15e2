// korvane-host against the running korvane and against a korvane played byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/e2e.h"
#include "testkit/fake_host.h"

namespace {

bool StartTool(KorvaneProcess &tool, const std::string &args) {
    return tool.StartProgram(Split(KORVANE_HOST_TOOL " " + args, ' '));
}

class HostToolProcTest : public KorvaneE2eTest {};

// Catches wrong exit statuses or messages, misread arguments, late time-outs, token or print bugs.
TEST_F(HostToolProcTest, EndsWithItsStatusAndMessageAndPrintsKorvanesRepliesByteExact) {
    KorvaneProcess help, silent, tool;
    ASSERT_TRUE(StartTool(help, "--hel") && help.WaitExit(kStartMs) == 0);
    const std::string usage = help.Output(),
                      me = "korvane-host: ", wait = me + "timed out after 200 ms";
    ASSERT_EQ(usage.rfind("Usage: korvane-host [OPTIONS] [COMMAND [XML]]...\n", 0), 0u) << usage;
    const tBytes replies =
        Bytes({HelloBytes(), FrameOf(9, 5, {1, 0, 0x80}), FrameOf(1, 5, {0xFF, 0xFE, 0xFF, 2, 0}),
               FrameOf(1, 5, {0, 0, 0x80, 2, 0, 5, 0, 7, 0, 0, 0, 0, 0, 'a', 'b', 'c', 0}),
               FrameOf(2, 5, {0, 7}), FrameOf(3, 5, {2, 3, 0x80, 'x'})});
    // The command line, what a peer on 4006 sends (nothing: no peer), exit status, message.
    const std::tuple<std::string, std::string, int, std::string> rows[] = {
        {"-t 200 GetVersion", "", 3, wait + ": Korvane did not connect to 127.0.0.1:4006\n"},
        {"--port=4007 --time 200 Code 2 <x/> getport", "", 3,
         wait + ": Korvane did not connect to 127.0.0.1:4007\n"},
        {"GetSomething", "", 2, me + "unknown command 'GetSomething'\n"},
        {"SetPort", "", 2, me + "SetPort needs an XML argument\n"},
        {"Code 65536", "", 2, me + "unknown command 'Code'\n"},
        {"SetPort @/none/port.xml", "", 1, me + "cannot read '/none/port.xml'\n"},
        {"-t 0", "", 2, ""},
        {"-k -2", "", 2, ""},
        {"-t 200 GetVersion", std::string(replies.begin(), replies.begin() + 10), 3,
         wait + " waiting for Korvane's Hello\n"},
        {"-x GetVersion Code 7 Code 3", std::string(replies.begin(), replies.end()), 0,
         "GetVersion: status 0 (ok), reply code 0x8000\npayload: 00 00 80 02 00 05 00 07 00 00 00 "
         "00 00 61 62 63 00\nversion 2.5.7-abc\nCode 0x0007: short reply: 00 07\nCode 0x0003: "
         "status 2 (unexpected status), reply code 0x8003\npayload: 02 03 80 78\nx\n"}};
    for (const auto &[args, sends, status, expected] : rows) {
        KorvaneProcess run;
        TcpClient peer;  // closes when the tool has ended
        ASSERT_TRUE(StartTool(run, args));
        ASSERT_TRUE(sends.empty() || (peer.Connect("127.0.0.1", 4006, 3000) && peer.Send(sends)));
        EXPECT_EQ(run.WaitExit(3000), status) << args;
        EXPECT_EQ(status ? run.Errors() : run.Output(), expected + (status == 2 ? usage : ""))
            << args;
        EXPECT_EQ(status ? run.Output() : run.Errors(), "") << args;
    }
    SaveConfig(ConfigXml(TestDatagrams(), "14100", "false"));
    ASSERT_TRUE(StartTool(silent, "-H 7 -t 3000 GetVersion"));  // korvane then sends on 7 only
    ASSERT_NO_FATAL_FAILURE(StartKorvane({}));
    EXPECT_EQ(silent.WaitExit(kStartMs), 3);
    EXPECT_EQ(silent.Errors(), me + "GetVersion: timed out after 3000 ms waiting for the reply\n");
    ASSERT_TRUE(StartTool(tool, "-vk-1 -H5 GetVersion code 0x0100 getport SetPort @" +
                                    ConfigPath() + " GetMagicWords"));
    ASSERT_TRUE(tool.WaitForOutput("</Groups>\n</KorvaneConfiguration>\n", kStartMs));
    StopKorvane();
    EXPECT_EQ(tool.WaitExit(kStartMs), 0);
    EXPECT_NE(tool.Errors().find("Korvane closed the connection\n"), std::string::npos);
    const std::string ok = ": status 0 (ok), reply code 0x800";
    const std::string expected =
        "GetVersion" + ok +
        "0\nversion 1.4.1\nCode 0x0100: status 128 (unknown command), reply code 0x8100\nGetPort" +
        ok + "1\n<KorvaneConfiguration>\n  <Port>14100</Port>\n</KorvaneConfiguration>\nSetPort" +
        ok + "2\nGetMagicWords" + ok + "3\n<KorvaneConfiguration>\n  <Groups>";
    EXPECT_EQ(tool.Output().substr(0, expected.size()), expected);
    EXPECT_EQ(CountOf(tool.Output(), "<MagicWord Optional="), 23u);
}

}  // namespace
