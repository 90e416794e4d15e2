// Decodes boot keyboard input reports the way a PC reads them with one of its
// keyboard layouts, for tests. libxkbcommon compiles the layout from the
// installed database (rules "evdev", model "pc105"); dead keys go through the
// en_US.UTF-8 Compose table, as on a desktop. The usage to key table is the
// kernel's HID mapping: nothing comes from Korvane's key tables.
//
// A report is a snapshot of the keyboard, taken in the kernel's order:
// modifier changes first (left Shift 0x02, right Shift 0x20, right Alt 0x40),
// then releases of the keys no longer held, then presses of the new ones.
#ifndef KORVANE_TESTS_SUPPORT_XKB_DECODER_H
#define KORVANE_TESTS_SUPPORT_XKB_DECODER_H

#include <string>
#include <vector>

#include "support/hid_decoder.h"

struct tXkbText {
    std::string text;   // UTF-8, what the presses typed
    std::string error;  // empty when every report was decoded
};

// What a PC with the layout `layout` ("us", "fr", ...) reads from `reports`.
// An error for a layout the database lacks (no fallback), a modifier bit
// other than the three above, or a usage without a key here.
tXkbText DecodeXkbReports(const char *layout, const std::vector<HidReportBytes> &reports);

// Reads one typed text from `fd` into `decoder`: up to its closing Enter and
// the release after it, each report within `timeoutMs`.
bool ReadTypedText(int fd, HidDecoder *decoder, int timeoutMs);

#endif  // KORVANE_TESTS_SUPPORT_XKB_DECODER_H
