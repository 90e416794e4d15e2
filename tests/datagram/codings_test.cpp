// The five tag data codings byte-exact, reversed and with skipped bytes.
#include "datagram/codings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "datagram/magic_words.h"

namespace {

// The text, "(fail)" or "(null)"; all but Binary and VDA must end with a NUL.
std::string Code(uint8_t coding, const std::vector<uint16_t> &words, int skipFirst = 0,
                 int skipLast = 0, int reverse = 0) {
    tMagicWordSlot slot = {};
    slot.TextLength = 99;
    uint32_t rc = CodeWords(coding, words.data(), static_cast<uint32_t>(words.size()), &slot,
                            skipFirst, skipLast, reverse);
    std::string text = rc != 0 ? "(fail)" : slot.Text == nullptr ? "(null)" : "";
    if (slot.Text != nullptr) text.assign(reinterpret_cast<char *>(slot.Text), slot.TextLength);
    if (rc == 0 && coding != kCodingBinary && coding != kCodingVda &&
        (slot.Text == nullptr || slot.Text[slot.TextLength] != 0))
        text += "(no NUL)";
    if (slot.Text == nullptr && slot.TextLength != 0) text += "(length without text)";
    free(slot.Text);
    return text;
}

TEST(Codings, Texts) {
    const uint8_t B = kCodingBinary, T = kCodingText, V = kCodingVda, H = kCodingBase32Hex,
                  N = kCodingBase32Number;
    const struct {
        uint8_t coding;
        std::vector<uint16_t> words;
        int skipFirst, skipLast, reverse;
        std::string expected;
    } cases[] = {
        // clang-format off
        // Six-bit values 0 to 63 without 33 (end of text), then 0.
        {V, {0x0010, 0x8310, 0x5187, 0x2092, 0x8B30, 0xD38F, 0x4114, 0x9351, 0x5597, 0x6196, 0x9B71,
             0xD79F, 0x8228, 0xE496, 0x69E8, 0xA6AA, 0xECB6, 0xEBF0, 0xC72C, 0xF4D7, 0x6DF8, 0xE7AE,
             0xFCF7, 0xEFC0}, 0, 0, 0, "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]<GS><RS> <RSVD><FS><US>"
                                       "<RSVD><RSVD><RSVD>()*+,-./0123456789:;<=>?@"},
        {T, {0x3000, 0x1234}, 0, 0, 0, "30001234"}, {T, {0x3000, 0x1234}, 0, 0, 1, "12343000"},
        {T, {0x0A0B, 0xF0FF}, 0, 0, 0, "0A0BF0FF"}, {T, {0xAABB, 0xCCDD}, 1, 1, 0, "BBCC"},
        {T, {0xAABB, 0xCCDD}, 1, 0, 1, "DDAABB"}, {T, {0xAABB, 0xCCDD}, 0, 1, 0, "AABBCC"},
        {T, {0xAABB, 0xCCDD}, 2, 0xFF, 7, "DDAA"}, {T, {0xAABB}, 0, 1, 0, "AA"},
        {T, {0xAABB}, 1, 1, 0, ""}, {T, {}, 1, 1, 0, ""}, {B, {}, 0, 0, 0, ""},
        {B, {0x3000, 0x0012}, 0, 0, 0, std::string("\x30\x00\x00\x12", 4)},
        {B, {0xAABB, 0xCCDD}, 0, 1, 1, "\xCC\xDD\xAA"}, {B, {0xAABB, 0xCCDD}, 1, 1, 0, "\xBB\xCC"},
        {V, {0x0428, 0x4000}, 0, 0, 0, "AB"}, {V, {0x0428, 0x40C4}, 0, 0, 0, "AB"},  // 1, 2, end
        {V, {0x0000, 0x0004}, 0, 0, 0, "@@@@A"}, {V, {0x0420, 0xC414, 0x6F00}, 0, 1, 0, "ABCDEF"},
        {V, {0x2840, 0xAA04}, 1, 0, 1, "AB"}, {V, {0x0420, 0x1234}, 0, 1, 1, "D<FS>PD"},
        {V, {0x8400}, 0, 0, 0, "(null)"}, {V, {0x1234}, 1, 1, 0, "(null)"},
        {H, {0x666F}, 0, 1, 0, "CO======"}, {H, {0x666F}, 0, 0, 0, "CPNG===="},  // RFC 4648
        {H, {0x666F, 0x6F62}, 0, 1, 0, "CPNMU==="}, {H, {0x666F, 0x6F62}, 0, 0, 0, "CPNMUOG="},
        {H, {0x666F, 0x6F62, 0x6172}, 0, 1, 0, "CPNMUOJ1"},
        {H, {0x666F, 0x6F62, 0x6172}, 0, 0, 0, "CPNMUOJ1E8======"},
        {H, {0x5678, 0x1234}, 0, 0, 1, "28Q5CU0="}, {H, {0x1200, 0x3456}, 1, 1, 0, "00Q0===="},
        {N, {0x1234, 0x5678}, 0, 0, 0, "938LJO"}, {N, {0x0001, 0x0000}, 0, 0, 1, "1"},
        {N, {0x0000, 0x0000}, 0, 0, 0, ""}, {N, {0x0100, 0x0000}, 0, 0, 0, "G0000"},
        {N, {0x0100, 0x0000}, 1, 0, 0, ""}, {N, {0x0100, 0, 0, 0, 0}, 0, 1, 0, "G000000000000"},
        {N, {0x1FAA}, 0, 1, 0, "V"}, {N, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, 0, 0, 0,
                                      "VVVVVVVVVVVVVVVV"},
        {5, {0x1234}, 0, 0, 0, "(fail)"}, {255, {0x1234}, 0, 0, 0, "(fail)"},
        // clang-format on
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const auto &c = cases[i];
        EXPECT_EQ(c.expected, Code(c.coding, c.words, c.skipFirst, c.skipLast, c.reverse))
            << "row " << i;
    }
}

// Refused: a null word array, and more words than any text length can hold.
TEST(Codings, RefusedInputLeavesNoText) {
    tMagicWordSlot slot = {};
    EXPECT_EQ(1u, CodeWords(kCodingText, nullptr, 1, &slot, 0, 0, 0));
    EXPECT_EQ(nullptr, slot.Text);
    for (uint8_t coding = 0; coding <= kCodingLast; coding++)
        EXPECT_EQ("(fail)", Code(coding, std::vector<uint16_t>(kCodingMaxWords + 1))) << +coding;
}

}  // namespace
