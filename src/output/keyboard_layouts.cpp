// Looking up a keyboard layout by the name a configuration gives.
#include "output/keyboard_layouts.h"

#include <strings.h>

const tKeyboardLayout *FindKeyboardLayout(const char *name) {
    if (name == nullptr) return nullptr;
    for (size_t i = 0; i < kKeyboardLayoutCount; i++) {
        if (strcasecmp(kKeyboardLayouts[i].name, name) == 0) return &kKeyboardLayouts[i];
    }
    return nullptr;
}
