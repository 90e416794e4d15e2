// USB keyboard emulation: types queued datagram texts on the HID gadget.
//
// The thread KeybEmulation takes the texts SendTagData queued on KeyboardList
// and types them as 8-byte boot keyboard input reports: byte 0 the modifier
// (0x00 none, 0x02 left Shift, 0x40 right Alt as AltGr, 0x42 both), byte 1
// reserved, byte 2 the usage code of the one pressed key, bytes 3 to 7 zero.
// Each character is one report with its key pressed, or two when the host's
// layout gives it through a dead key (the dead key, then the space bar); a
// text ends with a release report (no key). When a report presses the same
// key as the report before it, a release goes first, so the host sees two
// presses rather than one held key. The key pressed last is remembered
// across texts.
//
// Only codes 0 to 127 are typed; bytes above 127 are skipped. Without a
// keyboard layout (KeyboardLayoutInUse null) every code is typed with
// HidKeyTable, the US layout. With one, the printable characters 0x20 to 0x7E
// are typed as that layout gives them, and one it cannot give is skipped (in
// verbose mode one log line per text names them); control codes keep
// HidKeyTable. Control codes other than backspace, tab, LF and CR send a
// report with no key. The layout is read at the start of each text, so a
// change applies from the next text.
//
// The thread never holds KeyboardLock while it types: it takes one text off
// the list under the lock and types it after releasing it, so a slow or
// stalled host never stalls the producer (which holds DatagramLock).
#ifndef KORVANE_OUTPUT_KEYBOARD_H
#define KORVANE_OUTPUT_KEYBOARD_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "sync/event.h"

extern tEvent KeyboardLock;       // guards KeyboardList
extern tEvent KeyboardTextEvent;  // a text was queued on KeyboardList

// Path of the gadget device: the build setting KORVANE_HID_DEVICE. Tests
// point it elsewhere before they start the thread.
extern const char *HidDevicePath;

// Bytes in one input report.
constexpr size_t kHidReportLength = 8;
// Modifier byte of the left Shift key.
constexpr uint8_t kHidLeftShift = 0x02;
// A report that cannot be written gives up after this long (see
// SendHidReport).
constexpr int kHidReportGiveUpMs = 1000;

// Modifier and key usage code of one table entry.
struct tHidKey {
    uint8_t modifier;
    uint8_t usage;
};

// Table index of the release report.
constexpr uint8_t kHidRelease = 128;
constexpr size_t kHidKeyCount = 129;

// The key of every character code 0 to 127 (US layout), and at kHidRelease
// the release report.
// clang-format off
inline constexpr tHidKey HidKeyTable[kHidKeyCount] = {
    // 0x00-0x07: control codes, no key
    {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00},
    // 0x08-0x0F: backspace, tab, LF (Enter), 11, 12, CR (Enter), 14, 15
    {0, 0x2A}, {0, 0x2B}, {0, 0x28}, {0, 0x00}, {0, 0x00}, {0, 0x28}, {0, 0x00}, {0, 0x00},
    // 0x10-0x1F: control codes, no key
    {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00},
    {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00}, {0, 0x00},
    // 0x20-0x27: space ! " # $ % & '
    {0, 0x2C}, {2, 0x1E}, {2, 0x34}, {2, 0x20}, {2, 0x21}, {2, 0x22}, {2, 0x24}, {0, 0x34},
    // 0x28-0x2F: ( ) * + , - . /
    {2, 0x26}, {2, 0x27}, {2, 0x25}, {2, 0x2E}, {0, 0x36}, {0, 0x2D}, {0, 0x37}, {0, 0x38},
    // 0x30-0x37: 0 1 2 3 4 5 6 7
    {0, 0x27}, {0, 0x1E}, {0, 0x1F}, {0, 0x20}, {0, 0x21}, {0, 0x22}, {0, 0x23}, {0, 0x24},
    // 0x38-0x3F: 8 9 : ; < = > ?
    {0, 0x25}, {0, 0x26}, {2, 0x33}, {0, 0x33}, {2, 0x36}, {0, 0x2E}, {2, 0x37}, {2, 0x38},
    // 0x40-0x47: @ A B C D E F G
    {2, 0x1F}, {2, 0x04}, {2, 0x05}, {2, 0x06}, {2, 0x07}, {2, 0x08}, {2, 0x09}, {2, 0x0A},
    // 0x48-0x4F: H I J K L M N O
    {2, 0x0B}, {2, 0x0C}, {2, 0x0D}, {2, 0x0E}, {2, 0x0F}, {2, 0x10}, {2, 0x11}, {2, 0x12},
    // 0x50-0x57: P Q R S T U V W
    {2, 0x13}, {2, 0x14}, {2, 0x15}, {2, 0x16}, {2, 0x17}, {2, 0x18}, {2, 0x19}, {2, 0x1A},
    // 0x58-0x5F: X Y Z [ \ ] ^ _
    {2, 0x1B}, {2, 0x1C}, {2, 0x1D}, {0, 0x2F}, {0, 0x31}, {0, 0x30}, {2, 0x23}, {2, 0x2D},
    // 0x60-0x67: ` a b c d e f g
    {0, 0x35}, {0, 0x04}, {0, 0x05}, {0, 0x06}, {0, 0x07}, {0, 0x08}, {0, 0x09}, {0, 0x0A},
    // 0x68-0x6F: h i j k l m n o
    {0, 0x0B}, {0, 0x0C}, {0, 0x0D}, {0, 0x0E}, {0, 0x0F}, {0, 0x10}, {0, 0x11}, {0, 0x12},
    // 0x70-0x77: p q r s t u v w
    {0, 0x13}, {0, 0x14}, {0, 0x15}, {0, 0x16}, {0, 0x17}, {0, 0x18}, {0, 0x19}, {0, 0x1A},
    // 0x78-0x7F: x y z { | } ~ DEL (no key)
    {0, 0x1B}, {0, 0x1C}, {0, 0x1D}, {2, 0x2F}, {2, 0x31}, {2, 0x30}, {2, 0x35}, {0, 0x00},
    // kHidRelease
    {0, 0x00},
};
// clang-format on

struct tKeyboardLayout;  // output/keyboard_layouts.h

// The host's keyboard layout; null: HidKeyTable. Written by SetConfigFromFile,
// read by the typing thread at the start of each text. It points to a
// constant table, so relaxed order suffices.
extern std::atomic<const tKeyboardLayout *> KeyboardLayoutInUse;

// Most reports one character takes: release, dead key, release, key.
constexpr size_t kMaxCharReports = 4;

// The reports that type byte `c` with `layout` (null: HidKeyTable) when the
// report before pressed the key `*previousUsage` (0: none), into `reports`;
// returns their count, 0 when `c` is skipped (above 127, or a printable
// character the layout cannot give). A release precedes every report of the
// same key as the one before it; *previousUsage becomes the key of the last
// report. Korvane's typing thread and korvane-preview both type with it.
size_t CharReports(const tKeyboardLayout *layout, uint8_t c, uint8_t *previousUsage,
                   tHidKey reports[kMaxCharReports]);

// Room for the longest list UntypableCharacters writes (each of the 95
// printable characters, escaped, and the NUL).
constexpr size_t kUntypableListSize = 2 * 95 + 1;
// Writes into `list` the printable characters of `text` that `layout` cannot
// give, each once in the order they first occur, '"' and '\\' behind a
// backslash; returns how many there are.
size_t UntypableCharacters(const tKeyboardLayout *layout, const uint8_t *text, size_t length,
                           char list[kUntypableListSize]);

// Thread body (log name "KeyboardEmulation"). Opens HidDevicePath; when that
// fails it logs and ends at once. Otherwise it types until ShutdownFlag is
// set, then closes the device. Texts still queued then stay on KeyboardList.
void *KeybEmulation(void *);

// Writes the report of `key` to `device`, continuing after partial writes.
// On a non-blocking device that is full it waits for room in slices of at
// most 100 ms and gives the report up after kHidReportGiveUpMs, or once
// ShutdownFlag is set (seen at the latest when the slice ends). 0 when all 8
// bytes were written; 1 when given up or on any other write error. Only the
// typing thread may call it while that runs: the report buffer is shared.
int SendHidReport(int device, tHidKey key);

// Empties KeyboardList, freeing every text. Caller holds KeyboardLock.
void FreeKeyboardTexts();

#endif  // KORVANE_OUTPUT_KEYBOARD_H
