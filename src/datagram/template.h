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

// What the parser decided about one block of a template.
enum tBlockVerdict : uint8_t {
    kBlockAccepted,
    kBlockUnknownWord,         // Word: no row of the magic word table takes it
    kBlockRefusedValue,        // Word (the row's name), Value: its handler refused the value
    kBlockNoWord,              // nothing but commas between the braces
    kBlockEmptyWord,           // Word: empty, only white space
    kBlockCodingAlone,         // "Coding=" and no word to apply it to
    kBlockIncompleteSettings,  // Pending: the first read settings lack bank, pointer or length
    kBlockTooManyWords,        // Pending: a read of more than 255 words
    kBlockOtherSettings,       // Pending: not the Adopted bank, pointer and length
    kBlockReadStarted,         // read settings once the set's memory read is chosen
};

// The parser's report of one block, valid during the observer's call.
struct tBlockReport {
    int Template;           // index in the set; -1 outside ParseTemplateSet
    uint32_t Offset;        // of the "{" in the template text
    const char *Text;       // the block, braces included; not NUL-terminated
    uint32_t Length;        // of Text
    uint8_t Verdict;        // a tBlockVerdict
    const char *Word;       // for the verdicts that name it
    const char *Value;      // for the verdicts that name it
    tReadSettings Pending;  // the read settings the block gave
    tReadSettings Adopted;  // ActiveReadSettings after the block
};

// Told of every block the parser decides. Korvane has none; korvane-preview
// sets one. Called under DatagramLock.
struct tParseObserver {
    void (*Block)(void *context, const tBlockReport &report);
    void *Context;
};
extern tParseObserver *ParseObserver;

// The reader call that starts the command for `settings`: a plain inventory,
// or a memory read with its arguments.
struct tReaderCall {
    const char *Name;  // "ASyncGetEPCs", "ASyncReadDataAny", "ASyncReadDataUntilEndOfBankAny"
    uint8_t Read;      // 1 for a memory read
    uint32_t Password;
    uint8_t MemoryBank;
    uint32_t WordAddress;
    uint32_t WordCount;
    uint8_t SkipFirst;  // bytes the read delivers beyond the ones asked for
    uint8_t SkipLast;
};

// Guards the template lists and the magic word slots.
extern tEvent DatagramLock;
// 1 while an inventory or memory read started by Korvane runs. Set by the
// parser when the reader acknowledges a start; cleared by the poller and the
// configuration loader when it acknowledges their stop. Single byte, read
// without a lock.
extern tFlag ReaderCommandRunning;
// Extended result flags: reset and grown by the parse (under ConfigLock),
// overwritten by the GetExtendedResultFlag result handler while the parse
// waits for it; sent to the reader after the command start. Single byte.
extern tFlag HostCommExtendedResultFlag;
// Bytes the memory read delivers beyond what the template asked for: written
// when a read is started (under ConfigLock), read by "MemoryBank=" when it
// renders (under DatagramLock). Single bytes.
extern tFlag SkipFirstByte;
extern tFlag SkipLastByte;
// The settings adopted for the reader command. Cleared at start-up, then
// written by the parse and the command start, both under ConfigLock.
extern tReadSettings ActiveReadSettings;
// What the block being parsed has set: written by the read-setting words'
// handlers and cleared by the parse, under ConfigLock and DatagramLock.
extern tReadSettings PendingReadSettings;
// Set by the read-setting words; cleared before each template and block.
// Under ConfigLock and DatagramLock, like PendingReadSettings.
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
// Without `useReader` the reader is neither asked nor started: the set starts
// from no extended result flags, and a chosen memory read only sets the bytes
// to drop, as if the reader had acknowledged it. Returns the chosen command.
tReaderCommand ParseTemplateSet(char *newTexts[kTemplateCount], bool useReader = true);

// The call that starts a plain inventory, or a memory read with `settings`
// when they are valid and complete.
tReaderCall PlanReaderCall(const tReadSettings &settings);
// Makes that call and waits up to 5000 ms for its start report; sets
// ReaderCommandRunning when the reader acknowledged.
void HandleMemoryBankSettings(const tReadSettings &settings);

// The 16-bit words a read of `length` bytes from byte `pointer` covers, and
// the bytes to drop at either end (null: not wanted). 0xFFFFFFFF reads to the
// end of the bank: 255 words.
uint32_t ReadWordCount(uint32_t pointer, uint32_t length, uint8_t *skipFirst, uint8_t *skipLast);

#endif  // KORVANE_DATAGRAM_TEMPLATE_H
