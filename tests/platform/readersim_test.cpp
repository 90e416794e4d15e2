// Tests of the simulated reader library (platform/readerlib), linked into this
// binary and driven through its exported functions and its control socket.
//
// Every handler call is recorded as a line of text. To see everything that was
// delivered, a test sends a "fence": a status with a marker value. The socket
// replies only after the handler returned and deliveries are first in, first
// out, so the reply means everything queued earlier has arrived. Fence() also
// checks that every handler ran on the library's delivery thread, never on the
// caller's, and never inside the start handler.
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
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
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
const char kIdle[] = "OK running=none handle=19286 connected=1 flags=0 auto=0";

std::string Format(const char *format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    for (size_t start = 0, end = 0; end < text.size(); start = end + 1) {
        end = std::min(text.find(separator, start), text.size());
        pieces.push_back(text.substr(start, end - start));
    }
    return pieces;
}

struct CopiedRecord {
    std::string bytes;  // as delivered: padding and pointers included
    ReaderTagRecord record;
    std::vector<uint16_t> data;
};

struct Event {
    std::string text;  // "status read 0 255 19286", "tags read 255 0 n=2", "stop 0 19286", ...
    std::vector<CopiedRecord> records;  // a chain's records, in chain order
    pthread_t thread;
    bool nested;  // delivered while the start handler ran
};

std::string Join(const std::vector<Event> &events) {
    std::string text;
    for (const Event &e : events)
        text += (text.empty() ? "" : " | ") + e.text;
    return text;
}

int CountPrefix(const std::vector<Event> &events, const std::string &prefix) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event &e) {
        return e.text.compare(0, prefix.size(), prefix) == 0;
    }));
}

// The handlers are plain functions, so what they record is global, and so is
// what the start (status 255) handler does besides recording.
std::mutex gMutex;
std::condition_variable gChanged;
std::vector<Event> gEvents;
std::atomic<int> gStartDelayMs{0};
std::atomic<bool> gStopFromStart{false};
std::atomic<bool> gDisconnectFromStart{false};
std::atomic<bool> gInStartHandler{false};
std::atomic<uint32_t> gCallbackResult{0};

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
    gStopFromStart = false;
    gDisconnectFromStart = false;
    gCallbackResult = 0xFFFFFFFF;
}

const char *const kTargets[] = {"inventory", "read", "readuntil"};

template <int kTarget>
void OnStatus(uint32_t code, uint32_t status, uint32_t handle) {
    Record(Format("status %s %u %u %u", kTargets[kTarget], code, status, handle));
    if (status != 255) return;
    gInStartHandler = true;
    if (gStartDelayMs > 0) SleepMs(gStartDelayMs);
    if (gStopFromStart) gCallbackResult = ASyncStopCommand(handle);
    if (gDisconnectFromStart) DisconnectReader(handle);
    gInStartHandler = false;
}

template <int kTarget>
void OnTags(uint32_t event, uint32_t unused, const ReaderTagRecord *first) {
    std::vector<CopiedRecord> records;
    // Bounded walk: a broken chain must fail the test, not hang it.
    for (const ReaderTagRecord *r = first; r != nullptr && records.size() < 10000; r = r->next) {
        records.emplace_back();
        records.back().bytes.assign(reinterpret_cast<const char *>(r), sizeof(*r));
        memcpy(&records.back().record, r, sizeof(*r));
        if (r->data != nullptr) records.back().data.assign(r->data, r->data + r->dataLength);
    }
    std::string text =
        Format("tags %s %u %u n=%zu", kTargets[kTarget], event, unused, records.size());
    Record(std::move(text), std::move(records));
}

// The stop-result, get-flag and set-flag handlers.
const char *const kResults[] = {"stop", "getflag", "setflag"};
template <int kWhich>
void OnResult(uint32_t value, uint32_t handle) {
    Record(Format("%s %u %u", kResults[kWhich], value, handle));
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
    params.reserved16[100] = 0xAB;  // offset 116: every byte must be carried, not only fields
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

// The number of threads of this process, waiting at most timeoutMs for it to
// become `expected`: a joined thread can stay listed for a moment.
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
        unsetenv("READERSIM_AUTO_PERIOD_MS");
        if (!dir_.empty()) rmdir(dir_.c_str());
        ResetRecorder();
    }

    std::string Cmd(const std::string &line) { return client_.Command(line); }

    // Everything delivered since the last fence, the new fence excluded.
    std::vector<Event> Fence() {
        uint32_t marker = 0xFE000000u + ++fences_;
        EXPECT_EQ(Cmd(Format("status 0 %u via=inventory", marker)), "OK");
        std::vector<Event> events = TakeEvents();
        if (events.empty() || events.back().text != Format("status inventory 0 %u 19286", marker)) {
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

TEST_F(ReaderSimTest, StartComesFirstAndStopIsResultThenStatusZeroOfTheCommandThatRan) {
    // Nothing started yet: the status 0 goes to the inventory.
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status inventory 0 0 19286");

    // A slow start handler: what is queued meanwhile still follows it.
    gStartDelayMs = 60;
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);
    EXPECT_EQ(Cmd("tags came epc=1111"), "OK");
    EXPECT_EQ(Cmd("report heartbeat"), "OK");
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "status read 0 255 19286 | tags read 255 0 n=1 | status read 0 128 19286 | "
              "stop 0 19286 | status read 0 0 19286");
    EXPECT_EQ(Cmd("state"), kIdle);

    // Stopped already: the command started last gets the status 0. The stop
    // result holds for every later stop.
    gStartDelayMs = 0;
    EXPECT_EQ(Cmd("stopresult 0x10"), "OK");
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 16 19286 | status read 0 0 19286");
    ASSERT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 2, 0, 255), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "status readuntil 0 255 19286 | stop 16 19286 | status readuntil 0 0 19286");

    // A handler may call the library; what it starts follows its return
    // (Fence checks that). DisconnectReader from a handler does nothing.
    gStopFromStart = true;
    gDisconnectFromStart = true;
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    ASSERT_TRUE(WaitForEvents(5000, [](const std::vector<Event> &events) {
        return CountPrefix(events, "status inventory 0 0 ") == 1;
    }));
    EXPECT_EQ(FenceText(),
              "status inventory 0 255 19286 | stop 16 19286 | status inventory 0 0 19286");
    EXPECT_EQ(gCallbackResult.load(), 0u);
    EXPECT_EQ(Cmd("state"), kIdle);
}

// Offset of the first byte in which a delivered record differs from `want`,
// its two pointers left out; -1 if none.
long FirstDifference(const CopiedRecord &got, const ReaderTagRecord &want) {
    std::string bytes = got.bytes;
    memset(&bytes[offsetof(ReaderTagRecord, data)], 0, sizeof(want.data));
    memset(&bytes[offsetof(ReaderTagRecord, next)], 0, sizeof(want.next));
    auto diff = std::mismatch(bytes.begin(), bytes.end(), reinterpret_cast<const char *>(&want));
    return diff.first == bytes.end() ? -1 : diff.first - bytes.begin();
}

TEST_F(ReaderSimTest, TagChainCarriesEveryFieldByteExactInOrder) {
    ASSERT_EQ(Cmd("tags came epc=300833B2DDD9014000000001 epclen=6 antenna=0x21 rssi=200 "
                  "rssidbm=-61 pc=3000 xpc1=8001 xpc2=0x00A5 result=0 data=11112222 datalen=2 "
                  "ts=1700000000123 | epc=E2801160600002054E5A1B2C antenna=2 rssi=0 "
                  "rssidbm=-32768 pc=0x3400 result=0x0B ts=0xFFFFFFFFFFFFFFFF | "
                  "epc=ABCD epclen=40 data=0001000200030004 datalen=6 rssidbm=32767 xpc1=1 "
                  "xpc2=ffff"),
              "OK");
    // Zero-filled, padding included, then the fields the line sets.
    ReaderTagRecord want[3];
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
    want[2].epc[0] = 0xABCD;
    want[2].epcLength = 40;  // claims more than fits
    want[2].dataLength = 6;  // claims more than given: padded with zero words
    want[2].rssiDbm = 32767;
    want[2].xpcW1 = 1;
    want[2].xpcW2 = 0xFFFF;
    const std::vector<uint16_t> words[] = {{0x1111, 0x2222}, {}, {1, 2, 3, 4, 0, 0}};

    std::vector<Event> events = Fence();
    ASSERT_EQ(Join(events), "tags inventory 255 0 n=3");
    for (size_t i = 0; i < 3; ++i) {
        const CopiedRecord &got = events[0].records[i];
        EXPECT_EQ(FirstDifference(got, want[i]), -1) << "record " << i;
        EXPECT_EQ(got.data, words[i]) << "record " << i;
        EXPECT_EQ(got.record.data == nullptr, i == 1) << "record " << i << ": data pointer";
    }

    // The largest sizes; an empty data= gives a pointer to no words.
    EXPECT_EQ(
        Cmd("tags came epc=" + std::string(31 * 4, 'a') + " data=" + std::string(255 * 4, '1')),
        "OK");
    EXPECT_EQ(Cmd("tags came data= epc="), "OK");
    events = Fence();
    ASSERT_EQ(Join(events), "tags inventory 255 0 n=1 | tags inventory 255 0 n=1");
    EXPECT_EQ(events[0].records[0].record.epcLength, 31);
    EXPECT_EQ(events[0].records[0].data, std::vector<uint16_t>(255, 0x1111));
    EXPECT_EQ(events[1].records[0].record.epcLength, 0);
    EXPECT_EQ(events[1].records[0].record.dataLength, 0);
    EXPECT_NE(events[1].records[0].record.data, nullptr);
}

TEST_F(ReaderSimTest, ReportsAndChainsGoToTheChosenHandler) {
    EXPECT_EQ(Cmd("report start code=4 handle=0x1234 via=read"), "OK");  // a foreign reader
    EXPECT_EQ(Cmd("report heartbeat"), "OK");                            // nothing started
    EXPECT_EQ(Cmd("status 9 77 handle=1 via=readuntil"), "OK");
    EXPECT_EQ(Cmd("tags left via=readuntil epc=0001"), "OK");
    EXPECT_EQ(Cmd("tags via=read 0x80 epc=0003|epc=0004"), "OK");  // via first, '|' unspaced
    EXPECT_EQ(FenceText(),
              "status read 4 255 4660 | status inventory 0 128 19286 | status readuntil 9 77 1 | "
              "tags readuntil 0 0 n=1 | tags read 128 0 n=2");

    // Without via= they follow the running command; a stop via another
    // handler does not end it.
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);
    EXPECT_EQ(Cmd("report heartbeat code=3"), "OK");
    EXPECT_EQ(Cmd("tags 17 epc=0005"), "OK");
    EXPECT_EQ(Cmd("report stop via=inventory"), "OK");
    EXPECT_EQ(Cmd("state"), "OK running=read handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(Cmd("report stop"), "OK");
    EXPECT_EQ(Cmd("state"), kIdle);
    EXPECT_EQ(FenceText(),
              "status read 0 255 19286 | status read 3 128 19286 | tags read 17 0 n=1 | "
              "status inventory 0 0 19286 | status read 0 0 19286");

    ASSERT_EQ(SetDllResultHandlerASyncReadDataAny(nullptr, nullptr), 0u);
    EXPECT_EQ(Cmd("report heartbeat via=read"), "ERR no handler");
    EXPECT_EQ(Cmd("tags came via=read epc=1234"), "ERR no handler");
    ASSERT_EQ(ASyncReadDataAny(handle_, 0, 3, 0, 4), 0u);  // accepted, delivered nowhere
    EXPECT_EQ(FenceText(), "");
}

TEST_F(ReaderSimTest, FailReturnsTheCodeWithoutEffectUntilOk) {
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");
    const struct {
        const char *name;
        const char *code;  // "" for the default
        uint32_t expected;
        uint32_t (*call)(uint32_t handle);
        const char *deliveredOnceOk;
    } cases[] = {
        {"ASyncGetEPCs", " 9", 9, [](uint32_t h) { return ASyncGetEPCs(h); },
         "status inventory 0 255 19286"},
        {"ASyncReadDataAny", "", 1, [](uint32_t h) { return ASyncReadDataAny(h, 0, 3, 0, 4); },
         "status read 0 255 19286"},
        {"ASyncReadDataUntilEndOfBankAny", " 0x1F", 31,
         [](uint32_t h) { return ASyncReadDataUntilEndOfBankAny(h, 0, 3, 0, 255); },
         "status readuntil 0 255 19286"},
        {"ASyncStopCommand", " 5", 5, [](uint32_t h) { return ASyncStopCommand(h); },
         "stop 0 19286 | status readuntil 0 0 19286"},
        {"GetExtendedResultFlag", " 4", 4, [](uint32_t h) { return GetExtendedResultFlag(h); },
         "getflag 0 19286"},
        {"SetExtendedResultFlag", " 6", 6,
         [](uint32_t h) { return SetExtendedResultFlag(h, 0x7F); }, "setflag 0 19286"},
    };
    for (const auto &c : cases) {
        std::string before = Cmd("state");
        EXPECT_EQ(Cmd(std::string("fail ") + c.name + c.code), "OK");
        EXPECT_EQ(c.call(handle_), c.expected) << c.name;
        EXPECT_EQ(FenceText(), "") << c.name;
        EXPECT_EQ(Cmd("state"), before) << "a failed " << c.name << " had an effect";
        EXPECT_EQ(Cmd(std::string("ok ") + c.name), "OK");
        EXPECT_EQ(c.call(handle_), 0u) << c.name;
        EXPECT_EQ(FenceText(), c.deliveredOnceOk) << c.name;
    }
    const std::string flagged = "OK running=none handle=19286 connected=1 flags=127 auto=0";
    EXPECT_EQ(Cmd("state"), flagged);

    // A failed registration keeps the handler; once allowed, null removes it.
    EXPECT_EQ(Cmd("fail SetDllResultHandlerASyncStopCommand 7"), "OK");
    EXPECT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 7u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "stop 0 19286 | status readuntil 0 0 19286");
    EXPECT_EQ(Cmd("ok SetDllResultHandlerASyncStopCommand"), "OK");
    EXPECT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 0u);
    ASSERT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(FenceText(), "status readuntil 0 0 19286");

    // Connect and disconnect that fail, or cannot apply, change nothing but
    // are listed.
    EXPECT_EQ(Cmd("calls clear"), "OK");
    EXPECT_EQ(Cmd("fail ConnectReader 5"), "OK");
    EXPECT_EQ(ConnectReader(&params_, 0), 0u);
    EXPECT_EQ(Cmd("ok ConnectReader"), "OK");
    EXPECT_EQ(ConnectReader(nullptr, 0), 0u);
    EXPECT_EQ(ConnectReader(&params_, 0), kHandle);  // already connected: the same handle
    EXPECT_EQ(Cmd("fail DisconnectReader"), "OK");
    DisconnectReader(handle_);
    EXPECT_EQ(Cmd("ok DisconnectReader"), "OK");
    DisconnectReader(handle_ + 1);  // not the connection's handle
    EXPECT_EQ(Cmd("state"), flagged);
    EXPECT_EQ(Cmd("calls"),
              "OK ConnectReader(params,0);ConnectReader(null,0);ConnectReader(params,0);"
              "DisconnectReader(19286);DisconnectReader(19287)");
}

TEST_F(ReaderSimTest, WithholdStartErrorAndFlagsShapeWhatIsDelivered) {
    for (const char *name :
         {"ASyncGetEPCs", "ASyncStopCommand", "GetExtendedResultFlag", "SetExtendedResultFlag"}) {
        EXPECT_EQ(Cmd(std::string("withhold ") + name), "OK");
    }
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(Cmd("state"), "OK running=inventory handle=19286 connected=1 flags=0 auto=0");
    EXPECT_EQ(ASyncStopCommand(handle_), 0u);
    EXPECT_EQ(Cmd("state"), kIdle);
    EXPECT_EQ(GetExtendedResultFlag(handle_), 0u);
    EXPECT_EQ(SetExtendedResultFlag(handle_, 0x3C), 0u);  // stored all the same
    EXPECT_EQ(FenceText(), "");
    for (const char *name :
         {"ASyncGetEPCs", "ASyncStopCommand", "GetExtendedResultFlag", "SetExtendedResultFlag"}) {
        EXPECT_EQ(Cmd(std::string("deliver ") + name), "OK");
    }
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    EXPECT_EQ(Cmd("flags 0xA5"), "OK");
    ASSERT_EQ(GetExtendedResultFlag(handle_), 0u);
    ASSERT_EQ(SetExtendedResultFlag(handle_, 9), 0u);
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(),
              "getflag 60 19286 | getflag 165 19286 | setflag 0 19286 | "
              "status inventory 0 255 19286");

    // A withheld start can be acknowledged late by a controller.
    EXPECT_EQ(Cmd("withhold ASyncReadDataUntilEndOfBankAny"), "OK");
    EXPECT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 3, 0, 255), 0u);
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("report start"), "OK");
    EXPECT_EQ(FenceText(), "status readuntil 0 255 19286");

    // A start error goes with the next start report only and leaves that
    // command stopped. Every controller sees the same session.
    ReaderSimClient second;
    ASSERT_TRUE(second.Connect(socket_, 5000));
    EXPECT_EQ(second.Command("starterror 7"), "OK");
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 7 255 19286");
    EXPECT_EQ(Cmd("state"), "OK running=none handle=19286 connected=1 flags=9 auto=0");
    second.Close();  // one that leaves disturbs no other
    EXPECT_EQ(ASyncGetEPCs(handle_), 0u);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");
    EXPECT_EQ(Cmd("state"), "OK running=inventory handle=19286 connected=1 flags=9 auto=0");
}

TEST_F(ReaderSimTest, CallsAndConnectParamsShowWhatTheLibraryReceived) {
    // A handle that is not the connection's is refused and delivers nothing.
    EXPECT_EQ(ASyncGetEPCs(0x1234), kNotConnected);
    EXPECT_EQ(ASyncStopCommand(0), kNotConnected);
    EXPECT_EQ(GetExtendedResultFlag(1), kNotConnected);
    EXPECT_EQ(SetExtendedResultFlag(2, 3), kNotConnected);
    EXPECT_EQ(FenceText(), "");
    EXPECT_EQ(Cmd("state"), kIdle);
    ASSERT_EQ(ASyncReadDataAny(handle_, 0x11223344, 3, 2, 4), 0u);
    ASSERT_EQ(ASyncReadDataUntilEndOfBankAny(handle_, 0, 2, 0, 255), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncStopCommand(nullptr), 0u);
    ASSERT_EQ(SetDllResultHandlerASyncGetEPCs(OnStatus<0>, nullptr), 0u);
    EXPECT_EQ(
        Cmd("calls"),
        "OK ASyncGetEPCs(4660);ASyncStopCommand(0);GetExtendedResultFlag(1);"
        "SetExtendedResultFlag(2,3);ASyncReadDataAny(19286,287454020,3,2,4);"
        "ASyncReadDataUntilEndOfBankAny(19286,0,2,0,255);"
        "SetDllResultHandlerASyncStopCommand(null);SetDllResultHandlerASyncGetEPCs(set,null)");
    EXPECT_EQ(Cmd("calls clear"), "OK");
    EXPECT_EQ(Cmd("calls"), "OK");

    // Only the newest 512 calls are kept.
    for (uint32_t i = 1; i <= 600; ++i)
        ASSERT_EQ(ASyncGetEPCs(100000 + i), kNotConnected);
    std::vector<std::string> calls = Split(Cmd("calls"), ';');
    ASSERT_EQ(calls.size(), 512u);
    EXPECT_EQ(calls.front(), "OK ASyncGetEPCs(100089)");
    EXPECT_EQ(calls.back(), "ASyncGetEPCs(100600)");

    std::string params = "03" + std::string(5 * 2, '0') + "3132372e302e302e3100" +
                         std::string(100 * 2, '0') + "ab" + std::string(147 * 2, '0') + "d0070000" +
                         std::string(12 * 2, '0');
    ASSERT_EQ(params.size(), 560u);
    EXPECT_EQ(Cmd("connectparams"), "OK " + params);
}

// Lines that must be answered with ERR, ';'-separated; the first is empty.
const char kBadLines[] =
    ";   ;bogus;STATE;help me;state now;release now;fail;fail NoSuchFunction;"
    "fail ASyncGetEPCs notanumber;fail ASyncGetEPCs 4294967296;fail ASyncGetEPCs 1 2;ok;"
    "ok ASyncGetEPCs 1;withhold;withhold ConnectReader;withhold SetDllResultHandlerASyncGetEPCs;"
    "deliver DisconnectReader;starterror;starterror -1;stopresult 0xZZ;flags 256;flags;auto;"
    "auto maybe;report;report sideways;report stop code=;report stop code=1 code=2;"
    "report stop via=nowhere;report stop extra;status 1;status x 1;status 1 2 code=3;"
    "calls please;connectparams now;tags;tags came;tags sideways epc=1234;tags 256 epc=1234;"
    "tags came epc=123;tags came epc=zzzz;tags came epc=1234 |;tags came | epc=1234;"
    "tags came epc=1234 | | epc=5678;tags came antenna=256;tags came rssi=-1;"
    "tags came rssidbm=-32769;tags came rssidbm=32768;tags came pc=12345;tags came xpc1=;"
    "tags came result=0x100;tags came datalen=256;tags came epclen=x;"
    "tags came ts=18446744073709551616;tags came epc=1234 epc=5678;tags came nokey;tags came =5;"
    "tags came colour=red;tags came via=read via=read epc=1234;tags came via=elsewhere epc=1234;"
    "tags came epc=1234 via=read";
// Lines a second controller sends while calls run; none touches the inventory.
const char kBusyLines[] =
    "flags 7;calls clear;state;connectparams;help;auto off;fail GetExtendedResultFlag 3;"
    "ok GetExtendedResultFlag;withhold SetExtendedResultFlag;deliver SetExtendedResultFlag";

TEST_F(ReaderSimTest, ConcurrentCallsChainsAndBadLinesKeepOrderAndOneReplyEach) {
    std::vector<std::string> bad = Split(kBadLines, ';');
    bad.push_back(std::string("state\0", 6));
    bad.push_back("tags came epc=" + std::string(32 * 4, 'a'));
    bad.push_back("tags came data=" + std::string(256 * 4, '1'));
    uint32_t random = 0x9E3779B9u;  // fixed: a failure repeats
    for (int n = 0; n < 200; ++n) {
        std::string line;
        for (int length = 1 + n % 16; length > 0; --length) {
            random ^= random << 13;
            random ^= random >> 17;
            random ^= random << 5;
            line += static_cast<char>(random % 256 == '\n' ? ' ' : random % 256);
        }
        bad.push_back(line);
    }
    const std::vector<std::string> busy = Split(kBusyLines, ';');

    // One thread starts and stops the inventory and calls for the flags; a
    // second controller sends chains and other lines; this connection sends
    // lines that must each get one ERR (a second reply would answer the next).
    const int kCycles = 250;
    std::atomic<int> rejected{0};
    std::thread caller([&] {
        for (int i = 0; i < kCycles; ++i) {
            rejected += ASyncGetEPCs(handle_) != 0;
            GetExtendedResultFlag(handle_);
            SetExtendedResultFlag(handle_, static_cast<uint8_t>(i));
            rejected += ASyncStopCommand(handle_) != 0;
            SleepMs(1);
        }
    });
    ReaderSimClient second;
    ASSERT_TRUE(second.Connect(socket_, 5000));
    int chains = 0;
    for (size_t i = 0; i < 2 * bad.size(); ++i) {
        const std::string &line = bad[i % bad.size()];
        EXPECT_EQ(Cmd(line).compare(0, 4, "ERR "), 0) << "'" << line << "'";
        const std::string &other = busy[i % busy.size()];
        EXPECT_EQ(second.Command(other).compare(0, 2, "OK"), 0) << other;
        EXPECT_EQ(second.Command(Format("tags came via=inventory epc=3333 ts=%d", chains++)), "OK");
    }
    caller.join();
    std::vector<Event> events = Fence();
    EXPECT_EQ(rejected.load(), 0);

    const std::string started = "status inventory 0 255 19286";
    const std::string stopped = "status inventory 0 0 19286";
    std::string lastStatus;
    int nextTs = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        const std::string &text = events[i].text;
        if (text == "stop 0 19286") {
            // Nothing may come between a stop result and its status 0.
            EXPECT_EQ(i + 1 < events.size() ? events[i + 1].text : "", stopped) << "at " << i;
        } else if (text == started || text == stopped) {
            EXPECT_NE(text, lastStatus) << "start and stop do not alternate at " << i;
            lastStatus = text;
        } else if (text == "tags inventory 255 0 n=1") {
            EXPECT_EQ(events[i].records[0].record.timestampMs, nextTs++) << "chains out of order";
        } else {
            EXPECT_TRUE(text.compare(0, 4, "getf") == 0 || text.compare(0, 4, "setf") == 0) << text;
        }
    }
    EXPECT_EQ(CountPrefix(events, started), kCycles);
    EXPECT_EQ(CountPrefix(events, "stop "), kCycles);
    EXPECT_EQ(nextTs, chains);

    // Exactly 64 KiB is still a line (the blanks pad a valid command); past
    // that the line is skipped to its end and the connection stays usable.
    std::string longest = "tags came epc=1234 ts=7";
    longest.resize(64 * 1024, ' ');
    EXPECT_EQ(Cmd(longest + " "), "ERR line too long");
    EXPECT_EQ(Cmd(std::string(1024 * 1024, 'x')), "ERR line too long");
    EXPECT_EQ(Cmd(longest), "OK");
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    events = Fence();
    ASSERT_EQ(Join(events), "tags inventory 255 0 n=1 | " + started);
    EXPECT_EQ(events[0].records[0].record.timestampMs, 7u);
}

TEST_F(ReaderSimTest, DemoPlaysAPopulationOnlyWhileOnAndACommandRuns) {
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    SleepMs(150);                                            // 7 demo periods
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");  // off under a controller
    EXPECT_EQ(Cmd("auto on"), "OK");
    const struct {
        const char *target;
        std::function<uint32_t()> start;
        int heartbeats;  // to wait for
        size_t words;    // data words of a tag coming into the field
        bool ownEpc;     // which are the tag's EPC
    } cases[] = {
        {"inventory", [&] { return ASyncGetEPCs(handle_); }, 2, 0, false},
        // The EPC bank from word 2 to its end.
        {"readuntil", [&] { return ASyncReadDataUntilEndOfBankAny(handle_, 0, 1, 2, 255); }, 0, 6,
         true},
        {"read", [&] { return ASyncReadDataAny(handle_, 0, 3, 0, 4); }, 0, 4, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target);
        const std::string heartbeat = Format("status %s 0 128 19286", c.target);
        const std::string stopped = Format("status %s 0 0 19286", c.target);
        ASSERT_EQ(c.start(), 0u);
        EXPECT_TRUE(WaitForEvents(10000, [&](const std::vector<Event> &events) {
            return CountPrefix(events, "tags ") >= 10 &&
                   CountPrefix(events, heartbeat) >= c.heartbeats;
        }));
        EXPECT_EQ(ASyncStopCommand(handle_), 0u);
        SleepMs(100);  // five demo periods: nothing may follow the stop
        std::vector<Event> events = Fence();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events.front().text, Format("status %s 0 255 19286", c.target));
        EXPECT_EQ(events[events.size() - 2].text, "stop 0 19286");
        EXPECT_EQ(events.back().text, stopped);

        // At most five tags of six EPC words, each coming before it leaves,
        // with plausible values and the wall-clock time.
        const std::string came = Format("tags %s 255 0 ", c.target);
        const std::string left = Format("tags %s 0 0 ", c.target);
        const int64_t now = static_cast<int64_t>(time(nullptr)) * 1000;
        std::map<std::vector<uint16_t>, bool> present;
        uint64_t lastTs = 0;
        for (size_t i = 1; i + 2 < events.size(); ++i) {
            if (events[i].text == heartbeat) continue;
            bool coming = events[i].text.compare(0, came.size(), came) == 0;
            EXPECT_TRUE(coming || events[i].text.compare(0, left.size(), left) == 0) << i;
            for (const CopiedRecord &copy : events[i].records) {
                const ReaderTagRecord &r = copy.record;
                std::vector<uint16_t> epc(r.epc, r.epc + 6);
                EXPECT_EQ(r.epcLength, 6);
                EXPECT_NE(present[epc], coming) << "a tag came twice or left unseen";
                present[epc] = coming;
                EXPECT_TRUE((r.antenna & 0x0F) >= 1 && (r.antenna & 0x0F) <= 4) << +r.antenna;
                EXPECT_TRUE(r.rssiDbm >= -100 && r.rssiDbm <= -20) << r.rssiDbm;
                EXPECT_GE(r.timestampMs, lastTs);
                EXPECT_LT(llabs(static_cast<int64_t>(r.timestampMs) - now), 60000);
                lastTs = r.timestampMs;
                if (!coming && c.words != 0) continue;  // what a leaving tag carries is open
                EXPECT_EQ(copy.data.size(), c.words);
                EXPECT_EQ(r.dataLength, copy.data.size());
                EXPECT_EQ(r.readResult, 0);
                // The record holds the EPC last word first; memory holds it in order.
                std::vector<uint16_t> inMemory(epc.rbegin(), epc.rend());
                EXPECT_TRUE(!c.ownEpc || copy.data == inMemory) << "not the tag's own EPC";
            }
        }
        EXPECT_GE(present.size(), 2u);
        EXPECT_LE(present.size(), 5u);
    }
    EXPECT_EQ(Cmd("auto off"), "OK");
    ASSERT_EQ(ASyncGetEPCs(handle_), 0u);
    SleepMs(150);
    EXPECT_EQ(FenceText(), "status inventory 0 255 19286");
}

TEST(ReaderSimLifecycle, DisconnectJoinsThreadsRemovesSocketAndResetsTheSession) {
    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/control.sock";
    ASSERT_EQ(setenv("READERSIM_SOCKET", path.c_str(), 1), 0);
    ResetRecorder();
    Register(true);
    // A sanitizer runtime may start a helper thread along with the first
    // thread of the process; let that happen before counting.
    std::thread([] {}).join();
    const int baseline = ThreadCount();
    ASSERT_GT(baseline, 0);

    tConnectParams params = MakeParams();
    ASSERT_EQ(ConnectReader(&params, 0), kHandle);
    EXPECT_GT(ThreadCount(), baseline);
    ReaderSimClient client;
    ASSERT_TRUE(client.Connect(path, 5000));
    EXPECT_EQ(client.Command("flags 7"), "OK");

    // Disconnect while a slow handler runs: it returns only after the handler.
    gStartDelayMs = 200;
    ASSERT_EQ(ASyncGetEPCs(kHandle), 0u);
    ASSERT_TRUE(WaitForEvents(5000, [](const std::vector<Event> &e) { return !e.empty(); }));
    DisconnectReader(kHandle);
    EXPECT_FALSE(gInStartHandler.load());
    EXPECT_EQ(ThreadCount(baseline, 2000), baseline);
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(client.Command("state", 1000), "");
    TakeEvents();
    EXPECT_EQ(ASyncGetEPCs(kHandle), kNotConnected);
    SleepMs(100);
    EXPECT_EQ(Join(TakeEvents()), "");

    // A new connection starts afresh.
    gStartDelayMs = 0;
    ASSERT_EQ(ConnectReader(&params, 0), kHandle);
    ASSERT_TRUE(client.Connect(path, 5000));
    EXPECT_EQ(client.Command("state"), kIdle);
    EXPECT_EQ(client.Command("calls"), "OK ASyncGetEPCs(19286);ConnectReader(params,0)");
    client.Close();
    DisconnectReader(kHandle);
    EXPECT_EQ(ThreadCount(baseline, 2000), baseline);
    EXPECT_FALSE(PathExists(path));

    // With no socket, the demo plays by itself.
    unsetenv("READERSIM_SOCKET");
    rmdir(dir.c_str());
    ASSERT_EQ(setenv("READERSIM_AUTO_PERIOD_MS", "20", 1), 0);
    ASSERT_EQ(ConnectReader(&params, 0), kHandle);
    ASSERT_EQ(ASyncGetEPCs(kHandle), 0u);
    EXPECT_TRUE(WaitForEvents(5000, [](const std::vector<Event> &events) {
        return CountPrefix(events, "tags inventory 255 0 ") > 0;
    }));
    DisconnectReader(kHandle);
    EXPECT_EQ(ThreadCount(baseline, 2000), baseline);
    unsetenv("READERSIM_AUTO_PERIOD_MS");
    Register(false);
}

// A held ConnectReader runs in a child process, since the control socket must
// exist before ConnectReader: the library has to see READERSIM_SOCKET when it
// is loaded. The test binary runs itself again with the variables set; this
// initialiser runs in the child before main, after the library's load hook,
// and exits with what ConnectReader returned.
const char kHoldChild[] = "READERSIM_TEST_HOLD_CHILD";
enum { kChildConnected = 0, kChildNoSocketAtLoad = 3, kChildConnectFailed = 10, kChildOdd = 11 };

int RunHoldChildIfAsked() {
    if (getenv(kHoldChild) == nullptr) return 0;
    const char *path = getenv("READERSIM_SOCKET");
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        exit(kChildNoSocketAtLoad);
    }
    tConnectParams params = MakeParams();
    uint32_t handle = ConnectReader(&params, 0);
    if (handle != 0) DisconnectReader(handle);
    // exit(), not _exit(): the library's unload hook must remove the socket.
    exit(handle == kHandle ? kChildConnected : handle == 0 ? kChildConnectFailed : kChildOdd);
}

const int kHoldChildChecked = RunHoldChildIfAsked();

// The child's exit code, or -1 if it did not exit within timeoutMs. Clears
// `child` once it is reaped.
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

TEST(ReaderSimHold, ConnectWaitsForReleaseAndTakesFaultsInjectedMeanwhile) {
    for (const char *fault : {"", "fail ConnectReader"}) {
        SCOPED_TRACE(fault);
        std::string dir = TempDir();
        ASSERT_FALSE(dir.empty());
        std::string socket = dir + "/control.sock";
        setenv("READERSIM_SOCKET", socket.c_str(), 1);
        setenv("READERSIM_HOLD", "1", 1);
        setenv(kHoldChild, "1", 1);
        char self[] = "/proc/self/exe";
        char *argv[] = {self, nullptr};
        pid_t child = -1;
        EXPECT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, environ), 0);
        unsetenv("READERSIM_SOCKET");
        unsetenv("READERSIM_HOLD");
        unsetenv(kHoldChild);

        // Wait until the child is inside ConnectReader.
        ReaderSimClient client;
        EXPECT_TRUE(client.Connect(socket, 20000));
        bool held = false;
        for (int i = 0; i < 1000 && !held && client.Connected(); ++i) {
            held = client.Command("calls") == "OK ConnectReader(params,0)";
            if (!held) SleepMs(10);
        }
        EXPECT_TRUE(held);
        EXPECT_EQ(client.Command("state"), "OK running=none handle=0 connected=0 flags=0 auto=0");
        SleepMs(200);
        EXPECT_EQ(WaitChild(&child, 0), -1) << "ConnectReader returned before release";
        if (*fault != '\0') {
            EXPECT_EQ(client.Command(fault), "OK");
        }
        EXPECT_EQ(client.Command("release"), "OK");
        EXPECT_EQ(WaitChild(&child, 20000), *fault != '\0' ? kChildConnectFailed : kChildConnected);
        // Gone with DisconnectReader, or with the unload hook if not connected.
        EXPECT_FALSE(PathExists(socket));
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        unlink(socket.c_str());
        rmdir(dir.c_str());
    }
}

}  // namespace
