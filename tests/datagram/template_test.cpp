// Template parsing: blocks, tokens, rejected blocks kept as text, the block
// coding, read settings and the read command arithmetic.
#include "datagram/template.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "core/app.h"
#include "datagram/magic_words.h"
#include "reader/results.h"
#include "sync/lists.h"

namespace {

// The element list as text: L'literal' for literal text, Name/coding for a
// magic word.
std::string Describe(CMyList<tDatagramElement *> &list) {
    std::string text;
    for (auto *node = list.Head(); node != nullptr; node = node->next) {
        const tDatagramElement *element = node->value;
        if (!text.empty()) text += " ";
        if (element->Kind == 0) {
            text += "L'" +
                    std::string(static_cast<const char *>(element->Content), element->Length) + "'";
        } else {
            const tMagicWordSlot *slot = static_cast<const tMagicWordSlot *>(element->Content);
            text += std::string(slot->Word->Name) + "/" + std::to_string(element->Coding);
        }
    }
    return text;
}

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();  // no reader: flag calls fail at once
    }
    void TearDown() override { ResetProcessState(); }
    std::string Parse(const char *text, bool reset = true) {
        ParseDatagramResultString(reset, false, text, ComingTemplate);
        return Describe(ComingTemplate);
    }
};

TEST_F(TemplateTest, BlocksTokensAndRejectedBlocks) {
    struct Case {
        const char *text;
        std::string elements;
    } const cases[] = {
        {"{EPC}{CR}", "EPC/1 CR/1 L''"},
        {"{epc}", "EPC/1 L''"},
        {"{EPC }", "L'{EPC }'"},
        {"{ EPC,  RSSI}", "EPC/1 RSSI/1 L''"},
        {"{EPC,,RSSI}", "EPC/1 RSSI/1 L''"},
        {"{}", "L'{}'"},
        {"{ }", "L'{ }'"},
        {"{,}", "L'{,}'"},
        {"x{EPC,Coding=0}y", "L'x' EPC/0 L'y'"},
        {"{Coding=2,EPC}", "EPC/2 L''"},
        {"{EPC,Coding=2,PC}", "EPC/2 PC/2 L''"},
        {"{Coding=2}", "L'{Coding=2}'"},
        {"{Coding=5,EPC}", "L'{Coding=5,EPC}'"},
        {"{Error=E: }", "L''"},
        {"a{b{EPC}c", "L'a{b' EPC/1 L'c'"},
        {"{EPC", "L'{EPC'"},
        {"EPC}", "L'EPC}'"},
        {"plain text", "L'plain text'"},
        {"{TimestampMS}{RSSIDBM}", "TimestampMS/1 RSSIDBM/1 L''"},
        {"{EPCX}", "L'{EPCX}'"},
        {"{LF=1}", "L'{LF=1}'"},
        // A rejected block after an accepted word: its word is removed, the
        // literal before it goes out once, and its text joins the next one.
        {"pre{EPC,Bogus}post{CR}", "L'pre' L'{EPC,Bogus}post' CR/1 L''"},
        {"{Hex=0D0}", "L'{Hex=0D0}'"},
        // Each "Hex=" block keeps the bytes it names; a rejected one changes
        // no other.
        {"{Hex=0x0d0a}", "L'\r\n' L''"},
        {"{Hex=0D0A}|{Hex=3B}", "L'\r\n' L'|' L';' L''"},
        {"{Hex=0D0A}{Hex=0D0}", "L'\r\n' L'{Hex=0D0}'"},
        {"{Hex=00FF,Coding=0}{Hex=}", "L'" + std::string("\0\xFF", 2) + "' L'' L''"},
        // A number too large for its field is refused, not wrapped.
        {"{EPC,Coding=4294967296}", "L'{EPC,Coding=4294967296}'"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Parse(c.text), c.elements) << c.text;
}

TEST_F(TemplateTest, AbsentTemplateResetsNothingAndEmptyTemplateHasNoElement) {
    Parse("{Error=X}");
    ParseDatagramResultString(true, false, nullptr, ComingTemplate);
    EXPECT_EQ(Describe(ComingTemplate), "");
    EXPECT_STREQ(MagicWordSlots[2].Extra, "X") << "an absent template resets nothing";
    EXPECT_EQ(Parse(""), "");
    EXPECT_EQ(MagicWordSlots[2].Extra, nullptr) << "an empty template still resets";
}

TEST_F(TemplateTest, ParseMarksUsedSlotsAndCollectsResultFlags) {
    Parse("{RSSI}{TimestampMS}{AntennaPort}");
    EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), 0x02 | 0x40 | 0x01);
    EXPECT_EQ(MagicWordSlots[10].Used, 1);
    EXPECT_EQ(MagicWordSlots[0].Used, 0);
    Parse("{EPC}");
    EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), 0) << "reset clears the flags";
    EXPECT_EQ(MagicWordSlots[10].Used, 0);
}

TEST_F(TemplateTest, ReadSettingsAreAdoptedOnceAndConflictsRejected) {
    struct Case {
        const char *coming;
        const char *going;
        const char *goingElements;
        bool valid;
        uint8_t bank;
        uint32_t pointer, length;
    } const cases[] = {
        {"{MemoryBank=3,Pointer=0,Length=8}", "{MemoryBank=3,Pointer=0,Length=8}",
         "MemoryBank=/1 L''", true, 3, 0, 8},
        {"{MemoryBank=3,Pointer=0,Length=8}", "{MemoryBank=3,Pointer=2,Length=8}",
         "L'{MemoryBank=3,Pointer=2,Length=8}'", true, 3, 0, 8},
        // A later block may leave out what it repeats only when it matches.
        {"{MemoryBank=0,Pointer=0,Length=4}", "{Pointer=0,Length=4}", "L''", true, 0, 0, 4},
        {"{MemoryBank=3,Pointer=0,Length=4}", "{Pointer=0,Length=4}", "L'{Pointer=0,Length=4}'",
         true, 3, 0, 4},
        {"{EPC}", "{Pointer=0,Length=4}", "L'{Pointer=0,Length=4}'", false, 0, 0, 0},
        // A password differing in a later block is dropped, the block kept.
        {"{MemoryBank=1,Pointer=4,Length=2,Password=1}",
         "{MemoryBank=1,Pointer=4,Length=2,Password=2}", "MemoryBank=/1 L''", true, 1, 4, 2},
        {"{MemoryBank=2,Pointer=0,Length=0xFFFFFFFF}", "{EPC}", "EPC/1 L''", true, 2, 0,
         0xFFFFFFFF},
        // Lengths the reader can deliver in one read: at most 255 words.
        {"{MemoryBank=3,Pointer=0,Length=510}", "{EPC}", "EPC/1 L''", true, 3, 0, 510},
        {"{MemoryBank=3,Pointer=1,Length=510}", "{EPC}", "EPC/1 L''", false, 0, 0, 0},
        {"{MemoryBank=3,Pointer=0,Length=512}", "{EPC}", "EPC/1 L''", false, 0, 0, 0},
        {"{MemoryBank=4294967299,Pointer=0,Length=2}", "{EPC}", "EPC/1 L''", false, 0, 0, 0},
        // Incomplete settings are never adopted: a bank and a pointer alone
        // start no read, and the block is kept as text.
        {"{MemoryBank=3,Pointer=0}", "{EPC}", "EPC/1 L''", false, 0, 0, 0},
    };
    for (const Case &c : cases) {
        ParseDatagramResultString(true, false, c.coming, ComingTemplate);
        ParseDatagramResultString(false, false, c.going, GoingTemplate);
        EXPECT_EQ(Describe(GoingTemplate), c.goingElements) << c.coming << " " << c.going;
        EXPECT_EQ(ActiveReadSettings.Valid, c.valid) << c.coming;
        if (!c.valid) continue;
        EXPECT_EQ(ActiveReadSettings.MemoryBank, c.bank) << c.coming;
        EXPECT_EQ(ActiveReadSettings.Pointer, c.pointer) << c.coming;
        EXPECT_EQ(ActiveReadSettings.Length, c.length) << c.coming;
    }
}

TEST(ReadWordCount, CoversTheBytesAskedFor) {
    struct Case {
        uint32_t pointer, length, words;
        uint8_t skipFirst, skipLast;
    } const cases[] = {
        {0, 8, 4, 0, 0},
        {1, 2, 2, 1, 1},
        {1, 3, 2, 1, 0},
        {0, 3, 2, 0, 1},
        {2, 1, 1, 0, 1},
        {3, 1, 1, 1, 0},
        {0, 510, 255, 0, 0},
        {1, 510, 256, 1, 1},
        {0, 0xFFFFFFFF, 255, 0, 0},
        {1, 0xFFFFFFFF, 255, 1, 0},
    };
    for (const Case &c : cases) {
        uint8_t skipFirst = 9, skipLast = 9;
        EXPECT_EQ(ReadWordCount(c.pointer, c.length, &skipFirst, &skipLast), c.words)
            << c.pointer << "/" << c.length;
        EXPECT_EQ(skipFirst, c.skipFirst) << c.pointer << "/" << c.length;
        EXPECT_EQ(skipLast, c.skipLast) << c.pointer << "/" << c.length;
        if (c.length != 0xFFFFFFFF) {
            EXPECT_EQ(2 * c.words - skipFirst - skipLast, c.length) << "bytes delivered";
        }
    }
}

}  // namespace
