// The five tag data codings: byte-exact texts for known inputs, the byte
// sequence rules (order, skipped bytes) and refused input.
#include "datagram/codings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "datagram/magic_words.h"

namespace {

struct tResult {
    uint32_t rc;
    bool textNull;
    std::string text;  // TextLength bytes of Text
    bool nulTerminated;
};

// Codes through CodeWords into a fresh slot and takes the text out of it.
// Only the codings that promise a NUL are checked for one: reading past a
// Binary or VDA text would be a fault of the test.
tResult Code(uint8_t coding, const std::vector<uint16_t> &words, uint8_t skipFirst = 0,
             uint8_t skipLast = 0, uint8_t reverse = 0) {
    tMagicWordSlot slot = {};
    tResult result;
    result.rc = CodeWords(coding, words.data(), static_cast<uint32_t>(words.size()), &slot,
                          skipFirst, skipLast, reverse);
    result.textNull = slot.Text == nullptr;
    if (slot.Text != nullptr)
        result.text.assign(reinterpret_cast<char *>(slot.Text), slot.TextLength);
    bool promisesNul =
        coding == kCodingText || coding == kCodingBase32Hex || coding == kCodingBase32Number;
    result.nulTerminated = promisesNul && slot.Text != nullptr && slot.Text[slot.TextLength] == 0;
    free(slot.Text);
    return result;
}

struct CodingCase {
    const char *name;
    uint8_t coding;
    std::vector<uint16_t> words;
    uint8_t skipFirst;
    uint8_t skipLast;
    uint8_t reverse;
    std::string expected;
};

void ExpectCases(const std::vector<CodingCase> &cases) {
    for (const CodingCase &c : cases) {
        tResult result = Code(c.coding, c.words, c.skipFirst, c.skipLast, c.reverse);
        EXPECT_EQ(result.rc, 0u) << c.name;
        EXPECT_EQ(result.text, c.expected) << c.name;
        if (c.coding != kCodingBinary && c.coding != kCodingVda) {
            EXPECT_TRUE(result.nulTerminated) << c.name;
        }
    }
}

TEST(Codings, ByteSequenceOrderAndSkippedBytes) {
    // Coding 1 shows the byte sequence digit for digit.
    const std::vector<CodingCase> cases = {
        {"forward", kCodingText, {0x3000, 0x1234}, 0, 0, 0, "30001234"},
        {"reversed", kCodingText, {0x3000, 0x1234}, 0, 0, 1, "12343000"},
        {"both skipped", kCodingText, {0xAABB, 0xCCDD}, 1, 1, 0, "BBCC"},
        {"first skipped", kCodingText, {0xAABB, 0xCCDD}, 1, 0, 0, "BBCCDD"},
        {"last skipped", kCodingText, {0xAABB, 0xCCDD}, 0, 1, 0, "AABBCC"},
        {"reversed, first skipped", kCodingText, {0xAABB, 0xCCDD}, 1, 0, 1, "DDAABB"},
        {"reversed, last skipped", kCodingText, {0xAABB, 0xCCDD}, 0, 1, 1, "CCDDAA"},
        {"one word, last skipped", kCodingText, {0xAABB}, 0, 1, 0, "AA"},
        {"one word, first skipped", kCodingText, {0xAABB}, 1, 0, 0, "BB"},
        {"one word, both skipped", kCodingText, {0xAABB}, 1, 1, 0, ""},
        {"no words", kCodingText, {}, 0, 0, 0, ""},
        {"no words, both skipped", kCodingText, {}, 1, 1, 0, ""},
        {"no words, first skipped", kCodingText, {}, 1, 0, 1, ""},
        {"any non-zero flag is set", kCodingText, {0xAABB, 0xCCDD}, 2, 0xFF, 7, "DDAA"},
        {"upper case, leading zeros",
         kCodingText,
         {0x0000, 0xFFFF, 0x0A0B},
         0,
         0,
         0,
         "0000FFFF0A0B"},
        {"binary as is",
         kCodingBinary,
         {0x3000, 0x0012},
         0,
         0,
         0,
         std::string("\x30\x00\x00\x12", 4)},
        {"binary reversed", kCodingBinary, {0x0102, 0x0304}, 0, 0, 1, "\x03\x04\x01\x02"},
        {"binary both skipped", kCodingBinary, {0xAABB, 0xCCDD}, 1, 1, 0, "\xBB\xCC"},
        {"binary high byte only", kCodingBinary, {0xAABB}, 0, 1, 0, "\xAA"},
        {"binary nothing", kCodingBinary, {0xAABB}, 1, 1, 0, ""},
        {"binary no words", kCodingBinary, {}, 0, 0, 0, ""},
    };
    ExpectCases(cases);
}

TEST(Codings, TextMatchesPrintfOfEveryWord) {
    uint32_t seed = 12345;
    for (int round = 0; round < 200; round++) {
        std::vector<uint16_t> words(round % 33);
        std::string expected;
        for (uint16_t &word : words) {
            seed = seed * 1103515245u + 12345u;
            word = static_cast<uint16_t>(seed >> 16);
            char digits[5];
            snprintf(digits, sizeof(digits), "%04X", word);
            expected += digits;
        }
        tResult result = Code(kCodingText, words);
        ASSERT_EQ(result.rc, 0u);
        EXPECT_EQ(result.text, expected);
        EXPECT_TRUE(result.nulTerminated);
    }
}

// Packs six-bit values, most significant bit first, into words; the last
// word is filled with zero bits.
std::vector<uint16_t> PackSixBit(const std::vector<uint8_t> &values) {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    for (uint8_t value : values) {
        bits = (bits << 6) | value;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    if (count > 0) bytes.push_back(static_cast<uint8_t>(bits << (8 - count)));
    if (bytes.size() % 2 != 0) bytes.push_back(0);
    std::vector<uint16_t> words;
    for (size_t i = 0; i < bytes.size(); i += 2)
        words.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    return words;
}

TEST(Codings, VdaSixBitCharacters) {
    // Every value but end-of-text, then one 0: 64 values in 48 bytes.
    std::vector<uint8_t> everyValue;
    for (uint8_t v = 0; v < 64; v++)
        if (v != 33) everyValue.push_back(v);
    everyValue.push_back(0);
    ASSERT_EQ(PackSixBit(everyValue).size(), 24u);

    const std::vector<CodingCase> cases = {
        {"every value", kCodingVda, PackSixBit(everyValue), 0, 0, 0,
         "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]<GS><RS> <RSVD><FS><US><RSVD><RSVD><RSVD>"
         "()*+,-./0123456789:;<=>?@"},
        {"stops at end of text", kCodingVda, {0x0428, 0x4000}, 0, 0, 0, "AB"},
        {"nothing after end of text", kCodingVda, PackSixBit({1, 2, 33, 3, 4}), 0, 0, 0, "AB"},
        {"zero word is two characters", kCodingVda, {0x0000}, 0, 0, 0, "@@"},
        // 32 bits: the fifth character comes from a second, short group.
        {"second group", kCodingVda, {0x0000, 0x0004}, 0, 0, 0, "@@@@A"},
        // 40 bits: six characters, the last four bits unused.
        {"five bytes", kCodingVda, {0x0420, 0xC414, 0x6F00}, 0, 1, 0, "ABCDEF"},
        {"one byte is one character", kCodingVda, {0x0420}, 0, 1, 0, "A"},
        {"first byte skipped", kCodingVda, {0xAA04, 0x2840}, 1, 0, 0, "AB"},
        {"reversed", kCodingVda, {0x2840, 0xAA04}, 1, 0, 1, "AB"},
        {"no words", kCodingVda, {}, 0, 0, 0, ""},
    };
    ExpectCases(cases);
}

TEST(Codings, VdaWithoutOutputHasNoText) {
    const std::vector<std::vector<uint16_t>> inputs = {{}, {0x8400}, {0x8400, 0x1234}, {0x1234}};
    const uint8_t skips[] = {0, 0, 0, 1};
    for (size_t i = 0; i < inputs.size(); i++) {
        tResult result = Code(kCodingVda, inputs[i], skips[i], skips[i]);
        EXPECT_EQ(result.rc, 0u) << i;
        EXPECT_TRUE(result.textNull) << i;
        EXPECT_EQ(result.text.size(), 0u) << i;
    }
}

TEST(Codings, Base32Hex) {
    // "f", "fo", ... "foobar": the published base32hex test vectors.
    const std::vector<CodingCase> cases = {
        {"f", kCodingBase32Hex, {0x666F}, 0, 1, 0, "CO======"},
        {"fo", kCodingBase32Hex, {0x666F}, 0, 0, 0, "CPNG===="},
        {"foo", kCodingBase32Hex, {0x666F, 0x6F62}, 0, 1, 0, "CPNMU==="},
        {"foob", kCodingBase32Hex, {0x666F, 0x6F62}, 0, 0, 0, "CPNMUOG="},
        {"fooba", kCodingBase32Hex, {0x666F, 0x6F62, 0x6172}, 0, 1, 0, "CPNMUOJ1"},
        {"foobar", kCodingBase32Hex, {0x666F, 0x6F62, 0x6172}, 0, 0, 0, "CPNMUOJ1E8======"},
        {"12 34 56 78", kCodingBase32Hex, {0x1234, 0x5678}, 0, 0, 0, "28Q5CU0="},
        {"reversed", kCodingBase32Hex, {0x5678, 0x1234}, 0, 0, 1, "28Q5CU0="},
        {"one zero byte", kCodingBase32Hex, {0x0000}, 0, 1, 0, "00======"},
        {"five FF bytes", kCodingBase32Hex, {0xFFFF, 0xFFFF, 0xFFFF}, 1, 0, 0, "VVVVVVVV"},
        {"no bytes", kCodingBase32Hex, {0x1234}, 1, 1, 0, ""},
        {"no words", kCodingBase32Hex, {}, 0, 0, 0, ""},
    };
    ExpectCases(cases);
}

TEST(Codings, Base32HexLengthIsPaddedForEveryInputLength) {
    // The text buffer is sized from the word count; under ASan a text longer
    // than the buffer stops the test.
    for (uint32_t n = 0; n <= 70; n++) {
        std::vector<uint16_t> words(n, 0xFFFF);
        for (uint8_t skipFirst = 0; skipFirst <= 1; skipFirst++) {
            for (uint8_t skipLast = 0; skipLast <= 1; skipLast++) {
                size_t all = 2 * static_cast<size_t>(n);
                size_t skipped = static_cast<size_t>(skipFirst) + skipLast;
                size_t bytes = all >= skipped ? all - skipped : 0;
                size_t digits = (8 * bytes + 4) / 5;
                tResult result = Code(kCodingBase32Hex, words, skipFirst, skipLast);
                ASSERT_EQ(result.rc, 0u);
                EXPECT_EQ(result.text.size(), (bytes + 4) / 5 * 8) << n;
                EXPECT_EQ(result.text.find('='), bytes % 5 == 0 ? std::string::npos : digits) << n;
                EXPECT_TRUE(result.nulTerminated) << n;
            }
        }
    }
}

TEST(Codings, Base32Number) {
    const std::vector<CodingCase> cases = {
        {"12 34 56 78", kCodingBase32Number, {0x1234, 0x5678}, 0, 0, 0, "938LJO"},
        {"one", kCodingBase32Number, {0x0000, 0x0001}, 0, 0, 0, "1"},
        {"one, reversed", kCodingBase32Number, {0x0001, 0x0000}, 0, 0, 1, "1"},
        {"zero", kCodingBase32Number, {0x0000, 0x0000}, 0, 0, 0, ""},
        {"no words", kCodingBase32Number, {}, 0, 0, 0, ""},
        {"no bytes", kCodingBase32Number, {0x1234}, 1, 1, 0, ""},
        {"FFFF", kCodingBase32Number, {0xFFFF}, 0, 0, 0, "1VVV"},
        {"2^24", kCodingBase32Number, {0x0100, 0x0000}, 0, 0, 0, "G0000"},
        {"2^24 without its top byte", kCodingBase32Number, {0x0100, 0x0000}, 1, 0, 0, ""},
        {"2^64", kCodingBase32Number, {0x0100, 0, 0, 0, 0}, 0, 1, 0, "G000000000000"},
        {"2^80 - 1",
         kCodingBase32Number,
         {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
         0,
         0,
         0,
         "VVVVVVVVVVVVVVVV"},
        {"high byte only", kCodingBase32Number, {0x1FAA}, 0, 1, 0, "V"},
    };
    ExpectCases(cases);
}

TEST(Codings, Base32NumberMatchesRepeatedDivision) {
    static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
    uint32_t seed = 777;
    for (int round = 0; round < 500; round++) {
        std::vector<uint16_t> words(round % 5);
        uint64_t number = 0;
        for (uint16_t &word : words) {
            seed = seed * 1103515245u + 12345u;
            // Some words zero, so leading zero digits come up.
            word = (seed >> 13) % 4 == 0 ? 0 : static_cast<uint16_t>(seed >> 16);
            number = number << 16 | word;
        }
        std::string expected;
        for (; number > 0; number /= 32)
            expected.insert(expected.begin(), kAlphabet[number % 32]);
        tResult result = Code(kCodingBase32Number, words);
        ASSERT_EQ(result.rc, 0u);
        EXPECT_EQ(result.text, expected);
        EXPECT_TRUE(result.nulTerminated);
    }
}

TEST(Codings, RefusedInputLeavesNoText) {
    const std::vector<uint16_t> one = {0x1234};
    const std::vector<uint16_t> tooMany(kCodingMaxWords + 1, 0x1234);
    struct Case {
        const char *name;
        uint8_t coding;
        const uint16_t *words;
        uint32_t count;
    } const cases[] = {
        {"coding 5 (table end)", 5, one.data(), 1},
        {"coding 6", 6, one.data(), 1},
        {"coding 255", 255, one.data(), 1},
        {"too many words, binary", kCodingBinary, tooMany.data(), kCodingMaxWords + 1},
        {"too many words, text", kCodingText, tooMany.data(), kCodingMaxWords + 1},
        {"too many words, VDA", kCodingVda, tooMany.data(), kCodingMaxWords + 1},
        {"too many words, base32hex", kCodingBase32Hex, tooMany.data(), kCodingMaxWords + 1},
        {"too many words, number", kCodingBase32Number, tooMany.data(), kCodingMaxWords + 1},
        {"words missing", kCodingText, nullptr, 1},
    };
    for (const Case &c : cases) {
        tMagicWordSlot slot = {};
        slot.TextLength = 99;
        EXPECT_EQ(CodeWords(c.coding, c.words, c.count, &slot, 0, 0, 0), 1u) << c.name;
        EXPECT_EQ(slot.Text, nullptr) << c.name;
        EXPECT_EQ(slot.TextLength, 0u) << c.name;
        free(slot.Text);
    }
    // The longest input accepted still codes.
    const std::vector<uint16_t> most(kCodingMaxWords, 0x0041);
    tResult result = Code(kCodingText, most);
    EXPECT_EQ(result.rc, 0u);
    EXPECT_EQ(result.text.size(), 4u * kCodingMaxWords);
}

}  // namespace
