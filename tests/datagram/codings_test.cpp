// The five tag data codings: byte-exact texts, byte order and skipped bytes,
// and refused input.
#include "datagram/codings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "datagram/magic_words.h"

namespace {

struct tResult {
    uint32_t rc;
    bool textNull;
    std::string text;
    bool nulTerminated;
};

// Binary and VDA promise no NUL, so only the others are checked for one.
tResult Code(uint8_t coding, const std::vector<uint16_t> &words, uint8_t skipFirst = 0,
             uint8_t skipLast = 0, uint8_t reverse = 0) {
    tMagicWordSlot slot = {};
    tResult result;
    result.rc = CodeWords(coding, words.data(), static_cast<uint32_t>(words.size()), &slot,
                          skipFirst, skipLast, reverse);
    result.textNull = slot.Text == nullptr;
    if (slot.Text != nullptr)
        result.text.assign(reinterpret_cast<char *>(slot.Text), slot.TextLength);
    bool promisesNul = coding != kCodingBinary && coding != kCodingVda;
    result.nulTerminated =
        !promisesNul || (slot.Text != nullptr && slot.Text[slot.TextLength] == 0);
    free(slot.Text);
    return result;
}

// Six-bit values, most significant bit first, packed into zero-filled words.
std::vector<uint16_t> PackSixBit(const std::vector<uint8_t> &values) {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    for (uint8_t value : values) {
        bits = (bits << 6) | value;
        count += 6;
        if (count >= 8) bytes.push_back(static_cast<uint8_t>(bits >> (count -= 8)));
    }
    if (count > 0) bytes.push_back(static_cast<uint8_t>(bits << (8 - count)));
    if (bytes.size() % 2 != 0) bytes.push_back(0);
    std::vector<uint16_t> words;
    for (size_t i = 0; i < bytes.size(); i += 2)
        words.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    return words;
}

std::vector<uint8_t> EveryVdaValue() {
    std::vector<uint8_t> values;
    for (uint8_t v = 0; v < 64; v++)
        if (v != 33) values.push_back(v);
    values.push_back(0);
    return values;
}

TEST(Codings, Texts) {
    const uint8_t B = kCodingBinary, T = kCodingText, V = kCodingVda, H = kCodingBase32Hex,
                  N = kCodingBase32Number;
    struct Case {
        uint8_t coding;
        std::vector<uint16_t> words;
        uint8_t skipFirst, skipLast, reverse;
        std::string expected;
    } const cases[] = {
        {T, {0x3000, 0x1234}, 0, 0, 0, "30001234"},
        {T, {0x3000, 0x1234}, 0, 0, 1, "12343000"},
        {T, {0xAABB, 0xCCDD}, 1, 1, 0, "BBCC"},
        {T, {0xAABB, 0xCCDD}, 1, 0, 0, "BBCCDD"},
        {T, {0xAABB, 0xCCDD}, 0, 1, 0, "AABBCC"},
        {T, {0xAABB, 0xCCDD}, 1, 0, 1, "DDAABB"},
        {T, {0xAABB, 0xCCDD}, 0, 1, 1, "CCDDAA"},
        {T, {0xAABB}, 0, 1, 0, "AA"},
        {T, {0xAABB}, 1, 0, 0, "BB"},
        {T, {0xAABB}, 1, 1, 0, ""},
        {T, {}, 1, 1, 0, ""},
        {T, {0xAABB, 0xCCDD}, 2, 0xFF, 7, "DDAA"},  // any non-zero flag is set
        {T, {0x0000, 0xFFFF, 0x0A0B}, 0, 0, 0, "0000FFFF0A0B"},
        {B, {0x3000, 0x0012}, 0, 0, 0, std::string("\x30\x00\x00\x12", 4)},
        {B, {0x0102, 0x0304}, 0, 0, 1, "\x03\x04\x01\x02"},
        {B, {0xAABB, 0xCCDD}, 1, 1, 0, "\xBB\xCC"},
        {B, {0xAABB}, 0, 1, 0, "\xAA"},
        {B, {0xAABB}, 1, 1, 0, ""},
        {B, {}, 0, 0, 0, ""},
        {V, PackSixBit(EveryVdaValue()), 0, 0, 0,
         "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]<GS><RS> <RSVD><FS><US><RSVD><RSVD><RSVD>"
         "()*+,-./0123456789:;<=>?@"},
        {V, {0x0428, 0x4000}, 0, 0, 0, "AB"},              // 33 ends the text
        {V, PackSixBit({1, 2, 33, 3, 4}), 0, 0, 0, "AB"},  // nothing after it
        {V, {0x0000}, 0, 0, 0, "@@"},
        {V, {0x0000, 0x0004}, 0, 0, 0, "@@@@A"},           // a second, short group
        {V, {0x0420, 0xC414, 0x6F00}, 0, 1, 0, "ABCDEF"},  // 40 bits, four unused
        {V, {0x0420}, 0, 1, 0, "A"},
        {V, {0xAA04, 0x2840}, 1, 0, 0, "AB"},
        {V, {0x2840, 0xAA04}, 1, 0, 1, "AB"},
        {H, {0x666F}, 0, 1, 0, "CO======"},  // the published "f" ... "foobar"
        {H, {0x666F}, 0, 0, 0, "CPNG===="},
        {H, {0x666F, 0x6F62}, 0, 1, 0, "CPNMU==="},
        {H, {0x666F, 0x6F62}, 0, 0, 0, "CPNMUOG="},
        {H, {0x666F, 0x6F62, 0x6172}, 0, 1, 0, "CPNMUOJ1"},
        {H, {0x666F, 0x6F62, 0x6172}, 0, 0, 0, "CPNMUOJ1E8======"},
        {H, {0x1234, 0x5678}, 0, 0, 0, "28Q5CU0="},
        {H, {0x5678, 0x1234}, 0, 0, 1, "28Q5CU0="},
        {H, {0x0000}, 0, 1, 0, "00======"},
        {H, {0xFFFF, 0xFFFF, 0xFFFF}, 1, 0, 0, "VVVVVVVV"},
        {H, {0x1234}, 1, 1, 0, ""},
        {H, {}, 0, 0, 0, ""},
        {N, {0x1234, 0x5678}, 0, 0, 0, "938LJO"},
        {N, {0x0000, 0x0001}, 0, 0, 0, "1"},
        {N, {0x0001, 0x0000}, 0, 0, 1, "1"},
        {N, {0x0000, 0x0000}, 0, 0, 0, ""},  // zero has no digits
        {N, {}, 0, 0, 0, ""},
        {N, {0x1234}, 1, 1, 0, ""},
        {N, {0xFFFF}, 0, 0, 0, "1VVV"},
        {N, {0x0100, 0x0000}, 0, 0, 0, "G0000"},
        {N, {0x0100, 0x0000}, 1, 0, 0, ""},
        {N, {0x0100, 0, 0, 0, 0}, 0, 1, 0, "G000000000000"},
        {N, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, 0, 0, 0, "VVVVVVVVVVVVVVVV"},
        {N, {0x1FAA}, 0, 1, 0, "V"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const Case &c = cases[i];
        tResult result = Code(c.coding, c.words, c.skipFirst, c.skipLast, c.reverse);
        EXPECT_EQ(result.rc, 0u) << "case " << i;
        EXPECT_EQ(result.text, c.expected) << "case " << i;
        EXPECT_TRUE(result.nulTerminated) << "case " << i;
    }
}

TEST(Codings, VdaWithoutOutputHasNoText) {
    const std::vector<std::vector<uint16_t>> inputs = {{}, {0x8400}, {0x8400, 0x1234}, {0x1234}};
    for (size_t i = 0; i < inputs.size(); i++) {
        uint8_t skip = i == 3 ? 1 : 0;
        tResult result = Code(kCodingVda, inputs[i], skip, skip);
        EXPECT_EQ(result.rc, 0u) << i;
        EXPECT_TRUE(result.textNull) << i;
    }
}

TEST(Codings, Base32HexIsPaddedForEveryLength) {
    // The buffer is sized from the word count; ASan catches a text that overruns it.
    for (uint32_t n = 0; n <= 12; n++) {
        for (uint8_t skip = 0; skip < 4; skip++) {
            uint8_t skipFirst = skip & 1, skipLast = skip >> 1;
            size_t all = 2 * n, skipped = skipFirst + skipLast;
            size_t bytes = all >= skipped ? all - skipped : 0;
            tResult result =
                Code(kCodingBase32Hex, std::vector<uint16_t>(n, 0xFFFF), skipFirst, skipLast);
            ASSERT_EQ(result.rc, 0u);
            EXPECT_EQ(result.text.size(), (bytes + 4) / 5 * 8) << n << " " << int(skip);
            EXPECT_EQ(result.text.find('='),
                      bytes % 5 == 0 ? std::string::npos : (8 * bytes + 4) / 5)
                << n << " " << int(skip);
            EXPECT_TRUE(result.nulTerminated) << n;
        }
    }
}

TEST(Codings, RefusedInputLeavesNoText) {
    const std::vector<uint16_t> one = {0x1234};
    const std::vector<uint16_t> tooMany(kCodingMaxWords + 1, 0x1234);
    struct Case {
        uint8_t coding;
        const uint16_t *words;
        uint32_t count;
    } const cases[] = {
        {5, one.data(), 1},
        {255, one.data(), 1},
        {kCodingText, nullptr, 1},
        {kCodingBinary, tooMany.data(), kCodingMaxWords + 1},
        {kCodingText, tooMany.data(), kCodingMaxWords + 1},
        {kCodingVda, tooMany.data(), kCodingMaxWords + 1},
        {kCodingBase32Hex, tooMany.data(), kCodingMaxWords + 1},
        {kCodingBase32Number, tooMany.data(), kCodingMaxWords + 1},
    };
    for (const Case &c : cases) {
        tMagicWordSlot slot = {};
        slot.TextLength = 99;
        EXPECT_EQ(CodeWords(c.coding, c.words, c.count, &slot, 0, 0, 0), 1u) << int(c.coding);
        EXPECT_EQ(slot.Text, nullptr) << int(c.coding);
        EXPECT_EQ(slot.TextLength, 0u) << int(c.coding);
        free(slot.Text);
    }
    tResult longest = Code(kCodingText, std::vector<uint16_t>(kCodingMaxWords, 0x0041));
    EXPECT_EQ(longest.rc, 0u);
    EXPECT_EQ(longest.text.size(), 4u * kCodingMaxWords);
}

}  // namespace
