// Parsed templates and the reader command they select.
//
// A template text becomes a list of tDatagramElement records (literal text or
// a magic word); the words of the coming and going templates decide whether
// the reader runs a plain inventory or a tag memory read.
#ifndef KORVANE_DATAGRAM_TEMPLATE_H
#define KORVANE_DATAGRAM_TEMPLATE_H

#include <stdint.h>

#include "core/flags.h"
#include "sync/event.h"
#include "sync/mylist.h"

// One piece of a parsed template. Allocated with malloc; a literal owns its
// Content.
struct tDatagramElement {
    uint8_t Kind;     // 0 literal text, 1 magic word
    void *Content;    // literal: NUL-terminated heap text; word: its tMagicWordSlot
    uint32_t Length;  // literal: byte count
    uint8_t Coding;   // 0 Binary, 1 Text, 2 VDA, 3 and 4 base-32; literals carry 1
};

// Settings of a tag memory read.
struct tReadSettings {
    uint8_t Valid;
    uint8_t MemoryBank;  // 0 RFU, 1 EPC, 2 TID, 3 User
    uint32_t Password;
    uint32_t Pointer;  // byte address in the bank
    uint32_t Length;   // bytes; 0xFFFFFFFF = to the end of the bank
    uint8_t MemoryBankSet;
    uint8_t PasswordSet;
    uint8_t PointerSet;
    uint8_t LengthSet;
};

// The templates of a set, in the order they are parsed: ComingText,
// GoingText, StartText, HeartbeatText, StopText.
constexpr int kTemplateCount = 5;
// The going template, after which the set's reader command is settled.
constexpr int kGoingTemplateIndex = 1;

// The reader command a template set selects, settled once its coming and
// going templates are parsed.
struct tReaderCommand {
    uint8_t Start;                // 1: somebody listens, so the command is started
    tReadSettings Settings;       // a memory read when its Valid and set flags are 1
    uint8_t ExtendedResultFlags;  // sent to the reader after the start
};

// Guards the template lists and the magic word slots.
extern tEvent DatagramLock;
// 1 while an inventory or memory read started by Korvane runs. Set when the
// reader acknowledges a start; cleared when it acknowledges a stop.
extern tFlag ReaderCommandRunning;
// Extended result flags sent to the reader with the command start.
extern tFlag HostCommExtendedResultFlag;
// Bytes the memory read delivers beyond what the template asked for.
extern tFlag SkipFirstByte;
extern tFlag SkipLastByte;
// The settings adopted for the reader command; set flags cleared at start-up.
extern tReadSettings ActiveReadSettings;
// What the block being parsed has set; written by the read-setting words.
extern tReadSettings PendingReadSettings;
// Set by the read-setting words; cleared before each template and block.
extern tFlag TemplateHasReadSettings;

// Empties a template list, freeing its elements. Caller holds DatagramLock.
void FreeTemplateElements(CMyList<tDatagramElement *> &templateList);

// Parses one template text (null: absent) into its list. `reset` starts a new
// template set: slots, read settings and extended result flags are reset and
// the reader's current flags fetched. `startReaderCommand` then starts the
// reader command that delivers what the set's words need (only while somebody
// listens) and sends the extended result flags. Failures are logged.
void ParseDatagramResultString(bool reset, bool startReaderCommand, const char *templateText,
                               CMyList<tDatagramElement *> &templateList);

// Parses a whole template set into the five lists and then starts the reader
// command it selects (only while somebody listens) and sends the extended
// result flags. `newTexts` replace the stored template texts, which take
// ownership (null entries: absent templates); null parses the stored texts
// again. The lists and texts change under one hold of DatagramLock, so every
// datagram renders from one complete set. Caller holds ConfigLock.
void ParseTemplateSet(char *newTexts[kTemplateCount]);

// Starts a plain inventory, or a memory read with `settings` when they are
// valid and complete, and waits up to 5000 ms for its start report; sets
// ReaderCommandRunning when the reader acknowledged.
void HandleMemoryBankSettings(const tReadSettings &settings);

// The 16-bit words a read of `length` bytes from byte `pointer` covers, and
// the bytes to drop at either end (null: not wanted). 0xFFFFFFFF reads to the
// end of the bank: 255 words.
uint32_t ReadWordCount(uint32_t pointer, uint32_t length, uint8_t *skipFirst, uint8_t *skipLast);

#endif  // KORVANE_DATAGRAM_TEMPLATE_H
