// Template parsing and reader command selection.
//
// A template is literal text with blocks in curly braces; a block holds
// comma-separated magic words. Each word's handler checks its value at parse
// time; a block with an unknown word, a rejected value or conflicting read
// settings stays in the output as literal text, braces included. The words of
// the coming and going templates decide the reader command: a plain inventory,
// or a tag memory read with the adopted bank, pointer and length.
#include "datagram/template.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "config/config.h"
#include "core/app.h"
#include "core/log.h"
#include "datagram/magic_words.h"
#include "output/server.h"
#include "reader/reader_lib.h"
#include "reader/results.h"
#include "sync/lists.h"

tEvent DatagramLock;
tFlag ReaderCommandRunning{0};
tFlag HostCommExtendedResultFlag{0};
tFlag SkipFirstByte{0};
tFlag SkipLastByte{0};
tReadSettings ActiveReadSettings;
tReadSettings PendingReadSettings;
tFlag TemplateHasReadSettings{0};
tParseObserver *ParseObserver = nullptr;

static const char kParseLog[] = "ParseDatagramResultString";
static const char kCommandLog[] = "HandleMemoryBankSettings";
static constexpr uint32_t kAcknowledgeMs = 5000;
static constexpr uint32_t kToEndOfBank = 0xFFFFFFFF;
static constexpr uint32_t kMaxWordCount = 255;

typedef CMyList<tDatagramElement *> tTemplateList;

static void FreeElement(tDatagramElement *element) {
    if (element == nullptr) return;
    if (element->Kind == 0) free(element->Content);
    free(element);
}

void FreeTemplateElements(tTemplateList &templateList) {
    tDatagramElement *element = nullptr;
    while (templateList.PopFront(element) == 0)
        FreeElement(element);
}

uint32_t ReadWordCount(uint32_t pointer, uint32_t length, uint8_t *skipFirst, uint8_t *skipLast) {
    uint8_t first = pointer & 1;
    if (length == kToEndOfBank) {
        if (skipFirst != nullptr) *skipFirst = first;
        if (skipLast != nullptr) *skipLast = 0;
        return kMaxWordCount;
    }
    if (skipFirst != nullptr) *skipFirst = first;
    if (skipLast != nullptr) *skipLast = static_cast<uint8_t>((pointer & 1) ^ (length & 1));
    return (length >> 1) + ((length & 1) ? 1 : first);
}

// Appends a literal element for `length` bytes of `text`, which may hold NUL
// bytes (a "Hex=" block). A failed allocation loses the literal; the parse
// goes on.
static void AppendLiteral(tTemplateList &templateList, const char *text, size_t length) {
    tDatagramElement *element = static_cast<tDatagramElement *>(calloc(1, sizeof(*element)));
    if (element == nullptr) return;
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy == nullptr) {
        free(element);
        return;
    }
    if (length != 0) memcpy(copy, text, length);
    copy[length] = '\0';
    *element = tDatagramElement{0, copy, static_cast<uint32_t>(length), 1};
    templateList.PushBack(element);
}

static void AppendWord(tTemplateList &templateList, tMagicWordSlot *slot, uint8_t coding) {
    tDatagramElement *element = static_cast<tDatagramElement *>(calloc(1, sizeof(*element)));
    if (element == nullptr) return;
    *element = tDatagramElement{1, slot, 0, coding};
    templateList.PushBack(element);
}

// The node after `mark`, or the head when there is no mark.
static tTemplateList::Node *FirstAfter(tTemplateList &templateList, tTemplateList::Node *mark) {
    return mark != nullptr ? mark->next : templateList.Head();
}

// Finds the next block at or after `from`: for unbalanced braces the
// innermost "{" before the first "}" opens it. False when the rest is literal.
static bool FindBlock(const char *from, const char **open, const char **close) {
    const char *candidate = strchr(from, '{');
    while (candidate != nullptr) {
        const char *closing = strchr(candidate + 1, '}');
        const char *later = strchr(candidate + 1, '{');
        if (later != nullptr && (closing == nullptr || later < closing)) {
            candidate = later;
            continue;
        }
        if (closing == nullptr) return false;
        *open = candidate;
        *close = closing;
        return true;
    }
    return false;
}

// The first row that accepts `token`: its name begins the token, and either
// the token is exactly the name or the word takes a value.
static int MatchRow(const char *token, int firstRow) {
    for (int row = firstRow; row < kMagicWordCount; row++) {
        const tMagicWord &word = MagicWordTable[row];
        size_t nameLength = strlen(word.Name);
        if (strncasecmp(token, word.Name, nameLength) != 0) continue;
        if (token[nameLength] == '\0' || word.HasValue) return row;
    }
    return -1;
}

// A word whose fixed text depends on its value ("Hex="): each use has bytes
// of its own, unlike the control bytes that are the same wherever they stand.
static bool HasOwnBytes(const tMagicWord &word) {
    return word.HasValue && (word.Id & kMagicWordFixedText) != 0;
}

struct tBlockParse {
    tTemplateList &list;
    const char *&literalStart;
    const char *open;           // the block's "{"
    tTemplateList::Node *mark;  // last node before the block's elements
    uint8_t coding;             // the block coding, 1 unless "Coding=" says
    tBlockReport report;        // what the parse decides about the block
};

// A handler refused the value of `word`: logged, and the block's report names
// the first such word.
static void RefuseValue(tBlockReport &report, const tMagicWord &word, const char *value) {
    LogPrintf(kParseLog, "Error parsing magic word \"%s\". Maybe wrong additional text \"%s\"?\n",
              word.Name, value);
    if (report.Verdict == kBlockRefusedValue) return;
    report.Verdict = kBlockRefusedValue;
    report.Word = word.Name;
    report.Value = value;
}

// Runs one token through the rows that accept it. False when no row does.
static bool ParseToken(tBlockParse &block, const char *token) {
    block.report.Verdict = *token == '\0' ? kBlockEmptyWord : kBlockUnknownWord;
    block.report.Word = token;
    for (int row = MatchRow(token, 0); row >= 0; row = MatchRow(token, row + 1)) {
        const tMagicWord &word = MagicWordTable[row];
        tMagicWordSlot *slot = &MagicWordSlots[row];
        const char *value = token + strlen(word.Name);
        slot->Used = 1;
        uint32_t result =
            word.Handler != nullptr ? word.Handler(1, value, nullptr, slot, &block.coding) : 1;
        if (result != 0) {
            RefuseValue(block.report, word, value);
            continue;
        }
        // The literal before the block goes out once, however many words the
        // block holds; the mark then follows it so a rejection keeps it.
        if (block.open > block.literalStart) {
            AppendLiteral(block.list, block.literalStart, block.open - block.literalStart);
            block.mark = block.list.Tail();
            block.literalStart = block.open;
        }
        block.report.Verdict = kBlockAccepted;
        if (!slot->Used) return true;
        if (HasOwnBytes(word)) {
            // Every "Hex=" block names bytes of its own: they become the
            // block's literal, so no other block, in this template or
            // another, can change or drop them through the shared slot.
            AppendLiteral(block.list, reinterpret_cast<const char *>(slot->Text),
                          slot->Text != nullptr ? slot->TextLength : 0);
            free(slot->Text);
            slot->Text = nullptr;
            slot->TextLength = 0;
        } else {
            AppendWord(block.list, slot, block.coding);
        }
        return true;
    }
    return false;
}

// Parses the words of one block from `tokens`, a copy of its inner text that
// the parse cuts up (null: none could be made); the block's report holds the
// verdict.
static void ParseBlockTokens(tBlockParse &block, char *tokens) {
    // A block without any word ({} or { }) is kept as text.
    block.report.Verdict = kBlockNoWord;
    if (tokens == nullptr) return;
    char *save = nullptr;
    for (char *token = strtok_r(tokens, ",", &save); token != nullptr;
         token = strtok_r(nullptr, ",", &save)) {
        while (isspace(static_cast<unsigned char>(*token)))
            token++;
        if (!ParseToken(block, token)) break;
    }
}

// A "Coding=" anywhere in the block applies to all its words. False when the
// block then has no element.
static bool ApplyBlockCoding(tBlockParse &block) {
    tTemplateList::Node *node = FirstAfter(block.list, block.mark);
    bool any = node != nullptr;
    // Literals (a "Hex=" block's bytes) keep coding 1: only words are coded.
    for (; node != nullptr; node = node->next) {
        if (node->value->Kind == 1) node->value->Coding = block.coding;
    }
    return any;
}

static bool SameReadTarget(const tReadSettings &a, const tReadSettings &b) {
    return a.MemoryBank == b.MemoryBank && a.Length == b.Length && a.Pointer == b.Pointer;
}

// Adopts the block's read settings, or checks them against the adopted ones.
// A rejection becomes the report's verdict unless the block has one already.
static void ReconcileReadSettings(tBlockReport &report) {
    uint8_t verdict = kBlockAccepted;
    const tReadSettings &pending = PendingReadSettings;
    const tReadSettings &active = ActiveReadSettings;
    if (!active.Valid && pending.MemoryBankSet && pending.PointerSet && pending.LengthSet) {
        // A length the reader cannot deliver in one read (more than 255
        // words) would make it deliver a different amount than asked for.
        if (pending.Length != kToEndOfBank &&
            ReadWordCount(pending.Pointer, pending.Length, nullptr, nullptr) > kMaxWordCount) {
            verdict = kBlockTooManyWords;
        } else {
            ActiveReadSettings = pending;
            ActiveReadSettings.Valid = 1;
        }
    } else if (!(active.MemoryBankSet && SameReadTarget(active, pending))) {
        verdict = !active.Valid           ? kBlockIncompleteSettings
                  : !active.MemoryBankSet ? kBlockReadStarted
                                          : kBlockOtherSettings;
    }
    report.Pending = pending;
    if (report.Verdict == kBlockAccepted) report.Verdict = verdict;
    PendingReadSettings = tReadSettings{};
    FlagSet(TemplateHasReadSettings, 0);
}

static void RemoveElementsAfter(tTemplateList &templateList, tTemplateList::Node *mark) {
    tTemplateList::Node *node = FirstAfter(templateList, mark);
    while (node != nullptr) {
        tDatagramElement *element = node->value;
        templateList.Remove(node);
        FreeElement(element);
    }
}

// The part of a new template set's reset that talks to the reader: the read
// settings and extended result flags start afresh from the reader's current
// flags (without `useReader`, from none). Runs without DatagramLock, since it
// waits for the reader.
static void ClearReadSettingFlags(tReadSettings &settings) {
    settings.MemoryBankSet = 0;
    settings.PasswordSet = 0;
    settings.PointerSet = 0;
    settings.LengthSet = 0;
}

static void ResetReaderSettings(bool useReader) {
    ActiveReadSettings.Valid = 0;
    ClearReadSettingFlags(ActiveReadSettings);
    PendingReadSettings = tReadSettings{};
    FlagSet(HostCommExtendedResultFlag, 0);
    if (!useReader) return;
    EventInit(&ResultFlagEvent, 0);
    if (GetExtendedResultFlag(ReaderHandle) != 0) {
        LogPuts(kParseLog, "Error while getting HostCommExtendedResultFlag");
    } else if (EventWaitMs(&ResultFlagEvent, kAcknowledgeMs) != 0) {
        LogPuts(kParseLog, "Getting HostCommExtendedResultFlag timed out");
    }
}

// The slots' part of the reset. Caller holds DatagramLock.
static void ResetSlots() {
    for (tMagicWordSlot &slot : MagicWordSlots) {
        slot.Used = 0;
        free(slot.Extra);
        slot.Extra = nullptr;
        slot.ExtraLength = 0;
    }
}

// Parses a non-empty template text, the set's `index`, into the list and
// reports each block to the observer. Caller holds DatagramLock; the
// handlers it calls touch the slots.
static void ParseText(int index, const char *templateText, tTemplateList &templateList) {
    FlagSet(TemplateHasReadSettings, 0);
    const char *literalStart = templateText;
    const char *searchFrom = templateText;
    const char *open = nullptr;
    const char *close = nullptr;
    while (FindBlock(searchFrom, &open, &close)) {
        tBlockParse block{templateList, literalStart, open, templateList.Tail(), 1, {}};
        tBlockReport &report = block.report;
        report.Template = index;
        report.Offset = static_cast<uint32_t>(open - templateText);
        report.Text = open;
        report.Length = static_cast<uint32_t>(close - open + 1);
        char *tokens = strndup(open + 1, report.Length - 2);
        ParseBlockTokens(block, tokens);
        if (report.Verdict == kBlockAccepted && block.coding != 1 && !ApplyBlockCoding(block))
            report.Verdict = kBlockCodingAlone;
        if (FlagGet(TemplateHasReadSettings)) ReconcileReadSettings(report);

        // A rejected block's text, braces included, becomes part of the next
        // literal.
        if (report.Verdict == kBlockAccepted) {
            literalStart = close + 1;
        } else {
            RemoveElementsAfter(templateList, block.mark);
        }
        report.Adopted = ActiveReadSettings;
        if (ParseObserver != nullptr) ParseObserver->Block(ParseObserver->Context, report);
        free(tokens);
        searchFrom = close + 1;
    }
    AppendLiteral(templateList, literalStart, strlen(literalStart));
}

// Waits for the start report of a command just accepted; true when it came in
// time without a start error.
static bool Started(uint32_t result, tEvent *startEvent, tFlag &startError) {
    return result == 0 && EventWaitMs(startEvent, kAcknowledgeMs) == 0 && FlagGet(startError) == 0;
}

static bool IsMemoryRead(const tReadSettings &settings) {
    return settings.Valid && settings.MemoryBankSet && settings.PointerSet && settings.LengthSet;
}

tReaderCall PlanReaderCall(const tReadSettings &settings) {
    tReaderCall call = {"ASyncGetEPCs", 0, 0, 0, 0, 0, 0, 0};
    if (!IsMemoryRead(settings)) return call;
    call.Name =
        settings.Length == kToEndOfBank ? "ASyncReadDataUntilEndOfBankAny" : "ASyncReadDataAny";
    call.Read = 1;
    call.Password = settings.PasswordSet ? settings.Password : 0;
    call.MemoryBank = settings.MemoryBank;
    call.WordAddress = settings.Pointer >> 1;
    call.WordCount =
        ReadWordCount(settings.Pointer, settings.Length, &call.SkipFirst, &call.SkipLast);
    return call;
}

void HandleMemoryBankSettings(const tReadSettings &active) {
    tReaderCall call = PlanReaderCall(active);
    if (!call.Read) {
        EventInit(&InventoryStartEvent, 0);
        uint32_t result = ASyncGetEPCs(ReaderHandle);
        if (Started(result, &InventoryStartEvent, InventoryStartError)) {
            FlagSet(ReaderCommandRunning, 1);
            LogPuts(kCommandLog, "OK: ASyncGetEPCs");
        } else {
            LogPrintf(kCommandLog, "Error: ASyncGetEPCs: %u\n", result);
        }
        return;
    }

    LogPrintf(kCommandLog, "Try changing reader settings for memoryBank %u\n", active.MemoryBank);
    if (!active.PasswordSet) LogPuts(kCommandLog, "No password provided, use default");
    FlagSet(SkipFirstByte, call.SkipFirst);
    FlagSet(SkipLastByte, call.SkipLast);

    EventInit(&ReadStartEvent, 0);
    uint32_t result =
        active.Length == kToEndOfBank
            ? ASyncReadDataUntilEndOfBankAny(ReaderHandle, call.Password, call.MemoryBank,
                                             call.WordAddress, kMaxWordCount)
            : ASyncReadDataAny(ReaderHandle, call.Password, call.MemoryBank, call.WordAddress,
                               static_cast<uint8_t>(call.WordCount));
    if (Started(result, &ReadStartEvent, ReadStartError)) {
        FlagSet(ReaderCommandRunning, 1);
        LogPrintf(kCommandLog, "OK: %s\n", call.Name);
        ClearReadSettingFlags(ActiveReadSettings);
    } else {
        LogPrintf(kCommandLog, "Error: %s: %u\n", call.Name, result);
    }
}

static void SendExtendedResultFlag(uint8_t flags) {
    if (flags == 0) return;
    EventInit(&ResultFlagEvent, 0);
    if (SetExtendedResultFlag(ReaderHandle, flags) != 0) {
        LogPuts(kParseLog, "Error while setting HostCommExtendedResultFlag");
    } else if (EventWaitMs(&ResultFlagEvent, kAcknowledgeMs) != 0) {
        LogPuts(kParseLog, "Setting HostCommExtendedResultFlag timed out");
    }
}

// Empties one template list and parses its text into it (null: absent, and
// then nothing is reset). Caller holds DatagramLock.
static void ParseTemplateLocked(int index, bool reset, const char *templateText,
                                tTemplateList &templateList) {
    FreeTemplateElements(templateList);
    if (templateText == nullptr) return;
    if (reset) ResetSlots();
    if (*templateText != '\0') ParseText(index, templateText, templateList);
}

// Settles the command from what the set has adopted so far: the words of the
// coming and going templates. Caller holds DatagramLock.
static tReaderCommand ChooseReaderCommand() {
    tReaderCommand command = {};
    command.Start = FlagGet(ClientConnected) || FlagGet(KeyboardEmulationEnabled) ? 1 : 0;
    command.Settings = ActiveReadSettings;
    command.ExtendedResultFlags = FlagGet(HostCommExtendedResultFlag);
    // A memory read that is going to start owns the adopted settings: read
    // settings in the later templates of the set are refused, just as once
    // the read runs.
    if (command.Start && IsMemoryRead(ActiveReadSettings))
        ClearReadSettingFlags(ActiveReadSettings);
    return command;
}

// Starts the chosen command (only while somebody listens) and sends the
// extended result flags. Runs without DatagramLock: it waits for the reader.
// Without `useReader` a memory read only sets the bytes it drops.
static void StartReaderCommand(const tReaderCommand &command, bool useReader) {
    if (!useReader) {
        tReaderCall call = PlanReaderCall(command.Settings);
        if (command.Start && call.Read) {
            FlagSet(SkipFirstByte, call.SkipFirst);
            FlagSet(SkipLastByte, call.SkipLast);
        }
        return;
    }
    if (command.Start) HandleMemoryBankSettings(command.Settings);
    SendExtendedResultFlag(command.ExtendedResultFlags);
}

void ParseDatagramResultString(bool reset, bool startReaderCommand, const char *templateText,
                               tTemplateList &templateList) {
    if (templateText != nullptr && reset) ResetReaderSettings(true);
    // The list is emptied and refilled under one hold of DatagramLock, so a
    // datagram rendered meanwhile uses the old template or the new one,
    // never a part of it.
    if (EventWait(&DatagramLock) != 0) return;
    ParseTemplateLocked(-1, reset, templateText, templateList);
    tReaderCommand command = {};
    if (startReaderCommand) command = ChooseReaderCommand();
    EventSignal(&DatagramLock);
    if (startReaderCommand) StartReaderCommand(command, true);
}

tReaderCommand ParseTemplateSet(char *newTexts[kTemplateCount], bool useReader) {
    char **const stored[kTemplateCount] = {&ComingText, &GoingText, &StartText, &HeartbeatText,
                                           &StopText};
    tTemplateList *const lists[kTemplateCount] = {&ComingTemplate, &GoingTemplate, &StartTemplate,
                                                  &HeartbeatTemplate, &StopTemplate};
    // The stored texts change only under ConfigLock, which the caller holds.
    const char *texts[kTemplateCount];
    int first = -1;
    for (int i = 0; i < kTemplateCount; i++) {
        texts[i] = newTexts != nullptr ? newTexts[i] : *stored[i];
        if (texts[i] != nullptr && first < 0) first = i;
    }
    if (first >= 0) ResetReaderSettings(useReader);

    // All five templates are replaced under one hold of DatagramLock, and the
    // reader is started only afterwards: its start report, and every tag and
    // report after it, renders from the whole new set, never from templates
    // half parsed or from slots the reset has just emptied.
    tReaderCommand command = {};
    if (EventWait(&DatagramLock) != 0) {
        for (int i = 0; newTexts != nullptr && i < kTemplateCount; i++)
            free(newTexts[i]);
        return command;
    }
    for (int i = 0; i < kTemplateCount; i++) {
        if (newTexts != nullptr) {
            free(*stored[i]);
            *stored[i] = newTexts[i];
        }
        ParseTemplateLocked(i, i == first, texts[i], *lists[i]);
        if (i == kGoingTemplateIndex) command = ChooseReaderCommand();
    }
    EventSignal(&DatagramLock);
    StartReaderCommand(command, useReader);
    return command;
}
