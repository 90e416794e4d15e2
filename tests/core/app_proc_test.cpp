// The korvane process as a whole: options, device type detection, the reader
// connection and handler registration with their exit codes, the worker
// threads, signals and the order of start-up and tear-down.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "core/app.h"
#include "support/e2e.h"
#include "testkit/isolation.h"
#include "testkit/korvane_process.h"
#include "testkit/readersim_client.h"

namespace {

const char kExitedLine[] = "Korvane: main(): Exited normally\n\n";
// Generous for sanitizer builds; the checks that matter measure time itself.
const int kStartMs = 10000;

class KorvaneProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sandbox.Error(), "");
        // A plain file stands in for the keyboard gadget, so the keyboard
        // thread keeps running.
        ASSERT_TRUE(WriteFile(sandbox.Path("hidg0"), ""));
    }

    std::vector<std::pair<std::string, std::string>> Env(
        std::vector<std::pair<std::string, std::string>> extra = {}) {
        extra.emplace_back("READERSIM_SOCKET", sandbox.Path("readersim.sock"));
        extra.emplace_back("READERSIM_CALL_LOG", sandbox.Path("calls.log"));
        return extra;
    }

    // Starts korvane with the simulated reader holding ConnectReader until
    // the test has set up its faults and sent "release".
    void StartHeld(const std::vector<std::string> &args) {
        ASSERT_TRUE(korvane.Start(args, Env({{"READERSIM_HOLD", "1"}})));
        ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs));
    }

    void StartRunning(const std::vector<std::string> &args) {
        ASSERT_TRUE(korvane.Start(args, Env()));
        ASSERT_TRUE(WaitForWorkers(korvane.Pid(), kStartMs)) << korvane.Output();
    }

    // The calls the reader library received, from its call log.
    std::vector<std::string> Calls() { return Split(ReadFile(sandbox.Path("calls.log")), '\n'); }

    Sandbox sandbox;
    KorvaneProcess korvane;
    ReaderSimClient reader;
};

TEST_F(KorvaneProcessTest, VersionOptionPrintsLineKeepsRunningAndTermEndsPromptly) {
    StartRunning({"-i"});
    EXPECT_EQ(korvane.Output(), "Korvane: main(): Version: 1.4.1\n");

    long long signalled = MonotonicMs();
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    long long elapsed = MonotonicMs() - signalled;
    EXPECT_LT(elapsed, 400) << "threads must notice the shutdown within about 100 ms";
    // Verbose is off: nothing but the version line.
    EXPECT_EQ(korvane.Output(), "Korvane: main(): Version: 1.4.1\n");
    EXPECT_EQ(korvane.Errors(), "");
}

TEST_F(KorvaneProcessTest, VerboseShutdownLogsSignalCleanUpAndExitInOrder) {
    StartRunning({"-v", "-i"});
    korvane.Signal(SIGINT);
    ASSERT_EQ(korvane.WaitExit(5000), 0);
    std::string out = korvane.Output();
    size_t version = out.find("Korvane: main(): Version: 1.4.1\n");
    size_t caught =
        out.find("Korvane: SignalHandler(): Signal catched (2): Shutting down application\n");
    size_t cleanUp = out.find("Korvane: main(): Clean up\n");
    ASSERT_NE(version, std::string::npos) << out;
    ASSERT_NE(caught, std::string::npos) << out;
    ASSERT_NE(cleanUp, std::string::npos) << out;
    EXPECT_LT(version, caught);
    EXPECT_LT(caught, cleanUp);
    ASSERT_GE(out.size(), sizeof(kExitedLine) - 1);
    EXPECT_EQ(out.substr(out.size() - (sizeof(kExitedLine) - 1)), kExitedLine)
        << "the last line is the exit line followed by an empty line";
}

TEST_F(KorvaneProcessTest, UnknownOptionIsReportedByGetoptAndIgnored) {
    StartRunning({"-x", "-v"});
    EXPECT_NE(korvane.Errors().find("invalid option"), std::string::npos) << korvane.Errors();
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    EXPECT_NE(korvane.Output().find(kExitedLine), std::string::npos) << "-v after -x still counts";
}

struct DeviceTypeCase {
    const char *name;
    const char *printed;  // what the version tool prints
    bool known;
};

class DeviceTypeTest : public KorvaneProcessTest,
                       public ::testing::WithParamInterface<DeviceTypeCase> {};

TEST_P(DeviceTypeTest, DecidesBetweenRunningAndExitCodeFive) {
    ASSERT_TRUE(korvane.Start({"-v"}, Env({{"READERSIM_DEVICE_TYPE", GetParam().printed}})));
    if (GetParam().known) {
        ASSERT_TRUE(WaitForWorkers(korvane.Pid(), kStartMs)) << korvane.Output();
        korvane.Signal(SIGTERM);
        EXPECT_EQ(korvane.WaitExit(5000), 0);
        return;
    }
    EXPECT_EQ(korvane.WaitExit(kStartMs), kExitNoDeviceType);
    EXPECT_EQ(
        korvane.Output(),
        std::string("Korvane: main(): Could not determine communication type\n") + kExitedLine);
    EXPECT_TRUE(Calls().empty()) << "nothing may reach the reader without a device type";
}

INSTANTIATE_TEST_SUITE_P(
    VersionToolOutputs, DeviceTypeTest,
    ::testing::Values(
        DeviceTypeCase{"First", "A1F04C62-7B3D-4E91-8D25-6C0E9B47F318", true},
        DeviceTypeCase{"SecondInLowerCase", "b7293e05-4da1-4c6f-9e38-1f52a0c6d974", true},
        DeviceTypeCase{"Third", "C3E8157A-20F9-4B84-A6D1-9E47B2530C8F", true},
        DeviceTypeCase{"Nothing", "", false},
        DeviceTypeCase{"Unknown", "D4E8157A-20F9-4B84-A6D1-9E47B2530C8F", false},
        DeviceTypeCase{"TrailingBlank", "A1F04C62-7B3D-4E91-8D25-6C0E9B47F318 ", false},
        DeviceTypeCase{"Truncated", "A1F04C62", false}),
    [](const ::testing::TestParamInfo<DeviceTypeCase> &info) { return info.param.name; });

TEST_F(KorvaneProcessTest, ExitCodeFiveIsSilentWithoutVerbose) {
    ASSERT_TRUE(korvane.Start({}, Env({{"READERSIM_DEVICE_TYPE", "unknown"}})));
    EXPECT_EQ(korvane.WaitExit(kStartMs), kExitNoDeviceType);
    EXPECT_EQ(korvane.Output(), "");
}

// Without its signal pipe and thread SIGTERM would end Korvane without
// tear-down: it must not start at all. A low limit on open descriptors makes
// the pipe fail; how many the runtime (a sanitizer's, say) needs first
// varies, so the limit climbs until the pipe is the first thing refused.
TEST_F(KorvaneProcessTest, NoSignalHandlingEndsStartUpWithItsOwnExitCode) {
#if KORVANE_SANITIZED_BUILD
    GTEST_SKIP() << "a sanitizer's runtime fails by itself on so few descriptors";
#endif
    bool refused = false;
    for (int limit = 4; limit <= 32 && !refused; limit++) {
        SCOPED_TRACE("descriptors " + std::to_string(limit));
        KorvaneProcess limited;
        ASSERT_TRUE(limited.StartProgram(
            {"prlimit", "--nofile=" + std::to_string(limit), KorvaneProcess::BinaryPath(), "-v"},
            Env({{"READERSIM_DEVICE_TYPE", "unknown"}})));
        int code = limited.WaitExit(kStartMs);
        if (code == kExitNoSignalHandling) {
            EXPECT_EQ(
                limited.Output(),
                std::string("Korvane: main(): Can't set up the signal handling\n") + kExitedLine);
            refused = true;
        } else {
            // Too few to load the program at all (127), or enough for the
            // pipe and the thread: start-up goes on to the device type.
            EXPECT_TRUE(code == 127 || code == kExitNoDeviceType) << code << limited.Output();
        }
    }
    EXPECT_TRUE(refused);
}

TEST_F(KorvaneProcessTest, FailedConnectEndsWithExitCodeFour) {
    StartHeld({"-v"});
    ASSERT_EQ(reader.Command("fail ConnectReader"), "OK");
    ASSERT_EQ(reader.Command("release"), "OK");
    EXPECT_EQ(korvane.WaitExit(kStartMs), kExitConnectFailed);
    EXPECT_EQ(korvane.Output(),
              std::string("Korvane: main(): Reader connect error\n") + kExitedLine);
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 1u) << ReadFile(sandbox.Path("calls.log"));
    EXPECT_EQ(calls[0].rfind("ConnectReader(", 0), 0u);
}

const char *const kRegistrations[] = {
    "SetDllResultHandlerASyncGetEPCs",
    "SetDllResultHandlerASyncReadDataAny",
    "SetDllResultHandlerASyncReadDataUntilEndOfBankAny",
    "SetDllResultHandlerASyncStopCommand",
    "SetDllResultHandlerGetExtendedResultFlag",
    "SetDllResultHandlerSetExtendedResultFlag",
};

class RegistrationFailureTest : public KorvaneProcessTest,
                                public ::testing::WithParamInterface<int> {};

TEST_P(RegistrationFailureTest, StopsRegisteringDisconnectsAndExitsWithTwo) {
    int failing = GetParam();
    StartHeld({"-v"});
    ASSERT_EQ(reader.Command(std::string("fail ") + kRegistrations[failing]), "OK");
    ASSERT_EQ(reader.Command("release"), "OK");
    EXPECT_EQ(korvane.WaitExit(kStartMs), kExitHandlersFailed);
    EXPECT_EQ(korvane.Output(),
              std::string("Korvane: main(): Can't set result handlers for ASync functions\n") +
                  kExitedLine);

    // ConnectReader, the registrations up to the failing one, DisconnectReader.
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(failing) + 3)
        << ReadFile(sandbox.Path("calls.log"));
    for (int i = 0; i <= failing; i++) {
        EXPECT_EQ(calls[i + 1].rfind(std::string(kRegistrations[i]) + "(", 0), 0u) << calls[i + 1];
    }
    EXPECT_EQ(calls.back().rfind("DisconnectReader(", 0), 0u) << calls.back();
}

INSTANTIATE_TEST_SUITE_P(EachOfTheSix, RegistrationFailureTest, ::testing::Range(0, 6));

TEST_F(KorvaneProcessTest, ConnectParamsAreByteExact) {
    StartHeld({});
    ASSERT_EQ(reader.Command("release"), "OK");
    ASSERT_TRUE(WaitForWorkers(korvane.Pid(), kStartMs));
    // Communication type 4, "127.0.0.1" at 6, 2000 little-endian at 264.
    std::string expected(560, '0');
    expected.replace(0, 2, "04");
    expected.replace(12, 20, "3132372e302e302e3100");
    expected.replace(528, 8, "d0070000");
    EXPECT_EQ(reader.Command("connectparams"), "OK " + expected);
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(KorvaneProcessTest, StartUpAndTearDownReachTheReaderInOrder) {
    StartRunning({});
    korvane.Signal(SIGTERM);
    ASSERT_EQ(korvane.WaitExit(5000), 0);
    std::vector<std::string> calls = Calls();
    std::vector<std::string> names;
    for (const std::string &call : calls)
        names.push_back(call.substr(0, call.find('(')));
    std::vector<std::string> expected{"ConnectReader"};
    expected.insert(expected.end(), std::begin(kRegistrations), std::end(kRegistrations));
    // Without a configuration file no datagram needs the reader: it is stopped.
    expected.push_back("ASyncStopCommand");
    expected.push_back("ASyncStopCommand");
    expected.insert(expected.end(), std::begin(kRegistrations), std::end(kRegistrations));
    expected.push_back("DisconnectReader");
    ASSERT_EQ(names, expected) << ReadFile(sandbox.Path("calls.log"));
    // Start-up registers handlers, tear-down removes them.
    for (size_t i = 1; i <= 6; i++)
        EXPECT_EQ(calls[i].find("null"), std::string::npos) << calls[i];
    for (size_t i = 9; i <= 14; i++) {
        EXPECT_EQ(calls[i].find("set"), std::string::npos) << calls[i];
    }
}

TEST_F(KorvaneProcessTest, SignalsParentOnlyOnceAllWorkersExist) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);
    ASSERT_TRUE(korvane.Start({"-s", "-v"}, Env()));

    siginfo_t info = {};
    struct timespec limit = {kStartMs / 1000, 0};
    int caught = sigtimedwait(&usr1, &info, &limit);
    ASSERT_EQ(caught, SIGUSR1) << korvane.Output();
    // Checked at once, while the parent still holds the signal's news.
    EXPECT_TRUE(HasAllWorkers(korvane.Pid()));
    EXPECT_EQ(info.si_pid, korvane.Pid());
    EXPECT_TRUE(korvane.WaitForOutput("Korvane: main(): Sending signal to parent\n", 1000));

    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
}

TEST_F(KorvaneProcessTest, WithoutDashSTheParentIsNotSignalled) {
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);
    StartRunning({"-v"});
    struct timespec limit = {0, 300 * 1000000};
    EXPECT_EQ(sigtimedwait(&usr1, nullptr, &limit), -1);
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
}

// A helper process with its standard output on a file sends `signal` to
// korvane; korvane moves its own output to that file.
pid_t SendFromProcessWithOutput(const std::string &file, pid_t target, int signal) {
    pid_t sender = fork();
    if (sender == 0) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        kill(target, signal);
        // Stay alive until korvane has reopened our output.
        usleep(3000 * 1000);
        _exit(0);
    }
    return sender;
}

TEST_F(KorvaneProcessTest, Usr1MovesTheLogToTheSenderAndUsr2SilencesIt) {
    StartRunning({});
    std::string onFile = sandbox.Path("on.out");
    pid_t onSender = SendFromProcessWithOutput(onFile, korvane.Pid(), SIGUSR1);
    ASSERT_GT(onSender, 0);
    std::string onLine =
        "Korvane: VerboseSignalHandler(): Signal catched (10): Verbose mode on from PID " +
        std::to_string(onSender) + "\n";
    long long deadline = MonotonicMs() + 5000;
    while (ReadFile(onFile).find(onLine) == std::string::npos && MonotonicMs() < deadline) {
        usleep(10000);
    }
    EXPECT_NE(ReadFile(onFile).find(onLine), std::string::npos) << ReadFile(onFile);

    std::string offFile = sandbox.Path("off.out");
    pid_t offSender = SendFromProcessWithOutput(offFile, korvane.Pid(), SIGUSR2);
    ASSERT_GT(offSender, 0);
    std::string offLine =
        "Korvane: VerboseSignalHandler(): Signal catched (12): Verbose mode off from PID " +
        std::to_string(offSender) + "\n";
    deadline = MonotonicMs() + 5000;
    while (ReadFile(offFile).find(offLine) == std::string::npos && MonotonicMs() < deadline) {
        usleep(10000);
    }
    EXPECT_EQ(ReadFile(offFile), offLine) << "the off line goes to the sender, nothing else";

    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    // Verbose is off again and the output went to /dev/null: no shutdown
    // lines anywhere.
    EXPECT_EQ(ReadFile(offFile), offLine);
    EXPECT_EQ(ReadFile(onFile).find("Clean up"), std::string::npos);
    EXPECT_EQ(korvane.Output(), "");
    kill(onSender, SIGKILL);
    kill(offSender, SIGKILL);
    waitpid(onSender, nullptr, 0);
    waitpid(offSender, nullptr, 0);
}

// Forks a sender of SIGUSR1 whose standard output is `fd`; it stays alive
// for 3 s so that korvane can open its output.
pid_t SendUsr1WithOutputOn(int fd, pid_t target) {
    pid_t sender = fork();
    if (sender == 0) {
        dup2(fd, STDOUT_FILENO);
        kill(target, SIGUSR1);
        usleep(3000 * 1000);
        _exit(0);
    }
    return sender;
}

void EndSender(pid_t sender) {
    kill(sender, SIGKILL);
    waitpid(sender, nullptr, 0);
}

TEST_F(KorvaneProcessTest, LogPipeWhoseReaderLeftDoesNotEndTheDaemon) {
    StartRunning({});
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    pid_t sender = SendUsr1WithOutputOn(pipeFds[1], korvane.Pid());
    ASSERT_GT(sender, 0);
    close(pipeFds[1]);
    // Korvane writes its first line into the pipe; then its reader goes.
    std::string got;
    char buffer[256];
    struct pollfd readable = {pipeFds[0], POLLIN, 0};
    while (got.find("Verbose mode on") == std::string::npos && poll(&readable, 1, 5000) == 1) {
        ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_NE(got.find("Verbose mode on"), std::string::npos) << got;
    close(pipeFds[0]);
    EndSender(sender);

    // Logging goes on into a pipe nobody reads: each line fails, nothing
    // more. A client connecting is logged; korvane still serves it.
    TcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", 14007, kStartMs));
    usleep(500 * 1000);
    EXPECT_TRUE(korvane.Running());
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
}

TEST_F(KorvaneProcessTest, Usr1FromASenderWhoseOutputCannotBeOpenedKeepsTheLog) {
    StartRunning({});
    // /proc/<pid>/fd/1 of a socket cannot be opened.
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    pid_t sender = SendUsr1WithOutputOn(sockets[1], korvane.Pid());
    ASSERT_GT(sender, 0);
    std::string line =
        "Korvane: VerboseSignalHandler(): Signal catched (10): Verbose mode on from "
        "PID " +
        std::to_string(sender) + "\n";
    EXPECT_TRUE(korvane.WaitForOutput(line, 5000)) << korvane.Output();
    EndSender(sender);
    close(sockets[0]);
    close(sockets[1]);
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    EXPECT_NE(korvane.Output().find("Korvane: main(): Clean up\n"), std::string::npos);
}

TEST_F(KorvaneProcessTest, Usr1WithoutSenderKeepsOutputAndTurnsLoggingOn) {
    StartRunning({});
    // A queued signal may carry any sender id; 0 means unknown.
    siginfo_t info = {};
    info.si_signo = SIGUSR1;
    info.si_code = SI_QUEUE;
    info.si_pid = 0;
    info.si_uid = getuid();
    ASSERT_EQ(syscall(SYS_rt_sigqueueinfo, korvane.Pid(), SIGUSR1, &info), 0);
    EXPECT_TRUE(korvane.WaitForOutput(
        "Korvane: VerboseSignalHandler(): Signal catched (10): Verbose mode on from PID 0\n", 5000))
        << korvane.Output();
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(5000), 0);
    // Logging is on now, so the shutdown is logged on the original output.
    EXPECT_NE(korvane.Output().find("Korvane: main(): Clean up\n"), std::string::npos);
    EXPECT_NE(korvane.Output().find(kExitedLine), std::string::npos);
}

}  // namespace
