// The host link of the real korvane binary, in private namespaces where 127.0.0.1:4006
// belongs to the test: the host is played by the test itself or by the korvane-host tool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "support/worker.h"
#include "testkit/fake_host.h"
#include "testkit/isolation.h"
#include "testkit/korvane_process.h"
#include "testkit/readersim_client.h"

namespace {

// Generous for sanitizer builds; the checks that matter measure time itself.
const int kStartMs = 10000;
const char kToolWait[] = "8000";

// The korvane-host tool as a child process, its output going to files.
class HostTool {
public:
    HostTool(const Sandbox &sandbox, const std::string &name)
        : out_(sandbox.Path(name + ".out")), err_(sandbox.Path(name + ".err")) {}
    ~HostTool() {
        Kill();
        Wait(5000);
    }

    bool Start(std::vector<std::string> args) {
        args.insert(args.begin(), KORVANE_HOST_TOOL);
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            dup2(open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            dup2(open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid_ > 0;
    }
    // The exit code, 128 + signal when killed, or -1 while still running.
    int Wait(int timeoutMs) {
        for (int64_t start = MonotonicNs(); exit_ == -1 && pid_ > 0; SleepMs(5)) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (MsSince(start) >= timeoutMs)
                return -1;
        }
        return exit_;
    }
    void Kill() {
        if (pid_ > 0 && exit_ == -1) kill(pid_, SIGKILL);
    }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int exit_ = -1;
};

bool Eventually(const std::function<bool()> &condition, int timeoutMs) {
    for (int64_t start = MonotonicNs(); !condition(); SleepMs(10))
        if (MsSince(start) >= timeoutMs) return false;
    return true;
}

bool Has(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

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
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    return -1;
}

bool Accepts(uint16_t port) {
    int fd = ConnectTcp(port);
    return fd >= 0 && close(fd) == 0;
}

// What `fd` receives until it holds `expected` or nothing comes for `timeoutMs`.
std::string ReceiveUntil(int fd, const std::string &expected, int timeoutMs) {
    std::string received;
    char buffer[512];
    for (struct pollfd readable = {fd, POLLIN, 0};
         received.find(expected) == std::string::npos && poll(&readable, 1, timeoutMs) == 1;) {
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

// The configuration watcher is up once the process has an inotify descriptor with a watch.
bool Watching(pid_t pid) {
    std::string proc = "/proc/" + std::to_string(pid);
    for (const auto &entry : std::filesystem::directory_iterator(proc + "/fd")) {
        std::error_code error;
        std::string info = ReadFile(proc + "/fdinfo/" + entry.path().filename().string());
        if (std::filesystem::read_symlink(entry.path(), error) == "anon_inode:inotify" &&
            Has(info, "inotify wd:"))
            return true;
    }
    return false;
}

std::string ConfigWith(const std::string &coming, int port) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KorvaneConfiguration>\n  <Datagrams>\n    "
           "<ComingText On=\"true\">" +
           coming + " {EPC}{CR}{LF}</ComingText>\n  </Datagrams>\n  <Port>" + std::to_string(port) +
           "</Port>\n  <KeyboardEmulation>false</KeyboardEmulation>\n</KorvaneConfiguration>\n";
}

class IpcProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sandbox.Error(), "");
        ASSERT_TRUE(WriteFile(sandbox.Path("hidg0"), ""));
        ASSERT_TRUE(WriteFile(sandbox.Path("korvane.config.xml"), ConfigWith("OLD", 14100)));
    }

    void StartKorvane() {
        ASSERT_TRUE(korvane.Start({"-v"}, {{"READERSIM_SOCKET", sandbox.Path("readersim.sock")}}));
        ASSERT_TRUE(
            korvane.WaitForOutput("Korvane: SetConfigFromFile(): Check config file\n", kStartMs));
    }

    // Runs korvane-host with `args` to its end; its exit code.
    int RunTool(HostTool &tool, std::vector<std::string> args) {
        args.insert(args.begin(), {"-t", kToolWait});
        return tool.Start(args) ? tool.Wait(20000) : -1;
    }
    void Stop() {
        korvane.Signal(SIGTERM);
        EXPECT_EQ(korvane.WaitExit(5000), 0);
    }

    Sandbox sandbox;
    KorvaneProcess korvane;
};

TEST_F(IpcProcessTest, HandshakeAndRepliesAreByteExactOnTheWire) {
    FakeHost host(0, 4006);
    StartKorvane();
    tBytes reply;
    ASSERT_TRUE(host.Accept(kStartMs) && host.Read(17, &reply, 2000));
    EXPECT_EQ(HexOf(reply), "5A FF FF FF FF 05 00 05 00 00 00 FF FE FF 00 00 A5");
    ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, 5)));
    const tBytes getVersion = {0x00, 0x00};
    const std::string version = " 05 00 0D 00 00 00 00 00 80 01 00 04 00 01 00 00 00 00 00 A5";
    // Two requests in one chunk: both answered, in order.
    ASSERT_TRUE(host.Write(Bytes({FrameOf(0x01020304, 5, getVersion), FrameOf(5, 5, {0, 1})})));
    ASSERT_TRUE(host.Read(25 + 15, &reply, 5000));
    EXPECT_EQ(HexOf(reply),
              "5A 04 03 02 01" + version + " 5A 05 00 00 00 05 00 03 00 00 00 80 00 81 A5");
    // A request in three pieces 20 ms apart is reassembled; one stalled for 300 ms is dropped
    // and the one after it in the late chunk answered.
    const tBytes split = FrameOf(7, 5, getVersion), stalled = FrameOf(8, 5, getVersion);
    for (size_t from : {0, 5, 10}) {
        ASSERT_TRUE(host.Write(tBytes(&split[from], &split[0] + std::min<size_t>(from + 5, 14))));
        SleepMs(20);
    }
    ASSERT_TRUE(host.Write(tBytes(stalled.begin(), stalled.begin() + 8)));
    SleepMs(300);
    ASSERT_TRUE(
        host.Write(Bytes({tBytes(&stalled[8], &stalled[0] + 14), FrameOf(9, 5, getVersion)})));
    ASSERT_TRUE(host.Read(50, &reply, 5000));
    EXPECT_EQ(HexOf(reply), "5A 07 00 00 00" + version + " 5A 09 00 00 00" + version);
    EXPECT_TRUE(host.QuietFor(300));
    std::string out = korvane.Output();
    EXPECT_EQ(out.find("Timeout reached, couldn't connect the IPC"), std::string::npos) << out;
    EXPECT_EQ(Count(out, "Korvane: WaitForData(): GetVersion\n"), 3u) << out;
    EXPECT_EQ(Count(out, "Korvane: WaitForData(): Unknown command 0x0100\n"), 1u) << out;
    Stop();
    EXPECT_TRUE(host.ClosedWithin(1000));
}

TEST_F(IpcProcessTest, LinkDroppedInTheMiddleOfAFrameLeavesNothingBehind) {
    FakeHost host(0, 4006);
    StartKorvane();
    const tBytes getVersion = {0x00, 0x00};
    const std::string version = " 05 00 0D 00 00 00 00 00 80 01 00 04 00 01 00 00 00 00 00 A5";
    tBytes reply;
    for (uint32_t round = 1; round <= 3; round++) {
        ASSERT_TRUE(host.Accept(kStartMs)) << "round " << round;
        ASSERT_TRUE(host.Read(17, &reply, 2000));
        ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, 5)));
        // Answered on a whole link...
        ASSERT_TRUE(host.Write(FrameOf(0x100 + round, 5, getVersion)));
        ASSERT_TRUE(host.Read(25, &reply, 5000)) << "round " << round;
        EXPECT_EQ(HexOf(reply), "5A 0" + std::to_string(round) + " 01 00 00" + version);
        // ...then the host goes away in the middle of the next request: its
        // first half must not be joined to what the next link brings.
        const tBytes cut = FrameOf(0x200 + round, 5, getVersion);
        ASSERT_TRUE(host.Write(tBytes(cut.begin(), cut.begin() + 4 + round)));
        host.CloseConnection();
    }
    ASSERT_TRUE(host.Accept(kStartMs));
    ASSERT_TRUE(host.Read(17, &reply, 2000));
    ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, 5)));
    ASSERT_TRUE(host.Write(FrameOf(0x300, 5, getVersion)));
    ASSERT_TRUE(host.Read(25, &reply, 5000));
    EXPECT_EQ(HexOf(reply), "5A 00 03 00 00" + version);
    EXPECT_TRUE(host.QuietFor(300)) << "an answer to a cut request";
    EXPECT_EQ(Count(korvane.Output(), "Korvane: WaitForData(): GetVersion\n"), 4u);
    Stop();
}

TEST_F(IpcProcessTest, WithoutHostStartUpGoesOnAfterTwoSeconds) {
    StartKorvane();
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: main(): Timeout reached, couldn't connect the IPC\n", kStartMs));
    Stop();
}

TEST_F(IpcProcessTest, ReconnectsToARestartedHostAtMostOncePerSecond) {
    HostTool first(sandbox, "first");  // stays connected until killed
    ASSERT_TRUE(first.Start({"-t", kToolWait, "-v", "-k", "-1", "GetVersion"}));
    ASSERT_TRUE(Eventually([&] { return Has(first.Err(), "listening on"); }, 5000));
    StartKorvane();
    ASSERT_TRUE(Eventually([&] { return Has(first.Out(), "version 1.4.1"); }, kStartMs));
    first.Kill();
    ASSERT_EQ(first.Wait(5000), 128 + SIGKILL);
    // While the host is down, every attempt is accepted and dropped at once.
    FakeHost host(0, 4006);
    std::vector<int64_t> accepted;
    for (int64_t start = MonotonicNs(); MsSince(start) < 3300;) {
        if (host.Accept(200)) accepted.push_back(host.acceptedNs), host.CloseConnection();
    }
    host.CloseListener();
    ASSERT_GE(accepted.size(), 3u);
    EXPECT_LE(accepted.size(), 4u);
    for (size_t i = 1; i < accepted.size(); i++) {
        EXPECT_GE((accepted[i] - accepted[i - 1]) / 1e6, 995)
            << "attempt " << i << " came too soon";
        EXPECT_LT((accepted[i] - accepted[i - 1]) / 1e6, 1600) << "attempt " << i;
    }
    HostTool second(sandbox, "second");  // the host is back
    EXPECT_EQ(RunTool(second, {"GetVersion"}), 0) << second.Err();
    EXPECT_EQ(second.Out(), "GetVersion: status 0 (ok), reply code 0x8000\nversion 1.4.1\n");
    Stop();
}

TEST_F(IpcProcessTest, SetPortMovesTheServerAndIsAppliedOnce) {
    StartKorvane();
    ASSERT_TRUE(Eventually([] { return Accepts(14100); }, kStartMs));
    ASSERT_TRUE(WriteFile(sandbox.Path("port.xml"),
                          "<KorvaneConfiguration><Port>14101</Port></KorvaneConfiguration>"));
    // Korvane's own save must come while the watcher watches.
    ASSERT_TRUE(Eventually([&] { return Watching(korvane.Pid()); }, kStartMs));
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
    EXPECT_TRUE(Has(ReadFile(sandbox.Path("korvane.config.xml")), "<Port>14101</Port>"));
    EXPECT_EQ(Count(korvane.Output(), "Check config file"), checksBefore + 1);

    // The watcher leaves Korvane's own save alone past its 2-second debounce...
    SleepMs(2700);
    EXPECT_EQ(Count(korvane.Output(), "Check config file"), checksBefore + 1) << korvane.Output();

    // ...but applies an edit made by someone else.
    ASSERT_TRUE(WriteFile(sandbox.Path("korvane.config.xml"), ConfigWith("OLD", 14102)));
    EXPECT_TRUE(Eventually([] { return Accepts(14102); }, 8000)) << korvane.Output();
    EXPECT_EQ(Count(korvane.Output(), "Check config file"), checksBefore + 2);
    Stop();
}

TEST_F(IpcProcessTest, SetDatagramResultChangesWhatClientsReceive) {
    StartKorvane();
    ReaderSimClient reader;
    ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs));
    ASSERT_TRUE(Eventually([] { return Accepts(14100); }, kStartMs));
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
              "GetDatagramResult: status 0 (ok), reply code 0x8004\n<KorvaneConfiguration>\n"
              "  <Datagrams>\n    <ComingText On=\"true\">NEW {EPC} &amp; more{CR}{LF}</ComingText>"
              "\n  </Datagrams>\n</KorvaneConfiguration>\n");
    ASSERT_EQ(reader.Command("tags came epc=0002BBBB antenna=1"), "OK");
    EXPECT_EQ(ReceiveUntil(client, "NEW BBBB0002 & more\r\n", 5000), "NEW BBBB0002 & more\r\n");
    EXPECT_TRUE(Has(ReadFile(sandbox.Path("korvane.config.xml")), "NEW {EPC} &amp; more"));
    close(client);
    Stop();
}

TEST_F(IpcProcessTest, HostHelloOnAnotherChannelSilencesTheReplies) {
    StartKorvane();
    // Korvane answers the Hello and then sends on channel 7 only: no reply on channel 5.
    HostTool other(sandbox, "other");
    EXPECT_EQ(RunTool(other, {"-v", "-H", "7", "-t", "1500", "GetVersion"}), 3) << other.Err();
    EXPECT_TRUE(Has(other.Err(), "GetVersion: timed out after 1500 ms waiting for the reply"));
    EXPECT_TRUE(Has(other.Err(), "received token 4294967295 channel 7: FF FE FF 01 00"))
        << "the HelloAck on channel 7\n"
        << other.Err();
    // A host announcing channel 5 gets its replies.
    HostTool same(sandbox, "same");
    EXPECT_EQ(RunTool(same, {"-H", "5", "-x", "GetVersion", "Code", "0xFFFF", "GetMagicWords"}), 0)
        << same.Err();
    EXPECT_EQ(
        same.Out().rfind("GetVersion: status 0 (ok), reply code 0x8000\n"
                         "payload: 00 00 80 01 00 04 00 01 00 00 00 00 00\nversion 1.4.1\n"
                         "Code 0xFFFF: status 128 (unknown command), reply code 0xFFFF\n"
                         "payload: 80 FF FF\nGetMagicWords: status 0 (ok), reply code 0x8003\n"
                         "payload: 00 03 80 3C 4B 6F",  // "<Ko"
                         0),
        0u)
        << same.Out();
    EXPECT_EQ(Count(same.Out(), "<MagicWord Optional="), 23u);
    Stop();
}

TEST_F(IpcProcessTest, ToolTimesOutAndRejectsBadCommandLines) {
    const std::tuple<std::vector<std::string>, int, const char *> cases[] = {
        {{"-t", "300", "GetVersion"}, 3, "timed out after 300 ms: Korvane did not connect to 127."},
        {{"GetSomething"}, 2, "korvane-host: unknown command 'GetSomething'\n"},
        {{"SetPort"}, 2, "korvane-host: SetPort needs an XML argument\n"},
        {{"SetPort", "@/none/port.xml"}, 1, "korvane-host: cannot read '/none/port.xml'\n"},
        {{"-t", "x", "GetPort"}, 2, "Usage: korvane-host"}};
    for (const auto &c : cases) {
        HostTool tool(sandbox, std::get<2>(c)[0] == 'k' ? "case" : "usage");
        ASSERT_TRUE(tool.Start(std::get<0>(c)));
        EXPECT_EQ(tool.Wait(5000), std::get<1>(c)) << std::get<2>(c);
        EXPECT_TRUE(Has(tool.Err(), std::get<2>(c))) << tool.Err();
        EXPECT_EQ(tool.Out(), "");
    }
}

}  // namespace
