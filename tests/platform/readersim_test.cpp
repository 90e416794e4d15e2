// Tests of the simulated reader library (platform/readerlib): the library is
// linked into this binary and driven both through its exported functions and
// through its control socket, with real threads and a real socket.
//
// The handlers below record every call into one global recorder; tests compare
// the recorded sequence in a compact text form. To check that nothing else was
// delivered, a test sends a "fence": a status report with a marker value. The
// control socket replies only after the handler returned, and deliveries are
// first-in first-out, so everything queued before the fence has been delivered
// when the reply arrives.
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader/reader_lib.h"
#include "support/readersim_client.h"

extern char **environ;

namespace {

const uint32_t kHandle = 0x4B56;
const uint32_t kNotConnected = 2;

enum Target { kInventory = 0, kRead = 1, kReadUntil = 2, kNoTarget = 3 };
const char *const kTargetNames[] = {"inventory", "read", "readuntil", "-"};

enum class Kind { kStatus, kTags, kStopResult, kGetFlag, kSetFlag };

struct CopiedRecord {
    ReaderTagRecord record;  // as delivered, pointers included
    std::vector<uint16_t> data;
};

struct Event {
    Kind kind = Kind::kStatus;
    Target target = kNoTarget;
    uint32_t a = 0;  // code, event, result or value
    uint32_t b = 0;  // status, or the chain's unused value
    uint32_t handle = 0;
    pthread_t thread{};
    bool nested = false;  // delivered while one of our handlers was running
    std::vector<CopiedRecord> records;
};

std::string Describe(const Event &e) {
    char text[128];
    switch (e.kind) {
        case Kind::kStatus:
            snprintf(text, sizeof(text), "status %s %u %u %u", kTargetNames[e.target], e.a, e.b,
                     e.handle);
            break;
        case Kind::kTags:
            snprintf(text, sizeof(text), "tags %s %u %u n=%zu", kTargetNames[e.target], e.a, e.b,
                     e.records.size());
            break;
        case Kind::kStopResult:
            snprintf(text, sizeof(text), "stop %u %u", e.a, e.handle);
            break;
        case Kind::kGetFlag:
            snprintf(text, sizeof(text), "getflag %u %u", e.a, e.handle);
            break;
        case Kind::kSetFlag:
            snprintf(text, sizeof(text), "setflag %u %u", e.a, e.handle);
            break;
    }
    return text;
}

std::string Describe(const std::vector<Event> &events) {
    std::string text;
    for (const Event &e : events) {
        if (!text.empty()) text += " | ";
        text += Describe(e);
    }
    return text;
}

// Collects handler calls. The handlers are plain functions, so it is global.
class Recorder {
public:
    void Add(Event event) {
        event.thread = pthread_self();
        std::lock_guard<std::mutex> lock(mutex_);
        event.nested = depth_ > 0;
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    std::vector<Event> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Event> taken;
        taken.swap(events_);
        return taken;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }
    // Waits, at most timeoutMs, until `done` holds for the recorded events.
    template <typename Predicate>
    bool WaitUntil(int timeoutMs, Predicate done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return done(events_); });
    }
    void Enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++depth_;
    }
    void Leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        --depth_;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        depth_ = 0;
        startDelayMs = 0;
        stopFromStartHandler = false;
        disconnectFromStartHandler = false;
        callbackResult = 0xFFFFFFFF;
    }

    // Behaviour of the start-report (status 255) handler.
    std::atomic<int> startDelayMs{0};
    std::atomic<bool> stopFromStartHandler{false};
    std::atomic<bool> disconnectFromStartHandler{false};
    std::atomic<uint32_t> callbackResult{0xFFFFFFFF};
    std::atomic<bool> inStartHandler{false};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    int depth_ = 0;
};

Recorder gRecorder;

template <Target kTarget>
void OnStatus(uint32_t code, uint32_t status, uint32_t handle) {
    Event e;
    e.kind = Kind::kStatus;
    e.target = kTarget;
    e.a = code;
    e.b = status;
    e.handle = handle;
    gRecorder.Add(e);
    if (status != 255) return;
    gRecorder.Enter();
    gRecorder.inStartHandler = true;
    if (gRecorder.startDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(gRecorder.startDelayMs.load()));
    }
    if (gRecorder.stopFromStartHandler) gRecorder.callbackResult = ASyncStopCommand(handle);
    if (gRecorder.disconnectFromStartHandler) DisconnectReader(handle);
    gRecorder.inStartHandler = false;
    gRecorder.Leave();
}

template <Target kTarget>
void OnTags(uint32_t event, uint32_t unused, const ReaderTagRecord *first) {
    Event e;
    e.kind = Kind::kTags;
    e.target = kTarget;
    e.a = event;
    e.b = unused;
    // Bounded walk: a broken chain must fail the test, not hang it.
    for (const ReaderTagRecord *r = first; r != nullptr && e.records.size() < 10000; r = r->next) {
        CopiedRecord copy;
        memcpy(&copy.record, r, sizeof(*r));
        if (r->data != nullptr) copy.data.assign(r->data, r->data + r->dataLength);
        e.records.push_back(copy);
    }
    gRecorder.Add(e);
}

void OnStop(uint32_t result, uint32_t handle) {
    Event e;
    e.kind = Kind::kStopResult;
    e.a = result;
    e.handle = handle;
    gRecorder.Add(e);
}

void OnGetFlag(uint32_t value, uint32_t handle) {
    Event e;
    e.kind = Kind::kGetFlag;
    e.a = value;
    e.handle = handle;
    gRecorder.Add(e);
}

void OnSetFlag(uint32_t unused, uint32_t handle) {
    Event e;
    e.kind = Kind::kSetFlag;
    e.a = unused;
    e.handle = handle;
    gRecorder.Add(e);
}

void RegisterAll() {
    ASSERT_EQ(SetDllResultHandlerASyncGetEPCs(&OnStatus<kInventory>, &OnTags<kInventory>), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncReadDataAny(&OnStatus<kRead>, &OnTags<kRead>), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncReadDataUntilEndOfBankAny(&OnStatus<kReadUntil>,
                                                                &OnTags<kReadUntil>),
              0u);
    ASSERT_EQ(SetDllResultHandlerASyncStopCommand(&OnStop), 0u);
    ASSERT_EQ(SetDllResultHandlerGetExtendedResultFlag(&OnGetFlag), 0u);
    ASSERT_EQ(SetDllResultHandlerSetExtendedResultFlag(&OnSetFlag), 0u);
}

void RegisterNone() {
    SetDllResultHandlerASyncGetEPCs(nullptr, nullptr);
    SetDllResultHandlerASyncReadDataAny(nullptr, nullptr);
    SetDllResultHandlerASyncReadDataUntilEndOfBankAny(nullptr, nullptr);
    SetDllResultHandlerASyncStopCommand(nullptr);
    SetDllResultHandlerGetExtendedResultFlag(nullptr);
    SetDllResultHandlerSetExtendedResultFlag(nullptr);
}

tConnectParams MakeParams() {
    tConnectParams params;
    memset(&params, 0, sizeof(params));
    params.commType = 3;
    memcpy(params.address, "127.0.0.1", 10);
    params.reserved16[100] = 0xAB;  // offset 116: any byte must be carried, not only fields
    params.timeout = 2000;
    return params;
}

bool PathExists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int CountThreads() {
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

// Waits, bounded, for the thread count to reach `expected`: a joined thread
// can stay listed for a moment while the kernel finishes its exit.
int WaitForThreadCount(int expected, int timeoutMs) {
    int count = CountThreads();
    for (int waited = 0; count != expected && waited < timeoutMs; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = CountThreads();
    }
    return count;
}

std::string TempDir() {
    char pattern[] = "/tmp/readersim-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "";
}

// A connected library with every handler registered and a controller on its
// socket, in a fresh directory of its own.
class ReaderSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TempDir();
        ASSERT_FALSE(dir_.empty());
        socket_ = dir_ + "/control.sock";
        ASSERT_EQ(setenv("READERSIM_SOCKET", socket_.c_str(), 1), 0);
        ASSERT_EQ(setenv("READERSIM_AUTO_PERIOD_MS", "20", 1), 0);
        unsetenv("READERSIM_HOLD");
        gRecorder.Reset();
        RegisterAll();
        params_ = MakeParams();
        handle_ = ConnectReader(&params_, 0);
        ASSERT_EQ(handle_, kHandle);
        ASSERT_TRUE(client_.Connect(socket_, 5000));
        ASSERT_EQ(Cmd("calls clear"), "OK");
    }

    void TearDown() override {
        client_.Close();
        if (handle_ != 0) DisconnectReader(handle_);
        RegisterNone();
        EXPECT_FALSE(PathExists(socket_)) << "DisconnectReader left the control socket";
        unlink(socket_.c_str());
        unsetenv("READERSIM_SOCKET");
        unsetenv("READERSIM_AUTO_PERIOD_MS");
        if (!dir_.empty()) rmdir(dir_.c_str());
        gRecorder.Reset();
    }

    std::string Cmd(const std::string &line) { return client_.Command(line); }

    // Everything delivered since the last fence, the new fence excluded.
    std::vector<Event> Fence() {
        uint32_t marker = 0xFE000000u + ++fences_;
        EXPECT_EQ(Cmd("status 0 " + std::to_string(marker) + " via=inventory"), "OK");
        std::vector<Event> events = gRecorder.Take();
        if (events.empty() || events.back().kind != Kind::kStatus || events.back().b != marker) {
            ADD_FAILURE() << "fence missing or not last: " << Describe(events);
            return events;
        }
        events.pop_back();
        return events;
    }

    std::string FenceText() { return Describe(Fence()); }

    std::string dir_;
    std::string socket_;
    tConnectParams params_{};
    uint32_t handle_ = 0;
    ReaderSimClient client_;
    uint32_t fences_ = 0;
};

// ---------------------------------------------------------------------------
// Order of deliveries

TEST_F(ReaderSimTest, StartReportPrecedesTagsHeartbeatAndStopEvenWithSlowHandler) {
    // A slow start handler: tags, heartbeat and stop queued meanwhile must
    // still come after it, one at a time.
    gRecorder.startDelayMs = 60;
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);
    EXPECT_EQ(Cmd("tags came epc=1111"), "OK");
    EXPECT_EQ(Cmd("report heartbeat"), "OK");
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    std::vector<Event> events = Fence();
    EXPECT_EQ(Describe(events),
              "status read 0 255 19286 | tags read 255 0 n=1 | status read 0 128 19286 | "
              "stop 0 19286 | status read 0 0 19286");
    for (const Event &e : events)
        EXPECT_FALSE(e.nested) << Describe(e);
}

TEST_F(ReaderSimTest, StopReportsResultThenStatusZeroOfTheCommandThatRan) {
    // Nothing started yet: the inventory's status handler gets the status 0.
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status inventory 0 0 19286");

    ASSERT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 2, 0, 255), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "status readuntil 0 255 19286 | stop 0 19286 | status readuntil 0 0 19286");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");

    // A second stop goes to the command started last.
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status readuntil 0 0 19286");
}

TEST_F(ReaderSimTest, HandlersRunOnOneLibraryThreadNeverTheCallers) {
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    ASSERT_EQ(SetExtendedResultFlag(handle_, 1), 0u);
    EXPECT_EQ(Cmd("tags came epc=2222"), "OK");
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    std::vector<Event> events = Fence();
    ASSERT_EQ(events.size(), 6u) << Describe(events);
    for (const Event &e : events) {
        EXPECT_FALSE(pthread_equal(e.thread, pthread_self())) << Describe(e);
        EXPECT_TRUE(pthread_equal(e.thread, events[0].thread)) << Describe(e);
    }
}

TEST_F(ReaderSimTest, HandlerMayCallBackIntoTheLibrary) {
    gRecorder.stopFromStartHandler = true;
    gRecorder.disconnectFromStartHandler = true;  // refused on a library thread, no deadlock
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    // The stop is queued from inside the handler, so it may follow a fence
    // sent now: wait for its status 0 first.
    ASSERT_TRUE(gRecorder.WaitUntil(5000, [](const std::vector<Event> &events) {
        return events.size() >= 3 && events.back().b == 0;
    }));
    std::vector<Event> events = Fence();
    EXPECT_EQ(Describe(events),
              "status inventory 0 255 19286 | stop 0 19286 | status inventory 0 0 19286");
    EXPECT_EQ(gRecorder.callbackResult.load(), 0u);
    // The stop's reports came after the start handler returned, not inside it.
    for (const Event &e : events)
        EXPECT_FALSE(e.nested) << Describe(e);
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
}

TEST_F(ReaderSimTest, ConcurrentCommandsAndControllerKeepPairsAndOrder) {
    const int kCycles = 200;
    const int kChains = 100;
    ReaderSimClient second;
    ASSERT_TRUE(second.Connect(socket_, 5000));
    std::atomic<int> rejected{0};
    std::thread caller([&] {
        for (int i = 0; i < kCycles; ++i) {
            if (ASyncGetEPCs(handle_) != 0) ++rejected;
            if (ASyncStopCommand(handle_) != 0) ++rejected;
        }
    });
    std::vector<std::string> replies;
    for (int i = 0; i < kChains; ++i) {
        replies.push_back(
            second.Command("tags came via=inventory epc=3333 ts=" + std::to_string(i)));
    }
    caller.join();
    std::vector<Event> events = Fence();
    EXPECT_EQ(rejected.load(), 0);
    for (const std::string &reply : replies)
        EXPECT_EQ(reply, "OK");

    int stops = 0;
    int starts = 0;
    uint64_t nextTs = 0;
    uint32_t lastInventoryStatus = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const Event &e = events[i];
        EXPECT_TRUE(pthread_equal(e.thread, events[0].thread));
        if (e.kind == Kind::kStopResult) {
            ++stops;
            // Nothing may come between a stop result and its status 0.
            ASSERT_LT(i + 1, events.size());
            EXPECT_EQ(Describe(events[i + 1]), "status inventory 0 0 19286") << "after stop " << i;
        } else if (e.kind == Kind::kStatus) {
            if (e.b == 255) ++starts;
            // Start and stop alternate, as the caller issued them.
            EXPECT_NE(e.b, lastInventoryStatus) << "at " << i;
            lastInventoryStatus = e.b;
        } else if (e.kind == Kind::kTags) {
            ASSERT_EQ(e.records.size(), 1u);
            EXPECT_EQ(e.records[0].record.timestampMs, nextTs) << "chains out of order";
            nextTs = e.records[0].record.timestampMs + 1;
        }
    }
    EXPECT_EQ(starts, kCycles);
    EXPECT_EQ(stops, kCycles);
    EXPECT_EQ(nextTs, static_cast<uint64_t>(kChains));
}

// ---------------------------------------------------------------------------
// Tag chains

TEST_F(ReaderSimTest, TagChainCarriesEveryFieldByteExactInOrder) {
    ASSERT_EQ(Cmd("tags came epc=300833B2DDD9014000000001 epclen=6 antenna=0x21 rssi=200 "
                  "rssidbm=-61 pc=3000 xpc1=8001 xpc2=0x00A5 result=0 data=11112222 datalen=2 "
                  "ts=1700000000123 | epc=E2801160600002054E5A1B2C antenna=2 rssi=0 "
                  "rssidbm=-32768 pc=0x3400 result=0x0B ts=0xFFFFFFFFFFFFFFFF | "
                  "epc=ABCD epclen=40 data=0001000200030004 datalen=6 rssidbm=32767 xpc1=1 "
                  "xpc2=ffff"),
              "OK");
    std::vector<Event> events = Fence();
    ASSERT_EQ(Describe(events), "tags inventory 255 0 n=3");
    const std::vector<CopiedRecord> &r = events[0].records;

    // Chain links: each record points at the next, the last at nothing.
    EXPECT_NE(r[0].record.next, nullptr);
    EXPECT_NE(r[1].record.next, nullptr);
    EXPECT_EQ(r[2].record.next, nullptr);

    const ReaderTagRecord &a = r[0].record;
    const uint16_t epcA[6] = {0x3008, 0x33B2, 0xDDD9, 0x0140, 0x0000, 0x0001};
    EXPECT_EQ(a.epcLength, 6);
    EXPECT_EQ(memcmp(a.epc, epcA, sizeof(epcA)), 0);
    for (int i = 6; i < 31; ++i)
        EXPECT_EQ(a.epc[i], 0) << i;
    EXPECT_EQ(a.antenna, 0x21);
    EXPECT_EQ(a.rssi, 200);
    EXPECT_EQ(a.rssiDbm, -61);
    EXPECT_EQ(a.pc, 0x3000);
    EXPECT_EQ(a.xpcW1, 0x8001);
    EXPECT_EQ(a.xpcW2, 0x00A5);
    EXPECT_EQ(a.readResult, 0);
    EXPECT_EQ(a.dataLength, 2);
    EXPECT_NE(a.data, nullptr);
    EXPECT_EQ(r[0].data, (std::vector<uint16_t>{0x1111, 0x2222}));
    EXPECT_EQ(a.timestampMs, 1700000000123ull);

    const ReaderTagRecord &b = r[1].record;
    const uint16_t epcB[6] = {0xE280, 0x1160, 0x6000, 0x0205, 0x4E5A, 0x1B2C};
    EXPECT_EQ(b.epcLength, 6);
    EXPECT_EQ(memcmp(b.epc, epcB, sizeof(epcB)), 0);
    EXPECT_EQ(b.antenna, 2);
    EXPECT_EQ(b.rssi, 0);
    EXPECT_EQ(b.rssiDbm, -32768);
    EXPECT_EQ(b.pc, 0x3400);
    EXPECT_EQ(b.xpcW1, 0);
    EXPECT_EQ(b.xpcW2, 0);
    EXPECT_EQ(b.readResult, 0x0B);
    EXPECT_EQ(b.dataLength, 0);
    EXPECT_EQ(b.data, nullptr);  // no data= : no words, null pointer
    EXPECT_EQ(b.timestampMs, UINT64_MAX);

    // epclen claims more than fits; datalen claims more than given: the
    // buffer is padded with zero words up to the claimed length.
    const ReaderTagRecord &c = r[2].record;
    EXPECT_EQ(c.epcLength, 40);
    EXPECT_EQ(c.epc[0], 0xABCD);
    for (int i = 1; i < 31; ++i)
        EXPECT_EQ(c.epc[i], 0) << i;
    EXPECT_EQ(c.dataLength, 6);
    EXPECT_EQ(r[2].data, (std::vector<uint16_t>{1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(c.rssiDbm, 32767);
    EXPECT_EQ(c.xpcW1, 1);
    EXPECT_EQ(c.xpcW2, 0xFFFF);
    EXPECT_EQ(c.antenna, 0);
    EXPECT_EQ(c.timestampMs, 0u);

    // Records are built zero-filled: every reserved byte is zero.
    for (const CopiedRecord &copy : r) {
        const ReaderTagRecord &x = copy.record;
        for (uint8_t byte : x.reserved2)
            EXPECT_EQ(byte, 0);
        EXPECT_EQ(x.reserved15, 0);
        for (uint8_t byte : x.reserved79)
            EXPECT_EQ(byte, 0);
        EXPECT_EQ(x.reserved83, 0);
        for (uint8_t byte : x.reserved92)
            EXPECT_EQ(byte, 0);
        for (uint8_t byte : x.reserved110)
            EXPECT_EQ(byte, 0);
    }
}

TEST_F(ReaderSimTest, TagEventsAndViaSelectTheHandler) {
    EXPECT_EQ(Cmd("tags left via=readuntil epc=0001"), "OK");
    EXPECT_EQ(Cmd("tags 17 via=read epc=0002"), "OK");
    EXPECT_EQ(Cmd("tags via=read 0x80 epc=0003|epc=0004"), "OK");  // via first, '|' unspaced
    EXPECT_EQ(Cmd("tags came data= epc="), "OK");                  // empty words are allowed
    std::vector<Event> events = Fence();
    EXPECT_EQ(Describe(events),
              "tags readuntil 0 0 n=1 | tags read 17 0 n=1 | tags read 128 0 n=2 | "
              "tags inventory 255 0 n=1");
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].records[0].record.epc[0], 3);
    EXPECT_EQ(events[2].records[1].record.epc[0], 4);
    // data= with no words: length 0 but a pointer, unlike an absent data=.
    EXPECT_EQ(events[3].records[0].record.dataLength, 0);
    EXPECT_NE(events[3].records[0].record.data, nullptr);
    EXPECT_EQ(events[3].records[0].record.epcLength, 0);

    // Without via=, chains follow the running command.
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 2), 0u);
    EXPECT_EQ(Cmd("tags came epc=0005 data=AAAABBBB"), "OK");
    EXPECT_EQ(FenceText(), "status read 0 255 19286 | tags read 255 0 n=1");
}

TEST_F(ReaderSimTest, BadTagLinesAreRejectedAndDeliverNothing) {
    const std::string words31(31 * 4, 'a');
    const std::string words255(255 * 4, '1');
    const char *const kBad[] = {
        "tags",
        "tags came",
        "tags sideways epc=1234",
        "tags 256 epc=1234",
        "tags came epc=123",
        "tags came epc=zzzz",
        "tags came epc=1234 |",
        "tags came | epc=1234",
        "tags came epc=1234 | | epc=5678",
        "tags came antenna=256",
        "tags came rssi=-1",
        "tags came rssidbm=-32769",
        "tags came rssidbm=32768",
        "tags came pc=12345",
        "tags came xpc1=",
        "tags came result=0x100",
        "tags came datalen=256",
        "tags came epclen=x",
        "tags came ts=18446744073709551616",
        "tags came epc=1234 epc=5678",
        "tags came nokey",
        "tags came =5",
        "tags came colour=red",
        "tags came via=read via=read epc=1234",
        "tags came via=elsewhere epc=1234",
        "tags came epc=1234 via=read",
    };
    for (const char *line : kBad) {
        std::string reply = Cmd(line);
        EXPECT_EQ(reply.compare(0, 4, "ERR "), 0) << line << " -> " << reply;
    }
    EXPECT_EQ(Cmd("tags came epc=" + words31 + "aaaa").compare(0, 4, "ERR "), 0);
    EXPECT_EQ(Cmd("tags came data=" + words255 + "1111").compare(0, 4, "ERR "), 0);
    // The largest accepted sizes still go through.
    EXPECT_EQ(Cmd("tags came epc=" + words31 + " data=" + words255), "OK");
    std::vector<Event> events = Fence();
    ASSERT_EQ(Describe(events), "tags inventory 255 0 n=1");
    EXPECT_EQ(events[0].records[0].record.epcLength, 31);
    EXPECT_EQ(events[0].records[0].record.dataLength, 255);
}

// ---------------------------------------------------------------------------
// Fault injection

TEST_F(ReaderSimTest, FailMakesCallsReturnTheCodeWithoutEffectUntilOk) {
    EXPECT_EQ(Cmd("fail ASyncGetEPCs 9"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 9u);
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(Cmd("fail ASyncReadDataAny"), "OK");  // default code 1
    EXPECT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 1u);
    EXPECT_EQ(FenceText(), "");

    EXPECT_EQ(Cmd("ok ASyncGetEPCs"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(Cmd("fail ASyncStopCommand 0x1F"), "OK");
    EXPECT_EQ(ASyncStopCommand(handle_), 31u);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");
    EXPECT_EQ(Cmd("state"), "OK running=inventory handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(Cmd("ok ASyncStopCommand"), "OK");
    EXPECT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status inventory 0 0 19286");

    EXPECT_EQ(Cmd("fail GetExtendedResultFlag 4"), "OK");
    EXPECT_EQ(Cmd("fail SetExtendedResultFlag 5"), "OK");
    EXPECT_EQ(GetExtendedResultFlag(handle_), 4u);
    EXPECT_EQ(SetExtendedResultFlag(handle_, 0x7F), 5u);
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
}

TEST_F(ReaderSimTest, FailedRegistrationKeepsTheOldHandler) {
    EXPECT_EQ(Cmd("fail SetDllResultHandlerASyncStopCommand 7"), "OK");
    EXPECT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 7u);
    EXPECT_EQ(Cmd("fail SetDllResultHandlerASyncReadDataAny"), "OK");
    EXPECT_EQ(SetDllResultHandlerASyncReadDataAny(nullptr, nullptr), 1u);
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 1), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "status read 0 255 19286 | stop 0 19286 | status read 0 0 19286");

    // Once allowed, a null registration removes the handlers.
    EXPECT_EQ(Cmd("ok SetDllResultHandlerASyncStopCommand"), "OK");
    EXPECT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "status read 0 0 19286");
}

TEST_F(ReaderSimTest, FailConnectAndDisconnectHaveNoEffect) {
    EXPECT_EQ(Cmd("fail ConnectReader 5"), "OK");
    EXPECT_EQ(ConnectReader(&params_, 0), 0u);
    EXPECT_EQ(Cmd("ok ConnectReader"), "OK");
    EXPECT_EQ(ConnectReader(nullptr, 0), 0u);
    EXPECT_EQ(ConnectReader(&params_, 0), kHandle);  // already connected: same handle

    EXPECT_EQ(Cmd("fail DisconnectReader"), "OK");
    DisconnectReader(handle_);
    DisconnectReader(handle_ + 1);  // a wrong handle does nothing either
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(Cmd("ok DisconnectReader"), "OK");
    EXPECT_EQ(Cmd("calls"),
              "OK ConnectReader(params,0);ConnectReader(null,0);ConnectReader(params,0);"
              "DisconnectReader(19286);DisconnectReader(19287)");
}

TEST_F(ReaderSimTest, WithheldCallsAreAcceptedButNothingIsDelivered) {
    EXPECT_EQ(Cmd("withhold ASyncGetEPCs"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(Cmd("state"), "OK running=inventory handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(FenceText(), "");

    EXPECT_EQ(Cmd("withhold ASyncStopCommand"), "OK");
    EXPECT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(Cmd("withhold GetExtendedResultFlag"), "OK");
    EXPECT_EQ(GetExtendedResultFlag(handle_), 0u);
    EXPECT_EQ(Cmd("withhold SetExtendedResultFlag"), "OK");
    EXPECT_EQ(SetExtendedResultFlag(handle_, 9), 0u);  // stored all the same
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=9 auto=0");

    for (const char *name :
         {"ASyncGetEPCs", "ASyncStopCommand", "GetExtendedResultFlag", "SetExtendedResultFlag"}) {
        EXPECT_EQ(Cmd(std::string("deliver ") + name), "OK");
    }
    EXPECT_EQ(GetExtendedResultFlag(handle_), 0u);
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "getflag 9 19286 | status inventory 0 255 19286");

    // A withheld read can be acknowledged late by a controller.
    EXPECT_EQ(Cmd("withhold ASyncReadDataUntilEndOfBankAny"), "OK");
    EXPECT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 3, 0, 255), 0u);
    EXPECT_EQ(Cmd("report start"), "OK");
    EXPECT_EQ(FenceText(), "status readuntil 0 255 19286");
}

TEST_F(ReaderSimTest, StartErrorIsOneShotAndLeavesTheCommandStopped) {
    EXPECT_EQ(Cmd("starterror 7"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 7 255 19286");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");
    EXPECT_EQ(Cmd("state"), "OK running=inventory handle=19286 connected=1 flags=0 auto=0");
}

TEST_F(ReaderSimTest, StopResultPersistsForLaterStops) {
    EXPECT_EQ(Cmd("stopresult 0x10"), "OK");
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
        ASSERT_EQ(ASyncStopCommand(handle_), 0u);
        EXPECT_EQ(FenceText(),
                  "status inventory 0 255 19286 | stop 16 19286 | "
                  "status inventory 0 0 19286")
            << "round " << round;
    }
    EXPECT_EQ(Cmd("stopresult 0"), "OK");
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status inventory 0 0 19286");
}

TEST_F(ReaderSimTest, ExtendedResultFlagsAreReportedAndStored) {
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    EXPECT_EQ(Cmd("flags 0xA5"), "OK");
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    ASSERT_EQ(SetExtendedResultFlag(handle_, 0x3C), 0u);
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "getflag 0 19286 | getflag 165 19286 | setflag 0 19286 | "
              "getflag 60 19286");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=60 auto=0");
}

TEST_F(ReaderSimTest, CommandsWithAWrongHandleAreRefused) {
    EXPECT_EQ(ASyncGetEPCs(handle_ + 1), kNotConnected);
    EXPECT_EQ(ASyncStopCommand(0), kNotConnected);
    EXPECT_EQ(GetExtendedResultFlag(1), kNotConnected);
    EXPECT_EQ(SetExtendedResultFlag(2, 3), kNotConnected);
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
}

// ---------------------------------------------------------------------------
// Reports

TEST_F(ReaderSimTest, ReportsGoToTheChosenHandlerWithCodeAndForeignHandle) {
    EXPECT_EQ(Cmd("report start code=4 handle=0x1234 via=read"), "OK");
    EXPECT_EQ(Cmd("report heartbeat"), "OK");  // nothing started: inventory
    EXPECT_EQ(Cmd("status 9 77 handle=1 via=readuntil"), "OK");
    EXPECT_EQ(FenceText(),
              "status read 4 255 4660 | status inventory 0 128 19286 | "
              "status readuntil 9 77 1");

    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);
    EXPECT_EQ(Cmd("report heartbeat code=3"), "OK");
    EXPECT_EQ(Cmd("report stop via=inventory"), "OK");  // not the running command
    EXPECT_EQ(Cmd("state"), "OK running=read handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(Cmd("report stop"), "OK");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(FenceText(),
              "status read 0 255 19286 | status read 3 128 19286 | "
              "status inventory 0 0 19286 | status read 0 0 19286");

    ASSERT_EQ(SetDllResultHandlerASyncReadDataAny(nullptr, nullptr), 0u);
    EXPECT_EQ(Cmd("report heartbeat via=read"), "ERR no handler");
    EXPECT_EQ(Cmd("tags came via=read epc=1234"), "ERR no handler");
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);  // accepted, delivered nowhere
    EXPECT_EQ(FenceText(), "");
}

// ---------------------------------------------------------------------------
// Call history and connect parameters

TEST_F(ReaderSimTest, CallsListsEveryCallInOrder) {
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    ASSERT_EQ(ASyncReadDataAny(handle_, 0x11223344, 3, 2, 4), 0u);
    ASSERT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 2, 0, 255), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    ASSERT_EQ(SetExtendedResultFlag(handle_, 0x21), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncGetEPCs(&OnStatus<kInventory>, nullptr), 0u);
    EXPECT_EQ(ASyncGetEPCs(0x1234), kNotConnected);
    EXPECT_EQ(Cmd("calls"),
              "OK ASyncGetEPCs(19286);ASyncReadDataAny(19286,287454020,3,2,4);"
              "ASyncReadDataUntilEndOfBankAny(19286,0,2,0,255);ASyncStopCommand(19286);"
              "GetExtendedResultFlag(19286);SetExtendedResultFlag(19286,33);"
              "SetDllResultHandlerASyncStopCommand(null);SetDllResultHandlerASyncGetEPCs(set,null);"
              "ASyncGetEPCs(4660)");
    EXPECT_EQ(Cmd("calls clear"), "OK");
    EXPECT_EQ(Cmd("calls"), "OK");
}

TEST_F(ReaderSimTest, CallHistoryKeepsTheNewest512) {
    for (uint32_t i = 1; i <= 600; ++i)
        ASSERT_EQ(ASyncGetEPCs(100000 + i), kNotConnected);
    std::string reply = Cmd("calls");
    ASSERT_EQ(reply.compare(0, 3, "OK "), 0);
    std::vector<std::string> calls;
    size_t start = 3;
    for (size_t end; (end = reply.find(';', start)) != std::string::npos; start = end + 1) {
        calls.push_back(reply.substr(start, end - start));
    }
    calls.push_back(reply.substr(start));
    ASSERT_EQ(calls.size(), 512u);
    EXPECT_EQ(calls.front(), "ASyncGetEPCs(100089)");
    EXPECT_EQ(calls.back(), "ASyncGetEPCs(100600)");
}

TEST_F(ReaderSimTest, ConnectParamsAreReportedAsTheBytesPassed) {
    std::string expected = "03" + std::string(5 * 2, '0') + "3132372e302e302e3100" +
                           std::string(100 * 2, '0') + "ab" + std::string(147 * 2, '0') +
                           "d0070000" + std::string(12 * 2, '0');
    ASSERT_EQ(expected.size(), 560u);
    EXPECT_EQ(Cmd("connectparams"), "OK " + expected);
}

// ---------------------------------------------------------------------------
// Control socket robustness

TEST_F(ReaderSimTest, MalformedLinesGetErrAndTheLibraryKeepsWorking) {
    const std::string kBad[] = {
        "",
        "   ",
        "bogus",
        "STATE",
        "help me",
        "state now",
        "release now",
        "fail",
        "fail NoSuchFunction",
        "fail ASyncGetEPCs notanumber",
        "fail ASyncGetEPCs 4294967296",
        "fail ASyncGetEPCs 1 2",
        "ok",
        "ok ASyncGetEPCs 1",
        "withhold",
        "withhold ConnectReader",
        "withhold SetDllResultHandlerASyncGetEPCs",
        "deliver DisconnectReader",
        "starterror",
        "starterror -1",
        "stopresult 0xZZ",
        "flags 256",
        "flags",
        "auto",
        "auto maybe",
        "report",
        "report sideways",
        "report stop code=",
        "report stop code=1 code=2",
        "report stop via=nowhere",
        "report stop extra",
        "status 1",
        "status x 1",
        "status 1 2 code=3",
        "calls please",
        "connectparams now",
        std::string("state\0", 6),
        std::string("\x01\x02\xff\xfe", 4),
    };
    for (const std::string &line : kBad) {
        std::string reply = Cmd(line);
        EXPECT_EQ(reply.compare(0, 4, "ERR "), 0) << "'" << line << "' -> " << reply;
    }
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    std::string help = Cmd("help");
    EXPECT_EQ(help.compare(0, 3, "OK "), 0);
    for (const char *verb : {"release", "fail", "withhold", "starterror", "stopresult", "flags",
                             "report", "status", "tags", "calls", "connectparams", "state"}) {
        EXPECT_NE(help.find(verb), std::string::npos) << verb;
    }
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");
}

TEST_F(ReaderSimTest, OverlongLineIsRejectedAndTheConnectionStaysUsable) {
    // Exactly 64 KiB is still a line: the blanks pad a valid command.
    std::string longest = "tags came epc=1234 ts=7";
    longest.resize(64 * 1024, ' ');
    EXPECT_EQ(Cmd(longest), "OK");
    EXPECT_EQ(Cmd(longest + " "), "ERR line too long");
    EXPECT_EQ(Cmd(std::string(1024 * 1024, 'x')), "ERR line too long");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    std::vector<Event> events = Fence();
    ASSERT_EQ(Describe(events), "tags inventory 255 0 n=1");
    EXPECT_EQ(events[0].records[0].record.timestampMs, 7u);
}

// Builds control lines for the random test: most follow the command grammar
// with random values, some of those get one token replaced, the rest are
// random words and bytes.
class LineGenerator {
public:
    std::string Next() {
        std::vector<std::string> tokens;
        uint32_t shape = Random() % 10;
        if (shape < 7) {
            Command(&tokens);
            if (shape >= 5 && !tokens.empty()) tokens[Random() % tokens.size()] = Noise();
        } else {
            int count = static_cast<int>(Random() % 10);
            for (int i = 0; i < count; ++i)
                tokens.push_back(Random() % 2 ? Pick(kWords) : Noise());
        }
        std::string line;
        for (const std::string &token : tokens)
            line += (line.empty() ? "" : " ") + token;
        return line;
    }

private:
    static constexpr const char *kWords[] = {
        "release",    "fail",       "ok",    "withhold",      "deliver",
        "starterror", "stopresult", "flags", "auto",          "report",
        "status",     "tags",       "calls", "connectparams", "state",
        "help",       "clear",      "on",    "off",           "start",
        "heartbeat",  "stop",       "came",  "left",          "|",
        "0",          "0x",         "-1",    "4294967296",    "18446744073709551616"};
    static constexpr const char *kFunctions[] = {"ConnectReader",
                                                 "DisconnectReader",
                                                 "ASyncGetEPCs",
                                                 "ASyncReadDataAny",
                                                 "ASyncReadDataUntilEndOfBankAny",
                                                 "ASyncStopCommand",
                                                 "GetExtendedResultFlag",
                                                 "SetExtendedResultFlag",
                                                 "SetDllResultHandlerASyncReadDataAny",
                                                 "Bogus"};
    static constexpr const char *kVias[] = {"inventory", "read", "readuntil", "nowhere"};

    uint32_t Random() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    template <size_t kSize>
    std::string Pick(const char *const (&list)[kSize]) {
        return list[Random() % kSize];
    }
    std::string Number(uint32_t limit) {
        uint32_t value = Random() % limit;
        return Random() % 3 ? std::to_string(value) : "0x" + std::to_string(value % 10);
    }
    std::string Hex(int maxWords) {
        std::string text;
        int words = static_cast<int>(Random() % (maxWords + 1));
        for (int i = 0; i < words * 4; ++i)
            text += "0123456789abcdefABCDEF"[Random() % 22];
        return text;
    }
    std::string Noise() {
        std::string text;
        int bytes = 1 + static_cast<int>(Random() % 8);
        for (int i = 0; i < bytes; ++i) {
            char c = static_cast<char>(Random() & 0xFF);
            text += c == '\n' ? 'n' : c;
        }
        return text;
    }
    void Record(std::vector<std::string> *tokens) {
        static constexpr const char *kKeys[] = {"epc",     "epclen", "antenna", "rssi",
                                                "rssidbm", "pc",     "xpc1",    "xpc2",
                                                "result",  "data",   "datalen", "ts"};
        int keys = 1 + static_cast<int>(Random() % 5);
        for (int i = 0; i < keys; ++i) {
            std::string key = Pick(kKeys);
            std::string value;
            if (key == "epc") {
                value = Hex(33);
            } else if (key == "data") {
                value = Hex(40);
            } else if (key == "pc" || key == "xpc1" || key == "xpc2") {
                value = Hex(1).substr(0, 1 + Random() % 4);
            } else if (key == "rssidbm") {
                value = std::to_string(static_cast<int>(Random() % 200) - 100);
            } else {
                value = Number(300);
            }
            tokens->push_back(key + "=" + value);
        }
    }
    void Command(std::vector<std::string> *tokens) {
        static constexpr const char *kVerbs[] = {
            "fail",  "ok",    "withhold",      "deliver", "starterror", "stopresult",
            "flags", "auto",  "report",        "status",  "tags",       "tags",
            "tags",  "calls", "connectparams", "state",   "help",       "release"};
        std::string verb = Pick(kVerbs);
        tokens->push_back(verb);
        if (verb == "fail" || verb == "ok" || verb == "withhold" || verb == "deliver") {
            tokens->push_back(Pick(kFunctions));
            if (verb == "fail" && Random() % 2) tokens->push_back(Number(10));
        } else if (verb == "starterror" || verb == "stopresult" || verb == "flags") {
            tokens->push_back(Number(300));
        } else if (verb == "auto") {
            tokens->push_back(Random() % 2 ? "on" : "off");
        } else if (verb == "report" || verb == "status") {
            if (verb == "report") {
                static constexpr const char *kKinds[] = {"start", "heartbeat", "stop"};
                tokens->push_back(Pick(kKinds));
                if (Random() % 2) tokens->push_back("code=" + Number(10));
            } else {
                tokens->push_back(Number(10));
                tokens->push_back(Number(300));
            }
            if (Random() % 2) tokens->push_back("handle=" + Number(70000));
            if (Random() % 2) tokens->push_back(std::string("via=") + Pick(kVias));
        } else if (verb == "tags") {
            static constexpr const char *kEvents[] = {"came", "left", "17", "256"};
            tokens->push_back(Pick(kEvents));
            if (Random() % 3 == 0) tokens->push_back(std::string("via=") + Pick(kVias));
            int records = 1 + static_cast<int>(Random() % 3);
            for (int i = 0; i < records; ++i) {
                if (i > 0) tokens->push_back("|");
                Record(tokens);
            }
        } else if (verb == "calls" && Random() % 4 == 0) {
            tokens->push_back("clear");
        }
    }

    uint32_t state_ = 0x9E3779B9u;  // fixed: a failure repeats
};

TEST_F(ReaderSimTest, RandomLinesGetOneWellFormedReplyEachWhileCallsRun) {
    // Meanwhile another thread calls the library. A second reply to one line
    // would show up as the wrong reply to the final `help`.
    std::atomic<bool> done{false};
    std::thread caller([&] {
        for (uint32_t i = 0; !done; ++i) {
            switch (i % 5) {
                case 0:
                    ASyncGetEPCs(handle_);
                    break;
                case 1:
                    ASyncReadDataAny(handle_, 0, 3, 0, 2);
                    break;
                case 2:
                    GetExtendedResultFlag(handle_);
                    break;
                case 3:
                    SetExtendedResultFlag(handle_, static_cast<uint8_t>(i));
                    break;
                default:
                    ASyncStopCommand(handle_);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    break;
            }
        }
    });
    LineGenerator lines;
    int accepted = 0;
    for (int n = 0; n < 3000; ++n) {
        std::string line = lines.Next();
        std::string reply = Cmd(line);
        ASSERT_TRUE(reply == "OK" || reply.compare(0, 3, "OK ") == 0 ||
                    reply.compare(0, 4, "ERR ") == 0)
            << "line " << n << ": '" << line << "' -> '" << reply << "'";
        accepted += reply.compare(0, 2, "OK") == 0;
    }
    done = true;
    caller.join();
    // Enough lines must get past parsing for the run to exercise anything.
    EXPECT_GT(accepted, 600) << "accepted lines";
    for (const char *name :
         {"ConnectReader", "DisconnectReader", "ASyncGetEPCs", "ASyncReadDataAny",
          "ASyncReadDataUntilEndOfBankAny", "ASyncStopCommand", "GetExtendedResultFlag",
          "SetExtendedResultFlag", "SetDllResultHandlerASyncReadDataAny"}) {
        EXPECT_EQ(Cmd(std::string("ok ") + name), "OK");
    }
    EXPECT_EQ(Cmd("help").compare(0, 12, "OK commands:"), 0);
    EXPECT_EQ(Cmd("state").compare(0, 3, "OK "), 0);
    Fence();
}

TEST_F(ReaderSimTest, SeveralControllersAtOnce) {
    ReaderSimClient second;
    ReaderSimClient third;
    ASSERT_TRUE(second.Connect(socket_, 5000));
    ASSERT_TRUE(third.Connect(socket_, 5000));
    EXPECT_EQ(second.Command("flags 1"), "OK");
    EXPECT_EQ(third.Command("state"), "OK running=none handle=19286 connected=1 flags=1 auto=0");
    EXPECT_EQ(Cmd("flags 2"), "OK");
    EXPECT_EQ(second.Command("state"), "OK running=none handle=19286 connected=1 flags=2 auto=0");
    second.Close();
    // A controller that left does not disturb the others, and a new one may come.
    EXPECT_EQ(third.Command("flags 3"), "OK");
    ASSERT_TRUE(second.Connect(socket_, 5000));
    EXPECT_EQ(second.Command("state"), "OK running=none handle=19286 connected=1 flags=3 auto=0");
}

// ---------------------------------------------------------------------------
// Autonomous demo under a controller

TEST_F(ReaderSimTest, AutoModeRunsOnlyWhileOnAndACommandRuns) {
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // 7 demo periods
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");       // auto is off

    EXPECT_EQ(Cmd("auto on"), "OK");
    EXPECT_TRUE(gRecorder.WaitUntil(5000, [](const std::vector<Event> &events) {
        int tags = 0;
        for (const Event &e : events)
            tags += e.kind == Kind::kTags;
        return tags >= 3;
    }));
    EXPECT_EQ(Cmd("auto off"), "OK");
    Fence();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(FenceText(), "");
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST(ReaderSimLifecycle, DisconnectJoinsThreadsRemovesSocketAndResetsTheSession) {
    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/control.sock";
    ASSERT_EQ(setenv("READERSIM_SOCKET", path.c_str(), 1), 0);
    unsetenv("READERSIM_HOLD");
    gRecorder.Reset();
    RegisterAll();
    // A sanitizer runtime may start a helper thread along with the first
    // thread of the process; let that happen before counting.
    std::thread([] {}).join();
    int baseline = CountThreads();
    ASSERT_GT(baseline, 0);

    tConnectParams params = MakeParams();
    uint32_t handle = ConnectReader(&params, 0);
    ASSERT_EQ(handle, kHandle);
    EXPECT_GT(CountThreads(), baseline);
    ReaderSimClient client;
    ASSERT_TRUE(client.Connect(path, 5000));
    EXPECT_EQ(client.Command("flags 7"), "OK");

    // Disconnect while a slow handler runs: it returns only after the handler.
    gRecorder.startDelayMs = 200;
    ASSERT_EQ(ASyncGetEPCs(handle), 0u);
    ASSERT_TRUE(gRecorder.WaitUntil(5000, [](const std::vector<Event> &e) { return !e.empty(); }));
    DisconnectReader(handle);
    EXPECT_FALSE(gRecorder.inStartHandler.load());
    EXPECT_EQ(WaitForThreadCount(baseline, 2000), baseline);
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(client.Command("state", 1000), "");

    size_t delivered = gRecorder.Count();
    EXPECT_EQ(ASyncGetEPCs(handle), kNotConnected);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gRecorder.Count(), delivered);

    // A new connection starts afresh.
    gRecorder.startDelayMs = 0;
    ASSERT_EQ(ConnectReader(&params, 0), kHandle);
    ASSERT_TRUE(client.Connect(path, 5000));
    EXPECT_EQ(client.Command("state"), "OK running=none handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(client.Command("calls"), "OK ASyncGetEPCs(19286);ConnectReader(params,0)");
    client.Close();
    DisconnectReader(handle);
    EXPECT_EQ(WaitForThreadCount(baseline, 2000), baseline);
    EXPECT_FALSE(PathExists(path));
    RegisterNone();
    unsetenv("READERSIM_SOCKET");
    rmdir(dir.c_str());
}

// ---------------------------------------------------------------------------
// Autonomous demo without a control socket

class ReaderSimAutonomousTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("READERSIM_SOCKET");
        unsetenv("READERSIM_HOLD");
        ASSERT_EQ(setenv("READERSIM_AUTO_PERIOD_MS", "20", 1), 0);
        gRecorder.Reset();
        RegisterAll();
        tConnectParams params = MakeParams();
        handle_ = ConnectReader(&params, 0);
        ASSERT_EQ(handle_, kHandle);
    }
    void TearDown() override {
        if (handle_ != 0) DisconnectReader(handle_);
        RegisterNone();
        unsetenv("READERSIM_AUTO_PERIOD_MS");
        gRecorder.Reset();
    }

    // Runs until `tags` chains and `heartbeats` arrived, stops, and returns
    // everything delivered.
    std::vector<Event> RunUntil(int tags, int heartbeats) {
        bool enough = gRecorder.WaitUntil(10000, [&](const std::vector<Event> &events) {
            int t = 0;
            int h = 0;
            for (const Event &e : events) {
                t += e.kind == Kind::kTags;
                h += e.kind == Kind::kStatus && e.b == 128;
            }
            return t >= tags && h >= heartbeats;
        });
        EXPECT_TRUE(enough);
        EXPECT_EQ(ASyncStopCommand(handle_), 0u);
        EXPECT_TRUE(gRecorder.WaitUntil(5000, [](const std::vector<Event> &events) {
            return !events.empty() && events.back().kind == Kind::kStatus && events.back().b == 0;
        }));
        // Five demo periods: nothing may follow the stop.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return gRecorder.Take();
    }

    // Checks the demo population: EPCs of six words, at most five tags, each
    // coming before it leaves, plausible signal values and a wall-clock time.
    void CheckPopulation(const std::vector<Event> &events, Target target) {
        std::map<std::vector<uint16_t>, bool> present;
        uint64_t lastTs = 0;
        uint64_t now = static_cast<uint64_t>(time(nullptr)) * 1000;
        for (const Event &e : events) {
            if (e.kind != Kind::kTags) continue;
            EXPECT_EQ(e.target, target);
            ASSERT_TRUE(e.a == 0xFF || e.a == 0x00) << e.a;
            ASSERT_FALSE(e.records.empty());
            for (const CopiedRecord &copy : e.records) {
                const ReaderTagRecord &r = copy.record;
                ASSERT_EQ(r.epcLength, 6);
                std::vector<uint16_t> epc(r.epc, r.epc + 6);
                bool came = e.a == 0xFF;
                EXPECT_NE(present[epc], came) << "a tag came twice or left unseen";
                present[epc] = came;
                EXPECT_GE(r.antenna & 0x0F, 1);
                EXPECT_LE(r.antenna & 0x0F, 4);
                EXPECT_LE(r.rssiDbm, -20);
                EXPECT_GE(r.rssiDbm, -100);
                EXPECT_GE(r.timestampMs, lastTs);
                EXPECT_LT(r.timestampMs > now ? r.timestampMs - now : now - r.timestampMs, 60000u);
                lastTs = r.timestampMs;
            }
        }
        EXPECT_GE(present.size(), 2u);
        EXPECT_LE(present.size(), 5u);
    }

    uint32_t handle_ = 0;
};

TEST_F(ReaderSimAutonomousTest, InventoryShowsAPopulationAndHeartbeatsBetweenStartAndStop) {
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    std::vector<Event> events = RunUntil(12, 2);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(Describe(events.front()), "status inventory 0 255 19286");
    EXPECT_EQ(Describe(events[events.size() - 2]), "stop 0 19286");
    EXPECT_EQ(Describe(events.back()), "status inventory 0 0 19286");
    for (size_t i = 1; i + 2 < events.size(); ++i) {
        const Event &e = events[i];
        EXPECT_TRUE(e.kind == Kind::kTags || Describe(e) == "status inventory 0 128 19286")
            << Describe(e);
        for (const CopiedRecord &copy : e.records)
            EXPECT_EQ(copy.record.dataLength, 0);
        EXPECT_FALSE(pthread_equal(e.thread, pthread_self()));
    }
    CheckPopulation(events, kInventory);
}

TEST_F(ReaderSimAutonomousTest, ReadToEndOfEpcBankReturnsTheTagsOwnEpc) {
    // EPC bank from word 2 to its end: the six EPC words of the same tag.
    ASSERT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 1, 2, 255), 0u);
    std::vector<Event> events = RunUntil(8, 0);
    EXPECT_EQ(Describe(events.front()), "status readuntil 0 255 19286");
    int withData = 0;
    for (const Event &e : events) {
        if (e.kind != Kind::kTags || e.a != 0xFF) continue;
        for (const CopiedRecord &copy : e.records) {
            EXPECT_EQ(copy.record.readResult, 0);
            ASSERT_EQ(copy.record.dataLength, 6);
            EXPECT_EQ(copy.data, std::vector<uint16_t>(copy.record.epc, copy.record.epc + 6));
            ++withData;
        }
    }
    EXPECT_GT(withData, 0);
    CheckPopulation(events, kReadUntil);
}

TEST_F(ReaderSimAutonomousTest, ReadOfGivenCountReturnsThatManyWords) {
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);
    std::vector<Event> events = RunUntil(8, 0);
    EXPECT_EQ(Describe(events.front()), "status read 0 255 19286");
    int withData = 0;
    for (const Event &e : events) {
        if (e.kind != Kind::kTags || e.a != 0xFF) continue;
        for (const CopiedRecord &copy : e.records) {
            EXPECT_EQ(copy.record.dataLength, 4);
            EXPECT_EQ(copy.data.size(), 4u);
            ++withData;
        }
    }
    EXPECT_GT(withData, 0);
}

// ---------------------------------------------------------------------------
// Held ConnectReader, in a child process: the control socket must exist
// before ConnectReader, so the library has to see READERSIM_SOCKET when it is
// loaded. The test binary re-executes itself with the variables set; this
// initialiser runs in the child before main, after the library's load hook.

const char kHoldChildVariable[] = "READERSIM_TEST_HOLD_CHILD";

// Exit codes of the held child.
const int kChildConnected = 0;
const int kChildNoSocketAtLoad = 3;
const int kChildConnectFailed = 10;
const int kChildOddHandle = 11;

int RunHoldChildIfAsked() {
    if (getenv(kHoldChildVariable) == nullptr) return 0;
    const char *path = getenv("READERSIM_SOCKET");
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        exit(kChildNoSocketAtLoad);
    }
    tConnectParams params = MakeParams();
    uint32_t handle = ConnectReader(&params, 0);
    if (handle != 0) DisconnectReader(handle);
    // exit(), not _exit(): the library's unload hook must remove the socket.
    exit(handle == kHandle ? kChildConnected : handle == 0 ? kChildConnectFailed : kChildOddHandle);
}

const int kHoldChildChecked = RunHoldChildIfAsked();

class ReaderSimHoldTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TempDir();
        ASSERT_FALSE(dir_.empty());
        socket_ = dir_ + "/control.sock";
    }
    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        unlink(socket_.c_str());
        rmdir(dir_.c_str());
    }

    void StartChild() {
        std::vector<std::string> variables;
        for (char **e = environ; *e != nullptr; ++e) {
            if (strncmp(*e, "READERSIM_", 10) != 0) variables.push_back(*e);
        }
        variables.push_back("READERSIM_SOCKET=" + socket_);
        variables.push_back("READERSIM_HOLD=1");
        variables.push_back(std::string(kHoldChildVariable) + "=1");
        std::vector<char *> envp;
        for (std::string &v : variables)
            envp.push_back(&v[0]);
        envp.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char *argv[] = {self, nullptr};
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            execve(self, argv, envp.data());
            _exit(127);
        }
    }

    // The child's exit code, or -1 if it did not exit within timeoutMs.
    int WaitChild(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            int status = 0;
            pid_t done = waitpid(child_, &status, WNOHANG);
            if (done == child_) {
                child_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // Connects and waits until the child is inside ConnectReader.
    void ConnectWhileHeld() {
        ASSERT_TRUE(client_.Connect(socket_, 20000));
        bool called = false;
        for (int i = 0; i < 1000 && !called; ++i) {
            called = client_.Command("calls") == "OK ConnectReader(params,0)";
            if (!called) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(called);
        EXPECT_EQ(client_.Command("state"), "OK running=none handle=0 connected=0 flags=0 auto=0");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(WaitChild(0), -1) << "ConnectReader returned before release";
    }

    std::string dir_;
    std::string socket_;
    pid_t child_ = -1;
    ReaderSimClient client_;
};

TEST_F(ReaderSimHoldTest, ConnectWaitsForReleaseThenConnects) {
    StartChild();
    ConnectWhileHeld();
    EXPECT_EQ(client_.Command("release"), "OK");
    EXPECT_EQ(WaitChild(20000), kChildConnected);
    EXPECT_FALSE(PathExists(socket_));
}

TEST_F(ReaderSimHoldTest, FaultInjectedWhileHeldAppliesToTheConnect) {
    StartChild();
    ConnectWhileHeld();
    EXPECT_EQ(client_.Command("fail ConnectReader"), "OK");
    EXPECT_EQ(client_.Command("release"), "OK");
    EXPECT_EQ(WaitChild(20000), kChildConnectFailed);
    // Not connected, so the socket went only with the library's unload hook.
    EXPECT_FALSE(PathExists(socket_));
}

}  // namespace
