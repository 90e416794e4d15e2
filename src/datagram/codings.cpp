// The five tag data codings and their table.
#include "datagram/codings.h"

#include <stdlib.h>
#include <string.h>

#include "core/log.h"
#include "datagram/magic_words.h"

// Upper-case hex digits; the first 32 are also the base32hex alphabet.
static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

// What each six-bit VDA value stands for; null marks the end-of-text value,
// which is never output.
static constexpr const char *kSixBitTexts[64] = {
    "@", "A",     "B",      "C",    "D",    "E",      "F",      "G",       // 0-7
    "H", "I",     "J",      "K",    "L",    "M",      "N",      "O",       // 8-15
    "P", "Q",     "R",      "S",    "T",    "U",      "V",      "W",       // 16-23
    "X", "Y",     "Z",      "[",    "\\",   "]",      "<GS>",   "<RS>",    // 24-31
    " ", nullptr, "<RSVD>", "<FS>", "<US>", "<RSVD>", "<RSVD>", "<RSVD>",  // 32-39
    "(", ")",     "*",      "+",    ",",    "-",      ".",      "/",       // 40-47
    "0", "1",     "2",      "3",    "4",    "5",      "6",      "7",       // 48-55
    "8", "9",     ":",      ";",    "<",    "=",      ">",      "?",       // 56-63
};

constexpr tCoding CodingTable[kCodingTableSize] = {
    {kCodingBinary, CodeBytesAsBinary},
    {kCodingText, CodeBytesAsText},
    {kCodingVda, CodeBytesAsIso17363},
    {kCodingBase32Hex, CodeBytesAsBase32Hex},
    {kCodingBase32Number, CodeBytesAsBase32Number},
    {kCodingLast + 1, nullptr},
};

// The byte sequence a coding works on, read one byte at a time so no routine
// needs a copy of it.
struct tDataBytes {
    const uint16_t *Words;
    uint32_t WordCount;
    uint8_t SkipFirst;  // 0 or 1
    uint8_t Reverse;    // 0 or 1
    size_t Count;       // data bytes: 2 * WordCount less the skipped ones, never negative
};

// Empties the slot's text and describes the bytes of `words`; fails on an
// input too long for any coding.
static uint32_t StartCoding(const uint16_t *words, uint32_t wordCount, uint8_t skipFirst,
                            uint8_t skipLast, uint8_t reverseOrder, tMagicWordSlot *slot,
                            tDataBytes *bytes) {
    slot->Text = nullptr;
    slot->TextLength = 0;
    if (wordCount > kCodingMaxWords || (words == nullptr && wordCount > 0)) return 1;
    bytes->Words = words;
    bytes->WordCount = wordCount;
    bytes->SkipFirst = skipFirst ? 1 : 0;
    bytes->Reverse = reverseOrder ? 1 : 0;
    size_t all = 2 * static_cast<size_t>(wordCount);
    size_t skipped = bytes->SkipFirst + (skipLast ? 1 : 0);
    bytes->Count = all > skipped ? all - skipped : 0;
    return 0;
}

// Data byte `index` (below bytes.Count).
static uint8_t DataByte(const tDataBytes &bytes, size_t index) {
    size_t position = index + bytes.SkipFirst;
    size_t word = position / 2;
    if (bytes.Reverse) word = bytes.WordCount - 1 - word;
    uint16_t value = bytes.Words[word];
    return static_cast<uint8_t>(position % 2 == 0 ? value >> 8 : value & 0xFF);
}

uint32_t CodeBytesAsBinary(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                           uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder) {
    tDataBytes bytes;
    if (StartCoding(words, wordCount, skipFirst, skipLast, reverseOrder, slot, &bytes) != 0) {
        return 1;
    }
    size_t size = 2 * static_cast<size_t>(wordCount);
    uint8_t *text = static_cast<uint8_t *>(malloc(size > 0 ? size : 1));
    if (text == nullptr) return 1;
    for (size_t i = 0; i < bytes.Count; i++)
        text[i] = DataByte(bytes, i);
    slot->Text = text;
    slot->TextLength = static_cast<uint32_t>(bytes.Count);
    return 0;
}

uint32_t CodeBytesAsText(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                         uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder) {
    tDataBytes bytes;
    if (StartCoding(words, wordCount, skipFirst, skipLast, reverseOrder, slot, &bytes) != 0) {
        return 1;
    }
    uint8_t *text = static_cast<uint8_t *>(malloc(4 * static_cast<size_t>(wordCount) + 1));
    if (text == nullptr) return 1;
    for (size_t i = 0; i < bytes.Count; i++) {
        uint8_t byte = DataByte(bytes, i);
        text[2 * i] = static_cast<uint8_t>(kDigits[byte >> 4]);
        text[2 * i + 1] = static_cast<uint8_t>(kDigits[byte & 0x0F]);
    }
    text[2 * bytes.Count] = '\0';
    slot->Text = text;
    slot->TextLength = static_cast<uint32_t>(2 * bytes.Count);
    return 0;
}

uint32_t CodeBytesAsIso17363(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                             uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder) {
    tDataBytes bytes;
    if (StartCoding(words, wordCount, skipFirst, skipLast, reverseOrder, slot, &bytes) != 0) {
        return 1;
    }
    // Only whole characters: floor(8N / 6). Three bytes hold four characters;
    // bytes past the end read as 0.
    size_t characters = 8 * bytes.Count / 6;
    uint8_t *text = nullptr;
    size_t length = 0;
    uint32_t group = 0;  // 24 bits
    size_t next = 0;
    for (size_t c = 0; c < characters; c++) {
        if (c % 4 == 0) {
            group = 0;
            for (int i = 0; i < 3; i++, next++)
                group = (group << 8) | (next < bytes.Count ? DataByte(bytes, next) : 0);
        }
        const char *piece = kSixBitTexts[(group >> (18 - 6 * (c % 4))) & 0x3F];
        if (piece == nullptr) break;  // end of text
        size_t pieceLength = strlen(piece);
        uint8_t *grown = static_cast<uint8_t *>(realloc(text, length + pieceLength));
        if (grown == nullptr) {
            LogPuts("CodeBytesAsIso17363", "Realloc failed");
            free(text);
            return 1;
        }
        memcpy(grown + length, piece, pieceLength);
        text = grown;
        length += pieceLength;
    }
    slot->Text = text;
    slot->TextLength = static_cast<uint32_t>(length);
    return 0;
}

uint32_t CodeBytesAsBase32Hex(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                              uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder) {
    tDataBytes bytes;
    if (StartCoding(words, wordCount, skipFirst, skipLast, reverseOrder, slot, &bytes) != 0) {
        return 1;
    }
    // ceil(8N / 5) digits padded to a multiple of 8. The padded length is at
    // most (16n + 32) / 5, so this buffer holds it and the NUL for every n.
    size_t digits = (8 * bytes.Count + 4) / 5;
    size_t padded = (digits + 7) / 8 * 8;
    char *text = static_cast<char *>(malloc((16 * static_cast<size_t>(wordCount) + 39) / 5 + 1));
    if (text == nullptr) return 1;
    uint32_t bits = 0;  // the low `bitCount` bits are unread
    unsigned bitCount = 0;
    size_t next = 0;
    for (size_t d = 0; d < digits; d++) {
        if (bitCount < 5) {
            bits = (bits << 8) | (next < bytes.Count ? DataByte(bytes, next) : 0);
            next++;
            bitCount += 8;
        }
        bitCount -= 5;
        text[d] = kDigits[(bits >> bitCount) & 0x1F];
    }
    for (size_t d = digits; d < padded; d++)
        text[d] = '=';
    text[padded] = '\0';
    slot->Text = reinterpret_cast<uint8_t *>(text);
    slot->TextLength = static_cast<uint32_t>(padded);
    return 0;
}

uint32_t CodeBytesAsBase32Number(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                                 uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder) {
    tDataBytes bytes;
    if (StartCoding(words, wordCount, skipFirst, skipLast, reverseOrder, slot, &bytes) != 0) {
        return 1;
    }
    // Base 32 is a power of two, so digit k is bit group k of 5 counted from
    // the least significant end: one pass from the last byte to the first.
    size_t positions = (8 * bytes.Count + 4) / 5;
    uint8_t *digits = static_cast<uint8_t *>(calloc(positions > 0 ? positions : 1, 1));
    if (digits == nullptr) return 1;
    size_t position = positions;
    uint32_t bits = 0;  // unwritten bits, least significant first
    unsigned bitCount = 0;
    for (size_t i = bytes.Count; i-- > 0;) {
        bits |= static_cast<uint32_t>(DataByte(bytes, i)) << bitCount;
        bitCount += 8;
        for (; bitCount >= 5; bitCount -= 5, bits >>= 5)
            digits[--position] = bits & 0x1F;
    }
    if (bitCount > 0) digits[--position] = bits & 0x1F;

    size_t first = 0;
    while (first < positions && digits[first] == 0)
        first++;
    size_t length = positions - first;
    char *text = static_cast<char *>(malloc(length + 1));
    if (text == nullptr) {
        free(digits);
        return 1;
    }
    for (size_t i = 0; i < length; i++)
        text[i] = kDigits[digits[first + i]];
    text[length] = '\0';
    free(digits);
    slot->Text = reinterpret_cast<uint8_t *>(text);
    slot->TextLength = static_cast<uint32_t>(length);
    return 0;
}

uint32_t CodeWords(uint8_t coding, const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                   uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder) {
    if (coding > kCodingLast || CodingTable[coding].Routine == nullptr) {
        slot->Text = nullptr;
        slot->TextLength = 0;
        return 1;
    }
    return CodingTable[coding].Routine(words, wordCount, slot, skipFirst, skipLast, reverseOrder);
}
