// The configuration file as the running korvane binary reads it: at start-up
// and live, after the watcher saw a save (applied once, about 2 s after the
// last of a burst), a deletion or an edit through a symbolic link; and files
// that are broken in every way, none of which may stop Korvane.
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/e2e.h"

namespace {

const char kV4[] = "127.0.0.1";
const char kV6[] = "::1";
const char kCheck[] = "Korvane: SetConfigFromFile(): Check config file\n";
const char kApplied[] = "Korvane: ConfigFileChanged(): Config file modifications applied\n";
const char kDefaultPortLine[] =
    "Korvane: SetConfigFromFile(): No valid port in the config file. Start listening on TCP "
    "port 14007 (default)\n";
const char kStopWithoutTemplates[] = "Korvane: SetConfigFromFile(): OK: ASyncStop\n";
// A save is applied 2 s after it; what the test measures around that.
const int kAppliedEarliestMs = 1700;
const int kAppliedLatestMs = 3500;
// Longest wait for a save to be applied.
const int kApplyMs = 6000;

std::string ListeningLine(unsigned port) {
    return "Korvane: SetConfigFromFile(): Start listening on TCP port " + std::to_string(port) +
           "\n";
}

// Bytes that no parser takes for a document, NULs and markup characters
// included; the same every run.
std::string GarbageBytes(size_t length) {
    std::string bytes;
    uint32_t state = 0x9E3779B9u;
    while (bytes.size() < length) {
        state = state * 1664525u + 1013904223u;
        bytes.push_back(static_cast<char>(state >> 24));
    }
    bytes.replace(0, 7, "\x00<?x\xff<<", 7);
    return bytes;
}

class ConfigProcTest : public KorvaneE2eTest {
protected:
    // With no client before, a first client on `port` gets the StartText of
    // TestDatagrams; then a client of the other family joins, and a tag
    // reaches both.
    void ExpectServing(uint16_t port, bool firstOverIpv6 = false) {
        const char *firstHost = firstOverIpv6 ? kV6 : kV4;
        const char *secondLogged = firstOverIpv6 ? "::ffff:127.0.0.1" : "::1";
        size_t accepted = OutputCount(std::string("Client ") + secondLogged + " (");
        TcpClient first;
        TcpClient second;
        ASSERT_TRUE(first.Connect(firstHost, port, kStartMs));
        EXPECT_EQ(first.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes)
            << korvane.Output();
        ASSERT_TRUE(second.Connect(firstOverIpv6 ? kV4 : kV6, port, kStartMs));
        ASSERT_GE(WaitForClientLogged(secondLogged, accepted + 1, kArriveMs), 0);
        ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
        EXPECT_EQ(first.ReadExactly(ComingBytes("AAAA0001", 2).size(), kArriveMs),
                  ComingBytes("AAAA0001", 2));
        EXPECT_EQ(second.ReadExactly(ComingBytes("AAAA0001", 2).size(), kArriveMs),
                  ComingBytes("AAAA0001", 2));
    }

    // Korvane serves the empty configuration: the default port, and neither
    // the reader's reports nor tags make a datagram.
    void ExpectEmptyConfigurationServed() {
        EXPECT_TRUE(korvane.WaitForOutput(kDefaultPortLine, kArriveMs)) << korvane.Output();
        EXPECT_TRUE(korvane.WaitForOutput(kStopWithoutTemplates, kArriveMs)) << korvane.Output();
        EXPECT_GE(CallCount("ASyncStopCommand"), 1u);
        size_t accepted = OutputCount("Korvane: WaitForClients(): Client ::ffff:127.0.0.1 (");
        TcpClient client;
        ASSERT_TRUE(client.Connect(kV4, 14007, kStartMs));
        ASSERT_GE(WaitForClientLogged("::ffff:127.0.0.1", accepted + 1, kArriveMs), 0);
        ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2 | epc=0002BBBB"), "OK");
        ASSERT_EQ(Reader("report heartbeat"), "OK");
        ASSERT_EQ(Reader("tags left epc=0001AAAA"), "OK");
        EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");
        EXPECT_FALSE(client.PeerClosed());
        EXPECT_TRUE(korvane.Running());
    }
};

// ---- At start-up

struct PortCase {
    const char *name;
    const char *text;  // content of <Port>
    uint16_t port;     // where korvane listens
    bool byDefault;    // the "no valid port" line instead of the port's own
};

void PrintTo(const PortCase &value, std::ostream *out) {
    *out << value.name;
}

class PortValueTest : public ConfigProcTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortValueTest, ListensWhereThePortReadsAndServes) {
    const PortCase &value = GetParam();
    SaveConfig(ConfigXml(TestDatagrams(), value.text, "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    std::string line = value.byDefault ? kDefaultPortLine : ListeningLine(value.port);
    EXPECT_TRUE(korvane.WaitForOutput(line, kArriveMs)) << korvane.Output();
    EXPECT_EQ(korvane.Output().find("Can't start listening"), std::string::npos);
    if (value.port != 14007) {
        EXPECT_EQ(TcpClient::TryConnect(kV4, 14007), ECONNREFUSED);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectServing(value.port));
    StopKorvane();
}

INSTANTIATE_TEST_SUITE_P(Values, PortValueTest,
                         ::testing::Values(PortCase{"Plain", "15031", 15031, false},
                                           PortCase{"Letters", "port", 14007, true},
                                           PortCase{"Empty", "", 14007, true},
                                           PortCase{"Zero", "0", 14007, true},
                                           // Read as an unsigned short: -1 wraps to 65535 and
                                           // 99999 to 99999 mod 65536.
                                           PortCase{"MinusOne", "-1", 65535, false},
                                           PortCase{"TooLarge", "99999", 34463, false},
                                           PortCase{"DigitsThenLetters", "15032abc", 15032, false},
                                           PortCase{"Blanks", "  15033 ", 15033, false}),
                         [](const ::testing::TestParamInfo<PortCase> &info) {
                             return info.param.name;
                         });

TEST_F(ConfigProcTest, SavesWithoutAValidPortKeepTheClientsOfTheDefaultPort) {
    SaveConfig(ConfigXml(TestDatagrams(), nullptr, "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 14007, kStartMs));
    ASSERT_EQ(client.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    int fd = WaitForClientLogged("::ffff:127.0.0.1", 1, kArriveMs);
    ASSERT_GE(fd, 0);

    // Each save edits the StartText, so the reader is started again and the
    // client gets the new one, with the port still absent, then unreadable,
    // then the default written out: the server listens where it did.
    for (const char *port : {static_cast<const char *>(nullptr), "none", "14007"}) {
        const std::string name = port != nullptr ? port : "absent";
        SCOPED_TRACE(name);
        size_t same = OutputCount("TCP port is the same, no changes are made");
        size_t applied = OutputCount(kApplied);
        SaveConfig(ConfigXml(TestDatagrams("# " + name + "{CR}{LF}"), port, "false"));
        const std::string start = "# " + name + "\r\n";
        EXPECT_EQ(client.ReadExactly(start.size(), 3 * kArriveMs), start) << korvane.Output();
        ASSERT_TRUE(WaitForOutputCount(kApplied, applied + 1, kApplyMs));
        EXPECT_EQ(OutputCount("TCP port is the same, no changes are made"), same + 1);
        ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
        EXPECT_EQ(client.ReadExactly(ComingBytes("AAAA0001", 2).size(), kArriveMs),
                  ComingBytes("AAAA0001", 2));
    }
    EXPECT_FALSE(client.PeerClosed());
    EXPECT_EQ(OutputCount("Client " + std::to_string(fd) + " is not connected"), 0u);
    EXPECT_EQ(OutputCount(kDefaultPortLine), 1u) << "the server was opened once";
    StopKorvane();
}

TEST_F(ConfigProcTest, AServerThatCouldNotOpenIsTriedAgainOnTheNextApply) {
    // Another program holds the port while Korvane starts.
    int holder = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    struct sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(15050);
    ASSERT_EQ(bind(holder, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    const std::string config = ConfigXml(TestDatagrams(), "15050", "false");
    SaveConfig(config);
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: SetConfigFromFile(): Can't start listening on TCP port 15050\n", kArriveMs))
        << korvane.Output();
    close(holder);

    // The same file saved again: nothing in it changed, but the server is
    // not open, so the port is applied again. A save made before the
    // watcher's watch exists goes unseen, so it is made again until applied.
    bool listening = false;
    for (int save = 0; save < 3 && !listening; save++) {
        SaveConfig(config);
        listening = korvane.WaitForOutput(ListeningLine(15050), kApplyMs);
    }
    EXPECT_TRUE(listening) << korvane.Output();
    ASSERT_NO_FATAL_FAILURE(ExpectServing(15050));
    StopKorvane();
}

TEST_F(ConfigProcTest, PortOnlyFileSendsNothingAndStopsTheReader) {
    SaveConfig(ConfigXml("", "15040", nullptr));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    // The reader is stopped while the file is applied, before any client.
    std::vector<std::string> calls = CallNames();
    ASSERT_GE(calls.size(), 8u) << ReadFile(sandbox.Path("calls.log"));
    EXPECT_EQ(calls[7], "ASyncStopCommand") << ReadFile(sandbox.Path("calls.log"));
    std::string out = korvane.Output();
    EXPECT_NE(out.find("Korvane: SetConfigFromFile(): No coming datagram (2)\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Korvane: SetConfigFromFile(): No going datagram (2)\n"), std::string::npos);
    EXPECT_NE(out.find(ListeningLine(15040)), std::string::npos);
    EXPECT_NE(out.find(kStopWithoutTemplates), std::string::npos);
    EXPECT_EQ(TcpClient::TryConnect(kV4, 14007), ECONNREFUSED);

    TcpClient client;
    ASSERT_TRUE(client.Connect(kV6, 15040, kStartMs));
    ASSERT_GE(WaitForClientLogged("::1", 1, kArriveMs), 0);
    ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
    ASSERT_EQ(Reader("report heartbeat"), "OK");
    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");
    StopKorvane();
}

TEST_F(ConfigProcTest, MissingFileAtStartGivesTheEmptyConfiguration) {
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ExpectEmptyConfigurationServed();
    StopKorvane();
}

TEST_F(ConfigProcTest, GarbageBytesGiveTheEmptyConfiguration) {
    ASSERT_TRUE(WriteFile(ConfigPath(), GarbageBytes(8192)));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ExpectEmptyConfigurationServed();
    // The file is read, never rewritten.
    EXPECT_EQ(ReadFile(ConfigPath()), GarbageBytes(8192));
    StopKorvane();
}

TEST_F(ConfigProcTest, WrongRootElementGivesTheEmptyConfiguration) {
    std::string xml = ConfigXml(TestDatagrams(), "15050", "false");
    const std::string root = "KorvaneConfiguration";
    for (size_t at = xml.find(root); at != std::string::npos; at = xml.find(root, at + 1))
        xml.replace(at, root.size(), "KorvaneSettings");
    SaveConfig(xml);
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ExpectEmptyConfigurationServed();
    EXPECT_EQ(TcpClient::TryConnect(kV4, 15050), ECONNREFUSED);
    StopKorvane();
}

TEST_F(ConfigProcTest, TruncatedFileAppliesWhatWasComplete) {
    // Cut inside the closing tag of the port: the templates and the port
    // number were complete.
    std::string xml = ConfigXml(TestDatagrams(), "15060", "false");
    SaveConfig(xml.substr(0, xml.find("</Port>") + 4));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    EXPECT_TRUE(korvane.WaitForOutput(ListeningLine(15060), kArriveMs)) << korvane.Output();
    ASSERT_NO_FATAL_FAILURE(ExpectServing(15060));
    StopKorvane();
}

TEST_F(ConfigProcTest, TruncatedInsideTheTemplatesKeepsTheCompleteOnes) {
    // Cut in the middle of the going template: the coming one is complete,
    // the port never came.
    std::string xml = ConfigXml(TestDatagrams(), "15070", "false");
    SaveConfig(xml.substr(0, xml.find("<GoingText")));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    EXPECT_TRUE(korvane.WaitForOutput(kDefaultPortLine, kArriveMs)) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput("Korvane: SetConfigFromFile(): Set coming datagram\n", 0));
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV6, 14007, kStartMs));
    ASSERT_GE(WaitForClientLogged("::1", 1, kArriveMs), 0);
    ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
    ASSERT_EQ(Reader("tags left epc=0001AAAA"), "OK");
    // Only the coming datagram exists; no StartText either.
    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), ComingBytes("AAAA0001", 2));
    StopKorvane();
}

TEST_F(ConfigProcTest, VeryLargeFileIsApplied) {
    // About 6 MB of notes before the sections that matter.
    std::string notes = "  <Notes>\n";
    const std::string note = "    <Note>" + std::string(100, 'n') + "</Note>\n";
    while (notes.size() < 6 * 1024 * 1024)
        notes += note;
    notes += "  </Notes>\n";
    SaveConfig(ConfigXml(notes + TestDatagrams(), "15080", "false"));
    long long started = MonotonicMs();
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    EXPECT_TRUE(korvane.WaitForOutput(ListeningLine(15080), kArriveMs)) << korvane.Output();
    EXPECT_LT(MonotonicMs() - started, kStartMs);
    ASSERT_NO_FATAL_FAILURE(ExpectServing(15080, true));
    StopKorvane();
}

// ---- Live: the watcher applies what is saved while Korvane runs

TEST_F(ConfigProcTest, ThreeSavesWithinOneSecondAreAppliedOnceTwoSecondsAfterTheLast) {
    SaveConfig(ConfigXml(TestDatagrams("# one{CR}{LF}"), "14007", "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ASSERT_EQ(OutputCount(kCheck), 1u) << korvane.Output();

    long long lastSave = 0;
    for (const char *start : {"# two{CR}{LF}", "# three{CR}{LF}", "# four{CR}{LF}"}) {
        if (lastSave != 0) usleep(400 * 1000);
        SaveConfig(ConfigXml(TestDatagrams(start), "14007", "false"));
        lastSave = MonotonicMs();
    }
    ASSERT_TRUE(WaitForOutputCount(kCheck, 2, kApplyMs)) << korvane.Output();
    long long after = MonotonicMs() - lastSave;
    EXPECT_GE(after, kAppliedEarliestMs);
    EXPECT_LE(after, kAppliedLatestMs);
    EXPECT_TRUE(korvane.WaitForOutput(kApplied, kArriveMs));
    // Nothing of the burst is applied again later.
    usleep(1500 * 1000);
    EXPECT_EQ(OutputCount(kCheck), 2u) << korvane.Output();
    EXPECT_EQ(OutputCount(kApplied), 1u);

    // The last save is what applies.
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 14007, kStartMs));
    EXPECT_EQ(client.ReadExactly(8, kArriveMs), "# four\r\n");
    EXPECT_EQ(client.ReadUntilQuiet(kQuietMs), "");
    StopKorvane();
}

TEST_F(ConfigProcTest, DeletingTheFileAppliesTheEmptyConfiguration) {
    SaveConfig(ConfigXml(TestDatagrams(), "15101", "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 15101, kStartMs));
    ASSERT_EQ(client.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);
    ASSERT_EQ(Reader("tags came epc=0001AAAA antenna=2"), "OK");
    ASSERT_EQ(client.ReadExactly(ComingBytes("AAAA0001", 2).size(), kArriveMs),
              ComingBytes("AAAA0001", 2));

    ASSERT_EQ(unlink(ConfigPath().c_str()), 0);
    ASSERT_TRUE(WaitForOutputCount(kCheck, 2, kApplyMs)) << korvane.Output();
    EXPECT_TRUE(client.WaitClosed(kArriveMs));
    EXPECT_EQ(TcpClient::TryConnect(kV4, 15101), ECONNREFUSED);
    ExpectEmptyConfigurationServed();
    EXPECT_TRUE(korvane.WaitForOutput("Korvane: SetConfigFromFile(): No coming datagram (2)\n", 0));
    EXPECT_TRUE(korvane.WaitForOutput("Korvane: SetConfigFromFile(): No going datagram (2)\n", 0));
    StopKorvane();
}

TEST_F(ConfigProcTest, ChangesToOtherFilesInTheDirectoryAreIgnored) {
    SaveConfig(ConfigXml(TestDatagrams(), "14007", "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    ASSERT_EQ(OutputCount(kCheck), 1u);
    // Names that share a beginning or an end with the file's own name.
    for (const char *name :
         {"other.xml", "korvane.config.xml.bak", "korvane.config.xm", "old.korvane.config.xml"}) {
        ASSERT_TRUE(WriteFile(sandbox.Path(name), ConfigXml(TestDatagrams(), "15111", "false")));
        usleep(100 * 1000);
    }
    ASSERT_EQ(unlink(sandbox.Path("other.xml").c_str()), 0);
    ASSERT_EQ(mkdir(sandbox.Path("sub").c_str(), 0755), 0);
    usleep(3000 * 1000);
    EXPECT_EQ(OutputCount(kCheck), 1u) << korvane.Output();
    EXPECT_EQ(TcpClient::TryConnect(kV4, 15111), ECONNREFUSED);

    // The watcher was awake all along: the file's own save is applied.
    SaveConfig(ConfigXml(TestDatagrams(), "15112", "false"));
    EXPECT_TRUE(WaitForOutputCount(kCheck, 2, kApplyMs)) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput(ListeningLine(15112), kArriveMs));
    StopKorvane();
}

class SymbolicLinkTest : public ConfigProcTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SymbolicLinkTest, EditsOfTheTargetAreApplied) {
    bool absolute = GetParam();
    ASSERT_EQ(mkdir(sandbox.Path("sub").c_str(), 0755), 0);
    // The target has a name of its own, in another directory.
    std::string target = sandbox.Path("sub/settings.xml");
    ASSERT_TRUE(WriteFile(target, ConfigXml(TestDatagrams(), "15121", "false")));
    ASSERT_EQ(symlink(absolute ? target.c_str() : "sub/settings.xml", ConfigPath().c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    EXPECT_TRUE(korvane.WaitForOutput(ListeningLine(15121), kArriveMs)) << korvane.Output();
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV6, 15121, kStartMs));
    ASSERT_EQ(client.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);

    ASSERT_TRUE(WriteFile(target, ConfigXml(TestDatagrams(), "15122", "false")));
    long long saved = MonotonicMs();
    ASSERT_TRUE(WaitForOutputCount(kCheck, 2, kApplyMs)) << korvane.Output();
    long long after = MonotonicMs() - saved;
    EXPECT_GE(after, kAppliedEarliestMs);
    EXPECT_LE(after, kAppliedLatestMs);
    EXPECT_TRUE(korvane.WaitForOutput(ListeningLine(15122), kArriveMs)) << korvane.Output();
    EXPECT_TRUE(client.WaitClosed(kArriveMs));
    // Nobody is left, so the reader is stopped and the next client starts it.
    ASSERT_TRUE(
        korvane.WaitForOutput("Korvane: PollClients(): No clients, OK: ASyncStop\n", kArriveMs));
    ASSERT_NO_FATAL_FAILURE(ExpectServing(15122));
    // The link is still a link to the same target.
    struct stat link = {};
    ASSERT_EQ(lstat(ConfigPath().c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    StopKorvane();
}

INSTANTIATE_TEST_SUITE_P(Targets, SymbolicLinkTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "AbsoluteTarget" : "RelativeTarget";
                         });

TEST_F(ConfigProcTest, BadFilesSavedWhileRunningNeverStopKorvane) {
    SaveConfig(ConfigXml(TestDatagrams(), "15131", "false"));
    ASSERT_NO_FATAL_FAILURE(StartKorvane({"-v"}));
    TcpClient client;
    ASSERT_TRUE(client.Connect(kV4, 15131, kStartMs));
    ASSERT_EQ(client.ReadExactly(sizeof(kStartBytes) - 1, kArriveMs), kStartBytes);

    ASSERT_TRUE(WriteFile(ConfigPath(), GarbageBytes(4096)));
    ASSERT_TRUE(WaitForOutputCount(kCheck, 2, kApplyMs)) << korvane.Output();
    EXPECT_TRUE(client.WaitClosed(kArriveMs));
    ExpectEmptyConfigurationServed();

    // A good file afterwards is applied as if nothing had happened.
    SaveConfig(ConfigXml(TestDatagrams(), "15132", "false"));
    ASSERT_TRUE(WaitForOutputCount(kCheck, 3, kApplyMs)) << korvane.Output();
    EXPECT_TRUE(korvane.WaitForOutput(ListeningLine(15132), kArriveMs)) << korvane.Output();
    EXPECT_EQ(TcpClient::TryConnect(kV4, 14007), ECONNREFUSED);
    ASSERT_NO_FATAL_FAILURE(ExpectServing(15132, true));
    StopKorvane();
}

}  // namespace
