// The generated layout tables: US against the table Korvane has always typed
// with; other layouts' keys as their symbols files give them, where a wrong
// merge, level, key type, level-3 switch or preference would show.
#include "output/keyboard_layouts.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

const tKeyboardLayout *Layout(const char *name) {
    for (size_t i = 0; i < kKeyboardLayoutCount; i++)
        if (strcmp(kKeyboardLayouts[i].name, name) == 0) return &kKeyboardLayouts[i];
    return nullptr;
}

std::string Keys(const tLayoutChar &typed) {
    char text[32];
    snprintf(text, sizeof text, "dead %02X/%02X key %02X/%02X", typed.dead.modifier,
             typed.dead.usage, typed.key.modifier, typed.key.usage);
    return text;
}

TEST(KeyboardLayouts, EveryLayoutOnceSortedByName) {
    const char *names[] = {"be", "ch", "de", "dk", "es", "fi", "fr",
                           "gb", "it", "nl", "no", "pt", "se", "us"};
    ASSERT_EQ(kKeyboardLayoutCount, sizeof(names) / sizeof(names[0]));
    for (size_t i = 0; i < kKeyboardLayoutCount; i++)
        EXPECT_STREQ(kKeyboardLayouts[i].name, names[i]);
}

TEST(KeyboardLayouts, UsTypesEveryCharacterWithTheUsKeyTable) {
    const tKeyboardLayout *us = Layout("us");
    ASSERT_NE(us, nullptr);
    for (int c = kFirstPrintable; c < kFirstPrintable + static_cast<int>(kPrintableCount); c++) {
        EXPECT_EQ(Keys(us->chars[c - kFirstPrintable]), Keys({{0, 0}, HidKeyTable[c]}))
            << "'" << static_cast<char>(c) << "'";
    }
}

TEST(KeyboardLayouts, KeysAsTheSymbolsFilesGiveThem) {
    struct {
        const char *layout;
        char c;
        tLayoutChar expected;
    } const cases[] = {
        {"fr", 'a', {{0, 0}, {0x00, 0x14}}},     // AZERTY: a on the Q position
        {"fr", '1', {{0, 0}, {0x02, 0x1E}}},     // digits need Shift
        {"fr", '^', {{0x00, 0x2F}, {0, 0x2C}}},  // dead key before AltGr+9
        {"de", 'z', {{0, 0}, {0x00, 0x1C}}},     // QWERTZ
        {"de", '@', {{0, 0}, {0x40, 0x14}}},     // AltGr+Q, from latin
        {"de", '\\', {{0, 0}, {0x40, 0x2D}}},    // a key with five levels and its own type
        {"de", '`', {{0x02, 0x2E}, {0, 0x2C}}},  // Shift on the dead key
        {"gb", '\\', {{0, 0}, {0x00, 0x64}}},    // gb's extra key over pc's
        {"gb", '|', {{0, 0}, {0x02, 0x64}}},     // Shift before AltGr+grave
        {"it", '@', {{0, 0}, {0x40, 0x33}}},     // it's own AltGr+AC10 before latin's AltGr+Q
        {"ch", '}', {{0, 0}, {0x40, 0x31}}},     // ch's AltGr+BKSL before latin's AltGr+0
        {"fi", '|', {{0, 0}, {0x40, 0x64}}},     // AltGr before Shift+AltGr+I
        {"fi", '~', {{0x40, 0x30}, {0, 0x2C}}},  // a dead key on AltGr
    };
    for (const auto &test : cases) {
        const tKeyboardLayout *layout = Layout(test.layout);
        ASSERT_NE(layout, nullptr) << test.layout;
        EXPECT_EQ(Keys(layout->chars[test.c - kFirstPrintable]), Keys(test.expected))
            << test.layout << " '" << test.c << "'";
    }
}

}  // namespace
