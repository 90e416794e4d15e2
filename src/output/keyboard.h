// USB keyboard emulation: types queued datagram texts on the HID gadget.
#ifndef KORVANE_OUTPUT_KEYBOARD_H
#define KORVANE_OUTPUT_KEYBOARD_H

#include "sync/event.h"

extern tEvent KeyboardLock;       // guards KeyboardList
extern tEvent KeyboardTextEvent;  // a text was queued on KeyboardList

// Thread body.
void *KeybEmulation(void *);

// Empties KeyboardList, freeing every text. Caller holds KeyboardLock.
void FreeKeyboardTexts();

#endif  // KORVANE_OUTPUT_KEYBOARD_H
