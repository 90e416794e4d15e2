// Handlers of the 23 magic words: what each word does when a template is
// parsed and what text it renders for a tag.
//
// All share tMagicWordHandler's signature (see magic_words.h):
// - Parse (mode kMagicWordParse): `value` is the text after the word's name,
//   possibly empty; `tag` is null; `coding` points at the block coding.
// - Render (mode kMagicWordRender): `value` is null; `tag` is the tag, or null
//   for the start, heartbeat and stop datagrams; `coding` points at the
//   element's coding.
// A word that renders releases the slot's previous Text first; without a tag
// it leaves Text null and succeeds, otherwise it stores a fresh heap Text and
// its length. On failure Text is null. Words that only set parameters, and the
// fixed-text words, do nothing when rendering.
//
// Parse-mode handlers write PendingReadSettings and the slots, so the caller
// holds DatagramLock; render-mode handlers write only their own slot.
// 0 = success, anything else = failure.
#ifndef KORVANE_DATAGRAM_HANDLERS_H
#define KORVANE_DATAGRAM_HANDLERS_H

#include <stdint.h>

struct tTag;
struct tMagicWordSlot;

constexpr uint32_t kMagicWordRender = 0;
constexpr uint32_t kMagicWordParse = 1;

// Bits of HostCommExtendedResultFlag the tag information words ask for.
constexpr uint8_t kExtendedResultAntenna = 0x01;
constexpr uint8_t kExtendedResultRssi = 0x02;
constexpr uint8_t kExtendedResultTimestamp = 0x04;
constexpr uint8_t kExtendedResultProtocolControl = 0x08;
constexpr uint8_t kExtendedResultRssiDbm = 0x20;
constexpr uint8_t kExtendedResultTimestampMs = 0x40;

// "EPC": the EPC words, last word first, in the element's coding.
uint32_t HandleMagicWordEpc(uint32_t mode, const char *value, const tTag *tag, tMagicWordSlot *slot,
                            uint8_t *coding);
// "Coding=": sets the block coding (0 to 4; decimal, 0x hex or 0 octal).
// Clears the slot's Used: the word renders nothing.
uint32_t HandleMagicWordCoding(uint32_t mode, const char *value, const tTag *tag,
                               tMagicWordSlot *slot, uint8_t *coding);
// "MemoryBank=": selects the bank to read (0 to 3, decimal) and renders the
// words read, or the error prefix and the read result as two hex digits.
uint32_t HandleMagicWordMemoryBank(uint32_t mode, const char *value, const tTag *tag,
                                   tMagicWordSlot *slot, uint8_t *coding);
// "Pointer=", "Length=", "Password=": read settings, as "0x" and up to 8 hex
// digits, or decimal. Length 0 is refused; 0xFFFFFFFF reads to the end of the
// bank. They clear the slot's Used.
uint32_t HandleMagicWordPointer(uint32_t mode, const char *value, const tTag *tag,
                                tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordLength(uint32_t mode, const char *value, const tTag *tag,
                               tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordPassword(uint32_t mode, const char *value, const tTag *tag,
                                 tMagicWordSlot *slot, uint8_t *coding);
// "Error=": the whole value becomes the prefix "MemoryBank=" renders before a
// failed read's result. Clears the slot's Used.
uint32_t HandleMagicWordError(uint32_t mode, const char *value, const tTag *tag,
                              tMagicWordSlot *slot, uint8_t *coding);
// Tag information, in decimal unless noted. Parsing them asks the reader for
// the matching extended result.
uint32_t HandleMagicWordAntennaPort(uint32_t mode, const char *value, const tTag *tag,
                                    tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordAntennaProperty(uint32_t mode, const char *value, const tTag *tag,
                                        tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordRssi(uint32_t mode, const char *value, const tTag *tag,
                             tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordRssiDbm(uint32_t mode, const char *value, const tTag *tag,
                                tMagicWordSlot *slot, uint8_t *coding);
// "Timestamp": seenAt as local time "YYYY-MM-DD hh:mm:ss".
uint32_t HandleMagicWordTimestamp(uint32_t mode, const char *value, const tTag *tag,
                                  tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordTimestampMs(uint32_t mode, const char *value, const tTag *tag,
                                    tMagicWordSlot *slot, uint8_t *coding);
// "PC", "XPC_W1", "XPC_W2": the one word in the element's coding.
uint32_t HandleMagicWordPc(uint32_t mode, const char *value, const tTag *tag, tMagicWordSlot *slot,
                           uint8_t *coding);
uint32_t HandleMagicWordXpcW1(uint32_t mode, const char *value, const tTag *tag,
                              tMagicWordSlot *slot, uint8_t *coding);
uint32_t HandleMagicWordXpcW2(uint32_t mode, const char *value, const tTag *tag,
                              tMagicWordSlot *slot, uint8_t *coding);
// "LF", "CR", "TAB", "NUL", "STX": one control byte, chosen by the word code
// of the slot's row, made when parsing.
uint32_t HandleMagicWordFormat(uint32_t mode, const char *value, const tTag *tag,
                               tMagicWordSlot *slot, uint8_t *coding);
// "Hex=": the bytes of an even number of hex digits after an optional "0x",
// made when parsing.
uint32_t HandleMagicWordHex(uint32_t mode, const char *value, const tTag *tag, tMagicWordSlot *slot,
                            uint8_t *coding);

#endif  // KORVANE_DATAGRAM_HANDLERS_H
