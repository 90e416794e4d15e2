// USB keyboard emulation.
//
// The device is opened non-blocking. On the gadget a blocking write sleeps
// until the host has fetched the previous report, which never happens while
// the host is suspended or has stopped polling, and the thread would then
// never see ShutdownFlag. Non-blocking, a full device answers EAGAIN; the
// report is tried again as soon as poll() says there is room, waiting in
// slices of 100 ms so that ShutdownFlag is seen promptly. A report that
// finds no room within kHidReportGiveUpMs is given up, and typing goes on
// with the next one: a host fetches a report every few milliseconds, so a
// whole second without room means it is not listening, and a text then costs
// at most a second per report instead of blocking for good. A gadget the
// host has not configured is expected to fail writes outright rather than
// answer EAGAIN, which costs nothing.
//
// Once ShutdownFlag is set, typing stops at the next character and a report
// waiting for room is given up at the end of its slice; only the release
// that ends the text may still wait kShutdownReleaseMs, so shutdown takes
// at most about 150 ms.
//
// The gadget takes a report whole or not at all, and a FIFO (as the tests
// use) takes 8 bytes atomically, so a report given up never leaves half a
// report behind.
#include "output/keyboard.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "build_settings.h"
#include "core/log.h"
#include "core/signals.h"
#include "output/keyboard_layouts.h"
#include "sync/data.h"
#include "sync/lists.h"

static const char kLogName[] = "KeyboardEmulation";

// Longest single wait for room on the device, for a queued text and for
// KeyboardLock.
static constexpr int kWaitSliceMs = 100;
// How long the release ending a text cut short by ShutdownFlag may wait for
// room: many times the few milliseconds a listening host takes per report.
static constexpr int kShutdownReleaseMs = 50;

tEvent KeyboardLock;
tEvent KeyboardTextEvent;
const char *HidDevicePath = KORVANE_HID_DEVICE;
std::atomic<const tKeyboardLayout *> KeyboardLayoutInUse{nullptr};

static_assert(kUntypableListSize == 2 * kPrintableCount + 1, "every printable character, escaped");

// The one report buffer. Bytes 1 and 3 to 7 stay zero.
static uint8_t HidReport[kHidReportLength];

static int64_t MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until `device` has room, at most `milliseconds`.
static void WaitForRoom(int device, int milliseconds) {
    struct pollfd writable = {device, POLLOUT, 0};
    poll(&writable, 1, milliseconds);
}

// Writes the report of `key`, waiting for room at most `giveUpMs`; with
// `yieldToShutdown` it gives up as soon as ShutdownFlag is set.
static int WriteReport(int device, tHidKey key, int giveUpMs, bool yieldToShutdown) {
    HidReport[0] = key.modifier;
    HidReport[2] = key.usage;
    const int64_t giveUpAt = MonotonicMs() + giveUpMs;
    size_t written = 0;
    while (written < kHidReportLength) {
        ssize_t result = write(device, HidReport + written, kHidReportLength - written);
        if (result > 0) {
            written += static_cast<size_t>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;  // repeat at once
        } else if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int64_t left = giveUpAt - MonotonicMs();
            if (left <= 0 || (yieldToShutdown && FlagGet(ShutdownFlag))) return 1;
            WaitForRoom(device, left < kWaitSliceMs ? static_cast<int>(left) : kWaitSliceMs);
        } else {
            return 1;  // an error, or a device that took nothing
        }
    }
    return 0;
}

int SendHidReport(int device, tHidKey key) {
    return WriteReport(device, key, kHidReportGiveUpMs, true);
}

// Adds the report of `key` at reports[count], after a release when the
// report before pressed the same key; returns the new count.
static size_t AddReport(tHidKey key, uint8_t *previousUsage, tHidKey *reports, size_t count) {
    if (key.usage == *previousUsage) reports[count++] = HidKeyTable[kHidRelease];
    reports[count++] = key;
    *previousUsage = key.usage;
    return count;
}

// How `layout` gives printable character `c`; null when there is no layout
// or `c` is not printable.
static const tLayoutChar *LayoutChar(const tKeyboardLayout *layout, uint8_t c) {
    if (layout == nullptr || c < kFirstPrintable || c >= kFirstPrintable + kPrintableCount)
        return nullptr;
    return &layout->chars[c - kFirstPrintable];
}

size_t CharReports(const tKeyboardLayout *layout, uint8_t c, uint8_t *previousUsage,
                   tHidKey reports[kMaxCharReports]) {
    if (c >= kHidRelease) return 0;
    const tLayoutChar *given = LayoutChar(layout, c);
    if (given == nullptr) return AddReport(HidKeyTable[c], previousUsage, reports, 0);
    if (given->key.usage == 0) return 0;
    size_t count = 0;
    if (given->dead.usage != 0) count = AddReport(given->dead, previousUsage, reports, count);
    return AddReport(given->key, previousUsage, reports, count);
}

size_t UntypableCharacters(const tKeyboardLayout *layout, const uint8_t *text, size_t length,
                           char list[kUntypableListSize]) {
    bool listed[kPrintableCount] = {};
    size_t count = 0, at = 0;
    for (size_t i = 0; i < length; i++) {
        const tLayoutChar *given = LayoutChar(layout, text[i]);
        if (given == nullptr || given->key.usage != 0 || listed[text[i] - kFirstPrintable])
            continue;
        listed[text[i] - kFirstPrintable] = true;
        count++;
        if (text[i] == '"' || text[i] == '\\') list[at++] = '\\';
        list[at++] = static_cast<char>(text[i]);
    }
    list[at] = '\0';
    return count;
}

void FreeKeyboardTexts() {
    tData *text = nullptr;
    while (KeyboardList.PopFront(text) == 0)
        FreeData(text);
}

// In verbose mode, names the characters of `text` that `layout` cannot give.
static void LogUntypable(const tKeyboardLayout *layout, const tData *text) {
    if (!FlagGet(Verbose)) return;
    char list[kUntypableListSize];
    if (UntypableCharacters(layout, text->buffer, text->length, list) != 0)
        LogPrintf(kLogName, "Layout %s cannot type \"%s\"\n", layout->name, list);
}

// Types one text with the layout in use when it starts. `previousUsage` is
// the key of the report typed last. Stops early once ShutdownFlag is set.
// The release report ends the text either way: the host repeats a key for as
// long as its last report holds it, so a release lost at shutdown would leave
// the key typing on the host. That one still waits a little for room after
// ShutdownFlag.
static void TypeText(int device, const tData *text, uint8_t *previousUsage) {
    const tKeyboardLayout *layout = KeyboardLayoutInUse.load(std::memory_order_relaxed);
    if (layout != nullptr) LogUntypable(layout, text);
    for (uint32_t i = 0; i < text->length && !FlagGet(ShutdownFlag); i++) {
        tHidKey reports[kMaxCharReports];
        size_t count = CharReports(layout, text->buffer[i], previousUsage, reports);
        for (size_t k = 0; k < count; k++)
            SendHidReport(device, reports[k]);
    }
    if (FlagGet(ShutdownFlag)) {
        WriteReport(device, HidKeyTable[kHidRelease], kShutdownReleaseMs, false);
    } else {
        SendHidReport(device, HidKeyTable[kHidRelease]);
    }
}

// The oldest queued text, taken off the list, or null when none is queued
// or ShutdownFlag was set while waiting for the lock. KeyboardLock is held
// only for the take, never while typing.
static tData *TakeText() {
    for (;;) {
        int taken = EventWaitMs(&KeyboardLock, kWaitSliceMs);
        if (taken == 0) break;
        if (taken != -1 || FlagGet(ShutdownFlag)) return nullptr;
    }
    tData *text = nullptr;
    if (KeyboardList.PopFront(text) != 0) text = nullptr;
    EventSignal(&KeyboardLock);
    return text;
}

void *KeybEmulation(void *) {
    int device = open(HidDevicePath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0) {
        LogPuts(kLogName, "Error while getting access to keyboard \"port\"");
        return nullptr;
    }
    // A FIFO whose reader has gone would raise SIGPIPE, which ends the
    // process; blocked for this thread, the write fails with EPIPE instead.
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);

    uint8_t previousUsage = HidKeyTable[kHidRelease].usage;
    while (!FlagGet(ShutdownFlag)) {
        if (EventWaitMs(&KeyboardTextEvent, kWaitSliceMs) != 0) continue;
        // One text at a time, in queue order. What is still queued at
        // shutdown stays on the list for the final clean-up.
        while (!FlagGet(ShutdownFlag)) {
            tData *text = TakeText();
            if (text == nullptr) break;
            TypeText(device, text, &previousUsage);
            FreeData(text);
        }
    }
    close(device);
    return nullptr;
}
