// The layout decoder the keyboard layout tests trust, checked on reports
// whose meaning the layout database fixes (the layout test also checks it on
// everything the korvane binary types with its US table).
#include <gtest/gtest.h>

#include "support/xkb_decoder.h"

namespace {

// Each (modifier, usage) pressed, then released; the text or the error.
std::string Decoded(const char *layout, const std::vector<std::pair<uint8_t, uint8_t>> &keys) {
    std::vector<HidReportBytes> reports;
    for (const auto &key : keys) {
        reports.push_back(MakeHidReport(key.first, key.second));
        reports.push_back(MakeHidReport(0, 0));
    }
    tXkbText decoded = DecodeXkbReports(layout, reports);
    return decoded.error.empty() ? decoded.text : "error: " + decoded.error;
}

TEST(XkbDecoderTest, ReadsEachLayoutsKeysLevelsAndDeadKeys) {
    // The Q key on three layouts; Shift on either side; AltGr where the
    // layout has it; the key left of Z; the control keys.
    EXPECT_EQ(Decoded("us", {{0, 0x14}, {0x02, 0x14}, {0x20, 0x1F}}), "qQ@");
    EXPECT_EQ(Decoded("fr", {{0, 0x14}, {0x20, 0x14}, {0x40, 0x1F}}), "aA~");
    EXPECT_EQ(Decoded("de", {{0, 0x1C}, {0x02, 0x1F}, {0x40, 0x14}}), "z\"@");
    EXPECT_EQ(Decoded("de", {{0, 0x64}, {0x02, 0x64}, {0x40, 0x64}}), "<>|");
    EXPECT_EQ(Decoded("us", {{0, 0x28}, {0, 0x2B}, {0, 0x2A}, {0, 0x2C}}), "\r\t\b ");
    // fr: the dead circumflex with space gives '^', with e a composed char,
    // with Backspace nothing; US keys give no dead keys.
    EXPECT_EQ(Decoded("fr", {{0, 0x2F}, {0, 0x2C}, {0, 0x2F}, {0, 0x08}}), "^\xC3\xAA");
    EXPECT_EQ(Decoded("fr", {{0, 0x2F}, {0, 0x2A}, {0, 0x08}}), "e");
    EXPECT_EQ(Decoded("us", {{0x02, 0x23}, {0, 0x2C}}), "^ ");
    // A key held over reports is one press, Shift let go before the next
    // key counts, and six keys in one report are six presses.
    EXPECT_EQ(DecodeXkbReports("us", {MakeHidReport(0x02, 0x04),
                                      MakeHidReport(0x02, 0x04),
                                      MakeHidReport(0, 0x04),
                                      MakeHidReport(0, 0x05),
                                      {0, 0, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}})
                  .text,
              "Abcdefgh");
    // No silent fallback: an unknown layout, a modifier Korvane never sends
    // and a usage the decoder has no key for are errors.
    EXPECT_EQ(Decoded("xx", {{0, 0x04}}), "error: no keymap for layout xx");
    EXPECT_EQ(Decoded("us", {{0, 0x04}, {0x01, 0x04}}), "error: modifier bits in report 2");
    EXPECT_EQ(Decoded("us", {{0, 0x29}}), "error: usage 41 in report 0");
}

}  // namespace
