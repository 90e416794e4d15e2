// Tag data codings: the five ways a magic word turns 16-bit tag words into the
// bytes of its datagram text.
//
// Every coding works on the same byte sequence: the words in array order (or
// last to first when reverseOrder is set), each written high byte first, then
// without the first byte when skipFirst is set and without the last byte when
// skipLast is set. A set flag is any non-zero value.
//
// A routine stores a fresh heap text in slot->Text and its length in
// slot->TextLength, and returns 0. It expects the previous Text released. On
// failure it returns 1 with Text null and TextLength 0.
#ifndef KORVANE_DATAGRAM_CODINGS_H
#define KORVANE_DATAGRAM_CODINGS_H

#include <stdint.h>

struct tMagicWordSlot;

typedef uint32_t (*tCodingRoutine)(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                                   uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);

struct tCoding {
    uint32_t Id;             // equals the index in CodingTable
    tCodingRoutine Routine;  // null ends the table
};

// Codings 0 to kCodingLast; the entry after them ends the table.
constexpr uint8_t kCodingBinary = 0;
constexpr uint8_t kCodingText = 1;
constexpr uint8_t kCodingVda = 2;
constexpr uint8_t kCodingBase32Hex = 3;
constexpr uint8_t kCodingBase32Number = 4;
constexpr uint8_t kCodingLast = kCodingBase32Number;
constexpr int kCodingTableSize = kCodingLast + 2;

// A coding refuses longer inputs, so no text length can overflow 32 bits
// (the longest text per word is 16 bytes, in VDA). Tag data is far shorter:
// at most 255 words.
constexpr uint32_t kCodingMaxWords = 0xFFFF;

extern const tCoding CodingTable[kCodingTableSize];

// 0: the data bytes as they are, TextLength = byte count, no NUL. The buffer
// is 2 * wordCount bytes (at least 1).
uint32_t CodeBytesAsBinary(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                           uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);
// 1: two upper-case hex digits per byte, NUL-terminated.
uint32_t CodeBytesAsText(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                         uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);
// 2: VDA, ISO 17363 six-bit characters; control characters appear as "<GS>",
// "<RS>", "<FS>", "<US>", "<RSVD>"; the end-of-text character stops decoding.
// Not NUL-terminated; no output gives Text null and success.
uint32_t CodeBytesAsIso17363(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                             uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);
// 3: base32hex (extended hex alphabet "0-9A-V") with "=" padding to a multiple
// of 8 digits, NUL-terminated.
uint32_t CodeBytesAsBase32Hex(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                              uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);
// 4: the bytes as one unsigned number, first byte most significant, in base 32
// with the base32hex alphabet and no leading zeros (the number 0 gives an
// empty text), NUL-terminated.
uint32_t CodeBytesAsBase32Number(const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                                 uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);

// Codes the words with coding `coding` from CodingTable. A coding above
// kCodingLast, or one without a routine, fails (Text left null).
uint32_t CodeWords(uint8_t coding, const uint16_t *words, uint32_t wordCount, tMagicWordSlot *slot,
                   uint8_t skipFirst, uint8_t skipLast, uint8_t reverseOrder);

#endif  // KORVANE_DATAGRAM_CODINGS_H
