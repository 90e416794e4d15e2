// The host link of the real korvane binary, each test in private namespaces
// where 127.0.0.1:4006 belongs to the test: the host is played byte by byte
// by the test itself, or by the korvane-host tool.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ipc/fake_host.h"
#include "support/isolation.h"
#include "support/korvane_process.h"
#include "support/readersim_client.h"
#include "support/worker.h"

namespace {

const uint16_t kHostPort = 4006;
// Generous for sanitizer builds; the checks that matter measure time itself.
const int kStartMs = 10000;
const char kToolWait[] = "8000";

// The korvane-host tool as a child process, its output going to files.
class HostTool {
public:
    HostTool(const Sandbox &sandbox, const std::string &name)
        : outPath_(sandbox.Path(name + ".out")), errPath_(sandbox.Path(name + ".err")) {}
    ~HostTool() {
        if (pid_ > 0 && exit_ == -1) {
            kill(pid_, SIGKILL);
            Wait(5000);
        }
    }
    HostTool(const HostTool &) = delete;
    HostTool &operator=(const HostTool &) = delete;

    bool Start(const std::vector<std::string> &args) {
        std::vector<std::string> strings{KORVANE_HOST_TOOL};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &arg : strings)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid_ > 0;
    }

    // The exit code, 128 + signal when killed, or -1 while still running
    // after `timeoutMs`.
    int Wait(int timeoutMs) {
        int64_t start = MonotonicNs();
        while (exit_ == -1) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (MsSince(start) >= timeoutMs) return -1;
            SleepMs(5);
        }
        return exit_;
    }

    // Waits until the standard error holds `text` (with -v).
    bool WaitForError(const std::string &text, int timeoutMs) {
        int64_t start = MonotonicNs();
        while (Err().find(text) == std::string::npos) {
            if (MsSince(start) >= timeoutMs) return false;
            SleepMs(5);
        }
        return true;
    }

    void Kill() {
        if (pid_ > 0 && exit_ == -1) kill(pid_, SIGKILL);
    }
    std::string Out() const { return ReadFile(outPath_); }
    std::string Err() const { return ReadFile(errPath_); }

private:
    std::string outPath_;
    std::string errPath_;
    pid_t pid_ = -1;
    int exit_ = -1;
};

size_t Count(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// Connects to 127.0.0.1:port; the socket, or -1.
int ConnectTcp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Accepts(uint16_t port) {
    int fd = ConnectTcp(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool AcceptsWithin(uint16_t port, int timeoutMs) {
    int64_t start = MonotonicNs();
    while (!Accepts(port)) {
        if (MsSince(start) >= timeoutMs) return false;
        SleepMs(20);
    }
    return true;
}

// Reads from `fd` until the text received ends with `expected` or the time
// is up; what was received.
std::string ReceiveUntil(int fd, const std::string &expected, int timeoutMs) {
    std::string received;
    int64_t start = MonotonicNs();
    while (received.size() < expected.size() ||
           received.compare(received.size() - expected.size(), expected.size(), expected) != 0) {
        int left = timeoutMs - static_cast<int>(MsSince(start));
        struct pollfd readable = {fd, POLLIN, 0};
        if (left <= 0 || poll(&readable, 1, left) != 1) break;
        char buffer[512];
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

// True once the process watches a directory with inotify (an inotify
// descriptor with a watch in its fdinfo): the configuration watcher is up.
bool Watching(pid_t pid) {
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *fds = opendir(fdDir.c_str());
    if (fds == nullptr) return false;
    bool watching = false;
    while (struct dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        char target[64];
        ssize_t length =
            readlink((fdDir + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
        if (length < 0) continue;
        target[length] = '\0';
        if (strcmp(target, "anon_inode:inotify") != 0) continue;
        std::string info = ReadFile("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
        if (info.find("inotify wd:") != std::string::npos) watching = true;
    }
    closedir(fds);
    return watching;
}

std::string ConfigWith(const std::string &datagrams, int port) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<KorvaneConfiguration>\n"
           "  <Datagrams>\n" +
           datagrams +
           "  </Datagrams>\n"
           "  <Port>" +
           std::to_string(port) +
           "</Port>\n"
           "  <KeyboardEmulation>false</KeyboardEmulation>\n"
           "</KorvaneConfiguration>\n";
}

const char kComingTemplate[] = "    <ComingText On=\"true\">OLD {EPC}{CR}{LF}</ComingText>\n";

class IpcProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sandbox.Error(), "");
        ASSERT_TRUE(WriteFile(sandbox.Path("hidg0"), ""));
        ASSERT_TRUE(
            WriteFile(sandbox.Path("korvane.config.xml"), ConfigWith(kComingTemplate, 14100)));
    }

    void StartKorvane() {
        ASSERT_TRUE(korvane.Start({"-v"}, {{"READERSIM_SOCKET", sandbox.Path("readersim.sock")}}));
        ASSERT_TRUE(
            korvane.WaitForOutput("Korvane: SetConfigFromFile(): Check config file\n", kStartMs));
    }

    // Runs korvane-host with `args` to its end; its exit code.
    int RunTool(HostTool &tool, const std::vector<std::string> &args) {
        std::vector<std::string> all{"-t", kToolWait};
        all.insert(all.end(), args.begin(), args.end());
        if (!tool.Start(all)) return -1;
        return tool.Wait(20000);
    }

    Sandbox sandbox;
    KorvaneProcess korvane;
};

TEST_F(IpcProcessTest, HandshakeAndRepliesAreByteExactOnTheWire) {
    FakeHost host(0, kHostPort);
    ASSERT_TRUE(host.Listening());
    StartKorvane();
    ASSERT_TRUE(host.Accept(kStartMs));
    tBytes hello;
    ASSERT_TRUE(host.Read(17, &hello, 2000));
    EXPECT_EQ(HexOf(hello), "5A FF FF FF FF 05 00 05 00 00 00 FF FE FF 00 00 A5");
    ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, 5)));

    const tBytes getVersion = {0x00, 0x00};
    const std::string versionFrame = " 05 00 0D 00 00 00 00 00 80 01 00 04 00 01 00 00 00 00 00 A5";
    tBytes reply;
    ASSERT_TRUE(host.Write(FrameOf(0x01020304, 5, getVersion)));
    ASSERT_TRUE(host.Read(25, &reply, 5000));
    EXPECT_EQ(HexOf(reply), "5A 04 03 02 01" + versionFrame);

    // Two requests in one chunk: both answered, in order.
    ASSERT_TRUE(host.Write(Concat(FrameOf(5, 5, {0x00, 0x01}), FrameOf(6, 5, getVersion))));
    ASSERT_TRUE(host.Read(15 + 25, &reply, 5000));
    EXPECT_EQ(HexOf(reply),
              "5A 05 00 00 00 05 00 03 00 00 00 80 00 81 A5 5A 06 00 00 00" + versionFrame);

    // A request in three pieces 20 ms apart is reassembled.
    tBytes split = FrameOf(7, 5, getVersion);
    for (size_t from : {0, 4, 9}) {
        size_t to = from == 9 ? split.size() : from + (from == 0 ? 4 : 5);
        ASSERT_TRUE(host.Write(tBytes(split.begin() + from, split.begin() + to)));
        SleepMs(20);
    }
    ASSERT_TRUE(host.Read(25, &reply, 5000));
    EXPECT_EQ(HexOf(reply), "5A 07 00 00 00" + versionFrame);

    // A request stalled for 300 ms is dropped; the one after it in the late
    // chunk is answered.
    tBytes stalled = FrameOf(8, 5, getVersion);
    ASSERT_TRUE(host.Write(tBytes(stalled.begin(), stalled.begin() + 8)));
    SleepMs(300);
    ASSERT_TRUE(
        host.Write(Concat(tBytes(stalled.begin() + 8, stalled.end()), FrameOf(9, 5, getVersion))));
    ASSERT_TRUE(host.Read(25, &reply, 5000));
    EXPECT_EQ(HexOf(reply), "5A 09 00 00 00" + versionFrame);
    EXPECT_TRUE(host.QuietFor(300));

    std::string out = korvane.Output();
    EXPECT_EQ(out.find("Timeout reached, couldn't connect the IPC"), std::string::npos) << out;
    EXPECT_EQ(Count(out, "Korvane: WaitForData(): GetVersion\n"), 4u) << out;
    EXPECT_EQ(Count(out, "Korvane: WaitForData(): Unknown command 0x0100\n"), 1u) << out;
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    EXPECT_TRUE(host.ClosedWithin(1000));
}

TEST_F(IpcProcessTest, WithoutHostStartUpGoesOnAfterTwoSeconds) {
    StartKorvane();
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: main(): Timeout reached, couldn't connect the IPC\n", kStartMs))
        << korvane.Output();
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(IpcProcessTest, ReconnectsToARestartedHostAtMostOncePerSecond) {
    // A host that stays connected until it is killed.
    HostTool first(sandbox, "first");
    ASSERT_TRUE(first.Start({"-t", kToolWait, "-v", "-k", "-1", "GetVersion"}));
    ASSERT_TRUE(first.WaitForError("listening on 127.0.0.1:4006", 5000)) << first.Err();
    StartKorvane();
    int64_t start = MonotonicNs();
    while (first.Out().find("version 1.4.1") == std::string::npos && MsSince(start) < kStartMs)
        SleepMs(10);
    ASSERT_NE(first.Out().find("version 1.4.1"), std::string::npos) << first.Err();
    first.Kill();
    ASSERT_EQ(first.Wait(5000), 128 + SIGKILL);

    // While the host is down, every attempt is accepted and dropped at once,
    // and the moments are recorded.
    FakeHost host(0, kHostPort);
    ASSERT_TRUE(host.Listening());
    std::vector<int64_t> accepted;
    start = MonotonicNs();
    while (MsSince(start) < 3300) {
        if (host.Accept(200)) {
            accepted.push_back(host.acceptedNs);
            host.CloseConnection();
        }
    }
    host.CloseListener();
    ASSERT_GE(accepted.size(), 3u);
    EXPECT_LE(accepted.size(), 4u);
    for (size_t i = 1; i < accepted.size(); i++) {
        double gapMs = (accepted[i] - accepted[i - 1]) / 1e6;
        EXPECT_GE(gapMs, 995) << "attempt " << i << " began too soon after the one before";
        EXPECT_LT(gapMs, 1600) << "attempt " << i;
    }

    // The host is back: Korvane connects and answers again.
    HostTool second(sandbox, "second");
    EXPECT_EQ(RunTool(second, {"GetVersion"}), 0) << second.Err();
    EXPECT_EQ(second.Out(), "GetVersion: status 0 (ok), reply code 0x8000\nversion 1.4.1\n");
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(IpcProcessTest, SetPortMovesTheServerAndIsAppliedOnce) {
    StartKorvane();
    ASSERT_TRUE(AcceptsWithin(14100, kStartMs));
    ASSERT_TRUE(WriteFile(sandbox.Path("port.xml"),
                          "<KorvaneConfiguration><Port>14101</Port></KorvaneConfiguration>"));
    // Korvane's own save must happen while the watcher watches: a save made
    // before would leave the watcher's "ignore" flag to swallow the next edit.
    int64_t start = MonotonicNs();
    while (!Watching(korvane.Pid()) && MsSince(start) < kStartMs)
        SleepMs(10);
    ASSERT_TRUE(Watching(korvane.Pid()));
    size_t checksBefore = Count(korvane.Output(), "Check config file");

    HostTool tool(sandbox, "tool");
    ASSERT_EQ(RunTool(tool, {"GetPort", "SetPort", "@" + sandbox.Path("port.xml"), "GetPort"}), 0)
        << tool.Err();
    EXPECT_EQ(tool.Out(),
              "GetPort: status 0 (ok), reply code 0x8001\n"
              "<KorvaneConfiguration>\n  <Port>14100</Port>\n</KorvaneConfiguration>\n"
              "SetPort: status 0 (ok), reply code 0x8002\n"
              "GetPort: status 0 (ok), reply code 0x8001\n"
              "<KorvaneConfiguration>\n  <Port>14101</Port>\n</KorvaneConfiguration>\n");
    EXPECT_TRUE(Accepts(14101));
    EXPECT_FALSE(Accepts(14100));
    EXPECT_NE(ReadFile(sandbox.Path("korvane.config.xml")).find("<Port>14101</Port>"),
              std::string::npos);
    EXPECT_EQ(Count(korvane.Output(), "Check config file"), checksBefore + 1);

    // The watcher sees the save but leaves it alone: past its 2-second
    // debounce nothing is applied again.
    SleepMs(2700);
    EXPECT_EQ(Count(korvane.Output(), "Check config file"), checksBefore + 1) << korvane.Output();

    // It does apply an edit made by someone else, so the quiet above was
    // not a watcher asleep.
    ASSERT_TRUE(WriteFile(sandbox.Path("korvane.config.xml"), ConfigWith(kComingTemplate, 14102)));
    EXPECT_TRUE(AcceptsWithin(14102, 8000)) << korvane.Output();
    EXPECT_EQ(Count(korvane.Output(), "Check config file"), checksBefore + 2);
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(IpcProcessTest, SetDatagramResultChangesWhatClientsReceive) {
    StartKorvane();
    ReaderSimClient reader;
    ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs));
    ASSERT_TRUE(AcceptsWithin(14100, kStartMs));
    int client = ConnectTcp(14100);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(
        korvane.WaitForOutput("Korvane: HandleMemoryBankSettings(): OK: ASyncGetEPCs\n", kStartMs))
        << korvane.Output();
    ASSERT_EQ(reader.Command("tags came epc=0001AAAA antenna=1"), "OK");
    EXPECT_EQ(ReceiveUntil(client, "OLD AAAA0001\r\n", 5000), "OLD AAAA0001\r\n");

    const std::string datagrams =
        "<KorvaneConfiguration><Datagrams>"
        "<ComingText On=\"true\">NEW {EPC} &amp; more{CR}{LF}</ComingText>"
        "</Datagrams></KorvaneConfiguration>";
    HostTool tool(sandbox, "tool");
    ASSERT_EQ(RunTool(tool, {"SetDatagramResult", datagrams, "GetDatagramResult"}), 0)
        << tool.Err();
    EXPECT_EQ(tool.Out(),
              "SetDatagramResult: status 0 (ok), reply code 0x8005\n"
              "GetDatagramResult: status 0 (ok), reply code 0x8004\n"
              "<KorvaneConfiguration>\n"
              "  <Datagrams>\n"
              "    <ComingText On=\"true\">NEW {EPC} &amp; more{CR}{LF}</ComingText>\n"
              "  </Datagrams>\n"
              "</KorvaneConfiguration>\n");
    ASSERT_EQ(reader.Command("tags came epc=0002BBBB antenna=1"), "OK");
    EXPECT_EQ(ReceiveUntil(client, "NEW BBBB0002 & more\r\n", 5000), "NEW BBBB0002 & more\r\n");
    EXPECT_NE(ReadFile(sandbox.Path("korvane.config.xml")).find("NEW {EPC} &amp; more"),
              std::string::npos);
    close(client);
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(IpcProcessTest, GetMagicWordsAndUnknownCodesThroughTheTool) {
    StartKorvane();
    HostTool tool(sandbox, "tool");
    ASSERT_EQ(
        RunTool(tool, {"-x", "GetVersion", "Code", "0x0100", "Code", "0xFFFF", "GetMagicWords"}), 0)
        << tool.Err();
    std::string out = tool.Out();
    EXPECT_EQ(out.rfind("GetVersion: status 0 (ok), reply code 0x8000\n"
                        "payload: 00 00 80 01 00 04 00 01 00 00 00 00 00\n"
                        "version 1.4.1\n"
                        "Code 0x0100: status 128 (unknown command), reply code 0x8100\n"
                        "payload: 80 00 81\n"
                        "Code 0xFFFF: status 128 (unknown command), reply code 0xFFFF\n"
                        "payload: 80 FF FF\n"
                        "GetMagicWords: status 0 (ok), reply code 0x8003\n"
                        "payload: 00 03 80 3C 4B 6F",  // "<Ko"
                        0),
              0u)
        << out;
    EXPECT_EQ(Count(out, "<MagicWord Optional="), 23u);
    EXPECT_EQ(Count(out, "<Group Name="), 4u);
    EXPECT_NE(out.find("        <Values Default=\"Text\" Type=\"2\">\n"
                       "          <Value Id=\"Binary\">0</Value>\n"
                       "          <Value Id=\"Text\">1</Value>\n"
                       "          <Value Id=\"VDA\">2</Value>\n"
                       "        </Values>\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("        <Word>Error=</Word>\n"
                       "        <Values Default=\"Error 0x&lt;ErrorCode&gt;\" Type=\"3\"/>\n"),
              std::string::npos);
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(IpcProcessTest, HostHelloOnAnotherChannelSilencesTheReplies) {
    StartKorvane();
    // Korvane answers the Hello and from then on sends on channel 7 only, so
    // the reply to a request on channel 5 is not sent.
    HostTool other(sandbox, "other");
    EXPECT_EQ(RunTool(other, {"-v", "-H", "7", "-t", "1500", "GetVersion"}), 3) << other.Err();
    EXPECT_NE(other.Err().find("GetVersion: timed out after 1500 ms waiting for the reply"),
              std::string::npos)
        << other.Err();
    EXPECT_NE(other.Err().find("received token 4294967295 channel 7: FF FE FF 01 00"),
              std::string::npos)
        << "the HelloAck on channel 7\n"
        << other.Err();
    EXPECT_NE(korvane.Output().find("Korvane: WaitForData(): GetVersion\n"), std::string::npos);
    // A host announcing channel 5 gets its replies.
    HostTool same(sandbox, "same");
    EXPECT_EQ(RunTool(same, {"-H", "5", "GetVersion"}), 0) << same.Err();
    EXPECT_EQ(same.Out(), "GetVersion: status 0 (ok), reply code 0x8000\nversion 1.4.1\n");
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(IpcProcessTest, ToolTimesOutAndRejectsBadCommandLines) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char *message;
    };
    const Case cases[] = {
        {{"-t", "300", "GetVersion"},
         3,
         "korvane-host: timed out after 300 ms: Korvane did not connect to 127.0.0.1:4006\n"},
        {{"GetSomething"}, 2, "korvane-host: unknown command 'GetSomething'\n"},
        {{"SetPort"}, 2, "korvane-host: SetPort needs an XML argument\n"},
        {{"SetPort", "@/nonexistent/port.xml"},
         1,
         "korvane-host: cannot read '/nonexistent/port.xml'\n"},
        {{"-t", "x", "GetPort"}, 2, "Usage: korvane-host"},
    };
    int index = 0;
    for (const Case &c : cases) {
        HostTool tool(sandbox, "case" + std::to_string(index++));
        ASSERT_TRUE(tool.Start(c.args));
        EXPECT_EQ(tool.Wait(5000), c.exitCode) << c.message;
        EXPECT_NE(tool.Err().find(c.message), std::string::npos) << tool.Err();
        EXPECT_EQ(tool.Out(), "");
    }
}

}  // namespace
