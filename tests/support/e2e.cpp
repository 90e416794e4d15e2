// End-to-end helpers: configuration texts, the korvane fixture.
#include "support/e2e.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

const char *const kWorkerNames[7] = {"WaitForData",    "HandleNewTags",  "WatchConfigFile",
                                     "CfgFileChanged", "WaitForClients", "PollClients",
                                     "KeybEmulation"};

bool HasAllWorkers(pid_t pid) {
    std::vector<std::string> names = ThreadNames(pid);
    for (const char *worker : kWorkerNames) {
        if (std::find(names.begin(), names.end(), worker) == names.end()) return false;
    }
    return true;
}

bool WaitForWorkers(pid_t pid, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    while (MonotonicMs() < deadline) {
        if (HasAllWorkers(pid)) return true;
        SleepMs(10);
    }
    return false;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

size_t CountOf(const std::string &text, const std::string &needle) {
    if (needle.empty()) return 0;
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        count++;
    }
    return count;
}

// ---- Configuration texts

std::string ConfigXml(const std::string &datagrams, const char *port, const char *keyboard) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KorvaneConfiguration>\n";
    if (!datagrams.empty()) xml += datagrams;
    if (port != nullptr) xml += std::string("  <Port>") + port + "</Port>\n";
    if (keyboard != nullptr) {
        xml += std::string("  <KeyboardEmulation>") + keyboard + "</KeyboardEmulation>\n";
    }
    return xml + "</KorvaneConfiguration>\n";
}

std::string TestDatagrams(const std::string &startText) {
    return "  <Datagrams>\n"
           "    <ComingText On=\"true\">IN {EPC}{TAB}{AntennaPort}{CR}{LF}</ComingText>\n"
           "    <GoingText On=\"true\">OUT {EPC}{CR}{LF}</GoingText>\n"
           "    <StartText On=\"true\">" +
           startText +
           "</StartText>\n"
           "    <HeartbeatText On=\"true\"># beat{CR}{LF}</HeartbeatText>\n"
           "    <StopText On=\"true\"># stop{CR}{LF}</StopText>\n"
           "  </Datagrams>\n";
}

std::string ComingBytes(const std::string &renderedEpc, int antenna) {
    return "IN " + renderedEpc + "\t" + std::to_string(antenna) + "\r\n";
}

// ---- Fixture

constexpr int KorvaneE2eTest::kStartMs;
constexpr int KorvaneE2eTest::kArriveMs;
constexpr int KorvaneE2eTest::kQuietMs;

void KorvaneE2eTest::SetUp() {
    ASSERT_EQ(sandbox.Error(), "");
    // A plain file stands in for the keyboard gadget, so the keyboard thread
    // keeps running.
    ASSERT_TRUE(WriteFile(sandbox.Path("hidg0"), ""));
}

std::vector<std::pair<std::string, std::string>> KorvaneE2eTest::Env(
    std::vector<std::pair<std::string, std::string>> extra) const {
    extra.emplace_back("READERSIM_SOCKET", sandbox.Path("readersim.sock"));
    extra.emplace_back("READERSIM_CALL_LOG", sandbox.Path("calls.log"));
    return extra;
}

void KorvaneE2eTest::SaveConfig(const std::string &text) {
    ASSERT_TRUE(WriteFile(ConfigPath(), text));
}

void KorvaneE2eTest::StartKorvane(const std::vector<std::string> &args) {
    ASSERT_TRUE(korvane.Start(args, Env()));
    ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs)) << korvane.Output();
    if (!WaitForWorkers(korvane.Pid(), kStartMs)) {
        std::string running;
        for (const std::string &name : ThreadNames(korvane.Pid()))
            running += " " + name;
        FAIL() << "not every worker thread runs; threads:" << running << "\n" << korvane.Output();
    }
    WaitWatching();
}

int KorvaneE2eTest::OpenGadgetFifo() {
    const std::string gadget = sandbox.Path("hidg0");
    unlink(gadget.c_str());
    if (mkfifo(gadget.c_str(), 0600) != 0) return -1;
    return open(gadget.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

void KorvaneE2eTest::WaitWatching() {
    // An inotify descriptor of the process that holds a watch shows it in
    // its fdinfo.
    const std::string fdinfo = "/proc/" + std::to_string(korvane.Pid()) + "/fdinfo";
    for (long long start = MonotonicMs();; SleepMs(10)) {
        for (const auto &entry : std::filesystem::directory_iterator(fdinfo))
            if (ReadFile(entry.path().string()).find("inotify wd:") != std::string::npos) return;
        ASSERT_LT(MonotonicMs() - start, kStartMs) << "the watcher never watched";
    }
}

void KorvaneE2eTest::StopKorvane() {
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(kStartMs), 0) << korvane.Errors();
}

std::vector<std::string> KorvaneE2eTest::CallNames() {
    std::vector<std::string> names;
    for (const std::string &call : Split(ReadFile(sandbox.Path("calls.log")), '\n'))
        names.push_back(call.substr(0, call.find('(')));
    return names;
}

size_t KorvaneE2eTest::CallCount(const std::string &name) {
    std::vector<std::string> names = CallNames();
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

bool KorvaneE2eTest::WaitForCall(const std::string &name, size_t count, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        if (CallCount(name) >= count) return true;
        if (MonotonicMs() >= deadline) return false;
        SleepMs(10);
    }
}

bool KorvaneE2eTest::WaitForOutputCount(const std::string &text, size_t count, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        if (OutputCount(text) >= count) return true;
        if (MonotonicMs() >= deadline) return false;
        SleepMs(5);
    }
}

int KorvaneE2eTest::WaitForClientLogged(const std::string &host, size_t nth, int timeoutMs) {
    const std::string prefix = "Korvane: WaitForClients(): Client " + host + " (";
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        std::string out = korvane.Output();
        size_t seen = 0;
        for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
            size_t number = at + prefix.size();
            size_t close = out.find(") connected\n", number);
            if (close == std::string::npos) break;
            if (++seen == nth) return atoi(out.substr(number, close - number).c_str());
        }
        if (MonotonicMs() >= deadline) return -1;
        SleepMs(5);
    }
}
