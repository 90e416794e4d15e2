// The magic word handlers, called through MagicWordTable as the template
// engine calls them: parse-time settings and their accepted input, the
// extended result flags, and the exact text each word renders for a tag.
#include "datagram/handlers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "datagram/codings.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "reader/tag.h"

namespace {

// Row of the nth word called `name`.
int Row(const char *name, int nth = 0) {
    for (int i = 0; i < kMagicWordCount; i++) {
        if (strcmp(MagicWordTable[i].Name, name) == 0 && nth-- == 0) return i;
    }
    ADD_FAILURE() << "no row " << name;
    return 0;
}

std::string TextOf(const tMagicWordSlot &slot) {
    if (slot.Text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char *>(slot.Text), slot.TextLength);
}

// Puts a heap text into the slot, as a previous rendering would have left.
void GiveOldText(tMagicWordSlot &slot) {
    free(slot.Text);
    slot.Text = static_cast<uint8_t *>(malloc(3));
    memcpy(slot.Text, "old", 3);
    slot.TextLength = 3;
}

class HandlersTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitMagicWordSlots();
        ResetSettings();
        FlagSet(SkipFirstByte, 0);
        FlagSet(SkipLastByte, 0);
    }
    void TearDown() override {
        FreeMagicWordSlots();
        ResetSettings();
        FlagSet(SkipFirstByte, 0);
        FlagSet(SkipLastByte, 0);
        FlagSet(Verbose, 0);
    }

    void ResetSettings() {
        PendingReadSettings = tReadSettings{};
        FlagSet(TemplateHasReadSettings, 0);
        FlagSet(HostCommExtendedResultFlag, 0);
    }

    tMagicWordSlot &Slot(int row) { return MagicWordSlots[row]; }

    uint32_t Parse(int row, const char *value, uint8_t *coding) {
        EXPECT_NE(MagicWordTable[row].Handler, nullptr) << MagicWordTable[row].Name;
        if (MagicWordTable[row].Handler == nullptr) return 99;
        return MagicWordTable[row].Handler(kMagicWordParse, value, nullptr, &Slot(row), coding);
    }
    uint32_t Parse(int row, const char *value) {
        uint8_t coding = kCodingText;
        return Parse(row, value, &coding);
    }

    uint32_t Render(int row, const tTag *tag, uint8_t coding) {
        EXPECT_NE(MagicWordTable[row].Handler, nullptr) << MagicWordTable[row].Name;
        if (MagicWordTable[row].Handler == nullptr) return 99;
        return MagicWordTable[row].Handler(kMagicWordRender, nullptr, tag, &Slot(row), &coding);
    }

    // Standard output written while `action` runs with logging on.
    template <typename Action>
    std::string LogOf(Action action) {
        FlagSet(Verbose, 1);
        testing::internal::CaptureStdout();
        action();
        std::string output = testing::internal::GetCapturedStdout();
        FlagSet(Verbose, 0);
        return output;
    }
};

// The setting a read-setting word writes, and whether it is marked set.
struct tSetting {
    uint32_t value;
    uint8_t set;
};

tSetting SettingOf(const char *word) {
    const tReadSettings &s = PendingReadSettings;
    if (strcmp(word, "MemoryBank=") == 0) return {s.MemoryBank, s.MemoryBankSet};
    if (strcmp(word, "Pointer=") == 0) return {s.Pointer, s.PointerSet};
    if (strcmp(word, "Length=") == 0) return {s.Length, s.LengthSet};
    return {s.Password, s.PasswordSet};
}

TEST_F(HandlersTest, ReadSettingsAcceptedInput) {
    struct Case {
        const char *word;
        const char *value;
        bool accepted;
        uint32_t expected;
    } const cases[] = {
        {"Pointer=", "16", true, 16},
        {"Pointer=", "0x10", true, 16},
        {"Pointer=", "0X10", true, 16},
        {"Pointer=", "0xzz", true, 0},  // no hex digit: the decimal read gives 0
        {"Pointer=", "0xZZ", true, 0},
        {"Pointer=", "0x", true, 0},
        {"Pointer=", "0", true, 0},
        {"Pointer=", "  12", true, 12},
        {"Pointer=", "12 bytes", true, 12},
        {"Pointer=", "0x123456789", true, 0x12345678},  // at most 8 hex digits
        {"Pointer=", "4294967295", true, 0xFFFFFFFF},
        {"Pointer=", "-1", true, 0xFFFFFFFF},  // what the decimal read accepts
        {"Pointer=", "", false, 0},
        {"Pointer=", "x10", false, 0},
        {"Pointer=", "ten", false, 0},
        {"Length=", "0xFFFFFFFF", true, 0xFFFFFFFF},
        {"Length=", "0xffffffff", true, 0xFFFFFFFF},
        {"Length=", "8", true, 8},
        {"Length=", "0x08", true, 8},
        {"Length=", "0", false, 0},
        {"Length=", "0x0", false, 0},
        {"Length=", "0xZZ", false, 0},  // reads as 0
        {"Length=", "", false, 0},
        {"Password=", "0x12345678", true, 0x12345678},
        {"Password=", "0xDEADBEEF", true, 0xDEADBEEF},
        {"Password=", "305419896", true, 0x12345678},
        {"Password=", "0", true, 0},
        {"Password=", "secret", false, 0},
        {"MemoryBank=", "0", true, 0},
        {"MemoryBank=", "3", true, 3},
        {"MemoryBank=", " 2", true, 2},
        {"MemoryBank=", "0x3", true, 0},  // decimal only: reads the 0
        {"MemoryBank=", "4", false, 0},
        {"MemoryBank=", "-1", false, 0},
        {"MemoryBank=", "", false, 0},
        {"MemoryBank=", "User", false, 0},
    };
    for (const Case &c : cases) {
        ResetSettings();
        int row = Row(c.word);
        Slot(row).Used = 1;
        uint32_t rc = Parse(row, c.value);
        std::string label = std::string(c.word) + c.value;
        EXPECT_EQ(rc == 0, c.accepted) << label;
        tSetting setting = SettingOf(c.word);
        EXPECT_EQ(setting.value, c.expected) << label;
        EXPECT_EQ(setting.set, c.accepted ? 1 : 0) << label;
        EXPECT_EQ(FlagGet(TemplateHasReadSettings), c.accepted ? 1 : 0) << label;
        // "MemoryBank=" renders the words read; the others render nothing.
        bool rendersText = strcmp(c.word, "MemoryBank=") == 0;
        EXPECT_EQ(Slot(row).Used, rendersText ? 1 : 0) << label;
    }
}

TEST_F(HandlersTest, ReadSettingsDoNothingWhenRendering) {
    tTag tag = {};
    tag.readResult = 3;
    for (const char *word : {"Pointer=", "Length=", "Password=", "Error=", "Coding="}) {
        int row = Row(word);
        GiveOldText(Slot(row));
        uint8_t *old = Slot(row).Text;
        EXPECT_EQ(Render(row, &tag, kCodingText), 0u) << word;
        EXPECT_EQ(Render(row, nullptr, kCodingText), 0u) << word;
        EXPECT_EQ(Slot(row).Text, old) << word;
    }
    for (const char *word : {"MemoryBank=", "Pointer=", "Length=", "Password="})
        EXPECT_EQ(SettingOf(word).set, 0) << word;
    EXPECT_EQ(FlagGet(TemplateHasReadSettings), 0);
    EXPECT_EQ(Slot(Row("MemoryBank=")).Extra, nullptr);
}

TEST_F(HandlersTest, CodingAcceptsZeroToFourAndKeepsOldCodingOtherwise) {
    struct Case {
        const char *value;
        bool accepted;
        uint8_t expected;
    } const cases[] = {
        {"0", true, 0},   {"4", true, 4},     {"2", true, 2},    {"0x3", true, 3},
        {"0X4", true, 4}, {"03", true, 3},    {" 2", true, 2},   {"2 (VDA)", true, 2},
        {"08", true, 0},  // octal: the 8 ends the number
        {"5", false, 1},  {"-1", false, 1},   {"010", false, 1}, {"0x10", false, 1},
        {"", false, 1},   {"Text", false, 1}, {"255", false, 1}, {"256", false, 1},
    };
    for (int nth = 0; nth < 2; nth++) {
        int row = Row("Coding=", nth);
        for (const Case &c : cases) {
            uint8_t coding = kCodingText;
            Slot(row).Used = 1;
            EXPECT_EQ(Parse(row, c.value, &coding) == 0, c.accepted) << nth << " " << c.value;
            EXPECT_EQ(coding, c.expected) << nth << " " << c.value;
            EXPECT_EQ(Slot(row).Used, 0) << nth << " " << c.value;
        }
    }
}

TEST_F(HandlersTest, ParseLogLines) {
    struct Case {
        const char *word;
        const char *value;
        const char *log;
    } const cases[] = {
        {"Coding=", "2", "Korvane: HandleMagicWordCoding(): Coding type is set to 2\n"},
        {"Coding=", "7",
         "Korvane: HandleMagicWordCoding(): Unknown coding type specified. Will keep old style\n"
         "Korvane: HandleMagicWordCoding(): Coding type is set to 1\n"},
        {"MemoryBank=", "3",
         "Korvane: HandleMagicWordMemoryBank(): Magicword \"MemoryBank\" set to value 3\n"},
        {"Pointer=", "0x20",
         "Korvane: HandleMagicWordPointer(): Magicword \"Pointer\" set to value 32\n"},
        {"Length=", "0xFFFFFFFF",
         "Korvane: HandleMagicWordLength(): Magicword \"Length\" set to value 4294967295\n"},
        // The password itself is never written.
        {"Password=", "0x5EC12E7",
         "Korvane: HandleMagicWordPassword(): Magicword \"Password\" set\n"},
        {"Length=", "0", ""},
    };
    for (const Case &c : cases) {
        uint8_t coding = kCodingText;
        std::string log = LogOf([&] { Parse(Row(c.word), c.value, &coding); });
        EXPECT_EQ(log, c.log) << c.word << c.value;
    }
}

TEST_F(HandlersTest, ParsingAsksForExtendedResults) {
    struct Case {
        const char *word;
        const char *value;
        uint8_t bit;
    } const cases[] = {
        {"EPC", "", 0},
        {"Coding=", "1", 0},
        {"MemoryBank=", "3", 0},
        {"Pointer=", "0", 0},
        {"Length=", "2", 0},
        {"Password=", "0", 0},
        {"Error=", "E", 0},
        {"AntennaPort", "", 0x01},
        {"AntennaProperty", "", 0x01},
        {"RSSI", "", 0x02},
        {"RSSIDBM", "", 0x20},
        {"Timestamp", "", 0x04},
        {"TimestampMS", "", 0x40},
        {"PC", "", 0x08},
        {"XPC_W1", "", 0x08},
        {"XPC_W2", "", 0x08},
        {"LF", "", 0},
        {"CR", "", 0},
        {"TAB", "", 0},
        {"NUL", "", 0},
        {"STX", "", 0},
        {"Hex=", "0D0A", 0},
    };
    for (const Case &c : cases) {
        for (uint8_t before : {0x00, 0x80}) {
            FlagSet(HostCommExtendedResultFlag, before);
            EXPECT_EQ(Parse(Row(c.word), c.value), 0u) << c.word;
            EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), before | c.bit) << c.word;
        }
    }
    // They add up over a template.
    FlagSet(HostCommExtendedResultFlag, 0);
    for (const char *word : {"RSSI", "PC", "TimestampMS", "AntennaPort"})
        Parse(Row(word), "");
    EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), 0x4B);
}

TEST_F(HandlersTest, RenderingWithoutTagLeavesNoText) {
    const char *const rendering[] = {
        "EPC",       "MemoryBank=", "AntennaPort", "AntennaProperty", "RSSI",   "RSSIDBM",
        "Timestamp", "TimestampMS", "PC",          "XPC_W1",          "XPC_W2",
    };
    for (const char *word : rendering) {
        int row = Row(word);
        GiveOldText(Slot(row));
        EXPECT_EQ(Render(row, nullptr, kCodingText), 0u) << word;
        EXPECT_EQ(Slot(row).Text, nullptr) << word;
        EXPECT_EQ(Slot(row).TextLength, 0u) << word;
    }
}

uint16_t kMemory[] = {0xAABB, 0xCCDD};

std::string Repeat(const char *text, int times) {
    std::string result;
    for (int i = 0; i < times; i++)
        result += text;
    return result;
}

struct RenderCase {
    const char *name;
    const char *word;
    uint8_t coding;
    void (*prepare)(tTag &tag);
    bool ok;
    std::string expected;  // the rendered bytes; failures: empty
    uint8_t skipFirst = 0;
    uint8_t skipLast = 0;
};

TEST_F(HandlersTest, RenderedTexts) {
    const RenderCase cases[] = {
        {"EPC, last word first", "EPC", kCodingText,
         [](tTag &t) {
             t.epcLength = 3;
             t.epc[0] = 0x1111;
             t.epc[1] = 0x2222;
             t.epc[2] = 0x3333;
             t.epc[3] = 0x4444;  // beyond epcLength
         },
         true, "333322221111"},
        {"EPC binary", "EPC", kCodingBinary,
         [](tTag &t) {
             t.epcLength = 2;
             t.epc[0] = 0x3000;
             t.epc[1] = 0x0102;
         },
         true, std::string("\x01\x02\x30\x00", 4)},
        {"EPC empty", "EPC", kCodingText, [](tTag &) {}, true, ""},
        {"EPC length beyond the array is cut to 31 words", "EPC", kCodingText,
         [](tTag &t) {
             t.epcLength = 40;
             for (uint16_t &word : t.epc)
                 word = 0xE0E0;
             t.readResult = 0x11;
         },
         true, Repeat("E0E0", 31)},
        {"memory words in order", "MemoryBank=", kCodingText,
         [](tTag &t) {
             t.memoryData = kMemory;
             t.dataLength = 2;
         },
         true, "AABBCCDD"},
        {"memory words, extra bytes skipped", "MemoryBank=", kCodingText,
         [](tTag &t) {
             t.memoryData = kMemory;
             t.dataLength = 2;
         },
         true, "BBCC", 1, 1},
        {"memory words binary, last byte skipped", "MemoryBank=", kCodingBinary,
         [](tTag &t) {
             t.memoryData = kMemory;
             t.dataLength = 1;
         },
         true, "\xAA", 0, 1},
        {"memory words as number", "MemoryBank=", kCodingBase32Number,
         [](tTag &t) {
             t.memoryData = kMemory;
             t.dataLength = 2;
         },
         true, "2LBNJ6T"},
        {"no memory words", "MemoryBank=", kCodingText, [](tTag &) {}, false, ""},
        {"read error", "MemoryBank=", kCodingText,
         [](tTag &t) {
             t.readResult = 0x0B;
             t.memoryData = kMemory;
             t.dataLength = 2;
         },
         true, "Error 0x0B"},
        {"read error whatever the coding", "MemoryBank=", 9, [](tTag &t) { t.readResult = 0xFF; },
         true, "Error 0xFF"},
        {"read error 1", "MemoryBank=", kCodingText, [](tTag &t) { t.readResult = 0x01; }, true,
         "Error 0x01"},
        {"antenna port", "AntennaPort", kCodingText, [](tTag &t) { t.antenna = 0x21; }, true, "1"},
        {"antenna property", "AntennaProperty", kCodingText, [](tTag &t) { t.antenna = 0x21; },
         true, "2"},
        {"antenna port 15", "AntennaPort", kCodingText, [](tTag &t) { t.antenna = 0xFF; }, true,
         "15"},
        {"antenna property 15", "AntennaProperty", kCodingText, [](tTag &t) { t.antenna = 0xFF; },
         true, "15"},
        {"antenna port 0", "AntennaPort", kCodingText, [](tTag &t) { t.antenna = 0xF0; }, true,
         "0"},
        {"antenna property 0", "AntennaProperty", kCodingText, [](tTag &t) { t.antenna = 0x0F; },
         true, "0"},
        {"RSSI 0", "RSSI", kCodingText, [](tTag &t) { t.rssi = 0; }, true, "0"},
        {"RSSI 255", "RSSI", kCodingText, [](tTag &t) { t.rssi = 255; }, true, "255"},
        {"RSSIDBM -70", "RSSIDBM", kCodingText, [](tTag &t) { t.rssiDbm = -70; }, true, "-70"},
        {"RSSIDBM lowest", "RSSIDBM", kCodingText, [](tTag &t) { t.rssiDbm = -32768; }, true,
         "-32768"},
        {"RSSIDBM highest", "RSSIDBM", kCodingText, [](tTag &t) { t.rssiDbm = 32767; }, true,
         "32767"},
        {"RSSIDBM 0", "RSSIDBM", kCodingText, [](tTag &t) { t.rssiDbm = 0; }, true, "0"},
        {"TimestampMS 0", "TimestampMS", kCodingText, [](tTag &t) { t.timestampMs = 0; }, true,
         "0"},
        {"TimestampMS", "TimestampMS", kCodingText,
         [](tTag &t) { t.timestampMs = 1704096309123ull; }, true, "1704096309123"},
        {"TimestampMS highest", "TimestampMS", kCodingText, [](tTag &t) { t.timestampMs = ~0ull; },
         true, "18446744073709551615"},
        {"PC hex", "PC", kCodingText, [](tTag &t) { t.pc = 0x3000; }, true, "3000"},
        {"PC binary", "PC", kCodingBinary, [](tTag &t) { t.pc = 0x3000; }, true,
         std::string("\x30\x00", 2)},
        {"PC VDA", "PC", kCodingVda, [](tTag &t) { t.pc = 0x3000; }, true, "L@"},
        {"XPC_W1 hex", "XPC_W1", kCodingText, [](tTag &t) { t.xpcW1 = 0x0A0B; }, true, "0A0B"},
        {"XPC_W1 VDA", "XPC_W1", kCodingVda, [](tTag &t) { t.xpcW1 = 0x1234; }, true, "D<FS>"},
        {"XPC_W1 base32hex", "XPC_W1", kCodingBase32Hex, [](tTag &t) { t.xpcW1 = 0x1234; }, true,
         "28Q0===="},
        {"XPC_W2 number", "XPC_W2", kCodingBase32Number, [](tTag &t) { t.xpcW2 = 0x1234; }, true,
         "4HK"},
        {"XPC_W2 hex", "XPC_W2", kCodingText, [](tTag &t) { t.xpcW2 = 0xABCD; }, true, "ABCD"},
        {"EPC coding 5", "EPC", 5, [](tTag &t) { t.epcLength = 1; }, false, ""},
        {"EPC coding 255", "EPC", 255, [](tTag &t) { t.epcLength = 1; }, false, ""},
        {"memory coding 5", "MemoryBank=", 5,
         [](tTag &t) {
             t.memoryData = kMemory;
             t.dataLength = 2;
         },
         false, ""},
        {"PC coding 5", "PC", 5, [](tTag &) {}, false, ""},
        {"XPC_W1 coding 6", "XPC_W1", 6, [](tTag &) {}, false, ""},
        {"XPC_W2 coding 200", "XPC_W2", 200, [](tTag &) {}, false, ""},
    };
    for (const RenderCase &c : cases) {
        tTag tag = {};
        tag.seenAt = 0xFFFFFFFF;
        c.prepare(tag);
        FlagSet(SkipFirstByte, c.skipFirst);
        FlagSet(SkipLastByte, c.skipLast);
        int row = Row(c.word);
        GiveOldText(Slot(row));
        EXPECT_EQ(Render(row, &tag, c.coding) == 0, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(TextOf(Slot(row)), c.expected) << c.name;
        } else {
            EXPECT_EQ(Slot(row).Text, nullptr) << c.name;
        }
        FlagSet(SkipFirstByte, 0);
        FlagSet(SkipLastByte, 0);
    }
}

TEST_F(HandlersTest, ErrorPrefix) {
    struct Case {
        const char *name;
        std::vector<const char *> errorValues;  // "Error=" words parsed, in order
        uint8_t readResult;
        std::string expected;
    } const cases[] = {
        {"default", {}, 0x0B, "Error 0x0B"},
        {"own prefix", {"E:"}, 0x0B, "E:0B"},
        {"trailing spaces kept", {"Read failed  "}, 0xA0, "Read failed  A0"},
        {"empty prefix", {""}, 0x0B, "0B"},
        {"last one wins", {"A", "B:"}, 0x0B, "B:0B"},
    };
    int bank = Row("MemoryBank=");
    int error = Row("Error=");
    for (const Case &c : cases) {
        FreeMagicWordSlots();
        for (const char *value : c.errorValues) {
            Slot(error).Used = 1;
            Slot(bank).Used = 1;
            EXPECT_EQ(Parse(error, value), 0u) << c.name;
            EXPECT_EQ(Slot(error).Used, 0) << c.name;
            EXPECT_EQ(Slot(bank).Used, 1) << c.name;
        }
        tTag tag = {};
        tag.readResult = c.readResult;
        // Twice: the prefix outlives a rendering.
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(Render(bank, &tag, kCodingText), 0u) << c.name;
            EXPECT_EQ(TextOf(Slot(bank)), c.expected) << c.name;
        }
    }
}

TEST_F(HandlersTest, ErrorPrefixLengthWrapsAt65536) {
    std::string value(65536 + 3, 'x');
    value.replace(0, 3, "ab:");
    int bank = Row("MemoryBank=");
    ASSERT_EQ(Parse(Row("Error="), value.c_str()), 0u);
    ASSERT_NE(Slot(bank).Extra, nullptr);
    EXPECT_EQ(std::string(Slot(bank).Extra), value) << "the whole value is kept";
    EXPECT_EQ(Slot(bank).ExtraLength, 3u);
    tTag tag = {};
    tag.readResult = 0x0B;
    EXPECT_EQ(Render(bank, &tag, kCodingText), 0u);
    EXPECT_EQ(TextOf(Slot(bank)), "ab:0B");
}

// Sets TZ for the life of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *zone) {
        const char *old = getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (hadOld_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool hadOld_;
    std::string old_;
};

TEST_F(HandlersTest, TimestampIsLocalTime) {
    const uint32_t kNewYear2024 = 1704096309;  // 2024-01-01 08:05:09 UTC
    struct Case {
        const char *zone;
        uint32_t seenAt;
        bool ok;
        const char *expected;
    } const cases[] = {
        {"UTC0", kNewYear2024, true, "2024-01-01 08:05:09"},
        {"KVT-2", kNewYear2024, true, "2024-01-01 10:05:09"},
        {"KVT+9", kNewYear2024, true, "2023-12-31 23:05:09"},
        {"UTC0", 0, true, "1970-01-01 00:00:00"},
        {"KVT+5", 0, true, "1969-12-31 19:00:00"},
        {"UTC0", 0xFFFFFFFE, true, "2106-02-07 06:28:14"},
        {"UTC0", 0xFFFFFFFF, false, ""},
        {"KVT-2", 0xFFFFFFFF, false, ""},
    };
    int row = Row("Timestamp");
    for (const Case &c : cases) {
        ScopedTimeZone zone(c.zone);
        tTag tag = {};
        tag.seenAt = c.seenAt;
        GiveOldText(Slot(row));
        EXPECT_EQ(Render(row, &tag, kCodingText) == 0, c.ok) << c.zone << " " << c.seenAt;
        EXPECT_EQ(TextOf(Slot(row)), c.expected) << c.zone << " " << c.seenAt;
        if (!c.ok) {
            EXPECT_EQ(Slot(row).Text, nullptr);
        }
    }
}

TEST_F(HandlersTest, ControlBytesAreMadeWhenParsing) {
    struct Case {
        const char *word;
        uint8_t byte;
    } const cases[] = {
        {"LF", 0x0A}, {"CR", 0x0D}, {"TAB", 0x09}, {"NUL", 0x00}, {"STX", 0x02},
    };
    tTag tag = {};
    for (const Case &c : cases) {
        int row = Row(c.word);
        GiveOldText(Slot(row));
        EXPECT_EQ(Parse(row, ""), 0u) << c.word;
        EXPECT_EQ(TextOf(Slot(row)), std::string(1, static_cast<char>(c.byte))) << c.word;
        // Rendering leaves the text made at parse time alone.
        const uint8_t *made = Slot(row).Text;
        EXPECT_EQ(Render(row, &tag, kCodingText), 0u) << c.word;
        EXPECT_EQ(Render(row, nullptr, kCodingText), 0u) << c.word;
        EXPECT_EQ(Slot(row).Text, made) << c.word;
        EXPECT_EQ(TextOf(Slot(row)), std::string(1, static_cast<char>(c.byte))) << c.word;
    }
}

TEST_F(HandlersTest, HexBytes) {
    struct Case {
        const char *value;
        bool ok;
        std::string expected;
    } const cases[] = {
        {"0D0A", true, "\r\n"},
        {"0x0d0a", true, "\r\n"},
        {"0X0D0A", true, "\r\n"},
        {"00FF7f", true, std::string("\x00\xFF\x7F", 3)},
        {"0x00", true, std::string(1, '\0')},
        {"", true, ""},
        {"0x", true, ""},
        {"0D0", false, ""},
        {"0x0D0", false, ""},
        {"0xD", false, ""},
        {"0G", false, ""},
        {"0D 0A", false, ""},
        {" 0D0A ", false, ""},
        {"0x0x", false, ""},
        {"x0D0", false, ""},
        {"-0D0", false, ""},
    };
    int row = Row("Hex=");
    tTag tag = {};
    for (const Case &c : cases) {
        GiveOldText(Slot(row));
        EXPECT_EQ(Parse(row, c.value) == 0, c.ok) << c.value;
        EXPECT_EQ(TextOf(Slot(row)), c.expected) << c.value;
        EXPECT_EQ(Slot(row).TextLength, c.expected.size()) << c.value;
        if (!c.ok) {
            EXPECT_EQ(Slot(row).Text, nullptr) << c.value;
        }
        const uint8_t *made = Slot(row).Text;
        EXPECT_EQ(Render(row, &tag, kCodingText), 0u) << c.value;
        EXPECT_EQ(Slot(row).Text, made) << c.value << ": rendering leaves it alone";
        EXPECT_EQ(TextOf(Slot(row)), c.expected) << c.value;
    }
}

}  // namespace
