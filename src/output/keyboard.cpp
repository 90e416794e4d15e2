// USB keyboard emulation.
#include "output/keyboard.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "build_settings.h"
#include "core/log.h"
#include "core/signals.h"
#include "sync/data.h"
#include "sync/lists.h"

tEvent KeyboardLock;
tEvent KeyboardTextEvent;

void FreeKeyboardTexts() {
    tData *text = nullptr;
    while (KeyboardList.PopFront(text) == 0)
        FreeData(text);
}

void *KeybEmulation(void *) {
    int device = open(KORVANE_HID_DEVICE, O_WRONLY | O_CLOEXEC);
    if (device < 0) {
        LogPuts("KeyboardEmulation", "Error while getting access to keyboard \"port\"");
        return nullptr;
    }
    // Typing arrives with the keyboard emulation; until then queued texts are
    // dropped.
    while (!FlagGet(ShutdownFlag)) {
        if (EventWaitMs(&KeyboardTextEvent, 100) != 0) continue;
        EventWait(&KeyboardLock);
        FreeKeyboardTexts();
        EventSignal(&KeyboardLock);
    }
    close(device);
    return nullptr;
}
