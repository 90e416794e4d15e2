// Tests of the keyboard emulation: the character table, the reports the
// typing thread writes for a text (byte for byte), the order of texts queued
// in several batches, the key remembered across texts, and the thread's
// behaviour when the device is missing, stalls or goes away: it must end
// promptly on ShutdownFlag and never keep the producer waiting for
// KeyboardLock.
//
// The thread types into a FIFO in a private temporary directory (through
// HidDevicePath), which the test holds open read-write: it reads the reports
// from it, and it can fill it to play a host that stopped fetching reports.
// Every wait is bounded.
#include "output/keyboard.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

namespace {

// A report as the pair the test tables use: modifier and usage.
struct Key {
    uint8_t modifier;
    uint8_t usage;
};

const Key kRelease = {0x00, 0x00};
const Key kNoKey = {0x00, 0x00};  // what a control code without a key sends
const Key kEnter = {0x00, 0x28};

std::vector<HidReportBytes> ReportsOf(const std::vector<Key> &keys) {
    std::vector<HidReportBytes> reports;
    for (const Key &key : keys)
        reports.push_back(MakeHidReport(key.modifier, key.usage));
    return reports;
}

// Readable report lists in failure messages.
std::string Describe(const std::vector<HidReportBytes> &reports) {
    std::string out;
    char hex[4];
    for (const HidReportBytes &report : reports) {
        out += out.empty() ? "[" : " [";
        for (size_t i = 0; i < report.size(); i++) {
            snprintf(hex, sizeof(hex), i == 0 ? "%02X" : " %02X", report[i]);
            out += hex;
        }
        out += "]";
    }
    return out;
}

tData *NewText(const std::string &bytes) {
    tData *text = static_cast<tData *>(calloc(1, sizeof(tData)));
    text->buffer = static_cast<uint8_t *>(malloc(bytes.size() + 1));
    memcpy(text->buffer, bytes.data(), bytes.size());
    text->length = static_cast<uint32_t>(bytes.size());
    return text;
}

// Queues texts the way SendTagData does: each pushed under KeyboardLock,
// then KeyboardTextEvent signalled once per text. All of `texts` are pushed
// in one hold of the lock, so the thread finds them as one batch.
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
        char pattern[] = "/tmp/korvane-keyboard.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        devicePath = dir + "/hidg0";
        ASSERT_EQ(mkfifo(devicePath.c_str(), 0600), 0) << strerror(errno);
        // Read-write, so the FIFO always has a reader and a writer: the
        // thread's non-blocking open succeeds, and reads never see an end.
        host = open(devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(host, 0) << strerror(errno);
        HidDevicePath = devicePath.c_str();
        FlagSet(ShutdownFlag, 0);
        FlagSet(Verbose, 0);
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
        unlink(devicePath.c_str());
        rmdir(dir.c_str());
    }

    void StartTyping() {
        FlagSet(ShutdownFlag, 0);
        typist.reset(new Worker([] { KeybEmulation(nullptr); }));
    }

    // Sets ShutdownFlag and joins the thread. True when it ended within
    // `limitMs` (or none runs). A thread that does not end is left to the
    // Worker's destructor, which aborts the test program after 5 s.
    bool StopTyping(int limitMs) {
        if (!typist) return true;
        FlagSet(ShutdownFlag, 1);
        if (!typist->JoinWithin(limitMs)) return false;
        typist.reset();
        return true;
    }

    // Fills the FIFO until it takes no more, as a host that stopped
    // fetching reports. Returns the number of bytes written.
    size_t FillDevice() {
        const HidReportBytes filler = MakeHidReport(0xEE, 0xEE);
        size_t filled = 0;
        while (write(host, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size()))
            filled += filler.size();
        EXPECT_EQ(errno, EAGAIN);
        return filled;
    }

    // Reads and discards exactly `length` bytes, bounded in time. True when
    // all were read.
    bool Discard(size_t length, int timeoutMs) {
        int64_t start = MonotonicNs();
        uint8_t buffer[4096];
        while (length > 0 && MsSince(start) < timeoutMs) {
            ssize_t got = read(host, buffer, length < sizeof(buffer) ? length : sizeof(buffer));
            if (got > 0) {
                length -= static_cast<size_t>(got);
            } else {
                SleepMs(1);
            }
        }
        return length == 0;
    }

    // Starts a thread, queues `texts` (all at once, or each after the reports
    // of the one before have arrived), stops the thread once `expected`
    // reports came, and checks that exactly those came, byte for byte.
    void ExpectTyped(const std::vector<std::string> &texts, bool oneBatch,
                     const std::vector<Key> &expected, const std::string &decodedText) {
        HidDecoder decoder;
        StartTyping();
        if (oneBatch) {
            QueueTexts(texts);
        } else {
            // Each text alone: wait until its release report is in.
            for (const std::string &text : texts) {
                size_t before = decoder.Reports().size();
                QueueTexts({text});
                while (decoder.ReadUntil(host, decoder.Reports().size() + 1, 2000) &&
                       decoder.Reports().back() != MakeHidReport(0, 0)) {
                }
                ASSERT_GT(decoder.Reports().size(), before) << "nothing typed for a text";
            }
        }
        decoder.ReadUntil(host, expected.size(), 3000);
        ASSERT_TRUE(StopTyping(1000));
        decoder.Drain(host);  // whatever else the thread wrote before it ended
        EXPECT_EQ(Describe(decoder.Reports()), Describe(ReportsOf(expected)));
        EXPECT_EQ(decoder.PendingBytes(), 0u);
        EXPECT_EQ(decoder.Text(), decodedText);
    }

    std::string dir;
    std::string devicePath;
    int host = -1;
    std::unique_ptr<Worker> typist;
};

// ---------------------------------------------------------------------------
// The character table

TEST(HidKeyTable, EveryCharacterWithAKeyDecodesBackToItself) {
    // The decoder's usage table is written from the keys' side; both tables
    // must agree on every character of the US layout.
    for (int c = 0; c < 128; c++) {
        const tHidKey key = HidKeyTable[c];
        SCOPED_TRACE("character code " + std::to_string(c));
        EXPECT_TRUE(key.modifier == 0x00 || key.modifier == kHidLeftShift);
        if (key.usage == 0) {
            EXPECT_EQ(key.modifier, 0x00);
            continue;
        }
        char typed = HidUsageToChar(key.usage, key.modifier == kHidLeftShift);
        EXPECT_EQ(typed, c == '\r' ? '\n' : static_cast<char>(c));
    }
}

TEST(HidKeyTable, OnlyControlCodesWithoutAKeyAndDeleteSendNoKey) {
    std::string keyless;
    for (int c = 0; c < 128; c++) {
        if (HidKeyTable[c].usage == 0) keyless += static_cast<char>(c);
    }
    std::string expected;
    for (int c = 0; c < 32; c++) {
        if (c != '\b' && c != '\t' && c != '\n' && c != '\r') expected += static_cast<char>(c);
    }
    expected += '\x7f';
    EXPECT_EQ(keyless, expected);
    EXPECT_EQ(HidKeyTable[kHidRelease].modifier, 0x00);
    EXPECT_EQ(HidKeyTable[kHidRelease].usage, 0x00);
}

TEST(HidKeyTable, KeysOfTheUsLayout) {
    struct Row {
        char c;
        Key key;
    };
    const Row rows[] = {
        {'a', {0x00, 0x04}},  {'z', {0x00, 0x1D}},  {'A', {0x02, 0x04}},  {'Z', {0x02, 0x1D}},
        {'1', {0x00, 0x1E}},  {'9', {0x00, 0x26}},  {'0', {0x00, 0x27}},  {'!', {0x02, 0x1E}},
        {'@', {0x02, 0x1F}},  {'#', {0x02, 0x20}},  {'$', {0x02, 0x21}},  {'%', {0x02, 0x22}},
        {'^', {0x02, 0x23}},  {'&', {0x02, 0x24}},  {'*', {0x02, 0x25}},  {'(', {0x02, 0x26}},
        {')', {0x02, 0x27}},  {'\n', {0x00, 0x28}}, {'\r', {0x00, 0x28}}, {'\b', {0x00, 0x2A}},
        {'\t', {0x00, 0x2B}}, {' ', {0x00, 0x2C}},  {'-', {0x00, 0x2D}},  {'_', {0x02, 0x2D}},
        {'=', {0x00, 0x2E}},  {'+', {0x02, 0x2E}},  {'[', {0x00, 0x2F}},  {'{', {0x02, 0x2F}},
        {']', {0x00, 0x30}},  {'}', {0x02, 0x30}},  {'\\', {0x00, 0x31}}, {'|', {0x02, 0x31}},
        {';', {0x00, 0x33}},  {':', {0x02, 0x33}},  {'\'', {0x00, 0x34}}, {'"', {0x02, 0x34}},
        {'`', {0x00, 0x35}},  {'~', {0x02, 0x35}},  {',', {0x00, 0x36}},  {'<', {0x02, 0x36}},
        {'.', {0x00, 0x37}},  {'>', {0x02, 0x37}},  {'/', {0x00, 0x38}},  {'?', {0x02, 0x38}},
    };
    for (const Row &row : rows) {
        const tHidKey key = HidKeyTable[static_cast<uint8_t>(row.c)];
        EXPECT_EQ(key.modifier, row.key.modifier) << "character code " << int(row.c);
        EXPECT_EQ(key.usage, row.key.usage) << "character code " << int(row.c);
    }
}

// ---------------------------------------------------------------------------
// The decoder the tests below rely on

TEST(HidDecoder, PressesAndText) {
    const HidReportBytes kTwoKeys = {0x00, 0x00, 0x04, 0x05, 0x00, 0x00, 0x00, 0x00};
    struct Case {
        const char *name;
        std::vector<HidReportBytes> reports;
        std::string text;
        size_t presses;
        size_t unmapped;
    };
    const Case cases[] = {
        {"a held over two reports is one press", ReportsOf({{0, 0x04}, {0, 0x04}, kRelease}), "a",
         1, 0},
        {"a released in between is two presses",
         ReportsOf({{0, 0x04}, kRelease, {0, 0x04}, kRelease}), "aa", 2, 0},
        {"a then b without a release", ReportsOf({{0, 0x04}, {0, 0x05}, kRelease}), "ab", 2, 0},
        {"left and right Shift", ReportsOf({{0x02, 0x04}, kRelease, {0x20, 0x1E}}), "A!", 2, 0},
        {"Shift pressed while a is held is no new press",
         ReportsOf({{0, 0x04}, {0x02, 0x04}, kRelease}), "a", 1, 0},
        {"Control with a types nothing", ReportsOf({{0x01, 0x04}, kRelease}), "", 1, 1},
        {"the non-US key has no character", ReportsOf({{0, 0x32}, kRelease}), "", 1, 1},
        {"Enter, Backspace, Tab, Space", ReportsOf({{0, 0x28}, {0, 0x2A}, {0, 0x2B}, {0, 0x2C}}),
         "\n\b\t ", 4, 0},
        {"two keys in one report", {kTwoKeys, MakeHidReport(0, 0)}, "ab", 2, 0},
        {"releases alone press nothing", ReportsOf({kRelease, kRelease}), "", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Fed whole, and fed three bytes at a time as reads may split them.
        for (size_t step : {size_t(8), size_t(3)}) {
            std::vector<uint8_t> bytes;
            for (const HidReportBytes &report : c.reports)
                bytes.insert(bytes.end(), report.begin(), report.end());
            HidDecoder decoder;
            for (size_t at = 0; at < bytes.size(); at += step)
                decoder.Feed(bytes.data() + at, std::min(step, bytes.size() - at));
            EXPECT_EQ(decoder.Reports(), c.reports);
            EXPECT_EQ(decoder.Text(), c.text);
            EXPECT_EQ(decoder.Presses(), c.presses);
            EXPECT_EQ(decoder.Unmapped(), c.unmapped);
            EXPECT_EQ(decoder.PendingBytes(), 0u);
        }
    }
}

// ---------------------------------------------------------------------------
// One report

TEST(SendHidReport, WritesTheEightBytesOfTheEntry) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    struct Case {
        uint8_t index;
        Key key;
    };
    const Case cases[] = {
        {'a', {0x00, 0x04}}, {'A', {0x02, 0x04}},  {'\r', {0x00, 0x28}},
        {'?', {0x02, 0x38}}, {0x01, {0x00, 0x00}}, {kHidRelease, {0x00, 0x00}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SendHidReport(fds[1], c.index), 0) << "index " << int(c.index);
        HidDecoder decoder;
        EXPECT_EQ(decoder.Drain(fds[0]), 1u);
        EXPECT_EQ(Describe(decoder.Reports()), Describe(ReportsOf({c.key})))
            << "index " << int(c.index);
    }
    // Past the table: nothing is written.
    EXPECT_EQ(SendHidReport(fds[1], kHidKeyCount), 1);
    HidDecoder decoder;
    EXPECT_EQ(decoder.Drain(fds[0]), 0u);
    EXPECT_EQ(decoder.PendingBytes(), 0u);
    close(fds[0]);
    close(fds[1]);
}

TEST(SendHidReport, FailsAtOnceOnAWriteError) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int64_t start = MonotonicNs();
    EXPECT_EQ(SendHidReport(-1, 'a'), 1);
    EXPECT_EQ(SendHidReport(fds[0], 'a'), 1);  // the read end
    EXPECT_LT(MsSince(start), 50.0);
    close(fds[0]);
    close(fds[1]);
}

TEST(SendHidReport, FullDeviceIsGivenUpAfterTheBoundOrAtOnceOnShutdown) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    const uint8_t filler[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    size_t filled = 0;
    while (write(fds[1], filler, sizeof(filler)) == static_cast<ssize_t>(sizeof(filler)))
        filled += sizeof(filler);

    FlagSet(ShutdownFlag, 0);
    int64_t start = MonotonicNs();
    EXPECT_EQ(SendHidReport(fds[1], 'a'), 1);
    double elapsed = MsSince(start);
    EXPECT_GE(elapsed, kHidReportGiveUpMs - 5);
    EXPECT_LT(elapsed, kHidReportGiveUpMs + 500);

    FlagSet(ShutdownFlag, 1);
    start = MonotonicNs();
    EXPECT_EQ(SendHidReport(fds[1], 'a'), 1);
    EXPECT_LT(MsSince(start), 50.0);
    FlagSet(ShutdownFlag, 0);

    // Nothing but the filler went in: no half report.
    uint8_t buffer[4096];
    size_t total = 0;
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof(buffer))) > 0)
        total += static_cast<size_t>(got);
    EXPECT_EQ(total, filled);
    close(fds[0]);
    close(fds[1]);
}

TEST(SendHidReport, FullDeviceThatMakesRoomGetsTheReport) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    const uint8_t filler[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    size_t filled = 0;
    while (write(fds[1], filler, sizeof(filler)) == static_cast<ssize_t>(sizeof(filler)))
        filled += sizeof(filler);
    FlagSet(ShutdownFlag, 0);
    int result = -1;
    double elapsed = 0;
    {
        Worker sender([&] {
            int64_t start = MonotonicNs();
            result = SendHidReport(fds[1], '~');
            elapsed = MsSince(start);
        });
        SleepMs(200);
        // The host fetches everything that waited.
        uint8_t buffer[4096];
        size_t left = filled;
        while (left > 0) {
            ssize_t got = read(fds[0], buffer, left < sizeof(buffer) ? left : sizeof(buffer));
            ASSERT_GT(got, 0);
            left -= static_cast<size_t>(got);
        }
        ASSERT_TRUE(sender.JoinWithin(2000));
    }
    EXPECT_EQ(result, 0);
    EXPECT_GE(elapsed, 150.0);
    EXPECT_LT(elapsed, kHidReportGiveUpMs);
    HidDecoder decoder;
    ASSERT_TRUE(decoder.ReadUntil(fds[0], 1, 1000));
    EXPECT_EQ(Describe(decoder.Reports()), Describe(ReportsOf({{0x02, 0x35}})));
    close(fds[0]);
    close(fds[1]);
}

// ---------------------------------------------------------------------------
// Typing

TEST_F(KeyboardTest, TextsBecomeTheseReports) {
    const Key a = {0x00, 0x04}, b = {0x00, 0x05}, shiftA = {0x02, 0x04};
    struct Case {
        const char *name;
        std::string text;
        std::vector<Key> reports;
        std::string decoded;
    };
    const std::vector<Case> cases = {
        {"one letter", "a", {a, kRelease}, "a"},
        {"a repeated key is pressed twice", "aa", {a, kRelease, a, kRelease}, "aa"},
        {"different keys follow without a release", "ab", {a, b, kRelease}, "ab"},
        {"Shift does not make it another key", "Aa", {shiftA, kRelease, a, kRelease}, "Aa"},
        {"CR and LF are both Enter", "\r\n", {kEnter, kRelease, kEnter, kRelease}, "\n\n"},
        {"an empty text sends one release", "", {kRelease}, ""},
        {"bytes above 127 send nothing", "\xC3\xA9\xFF", {kRelease}, ""},
        {"a skipped byte does not part a repeat",
         "a\xFF"
         "a",
         {a, kRelease, a, kRelease},
         "aa"},
        {"NUL is typed as a report without a key",
         std::string("a\0b", 3),
         {a, kNoKey, b, kRelease},
         "ab"},
        {"NUL first repeats the no-key of the start",
         std::string("\0", 1),
         {kRelease, kNoKey, kRelease},
         ""},
        {"control codes without a key",
         "\x01\x7f",
         {kRelease, kNoKey, kRelease, kNoKey, kRelease},
         ""},
        {"digit and its shifted sign share a key",
         "1!",
         {{0x00, 0x1E}, kRelease, {0x02, 0x1E}, kRelease},
         "1!"},
        {"Backspace, Tab, Space, minus and underscore",
         "\b\t -_",
         {{0x00, 0x2A}, {0x00, 0x2B}, {0x00, 0x2C}, {0x00, 0x2D}, kRelease, {0x02, 0x2D}, kRelease},
         "\b\t -_"},
        {"a sentence",
         "Hello, World!",
         {{0x02, 0x0B},
          {0x00, 0x08},
          {0x00, 0x0F},
          kRelease,
          {0x00, 0x0F},
          {0x00, 0x12},
          {0x00, 0x36},
          {0x00, 0x2C},
          {0x02, 0x1A},
          {0x00, 0x12},
          {0x00, 0x15},
          {0x00, 0x0F},
          {0x00, 0x07},
          {0x02, 0x1E},
          kRelease},
         "Hello, World!"},
        {"p@ss",
         "p@ss",
         {{0x00, 0x13}, {0x02, 0x1F}, {0x00, 0x16}, kRelease, {0x00, 0x16}, kRelease},
         "p@ss"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ExpectTyped({c.text}, true, c.reports, c.decoded);
        if (HasFatalFailure()) return;
    }
}

TEST_F(KeyboardTest, EveryPrintableCharacterIsTypedAsItself) {
    std::string printable;
    for (int c = 0x20; c < 0x7F; c++)
        printable += static_cast<char>(c);
    HidDecoder decoder;
    StartTyping();
    QueueTexts({printable + "\r\n\t"});
    while (decoder.Text().size() < printable.size() + 3 &&
           decoder.ReadUntil(host, decoder.Reports().size() + 1, 3000)) {
    }
    ASSERT_TRUE(StopTyping(1000));
    decoder.Drain(host);
    EXPECT_EQ(decoder.Text(), printable + "\n\n\t");
    EXPECT_EQ(decoder.Unmapped(), 0u);
    EXPECT_EQ(decoder.Reports().back(), MakeHidReport(0, 0));
}

TEST_F(KeyboardTest, TheKeyTypedLastIsRememberedAcrossTexts) {
    const Key a = {0x00, 0x04}, b = {0x00, 0x05}, x = {0x00, 0x1B};
    struct Case {
        const char *name;
        std::vector<std::string> texts;
        std::vector<Key> reports;
        std::string decoded;
    };
    const std::vector<Case> cases = {
        {"same key ending one text and starting the next",
         {"a", "a"},
         {a, kRelease, kRelease, a, kRelease},
         "aa"},
        {"shifted and unshifted across texts",
         {"xA", "a"},
         {x, {0x02, 0x04}, kRelease, kRelease, a, kRelease},
         "xAa"},
        {"CR after LF across texts",
         {"\n", "\r"},
         {kEnter, kRelease, kRelease, kEnter, kRelease},
         "\n\n"},
        {"different keys across texts", {"a", "b"}, {a, kRelease, b, kRelease}, "ab"},
        {"a skipped text keeps the key",
         {"a", "\xFF", "a"},
         {a, kRelease, kRelease, kRelease, a, kRelease},
         "aa"},
    };
    for (bool oneBatch : {true, false}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (oneBatch ? ", one batch" : ", one by one"));
            ExpectTyped(c.texts, oneBatch, c.reports, c.decoded);
            if (HasFatalFailure()) return;
        }
    }
}

TEST_F(KeyboardTest, BatchesAreTypedInQueueOrder) {
    const std::vector<Key> expected = {
        {0, 0x04}, {0, 0x05}, kRelease,  // ab
        {0, 0x06}, {0, 0x07}, kRelease,  // cd
        {0, 0x08}, {0, 0x09}, kRelease,  // ef
        {0, 0x0A}, {0, 0x0B}, kRelease,  // gh
        {0, 0x0C}, kRelease,             // i
    };
    HidDecoder decoder;
    StartTyping();
    QueueTexts({"ab", "cd"});
    ASSERT_TRUE(decoder.ReadUntil(host, 6, 3000));
    QueueTexts({"ef"});
    QueueTexts({"gh", "i"});
    decoder.ReadUntil(host, expected.size(), 3000);
    ASSERT_TRUE(StopTyping(1000));
    decoder.Drain(host);
    EXPECT_EQ(Describe(decoder.Reports()), Describe(ReportsOf(expected)));
    EXPECT_EQ(decoder.Text(), "abcdefghi");
}

TEST_F(KeyboardTest, TextsQueuedWhileTypingKeepTheirOrder) {
    // A producer queues texts in bursts of different sizes while the thread
    // types; every text must come out whole and in queue order.
    const int kTexts = 300;
    std::string expected;
    std::vector<std::string> texts;
    for (int i = 0; i < kTexts; i++) {
        texts.push_back("t" + std::to_string(i) + ";");
        expected += texts.back();
    }
    HidDecoder decoder;
    StartTyping();
    {
        Worker producer([&] {
            size_t next = 0;
            size_t burst = 1;
            while (next < texts.size()) {
                std::vector<std::string> batch;
                for (size_t i = 0; i < burst && next < texts.size(); i++)
                    batch.push_back(texts[next++]);
                QueueTexts(batch);
                burst = burst % 7 + 1;
                if (next % 3 == 0) SleepMs(1);
            }
        });
        while (decoder.Text().size() < expected.size() &&
               decoder.ReadUntil(host, decoder.Reports().size() + 1, 3000)) {
        }
        ASSERT_TRUE(producer.JoinWithin(2000));
    }
    ASSERT_TRUE(StopTyping(1000));
    decoder.Drain(host);
    EXPECT_EQ(decoder.Text(), expected);
    EXPECT_EQ(decoder.Unmapped(), 0u);
    EXPECT_EQ(KeyboardList.Count(), 0u);
}

// ---------------------------------------------------------------------------
// The thread's life

TEST_F(KeyboardTest, DeviceThatCannotBeOpenedEndsTheThreadAtOnceWithTheLogLine) {
    const std::string fifoWithoutReader = dir + "/unread";
    ASSERT_EQ(mkfifo(fifoWithoutReader.c_str(), 0600), 0);
    const struct {
        const char *name;
        std::string path;
    } cases[] = {
        {"missing", dir + "/absent/hidg0"},
        {"a directory", dir},
        // A blocking open would wait here for a reader for good.
        {"a FIFO nobody reads", fifoWithoutReader},
    };
    const std::string logPath = dir + "/stdout";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HidDevicePath = c.path.c_str();
        FlagSet(Verbose, 1);
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(saved, 0);
        ASSERT_GE(log, 0);
        dup2(log, STDOUT_FILENO);
        int64_t start = MonotonicNs();
        StartTyping();
        // Not stopped by the test: it must end by itself.
        bool ended = typist->JoinWithin(500);
        double elapsed = MsSince(start);
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(log);
        FlagSet(Verbose, 0);
        EXPECT_TRUE(ended);
        EXPECT_LT(elapsed, 500.0);
        ASSERT_TRUE(StopTyping(2000));
        char buffer[512] = {};
        int in = open(logPath.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(in, 0);
        ssize_t got = read(in, buffer, sizeof(buffer) - 1);
        close(in);
        EXPECT_GT(got, 0);
        EXPECT_STREQ(buffer,
                     "Korvane: KeyboardEmulation(): Error while getting access to keyboard "
                     "\"port\"\n");
    }
    HidDevicePath = devicePath.c_str();
    unlink(fifoWithoutReader.c_str());
    unlink(logPath.c_str());
}

TEST_F(KeyboardTest, ShutdownEndsAnIdleThreadPromptly) {
    StartTyping();
    SleepMs(150);  // asleep on KeyboardTextEvent
    EXPECT_FALSE(typist->Finished());
    int64_t start = MonotonicNs();
    ASSERT_TRUE(StopTyping(2000));
    EXPECT_LT(MsSince(start), 300.0);
    HidDecoder decoder;
    EXPECT_EQ(decoder.Drain(host), 0u);
    EXPECT_EQ(decoder.PendingBytes(), 0u);
}

TEST_F(KeyboardTest, StalledHostNeverKeepsTheProducerWaitingAndShutdownStillEnds) {
    const size_t filled = FillDevice();
    ASSERT_GT(filled, 0u);
    StartTyping();
    QueueTexts({"stalled"});
    SleepMs(150);  // the thread now waits for room for the first report

    // The producer takes KeyboardLock again and again while the thread is
    // stuck in the middle of a text.
    double longestWaitMs = 0;
    for (int i = 0; i < 10; i++) {
        int64_t start = MonotonicNs();
        ASSERT_EQ(EventWaitMs(&KeyboardLock, 2000), 0) << "KeyboardLock held while typing";
        double waited = MsSince(start);
        if (waited > longestWaitMs) longestWaitMs = waited;
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
    ASSERT_TRUE(Discard(filled, 1000));
    HidDecoder decoder;
    EXPECT_EQ(decoder.Drain(host), 0u);
    EXPECT_EQ(decoder.PendingBytes(), 0u);
}

TEST_F(KeyboardTest, HostThatResumesWithinTheBoundGetsTheWholeText) {
    const size_t filled = FillDevice();
    StartTyping();
    QueueTexts({"xyz"});
    SleepMs(300);
    ASSERT_TRUE(Discard(filled, 1000));
    HidDecoder decoder;
    decoder.ReadUntil(host, 4, 3000);
    ASSERT_TRUE(StopTyping(1000));
    decoder.Drain(host);
    EXPECT_EQ(Describe(decoder.Reports()),
              Describe(ReportsOf({{0, 0x1B}, {0, 0x1C}, {0, 0x1D}, kRelease})));
    EXPECT_EQ(decoder.Text(), "xyz");
}

TEST_F(KeyboardTest, ShutdownInTheMiddleOfATextStopsTypingAndReleasesTheKey) {
    // A small device buffer, full: the thread gets room only as fast as the
    // host below fetches reports (128 bytes a millisecond), so a long text
    // takes seconds to type. A FIFO frees room a page at a time; two pages
    // of buffer make room at least every 32 ms.
    ASSERT_GE(fcntl(host, F_SETPIPE_SZ, 8192), 0) << strerror(errno);
    const size_t filled = FillDevice();
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += "ab";
    StartTyping();
    QueueTexts({text});

    HidDecoder decoder;
    std::atomic<bool> fetching{true};
    double stopMs = 0;
    {
        Worker fetcher([&] {
            size_t skip = filled;
            uint8_t buffer[4096];
            while (fetching.load()) {
                // Once ShutdownFlag is set the host fetches a page a
                // millisecond: room enough to type the rest of the text in
                // moments, which the thread must not do.
                size_t want = FlagGet(ShutdownFlag) ? sizeof(buffer) : 128;
                ssize_t got = read(host, buffer, want);
                if (got > 0) {
                    size_t n = static_cast<size_t>(got);
                    size_t skipped = n < skip ? n : skip;
                    skip -= skipped;
                    decoder.Feed(buffer + skipped, n - skipped);
                }
                SleepMs(1);
            }
        });
        SleepMs(300);
        int64_t start = MonotonicNs();
        bool stopped = StopTyping(2000);
        stopMs = MsSince(start);
        fetching.store(false);
        ASSERT_TRUE(fetcher.JoinWithin(1000));
        ASSERT_TRUE(stopped);
    }
    decoder.Drain(host);
    EXPECT_LT(stopMs, 300.0);
    // Typing stopped part-way, without a gap, and the key was let go.
    ASSERT_FALSE(decoder.Reports().empty());
    EXPECT_EQ(decoder.Reports().back(), MakeHidReport(0, 0));
    EXPECT_GT(decoder.Text().size(), 0u);
    EXPECT_LT(decoder.Text().size(), text.size());
    EXPECT_EQ(decoder.Text(), text.substr(0, decoder.Text().size()));
    EXPECT_EQ(decoder.Reports().size(), decoder.Text().size() + 1);
    EXPECT_EQ(decoder.PendingBytes(), 0u);
}

TEST_F(KeyboardTest, DeviceWhoseReaderWentAwayDoesNotEndTheProcess) {
    HidDecoder decoder;
    StartTyping();
    QueueTexts({"a"});
    ASSERT_TRUE(decoder.ReadUntil(host, 2, 3000));  // the device is open
    close(host);
    host = -1;
    // Writes now fail with EPIPE; the SIGPIPE they raise must not end the
    // test process.
    QueueTexts({"bc"});
    SleepMs(100);
    int64_t start = MonotonicNs();
    ASSERT_TRUE(StopTyping(2000));
    EXPECT_LT(MsSince(start), 300.0);
    EXPECT_EQ(KeyboardList.Count(), 0u);  // taken and dropped, not stuck
}

}  // namespace
