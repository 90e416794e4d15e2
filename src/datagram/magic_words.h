// The magic word table: the 23 words a datagram template may use, and one
// runtime slot per word holding the word's parameters and rendered text.
#ifndef KORVANE_DATAGRAM_MAGIC_WORDS_H
#define KORVANE_DATAGRAM_MAGIC_WORDS_H

#include <stdint.h>

struct tTag;
struct tMagicWordSlot;

// Handler of one word. mode 1 = parse (value given, tag null), 0 = render
// (value null, tag given). coding: the block coding in parse mode (the
// "Coding=" word changes it), the element's coding in render mode.
// 0 = success, anything else = failure.
typedef uint32_t (*tMagicWordHandler)(uint32_t mode, const char *value, const tTag *tag,
                                      tMagicWordSlot *slot, uint8_t *coding);

// Bits of tMagicWord::Id.
constexpr uint32_t kMagicWordCodeMask = 0x000FF;   // word code
constexpr uint32_t kMagicWordOptional = 0x00100;   // shown as optional to the host
constexpr uint32_t kMagicWordFixedText = 0x10000;  // text made once at parse time

struct tMagicWord {
    const char *Name;           // matched case-insensitively; "...=" takes a value
    uint32_t Id;                // code, optional and fixed-text bits
    tMagicWordHandler Handler;  // parse and render
    const char *Group;          // one of MagicWordGroups (compared by pointer)
    uint8_t HasValue;           // 1: the text after the name is the value
    const char *Description;    // or null
};

struct tMagicWordSlot {
    const tMagicWord *Word;  // the table row of the same index; fixed
    uint8_t Used;            // 1 while a template uses the word
    uint8_t *Text;           // last rendered text (heap, owned), not NUL-terminated
    uint32_t TextLength;     // bytes of Text that go into the datagram
    char *Extra;             // "MemoryBank=": the error prefix (heap string, owned)
    uint32_t ExtraLength;    // length of Extra modulo 65536
};

constexpr int kMagicWordCount = 23;
constexpr int kMagicWordGroupCount = 4;

// "EPC", "Tag data", "Tag info", "Format", in the order the host lists them.
extern const char *const MagicWordGroups[kMagicWordGroupCount];
extern const tMagicWord MagicWordTable[kMagicWordCount];
// Guarded by DatagramLock.
extern tMagicWordSlot MagicWordSlots[kMagicWordCount];

// Points every slot at its row and empties it (start-up).
void InitMagicWordSlots();
// Releases Text and Extra of every slot (tear-down).
void FreeMagicWordSlots();

#endif  // KORVANE_DATAGRAM_MAGIC_WORDS_H
