// Tests of the simulated reader library (platform/readerlib). Handler calls are
// recorded as text; Fence() sends a marker status and returns what came before it,
// checking that handlers ran on the delivery thread, not the caller's.
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader/reader_lib.h"
#include "support/emulator.h"
#include "testkit/clock.h"
#include "testkit/readersim_client.h"

extern char **environ;

namespace {

const uint32_t kHandle = 0x4B56;
const uint32_t kNotConnected = 2;
const char kIdle[] = "OK running=none handle=19286 connected=1 flags=0 auto=0";

// The words of an event or command line, separated by blanks.
template <typename... T>
std::string Line(const T &...words) {
    std::ostringstream text;
    ((text << words << ' '), ...);
    std::string line = text.str();
    line.pop_back();
    return line;
}

struct CopiedRecord {
    std::string bytes;
    ReaderTagRecord record;
    std::vector<uint16_t> data;
};

struct Event {
    std::string text;
    std::vector<CopiedRecord> records;
    pthread_t thread;
    bool nested;  // delivered while the start handler ran
};

std::string Join(const std::vector<Event> &events) {
    std::string text;
    for (const Event &e : events)
        text += (text.empty() ? "" : " | ") + e.text;
    return text;
}

std::mutex gMutex;
std::condition_variable gChanged;
std::vector<Event> gEvents;
std::atomic<int> gStartDelayMs{0};
std::atomic<bool> gInStartHandler{false};

void Record(std::string text, std::vector<CopiedRecord> records = {}) {
    std::lock_guard<std::mutex> lock(gMutex);
    gEvents.push_back({std::move(text), std::move(records), pthread_self(), gInStartHandler});
    gChanged.notify_all();
}

std::vector<Event> TakeEvents() {
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<Event> taken;
    taken.swap(gEvents);
    return taken;
}

bool WaitForEvents(int timeoutMs, const std::function<bool(const std::vector<Event> &)> &done) {
    std::unique_lock<std::mutex> lock(gMutex);
    return gChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return done(gEvents); });
}

void ResetRecorder() {
    TakeEvents();
    gStartDelayMs = 0;
}

const char *const kTargets[] = {"inventory", "read", "readuntil"};

template <int kTarget>
void OnStatus(uint32_t code, uint32_t status, uint32_t handle) {
    Record(Line("status", kTargets[kTarget], code, status, handle));
    if (status != 255) return;
    gInStartHandler = true;
    if (gStartDelayMs > 0) SleepMs(gStartDelayMs);
    gInStartHandler = false;
}

template <int kTarget>
void OnTags(uint32_t event, uint32_t unused, const ReaderTagRecord *first) {
    std::vector<CopiedRecord> records;
    for (const ReaderTagRecord *r = first; r != nullptr && records.size() < 10000; r = r->next) {
        records.emplace_back();
        records.back().bytes.assign(reinterpret_cast<const char *>(r), sizeof(*r));
        memcpy(&records.back().record, r, sizeof(*r));
        if (r->data != nullptr) records.back().data.assign(r->data, r->data + r->dataLength);
    }
    std::string text =
        Line("tags", kTargets[kTarget], event, unused, "n=" + std::to_string(records.size()));
    Record(std::move(text), std::move(records));
}

const char *const kResults[] = {"stop", "getflag", "setflag"};
template <int kWhich>
void OnResult(uint32_t value, uint32_t handle) {
    Record(Line(kResults[kWhich], value, handle));
}

void Register(bool on) {
    EXPECT_EQ(SetDllResultHandlerASyncGetEPCs(on ? OnStatus<0> : nullptr, on ? OnTags<0> : nullptr),
              0u);
    EXPECT_EQ(
        SetDllResultHandlerASyncReadDataAny(on ? OnStatus<1> : nullptr, on ? OnTags<1> : nullptr),
        0u);
    EXPECT_EQ(SetDllResultHandlerASyncReadDataUntilEndOfBankAny(on ? OnStatus<2> : nullptr,
                                                                on ? OnTags<2> : nullptr),
              0u);
    EXPECT_EQ(SetDllResultHandlerASyncStopCommand(on ? OnResult<0> : nullptr), 0u);
    EXPECT_EQ(SetDllResultHandlerGetExtendedResultFlag(on ? OnResult<1> : nullptr), 0u);
    EXPECT_EQ(SetDllResultHandlerSetExtendedResultFlag(on ? OnResult<2> : nullptr), 0u);
}

tConnectParams MakeParams() {
    tConnectParams params;
    memset(&params, 0, sizeof(params));
    params.commType = 3;
    memcpy(params.address, "127.0.0.1", 10);
    params.reserved16[100] = 0xAB;  // every byte must be carried, not only fields
    params.timeout = 2000;
    return params;
}

bool PathExists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string TempDir() {
    char pattern[] = "/tmp/readersim-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "";
}

// Threads of this process, waiting up to timeoutMs for the count to be `expected`.
int ThreadCount(int expected = -1, int timeoutMs = 0) {
    for (int waited = 0;; waited += 10) {
        int count = -2;  // "." and ".."
        DIR *dir = opendir("/proc/self/task");
        while (dir != nullptr && readdir(dir) != nullptr)
            ++count;
        if (dir != nullptr) closedir(dir);
        if (count == expected || waited >= timeoutMs) return count;
        SleepMs(10);
    }
}

// The thread count once it has stayed the same for 50 ms (at most 2 s). A
// joined thread can still be listed for a moment after the join returns; under
// qemu-user until the emulator's host thread for it has ended.
int SettledThreadCount() {
    int count = ThreadCount();
    for (int stable = 0, waited = 0; stable < 5 && waited < 2000; waited += 10) {
        SleepMs(10);
        int now = ThreadCount();
        stable = now == count ? stable + 1 : 0;
        count = now;
    }
    return count;
}

class ReaderSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TempDir();
        ASSERT_FALSE(dir_.empty());
        socket_ = dir_ + "/control.sock";
        ASSERT_EQ(setenv("READERSIM_SOCKET", socket_.c_str(), 1), 0);
        ResetRecorder();
        Register(true);
        params_ = MakeParams();
        handle_ = ConnectReader(&params_, 0);
        ASSERT_EQ(handle_, kHandle);
        ASSERT_TRUE(client_.Connect(socket_, 5000));
        ASSERT_EQ(Cmd("calls clear"), "OK");
    }

    void TearDown() override {
        client_.Close();
        if (handle_ != 0) DisconnectReader(handle_);
        Register(false);
        EXPECT_FALSE(PathExists(socket_)) << "DisconnectReader left the control socket";
        unlink(socket_.c_str());
        unsetenv("READERSIM_SOCKET");
        if (!dir_.empty()) rmdir(dir_.c_str());
        ResetRecorder();
    }

    std::string Cmd(const std::string &line) { return client_.Command(line); }

    std::vector<Event> Fence() {
        uint32_t marker = 0xFE000000u + ++fences_;
        EXPECT_EQ(Cmd(Line("status 0", marker, "via=inventory")), "OK");
        std::vector<Event> events = TakeEvents();
        if (events.empty() || events.back().text != Line("status inventory 0", marker, 19286)) {
            ADD_FAILURE() << "fence missing or not last: " << Join(events);
            return events;
        }
        pthread_t delivery = events.back().thread;
        events.pop_back();
        for (const Event &e : events) {
            EXPECT_FALSE(pthread_equal(e.thread, pthread_self())) << e.text << ": caller's thread";
            EXPECT_TRUE(pthread_equal(e.thread, delivery)) << e.text << ": not the delivery thread";
            EXPECT_FALSE(e.nested) << e.text << ": delivered inside the start handler";
        }
        return events;
    }

    std::string FenceText() { return Join(Fence()); }

    std::string dir_;
    std::string socket_;
    tConnectParams params_{};
    uint32_t handle_ = 0;
    ReaderSimClient client_;
    uint32_t fences_ = 0;
};

TEST_F(ReaderSimTest, StartComesFirstAndStopIsResultThenStatusZero) {
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status inventory 0 0 19286");

    gStartDelayMs = 60;  // what is queued during a slow start handler still follows it
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);
    EXPECT_EQ(Cmd("tags came epc=1111"), "OK");
    EXPECT_EQ(Cmd("report heartbeat"), "OK");
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "status read 0 255 19286 | tags read 255 0 n=1 | status read 0 128 19286 | "
              "stop 0 19286 | status read 0 0 19286");
    EXPECT_EQ(Cmd("state"), kIdle);

    EXPECT_EQ(Cmd("stopresult 0x10"), "OK");
    ASSERT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 2, 0, 255), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "status readuntil 0 255 19286 | stop 16 19286 | status readuntil 0 0 19286");
}

TEST_F(ReaderSimTest, TagChainCarriesEveryFieldByteExactInOrder) {
    ASSERT_EQ(Cmd("tags came epc=300833B2DDD9014000000001 epclen=6 antenna=0x21 rssi=200 "
                  "rssidbm=-61 pc=3000 xpc1=8001 xpc2=0x00A5 result=0 data=11112222 datalen=2 "
                  "ts=1700000000123 | epc=E2801160600002054E5A1B2C antenna=2 rssi=0 "
                  "rssidbm=-32768 pc=0x3400 result=0x0B ts=0xFFFFFFFFFFFFFFFF"),
              "OK");
    ReaderTagRecord want[2];
    memset(want, 0, sizeof(want));
    const uint16_t epc0[] = {0x3008, 0x33B2, 0xDDD9, 0x0140, 0x0000, 0x0001};
    const uint16_t epc1[] = {0xE280, 0x1160, 0x6000, 0x0205, 0x4E5A, 0x1B2C};
    memcpy(want[0].epc, epc0, sizeof(epc0));
    want[0].epcLength = 6;
    want[0].antenna = 0x21;
    want[0].rssi = 200;
    want[0].rssiDbm = -61;
    want[0].pc = 0x3000;
    want[0].xpcW1 = 0x8001;
    want[0].xpcW2 = 0x00A5;
    want[0].dataLength = 2;
    want[0].timestampMs = 1700000000123ull;
    memcpy(want[1].epc, epc1, sizeof(epc1));
    want[1].epcLength = 6;
    want[1].antenna = 2;
    want[1].rssiDbm = -32768;
    want[1].pc = 0x3400;
    want[1].readResult = 0x0B;
    want[1].timestampMs = UINT64_MAX;
    const std::vector<uint16_t> words[] = {{0x1111, 0x2222}, {}};

    std::vector<Event> events = Fence();
    ASSERT_EQ(Join(events), "tags inventory 255 0 n=2");
    for (size_t i = 0; i < 2; ++i) {
        std::string bytes = events[0].records[i].bytes;  // pointers left out
        memset(&bytes[offsetof(ReaderTagRecord, data)], 0, sizeof(want[i].data));
        memset(&bytes[offsetof(ReaderTagRecord, next)], 0, sizeof(want[i].next));
        EXPECT_EQ(bytes, std::string(reinterpret_cast<const char *>(&want[i]), sizeof(want[i])))
            << "record " << i;
        EXPECT_EQ(events[0].records[i].data, words[i]) << "record " << i;
    }
}

TEST_F(ReaderSimTest, ReportsGoToTheChosenHandlerWithAForeignHandle) {
    EXPECT_EQ(Cmd("report start code=4 handle=0x1234 via=read"), "OK");
    EXPECT_EQ(Cmd("tags left via=readuntil epc=0001"), "OK");
    EXPECT_EQ(FenceText(), "status read 4 255 4660 | tags readuntil 0 0 n=1");
}

TEST_F(ReaderSimTest, FailAndWithholdUntilOkAndDeliver) {
    EXPECT_EQ(Cmd("fail ASyncGetEPCs 9"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 9u);
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("state"), kIdle);
    EXPECT_EQ(Cmd("ok ASyncGetEPCs"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");

    EXPECT_EQ(Cmd("withhold ASyncStopCommand"), "OK");
    EXPECT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(Cmd("state"), kIdle);
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("deliver ASyncStopCommand"), "OK");
    EXPECT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status inventory 0 0 19286");
}

TEST_F(ReaderSimTest, CallsAndConnectParamsShowWhatTheLibraryReceived) {
    EXPECT_EQ(ASyncGetEPCs(0x1234), kNotConnected);
    EXPECT_EQ(FenceText(), "");
    ASSERT_EQ(ASyncReadDataAny(handle_, 0x11223344, 3, 2, 4), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 0u);
    EXPECT_EQ(Cmd("calls"),
              "OK ASyncGetEPCs(4660);ASyncReadDataAny(19286,287454020,3,2,4);"
              "SetDllResultHandlerASyncStopCommand(null)");
    EXPECT_EQ(Cmd("calls clear"), "OK");

    std::string params = "03" + std::string(5 * 2, '0') + "3132372e302e302e3100" +
                         std::string(100 * 2, '0') + "ab" + std::string(147 * 2, '0') + "d0070000" +
                         std::string(12 * 2, '0');
    EXPECT_EQ(Cmd("connectparams"), "OK " + params);
}

TEST_F(ReaderSimTest, BadLinesGetErrAndTheLibraryKeepsWorking) {
    for (const char *line : {"", "bogus", "fail NoSuchFunction", "flags 256", "report sideways",
                             "tags came epc=123", "tags came colour=red"}) {
        EXPECT_EQ(Cmd(line).compare(0, 4, "ERR "), 0) << "'" << line << "'";
    }
    std::string longest = "tags came epc=1234 ts=7";
    longest.resize(64 * 1024, ' ');
    EXPECT_EQ(Cmd(longest + " "), "ERR line too long");
    EXPECT_EQ(Cmd(longest), "OK");
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    std::vector<Event> events = Fence();
    ASSERT_EQ(Join(events), "tags inventory 255 0 n=1 | status inventory 0 255 19286");
    EXPECT_EQ(events[0].records[0].record.timestampMs, 7u);
}

TEST_F(ReaderSimTest, FloodDeliversNumberedStampedTagsInChainsAtTheRate) {
    EXPECT_EQ(Cmd("flood 0").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(Cmd("flood 5 chain=0").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(Cmd("flood 5 colour=red").compare(0, 4, "ERR "), 0);

    // 23 tags in chains of 5 at 230 tags/s: about 100 ms, last chain short.
    struct timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    ASSERT_EQ(Cmd("flood 23 chain=5 rate=230 via=read"), "OK");
    ASSERT_TRUE(WaitForEvents(5000, [](const std::vector<Event> &events) {
        size_t records = 0;
        for (const Event &e : events)
            records += e.records.size();
        return records >= 23;
    }));
    std::vector<Event> events = Fence();
    EXPECT_EQ(Cmd("flood"), "OK 0");
    ASSERT_EQ(events.size(), 5u) << Join(events);
    uint64_t start =
        static_cast<uint64_t>(before.tv_sec) * 1000000000u + static_cast<uint64_t>(before.tv_nsec);
    uint64_t previous = start;
    uint32_t sequence = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].text, Line("tags read 255 0", i < 4 ? "n=5" : "n=3"));
        uint64_t chainStamp = 0;
        for (const CopiedRecord &copied : events[i].records) {
            const ReaderTagRecord &r = copied.record;
            EXPECT_EQ(r.epcLength, 6);
            // Written last word first: the sequence number, then the time.
            EXPECT_EQ((uint32_t{r.epc[5]} << 16) | r.epc[4], sequence++);
            uint64_t stamp = 0;
            for (int word = 3; word >= 0; --word)
                stamp = stamp << 16 | r.epc[word];
            if (chainStamp == 0) chainStamp = stamp;
            EXPECT_EQ(stamp, chainStamp) << "one stamp per chain";
            EXPECT_GE(r.antenna, 1);
            EXPECT_LE(r.antenna, 4);
        }
        EXPECT_GE(chainStamp, previous) << "stamped before the handler call, in order";
        previous = chainStamp;
    }
    // Chain k is due k*5/230 s after the start: the last at about 87 ms.
    EXPECT_GE(previous - start, 80000000u) << "the rate was not kept";

    // A flood can be stopped; as fast as possible without a rate.
    ASSERT_EQ(Cmd("flood 1000000 chain=10"), "OK");
    EXPECT_EQ(Cmd("flood 5"), "ERR flood running");
    EXPECT_EQ(Cmd("flood stop"), "OK");
    EXPECT_EQ(Cmd("flood"), "OK 0");
    EXPECT_LT(Fence().size(), 100000u);
}

TEST(ReaderSimLifecycle, DisconnectJoinsThreadsAndRemovesSocket) {
    std::string dir = TempDir();
    std::string path = dir + "/control.sock";
    ASSERT_EQ(setenv("READERSIM_SOCKET", path.c_str(), 1), 0);
    ResetRecorder();
    Register(true);
    std::thread([] {}).join();  // a sanitizer may start a helper thread with the first one
    const int baseline = SettledThreadCount();

    tConnectParams params = MakeParams();
    ASSERT_EQ(ConnectReader(&params, 0), kHandle);
    EXPECT_GT(ThreadCount(), baseline);
    ReaderSimClient client;
    ASSERT_TRUE(client.Connect(path, 5000));

    gStartDelayMs = 200;  // disconnect returns only after the running handler
    ASSERT_EQ(ASyncGetEPCs(kHandle), 0u);
    ASSERT_TRUE(WaitForEvents(5000, [](const std::vector<Event> &e) { return !e.empty(); }));
    DisconnectReader(kHandle);
    EXPECT_FALSE(gInStartHandler.load());
    EXPECT_EQ(ThreadCount(baseline, 2000), baseline);
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(ASyncGetEPCs(kHandle), kNotConnected);
    client.Close();
    unsetenv("READERSIM_SOCKET");
    rmdir(dir.c_str());
    Register(false);
    ResetRecorder();
}

// A held ConnectReader runs in a child (this binary again): the socket must exist
// when the library loads. This initialiser runs in the child before main.
const char kHoldChild[] = "READERSIM_TEST_HOLD_CHILD";
enum { kChildConnected = 0, kNoSocketAtLoad = 3, kChildConnectFailed = 10, kChildOdd = 11 };

int RunHoldChildIfAsked() {
    if (getenv(kHoldChild) == nullptr) return 0;
    const char *path = getenv("READERSIM_SOCKET");
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) exit(kNoSocketAtLoad);
    tConnectParams params = MakeParams();
    uint32_t handle = ConnectReader(&params, 0);
    if (handle != 0) DisconnectReader(handle);
    exit(handle == kHandle ? kChildConnected : handle == 0 ? kChildConnectFailed : kChildOdd);
}

const int kHoldChildChecked = RunHoldChildIfAsked();

// The child's exit code, or -1 if it did not exit within timeoutMs.
int WaitChild(pid_t *child, int timeoutMs) {
    for (int waited = 0; *child > 0 && waited <= timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(*child, &status, WNOHANG) == *child) {
            *child = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        SleepMs(10);
    }
    return -1;
}

TEST(ReaderSimHold, ConnectWaitsForRelease) {
    std::string dir = TempDir();
    std::string socket = dir + "/control.sock";
    setenv("READERSIM_SOCKET", socket.c_str(), 1);
    setenv("READERSIM_HOLD", "1", 1);
    setenv(kHoldChild, "1", 1);
    std::vector<std::string> self = SelfCommand();
    std::vector<char *> argv;
    for (std::string &word : self)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child = -1;
    EXPECT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    unsetenv("READERSIM_SOCKET");
    unsetenv("READERSIM_HOLD");
    unsetenv(kHoldChild);

    ReaderSimClient client;
    EXPECT_TRUE(client.Connect(socket, 20000));
    bool held = false;
    for (int i = 0; i < 1000 && !held && client.Connected(); ++i) {
        held = client.Command("calls") == "OK ConnectReader(params,0)";
        if (!held) SleepMs(10);
    }
    EXPECT_TRUE(held);
    SleepMs(200);
    EXPECT_EQ(WaitChild(&child, 0), -1) << "ConnectReader returned before release";
    EXPECT_EQ(client.Command("release"), "OK");
    EXPECT_EQ(WaitChild(&child, 20000), kChildConnected);
    EXPECT_FALSE(PathExists(socket));
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    unlink(socket.c_str());
    rmdir(dir.c_str());
}

}  // namespace
