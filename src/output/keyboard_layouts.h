// Keyboard layouts: how the PC on the other end of the keyboard gadget reads
// key positions. The host decodes every report with its own layout, so
// Korvane picks, for each printable character, the key and modifiers that
// give that character on the host's layout.
//
// The tables are generated at build time from the keyboard layout database
// installed on the build machine (tools/keyboard-layouts.py); the control
// codes and the release report keep using HidKeyTable whatever the layout.
#ifndef KORVANE_OUTPUT_KEYBOARD_LAYOUTS_H
#define KORVANE_OUTPUT_KEYBOARD_LAYOUTS_H

#include <stddef.h>

#include "output/keyboard.h"

// Modifier byte of the right Alt key, which most layouts use as AltGr.
constexpr uint8_t kHidRightAlt = 0x40;
// The printable characters a layout table covers: 0x20 (space) to 0x7E (~).
constexpr uint8_t kFirstPrintable = 0x20;
constexpr size_t kPrintableCount = 95;

// How one printable character is typed: `key`, after the dead key `dead`
// when dead.usage is not zero (`key` is then the space bar, which makes the
// dead key give its own character). key.usage zero: the layout cannot type
// the character.
struct tLayoutChar {
    tHidKey dead;
    tHidKey key;
};

struct tKeyboardLayout {
    const char *name;                    // the layout's name, lower case ("us", "fr", ...)
    tLayoutChar chars[kPrintableCount];  // indexed by character - kFirstPrintable
};

// Every layout, sorted by name (generated).
extern const tKeyboardLayout kKeyboardLayouts[];
extern const size_t kKeyboardLayoutCount;

// The layout called `name`, letter case ignored; null when there is none.
const tKeyboardLayout *FindKeyboardLayout(const char *name);

#endif  // KORVANE_OUTPUT_KEYBOARD_LAYOUTS_H
