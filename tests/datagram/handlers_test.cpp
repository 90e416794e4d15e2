// The magic word handlers as the template engine calls them, through MagicWordTable.
#include "datagram/handlers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "core/app.h"
#include "core/log.h"
#include "datagram/codings.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "reader/tag.h"

namespace {

// Row of the nth word called `name`.
int Row(const char *name, int nth = 0) {
    for (int i = 0; i < kMagicWordCount; i++)
        if (strcmp(MagicWordTable[i].Name, name) == 0 && nth-- == 0) return i;
    ADD_FAILURE() << "no row " << name;
    return 0;
}

// Row and value of "Name=value", or of a bare name.
std::pair<int, const char *> Split(const char *text) {
    const char *equals = strchr(text, '=');
    return {Row(std::string(text, equals ? equals + 1 : text + strlen(text)).c_str()),
            equals ? equals + 1 : ""};
}

std::string TextOf(const tMagicWordSlot &slot) {
    if (slot.Text == nullptr) return "(null)";
    return std::string(reinterpret_cast<const char *>(slot.Text), slot.TextLength);
}

uint16_t kMemory[] = {0xAABB, 0xCCDD};

class HandlersTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    void Reset() { ResetProcessState(); }
    tMagicWordSlot &Slot(int row) { return MagicWordSlots[row]; }
    // An old text left in the slot: a handler that does not free it leaks under ASan.
    void GiveOldText(int row) {
        free(Slot(row).Text);
        Slot(row).Text = static_cast<uint8_t *>(malloc(3));
        memcpy(Slot(row).Text, "old", 3);
        Slot(row).TextLength = 3;
    }
    uint32_t Parse(int row, const char *value, uint8_t *coding = nullptr) {
        uint8_t own = kCodingText;
        return MagicWordTable[row].Handler(kMagicWordParse, value, nullptr, &Slot(row),
                                           coding ? coding : &own);
    }
    uint32_t Render(int row, const tTag *tag, uint8_t coding) {
        return MagicWordTable[row].Handler(kMagicWordRender, nullptr, tag, &Slot(row), &coding);
    }
};

TEST_F(HandlersTest, ParsedSettingsAndTheirLogLines) {
    const int64_t kRefused = -1;
    struct Value {
        const char *text;
        int64_t expected;
        const char *log = nullptr;  // after "Korvane: HandleMagicWord"; null: unchecked
    };
    const struct {
        const char *word;
        std::vector<Value> values;
    } cases[] = {
        // clang-format off
        {"Pointer=", {{"16", 16}, {"0X10", 16}, {"0xzz", 0}, {"0x", 0}, {"  12", 12},
                      {"0x10", 16, "Pointer(): Magicword \"Pointer\" set to value 16\n"},
                      {"12 bytes", 12}, {"0x123456789", 0x12345678}, {"4294967295", 0xFFFFFFFF},
                      {"-1", 0xFFFFFFFF}, {"", kRefused}, {"x10", kRefused},
                      // Too large for 32 bits: refused, not wrapped into range.
                      {"4294967296", kRefused}, {"4294967299", kRefused},
                      {"-4294967296", kRefused}, {"99999999999999999999999", kRefused}}},
        {"Length=", {{"0xffffffff", 0xFFFFFFFF,
                      "Length(): Magicword \"Length\" set to value 4294967295\n"},
                     {"0x08", 8}, {"0", kRefused, ""}, {"0x0", kRefused}, {"0xZZ", kRefused},
                     {"", kRefused}, {"4294967304", kRefused}}},
        {"Password=", {{"0xDEADBEEF", 0xDEADBEEF, "Password(): Magicword \"Password\" set\n"},
                       {"305419896", 0x12345678}, {"0", 0}, {"secret", kRefused},
                       {"4294967296", kRefused}}},
        {"MemoryBank=", {{"3", 3, "MemoryBank(): Magicword \"MemoryBank\" set to value 3\n"},
                         {" 2", 2}, {"0x3", 0}, {"4", kRefused}, {"-1", kRefused},
                         {"User", kRefused}, {"4294967299", kRefused},
                         {"18446744073709551619", kRefused}}},
        {"Coding=", {{"0", 0}, {"4", 4}, {"0X3", 3}, {"03", 3}, {"08", 0},
                     {"2 (VDA)", 2, "Coding(): Coding type is set to 2\n"},
                     {"5", kRefused,
                      "Coding(): Unknown coding type specified. Will keep old style\n"
                      "Korvane: HandleMagicWordCoding(): Coding type is set to 1\n"},
                     {"-1", kRefused}, {"010", kRefused}, {"0x10", kRefused}, {"256", kRefused},
                     {"", kRefused}, {"4294967296", kRefused}, {"4294967298", kRefused},
                     {"0x100000001", kRefused}, {"-4294967295", kRefused}}},
        // clang-format on
    };
    for (const auto &c : cases) {
        auto is = [&](const char *word) { return strcmp(c.word, word) == 0; };
        // Both "Coding=" rows.
        for (int row : {Row(c.word), Row(c.word, is("Coding=") ? 1 : 0)}) {
            for (const Value &v : c.values) {
                Reset();
                SCOPED_TRACE(std::string(c.word) + v.text);
                bool accepted = v.expected != kRefused;
                Slot(row).Used = 1;
                uint8_t coding = kCodingText;
                FlagSet(Verbose, 1);
                testing::internal::CaptureStdout();
                EXPECT_EQ(Parse(row, v.text, &coding) == 0, accepted);
                std::string log = testing::internal::GetCapturedStdout();
                FlagSet(Verbose, 0);
                std::string want =
                    v.log && *v.log ? "Korvane: HandleMagicWord" + std::string(v.log) : "";
                EXPECT_TRUE(!v.log || log == want) << log;
                const tReadSettings &s = PendingReadSettings;
                uint32_t value = is("Coding=") ? coding : 0, set = 0;
                if (is("MemoryBank=")) value = s.MemoryBank, set = s.MemoryBankSet;
                if (is("Pointer=")) value = s.Pointer, set = s.PointerSet;
                if (is("Length=")) value = s.Length, set = s.LengthSet;
                if (is("Password=")) value = s.Password, set = s.PasswordSet;
                // A refused coding keeps the one there was.
                EXPECT_EQ(value, accepted ? v.expected : is("Coding=") ? kCodingText : 0);
                EXPECT_EQ(set, accepted && !is("Coding=") ? 1u : 0u);
                EXPECT_EQ(FlagGet(TemplateHasReadSettings), accepted && !is("Coding=") ? 1 : 0);
                // Only "MemoryBank=" renders text.
                EXPECT_EQ(Slot(row).Used, is("MemoryBank=") ? 1 : 0);
            }
        }
    }
}

TEST_F(HandlersTest, ExtendedResultBitsAndRenderingWithoutTag) {
    const struct {
        const char *word;
        uint8_t bit;
        bool rendersText;  // else rendering leaves the slot's text alone
    } cases[] = {
        // clang-format off
        {"EPC", 0, true}, {"MemoryBank=3", 0, true}, {"Coding=1", 0, false},
        {"Pointer=0", 0, false}, {"Length=2", 0, false}, {"Password=0", 0, false},
        {"Error=E", 0, false}, {"LF", 0, false}, {"Hex=0D0A", 0, false},
        {"PC", 0x08, true}, {"XPC_W1", 0x08, true}, {"XPC_W2", 0x08, true},
        {"RSSI", 0x02, true}, {"RSSIDBM", 0x20, true}, {"AntennaPort", 0x01, true},
        {"AntennaProperty", 0x01, true}, {"Timestamp", 0x04, true}, {"TimestampMS", 0x40, true},
        // clang-format on
    };
    tTag tag = {};
    tag.readResult = 3;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word);
        auto [row, value] = Split(c.word);
        GiveOldText(row);
        EXPECT_EQ(Render(row, &tag, kCodingText) | Render(row, nullptr, kCodingText), 0u);
        EXPECT_EQ(TextOf(Slot(row)), c.rendersText ? "(null)" : "old");
        const tReadSettings &s = PendingReadSettings;
        EXPECT_EQ(s.MemoryBankSet | s.PointerSet | s.LengthSet | s.PasswordSet, 0);
        for (uint8_t before : {0x00, 0x80}) {
            FlagSet(HostCommExtendedResultFlag, before);
            EXPECT_EQ(Parse(row, value), 0u);
            EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), before | c.bit);
        }
        Reset();
    }
}

TEST_F(HandlersTest, RenderedTexts) {
    tTag tags[4] = {};
    tTag &t0 = tags[0], &t1 = tags[1], &t2 = tags[2];
    t0.epcLength = 3, t0.epc[0] = 0x1111, t0.epc[1] = 0x2222, t0.epc[2] = 0x3333;
    t0.epc[3] = 0x4444, t0.memoryData = kMemory, t0.dataLength = 2, t0.antenna = 0x21;
    t0.rssi = 255, t0.rssiDbm = -70, t0.pc = 0x3000, t0.xpcW1 = 0x1234, t0.xpcW2 = 0xABCD;
    t0.seenAt = 1704096309, t0.timestampMs = 1704096309123ull;
    t2.seenAt = 0xFFFFFFFF, tags[3].seenAt = 0xFFFFFFFE;
    t1.epcLength = 40, t1.antenna = 0xF0, t1.rssiDbm = -32768, t1.timestampMs = ~0ull;
    t2.readResult = 0x0B, t2.memoryData = kMemory, t2.dataLength = 2, t2.rssiDbm = 32767;
    tags[3].readResult = 0xFF;
    const std::string cut(31 * 4, '0'), kFails = "(null)";  // EPC cut to the 31 words there are
    const char *oldZone = getenv("TZ");
    std::string savedZone = oldZone ? oldZone : "";
    setenv("TZ", "KVT+9", 1);
    tzset();
    const uint8_t T = kCodingText, B = kCodingBinary, V = kCodingVda, H = kCodingBase32Hex,
                  N = kCodingBase32Number;
    const struct {
        int tag;
        const char *word;
        uint8_t coding;
        std::string expected;
        uint8_t skipFirst = 0, skipLast = 0;
    } cases[] = {
        // clang-format off
        {0, "EPC", T, "333322221111"}, {0, "EPC", B, "\x33\x33\x22\x22\x11\x11"},
        {1, "EPC", T, cut}, {2, "EPC", T, ""}, {0, "EPC", 5, kFails}, {0, "EPC", 255, kFails},
        {0, "MemoryBank=", T, "AABBCCDD"}, {0, "MemoryBank=", T, "BBCC", 1, 1},
        {0, "MemoryBank=", B, "\xAA\xBB\xCC", 0, 1}, {0, "MemoryBank=", N, "2LBNJ6T"},
        {0, "MemoryBank=", 5, kFails}, {1, "MemoryBank=", T, kFails},
        {2, "MemoryBank=", T, "Error 0x0B"}, {3, "MemoryBank=", 9, "Error 0xFF"},
        {0, "AntennaPort", T, "1"}, {0, "AntennaProperty", T, "2"}, {1, "AntennaPort", T, "0"},
        {1, "AntennaProperty", T, "15"}, {0, "RSSI", T, "255"}, {1, "RSSI", T, "0"},
        {0, "RSSIDBM", T, "-70"}, {1, "RSSIDBM", T, "-32768"}, {2, "RSSIDBM", T, "32767"},
        {0, "TimestampMS", T, "1704096309123"}, {2, "TimestampMS", T, "0"},
        {1, "TimestampMS", T, "18446744073709551615"},
        {0, "PC", T, "3000"}, {0, "PC", B, std::string("\x30\x00", 2)}, {0, "PC", V, "L@"},
        {0, "PC", 5, kFails}, {0, "XPC_W1", T, "1234"}, {0, "XPC_W1", V, "D<FS>"},
        {0, "XPC_W1", H, "28Q0===="}, {0, "XPC_W1", 6, kFails}, {0, "XPC_W2", T, "ABCD"},
        {0, "XPC_W2", N, "1AUD"}, {0, "XPC_W2", 200, kFails},
        // Local time, here nine hours behind UTC. A 32-bit time_t cannot
        // hold the seconds of 2106, so there that tag's time cannot be
        // converted.
        {0, "Timestamp", T, "2023-12-31 23:05:09"}, {1, "Timestamp", T, "1969-12-31 15:00:00"},
        {3, "Timestamp", T, sizeof(time_t) >= 8 ? "2106-02-06 21:28:14" : kFails},
        {2, "Timestamp", T, kFails},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.word + std::to_string(c.tag) + " " + std::to_string(c.coding));
        FlagSet(SkipFirstByte, c.skipFirst);
        FlagSet(SkipLastByte, c.skipLast);
        int row = Row(c.word);
        GiveOldText(row);
        EXPECT_EQ(Render(row, &tags[c.tag], c.coding) != 0, c.expected == kFails);
        EXPECT_EQ(TextOf(Slot(row)), c.expected);
    }
    oldZone ? setenv("TZ", savedZone.c_str(), 1) : unsetenv("TZ");
    tzset();
}

// Texts made when parsing ("Hex=", control bytes) and the error prefix "MemoryBank=" renders.
TEST_F(HandlersTest, ParsedTextsSurviveRendering) {
    const std::string kRefused = "(refused)";
    std::string wraps = "Error=ab:" + std::string(65536, 'x');  // its length is kept modulo 65536
    const struct {
        std::vector<std::string> parsed;  // in order
        const char *rendered;
        std::string expected;
    } cases[] = {
        // clang-format off
        {{"LF"}, "LF", "\n"}, {{"CR"}, "CR", "\r"}, {{"TAB"}, "TAB", "\t"},
        {{"NUL"}, "NUL", std::string(1, '\0')}, {{"STX"}, "STX", "\x02"},
        {{"Hex=0D0A"}, "Hex=", "\r\n"}, {{"Hex=0x0d0a"}, "Hex=", "\r\n"},
        {{"Hex=00FF7f"}, "Hex=", std::string("\0\xFF\x7F", 3)},
        {{"Hex=0X00"}, "Hex=", std::string(1, '\0')}, {{"Hex="}, "Hex=", "(null)"},
        {{"Hex=0x"}, "Hex=", "(null)"}, {{"Hex=0D0"}, "Hex=", kRefused},
        {{"Hex=0xD"}, "Hex=", kRefused}, {{"Hex=0G"}, "Hex=", kRefused},
        {{"Hex=0D 0A"}, "Hex=", kRefused}, {{"Hex= 0D0A"}, "Hex=", kRefused},
        {{"Hex=0x0x"}, "Hex=", kRefused}, {{"Hex=-0D0"}, "Hex=", kRefused},
        {{}, "MemoryBank=", "Error 0x0B"}, {{"Error=E:"}, "MemoryBank=", "E:0B"},
        {{"Error="}, "MemoryBank=", "0B"}, {{"Error=A", "Error=B:"}, "MemoryBank=", "B:0B"},
        {{"Error=Failed  "}, "MemoryBank=", "Failed  0B"}, {{wraps}, "MemoryBank=", "ab:0B"},
        // clang-format on
    };
    tTag tag = {};
    tag.readResult = 0x0B;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        Reset();
        int row = Row(c.rendered);
        GiveOldText(row);
        for (const std::string &word : c.parsed) {
            auto [parsed, value] = Split(word.c_str());
            Slot(parsed).Used = 1;
            EXPECT_EQ(Parse(parsed, value) == 0, c.expected != kRefused);
            // "Error=" renders nothing itself.
            EXPECT_EQ(Slot(parsed).Used, parsed == Row("Error=") ? 0 : 1);
        }
        for (int i = 0; i < 2; i++) {  // rendering keeps a parsed text, and the prefix
            EXPECT_EQ(Render(row, &tag, kCodingText), 0u);
            EXPECT_EQ(TextOf(Slot(row)), c.expected == kRefused ? "(null)" : c.expected);
        }
    }
}

}  // namespace
