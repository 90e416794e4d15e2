// The keyboard emulation thread, typing into a FIFO that stands in for the
// gadget. The test holds the FIFO open read-write: it reads the reports back,
// and can fill it to play a host that stopped fetching them. Every wait is bounded.
#include "output/keyboard.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "build_settings.h"
#include "core/log.h"
#include "core/signals.h"
#include "support/hid_decoder.h"
#include "support/worker.h"
#include "sync/data.h"
#include "sync/lists.h"
#include "testkit/files.h"

namespace {

struct Key {
    uint8_t modifier, usage;
};
const Key kUp = {0, 0}, kA = {0, 0x04}, kB = {0, 0x05}, kShiftA = {0x02, 0x04}, kEnter = {0, 0x28};

// All eight bytes of every report, in hex.
std::string Hex(const std::vector<HidReportBytes> &reports) {
    std::string out;
    char byte[4];
    for (const HidReportBytes &report : reports) {
        for (size_t i = 0; i < report.size(); i++) {
            snprintf(byte, sizeof(byte), i == 0 ? " %02X" : "%02X", report[i]);
            out += byte;
        }
    }
    return out;
}

std::string Hex(const std::vector<Key> &keys) {
    std::vector<HidReportBytes> reports;
    for (const Key &key : keys)
        reports.push_back(MakeHidReport(key.modifier, key.usage));
    return Hex(reports);
}

tData *NewText(const std::string &bytes) {
    tData *text = static_cast<tData *>(calloc(1, sizeof(tData)));
    text->buffer = static_cast<uint8_t *>(malloc(bytes.size() + 1));
    memcpy(text->buffer, bytes.data(), bytes.size());
    text->length = static_cast<uint32_t>(bytes.size());
    return text;
}

// Queues texts as SendTagData does: all pushed in one hold of KeyboardLock,
// then KeyboardTextEvent signalled once per text.
void QueueTexts(const std::vector<std::string> &texts) {
    ASSERT_EQ(EventWaitMs(&KeyboardLock, 2000), 0);
    for (const std::string &text : texts)
        KeyboardList.PushBack(NewText(text));
    EventSignal(&KeyboardLock);
    for (size_t i = 0; i < texts.size(); i++)
        EventSignal(&KeyboardTextEvent);
}

class KeyboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(temp.Error(), "");
        dir = temp.Dir();
        devicePath = dir + "/hidg0";
        ASSERT_EQ(mkfifo(devicePath.c_str(), 0600), 0) << strerror(errno);
        host = open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(host, 0) << strerror(errno);
        HidDevicePath = devicePath.c_str();
        FlagSet(ShutdownFlag, 0);
        EventInit(&KeyboardLock, 1);
        EventInit(&KeyboardTextEvent, 0);
    }
    void TearDown() override {
        EXPECT_TRUE(StopTyping(2000)) << "the typing thread did not end";
        FreeKeyboardTexts();
        HidDevicePath = KORVANE_HID_DEVICE;
        FlagSet(ShutdownFlag, 0);
        FlagSet(Verbose, 0);
        if (host >= 0) close(host);
    }
    void StartTyping() {
        FlagSet(ShutdownFlag, 0);
        typist.reset(new Worker([] { KeybEmulation(nullptr); }));
    }
    // Sets ShutdownFlag; true when the thread ended within `limitMs`.
    bool StopTyping(int limitMs) {
        if (!typist) return true;
        FlagSet(ShutdownFlag, 1);
        if (!typist->JoinWithin(limitMs)) return false;
        typist.reset();
        return true;
    }
    // Queues `texts` in one batch, or each once the one before was typed,
    // and checks that exactly `expected` came, byte for byte.
    void ExpectTyped(const std::vector<std::string> &texts, bool oneBatch,
                     const std::vector<Key> &expected, const std::string &decoded) {
        HidDecoder decoder;
        StartTyping();
        for (size_t i = 0; i < texts.size(); i++) {
            if (oneBatch) {
                QueueTexts(texts);
                break;
            }
            QueueTexts({texts[i]});
            while (decoder.ReadUntil(host, decoder.Reports().size() + 1, 2000) &&
                   decoder.Reports().back() != MakeHidReport(0, 0)) {
            }
        }
        decoder.ReadUntil(host, expected.size(), 3000);
        ASSERT_TRUE(StopTyping(1000));
        decoder.Drain(host);
        EXPECT_EQ(Hex(decoder.Reports()), Hex(expected));
        EXPECT_EQ(decoder.PendingBytes(), 0u);
        EXPECT_EQ(decoder.Text(), decoded);
    }

    TempDir temp{"korvane-keyboard"};
    std::string dir, devicePath;
    int host = -1;
    std::unique_ptr<Worker> typist;
};

TEST(HidDecoder, RoundTrip) {
    std::vector<uint8_t> bytes;
    for (const Key &key : std::vector<Key>{kA, kUp, kA, kShiftA, {0x20, 0x1E}, kEnter, kUp}) {
        HidReportBytes report = MakeHidReport(key.modifier, key.usage);
        bytes.insert(bytes.end(), report.begin(), report.end());
    }
    HidDecoder decoder;
    for (size_t at = 0; at < bytes.size(); at += 3)  // as reads may split reports
        decoder.Feed(bytes.data() + at, std::min<size_t>(3, bytes.size() - at));
    EXPECT_EQ(decoder.Text(), "aa!\n");  // Shift pressed on a held key is no new press
    EXPECT_EQ(decoder.Reports().size(), 7u);
    EXPECT_EQ(decoder.PendingBytes(), 0u);
}

TEST_F(KeyboardTest, TextsBecomeTheseReports) {
    const struct {
        std::string text;
        std::vector<Key> reports;
        std::string decoded;
    } cases[] = {
        {"aa", {kA, kUp, kA, kUp}, "aa"},  // a repeated key is let go in between
        {"ab", {kA, kB, kUp}, "ab"},
        {"Aa", {kShiftA, kUp, kA, kUp}, "Aa"},
        {"\r\n", {kEnter, kUp, kEnter, kUp}, "\n\n"},
        {"", {kUp}, ""},
        {"a\xC3\xA9\xFF"
         "a",
         {kA, kUp, kA, kUp},
         "aa"},                                              // bytes above 127 are skipped
        {std::string("a\0b", 3), {kA, kUp, kB, kUp}, "ab"},  // NUL: a report without a key
        {std::string("\0", 1), {kUp, kUp, kUp}, ""},
        {"1!", {{0, 0x1E}, kUp, {0x02, 0x1E}, kUp}, "1!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Hex(c.reports));
        ExpectTyped({c.text}, true, c.reports, c.decoded);
        if (HasFatalFailure()) return;
    }
}

TEST_F(KeyboardTest, TheLastKeyIsRememberedAcrossTexts) {
    const struct {
        std::vector<std::string> texts;
        std::vector<Key> reports;
        std::string decoded;
    } cases[] = {
        {{"a", "a"}, {kA, kUp, kUp, kA, kUp}, "aa"},
        {{"xA", "a"}, {{0, 0x1B}, kShiftA, kUp, kUp, kA, kUp}, "xAa"},
        {{"\n", "\r"}, {kEnter, kUp, kUp, kEnter, kUp}, "\n\n"},
        {{"a", "\xFF", "a"}, {kA, kUp, kUp, kUp, kA, kUp}, "aa"},
        {{"a", "b"}, {kA, kUp, kB, kUp}, "ab"},
    };
    for (bool oneBatch : {true, false}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.decoded + (oneBatch ? ", one batch" : ", one by one"));
            ExpectTyped(c.texts, oneBatch, c.reports, c.decoded);
            if (HasFatalFailure()) return;
        }
    }
}

TEST_F(KeyboardTest, BatchesAreTypedInQueueOrder) {
    HidDecoder decoder;
    StartTyping();
    QueueTexts({"ab", "cd"});
    ASSERT_TRUE(decoder.ReadUntil(host, 6, 3000));
    QueueTexts({"ef"});
    QueueTexts({"gh", "i"});
    decoder.ReadUntil(host, 14, 3000);
    ASSERT_TRUE(StopTyping(1000));
    decoder.Drain(host);
    EXPECT_EQ(decoder.Text(), "abcdefghi");
    EXPECT_EQ(decoder.Reports().size(), 14u);  // each text ends with one release
}

TEST_F(KeyboardTest, DeviceThatCannotBeOpenedEndsTheThreadWithTheLogLine) {
    const std::string unread = dir + "/unread";  // a blocking open would wait for good
    ASSERT_EQ(mkfifo(unread.c_str(), 0600), 0);
    for (const std::string &path : {dir + "/absent/hidg0", dir, unread}) {
        SCOPED_TRACE(path);
        HidDevicePath = path.c_str();
        FlagSet(Verbose, 1);
        testing::internal::CaptureStdout();
        int64_t start = MonotonicNs();
        StartTyping();
        bool ended = typist->JoinWithin(500);  // by itself, without ShutdownFlag
        double elapsed = MsSince(start);
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(ended);
        EXPECT_LT(elapsed, 500.0);
        ASSERT_TRUE(StopTyping(2000));
        EXPECT_EQ(log,
                  "Korvane: KeyboardEmulation(): Error while getting access to keyboard "
                  "\"port\"\n");
    }
    HidDevicePath = devicePath.c_str();
    unlink(unread.c_str());
}

TEST_F(KeyboardTest, ShutdownEndsAnIdleThreadPromptly) {
    StartTyping();
    SleepMs(150);
    EXPECT_FALSE(typist->Finished());
    int64_t start = MonotonicNs();
    ASSERT_TRUE(StopTyping(2000));
    EXPECT_LT(MsSince(start), 300.0);
    HidDecoder decoder;
    EXPECT_EQ(decoder.Drain(host), 0u);
}

TEST_F(KeyboardTest, FullGadgetNeverKeepsTheProducerWaitingAndShutdownStillEnds) {
    const HidReportBytes filler = MakeHidReport(0xEE, 0xEE);
    size_t filled = 0;
    while (write(host, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size()))
        filled += filler.size();
    ASSERT_EQ(errno, EAGAIN);
    StartTyping();
    QueueTexts({"stalled"});
    SleepMs(150);  // the thread now waits for room for its first report
    double longestWaitMs = 0;
    for (int i = 0; i < 10; i++) {
        int64_t start = MonotonicNs();
        ASSERT_EQ(EventWaitMs(&KeyboardLock, 2000), 0) << "KeyboardLock held while typing";
        longestWaitMs = std::max(longestWaitMs, MsSince(start));
        KeyboardList.PushBack(NewText("more"));
        EventSignal(&KeyboardLock);
        EventSignal(&KeyboardTextEvent);
        SleepMs(20);
    }
    EXPECT_LT(longestWaitMs, 50.0);
    EXPECT_FALSE(typist->Finished());
    int64_t start = MonotonicNs();
    ASSERT_TRUE(StopTyping(2000));
    EXPECT_LT(MsSince(start), 300.0);
    // Nothing went in past the filler, not even part of a report.
    std::vector<uint8_t> buffer(filled + 64);
    EXPECT_EQ(read(host, buffer.data(), buffer.size()), static_cast<ssize_t>(filled));
}

TEST_F(KeyboardTest, DeviceWhoseReaderWentAwayDoesNotEndTheProcess) {
    HidDecoder decoder;
    StartTyping();
    QueueTexts({"a"});
    ASSERT_TRUE(decoder.ReadUntil(host, 2, 3000));
    close(host);
    host = -1;
    QueueTexts({"bc"});  // writes now fail with EPIPE; SIGPIPE must not end the process
    SleepMs(100);
    int64_t start = MonotonicNs();
    ASSERT_TRUE(StopTyping(2000));
    EXPECT_LT(MsSince(start), 300.0);
    EXPECT_EQ(KeyboardList.Count(), 0u);
}

}  // namespace
