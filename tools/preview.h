// korvane-preview, the Korvane side: the templates are parsed by Korvane's
// own ParseDatagramResultString and the datagram is rendered by its own
// SendTagData, with the magic word handlers and codings they call, so what
// the tool prints is what Korvane sends. See docs/preview.md.
//
// Nothing here reaches the reader or the network:
// - The templates are parsed with `reset` and `startReaderCommand` both
//   false. Those two are the only parts of the parse that call the reader
//   library (fetching and sending the extended result flags, starting the
//   command). The tool starts from the state Korvane has at start-up instead,
//   which is what a reset produces, and reports the command from the read
//   settings the handlers leave in ActiveReadSettings.
// - SendTagData renders only while somebody listens. The tool sets
//   KeyboardEmulationEnabled around the one call, with ClientList empty, and
//   takes the copy SendTagData queues for the keyboard: the same bytes the
//   TCP clients get. No keyboard thread runs and no device is opened.
//
// Which blocks were rejected comes from the parse itself: the text of a
// rejected block stays in the literal text of the parsed template. The
// reasons come from the parser and the handlers as well: every block is
// parsed once more on its own, in the same order and from the same state,
// with Korvane's log captured, and a word that no row of the magic word table
// takes is recognised by the parser rejecting it alone without a word of log.
#ifndef KORVANE_TOOLS_PREVIEW_H
#define KORVANE_TOOLS_PREVIEW_H

#include <libxml/tree.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/xml.h"
#include "core/app.h"
#include "core/log.h"
#include "datagram/handlers.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "output/keyboard.h"
#include "output/send.h"
#include "output/server.h"
#include "preview_text.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

namespace preview {

constexpr int kTemplateCount = 5;
// In the order Korvane parses them.
constexpr const char *kTemplateNames[kTemplateCount] = {"ComingText", "GoingText", "StartText",
                                                        "HeartbeatText", "StopText"};
// The template whose parse is followed by the start of the reader command.
constexpr int kGoingIndex = 1;

inline CMyList<tDatagramElement *> &TemplateList(int index) {
    CMyList<tDatagramElement *> *const lists[kTemplateCount] = {
        &ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate};
    return *lists[index];
}

inline char **StoredTemplateText(int index) {
    char **const texts[kTemplateCount] = {&ComingText, &GoingText, &StartText, &HeartbeatText,
                                          &StopText};
    return texts[index];
}

// The list a block is parsed into on its own.
inline CMyList<tDatagramElement *> &ScratchList() {
    static CMyList<tDatagramElement *> list;
    return list;
}

// The template an event renders, and SendTagData's kind for it.
inline int TemplateIndex(Event event) {
    switch (event) {
        case Event::kCame:
            return 0;
        case Event::kLeft:
            return 1;
        case Event::kStart:
            return 2;
        case Event::kHeartbeat:
            return 3;
        case Event::kStop:
            return 4;
    }
    return 0;
}

inline uint32_t SendKind(Event event) {
    switch (event) {
        case Event::kStart:
            return 1;
        case Event::kHeartbeat:
            return 2;
        case Event::kStop:
            return 3;
        default:
            return 0;
    }
}

// ---- The templates

struct TemplateSource {
    bool present = false;
    std::string text;
    std::string state;  // "on", or why Korvane does not apply it
};

// A template from the command line: the template of the event, the other
// four absent.
inline void TemplatesFromText(const std::string &text, Event event, TemplateSource *sources) {
    for (int i = 0; i < kTemplateCount; i++)
        sources[i] = TemplateSource{false, "", "absent (not given)"};
    TemplateSource &given = sources[TemplateIndex(event)];
    given.present = true;
    given.text = text;
    given.state = "given on the command line";
}

// Why the configuration loader leaves a template element out; Korvane's own
// TemplateContent has decided that it does.
inline std::string AbsentReason(xmlNodePtr datagrams, xmlNodePtr element, const char *name) {
    if (datagrams == nullptr) return "absent (no <Datagrams> element)";
    if (element == nullptr) return std::string("absent (no <") + name + "> element)";
    std::vector<std::string> reasons;
    const xmlChar *content = element->children != nullptr ? element->children->content : nullptr;
    if (content == nullptr || *content == '\0') reasons.push_back("no text");
    xmlChar *on = xmlGetProp(element, XmlText("On"));
    if (on == nullptr) {
        reasons.push_back("no On attribute");
    } else if (strcasecmp(reinterpret_cast<const char *>(on), "true") != 0) {
        reasons.push_back(std::string("On=\"") + reinterpret_cast<const char *>(on) + "\"");
    }
    xmlFree(on);
    std::string reason = "absent";
    for (size_t i = 0; i < reasons.size(); i++)
        reason += (i == 0 ? " (" : ", ") + reasons[i];
    return reasons.empty() ? reason : reason + ")";
}

// The five templates of a configuration file, each present exactly when
// Korvane applies it. kExitOk, or kExitBadInput with `error`.
inline int LoadConfigTemplates(const std::string &path, TemplateSource *sources,
                               std::string *error) {
    if (access(path.c_str(), R_OK) != 0) {
        *error = path + ": " + strerror(errno);
        return kExitBadInput;
    }
    xmlDocPtr document = LoadXmlDocument(path.c_str(), false);
    if (document == nullptr) {
        *error = path + ": not an XML document";
        return kExitBadInput;
    }
    xmlNodePtr root = GetRootElement(document, "KorvaneConfiguration", false);
    if (root == nullptr) {
        xmlFreeDoc(document);
        *error = path + ": the root element is not <KorvaneConfiguration> (Korvane would " +
                 "apply no template from it)";
        return kExitBadInput;
    }
    xmlNodePtr datagrams = FindElement(root, "Datagrams", false);
    for (int i = 0; i < kTemplateCount; i++) {
        xmlNodePtr element =
            datagrams != nullptr ? FindElement(datagrams, kTemplateNames[i], false) : nullptr;
        const xmlChar *content = TemplateContent(element);
        if (content != nullptr) {
            sources[i] = TemplateSource{true, reinterpret_cast<const char *>(content), "on"};
        } else {
            sources[i] =
                TemplateSource{false, "", AbsentReason(datagrams, element, kTemplateNames[i])};
        }
    }
    xmlFreeDoc(document);
    return kExitOk;
}

// ---- Korvane's state

// Puts the datagram state back to what Korvane has after start-up: no
// templates, empty slots, no read settings, no extended result flags, nobody
// listening.
inline void ResetKorvaneState() {
    EventInit(&DatagramLock, 1);
    EventInit(&ClientsLock, 1);
    EventInit(&KeyboardLock, 1);
    EventInit(&KeyboardTextEvent, 0);
    EventWait(&DatagramLock);
    for (int i = 0; i < kTemplateCount; i++)
        FreeTemplateElements(TemplateList(i));
    FreeTemplateElements(ScratchList());
    FreeStoredTemplateTexts();
    FreeMagicWordSlots();
    InitMagicWordSlots();
    EventSignal(&DatagramLock);
    FreeKeyboardTexts();
    ActiveReadSettings = tReadSettings{};
    PendingReadSettings = tReadSettings{};
    FlagSet(TemplateHasReadSettings, 0);
    FlagSet(HostCommExtendedResultFlag, 0);
    FlagSet(SkipFirstByte, 0);
    FlagSet(SkipLastByte, 0);
    FlagSet(ReaderCommandRunning, 0);
    FlagSet(ClientConnected, 0);
    FlagSet(KeyboardEmulationEnabled, 0);
    FlagSet(Verbose, 0);
    ReaderHandle = 0;
}

// Frees everything the preview left in Korvane's state.
inline void ReleaseKorvaneState() {
    ResetKorvaneState();
    FreeMagicWordSlots();
    FreeDatagramBuffers();
}

// Runs `run` with Korvane's log switched on and returns what it logged.
// Empty when the log cannot be captured (the reasons then say less).
inline std::string CaptureLog(const std::function<void()> &run) {
    fflush(stdout);
    int capture = memfd_create("korvane-preview-log", MFD_CLOEXEC);
    int saved = capture >= 0 ? dup(STDOUT_FILENO) : -1;
    if (saved < 0 || dup2(capture, STDOUT_FILENO) < 0) {
        if (saved >= 0) close(saved);
        if (capture >= 0) close(capture);
        run();
        return std::string();
    }
    FlagSet(Verbose, 1);
    run();
    FlagSet(Verbose, 0);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string log;
    char buffer[4096];
    ssize_t got = 0;
    if (lseek(capture, 0, SEEK_SET) == 0) {
        while ((got = read(capture, buffer, sizeof(buffer))) > 0)
            log.append(buffer, static_cast<size_t>(got));
    }
    close(capture);
    return log;
}

inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// ---- Blocks

struct BraceBlock {
    size_t offset;      // of the "{"
    std::string inner;  // between the braces
};

// Every "{", text without braces, "}" of `text`, in order: the blocks the
// parser tries (with unbalanced braces the last "{" before a "}" opens one).
inline std::vector<BraceBlock> FindBraceBlocks(const std::string &text) {
    std::vector<BraceBlock> blocks;
    size_t open = std::string::npos;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '{') {
            open = i;
        } else if (text[i] == '}') {
            if (open != std::string::npos)
                blocks.push_back(BraceBlock{open, text.substr(open + 1, i - open - 1)});
            open = std::string::npos;
        }
    }
    return blocks;
}

// The words of a block: the pieces between runs of ",", white space at the
// start of each dropped (at the end it stays part of the word).
inline std::vector<std::string> BlockWords(const std::string &inner) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= inner.size()) {
        size_t end = inner.find(',', start);
        if (end == std::string::npos) end = inner.size();
        if (end > start) {
            size_t first = start;
            while (first < end && isspace(static_cast<unsigned char>(inner[first])))
                first++;
            words.push_back(inner.substr(first, end - first));
        }
        start = end + 1;
    }
    return words;
}

// Parses "{inner}" as a template of its own into the scratch list, from the
// state Korvane has now, and says whether the parser rejected it: a rejected
// block is kept as a literal holding its own text.
inline bool ParseBlockAlone(const std::string &inner, std::string *log) {
    const std::string text = "{" + inner + "}";
    *log = CaptureLog(
        [&text] { ParseDatagramResultString(false, false, text.c_str(), ScratchList()); });
    bool rejected = false;
    EventWait(&DatagramLock);
    for (auto *node = ScratchList().Head(); node != nullptr; node = node->next) {
        const tDatagramElement *element = node->value;
        if (element->Kind == 0 && element->Length == text.size() &&
            memcmp(element->Content, text.data(), text.size()) == 0) {
            rejected = true;
        }
    }
    FreeTemplateElements(ScratchList());
    EventSignal(&DatagramLock);
    return rejected;
}

// Whether some row of the magic word table takes `word`: the parser rejects
// a word no row takes without logging anything, while every word a row takes
// is either accepted alone or leaves a line in the log.
inline bool IsMagicWord(const std::string &word) {
    ResetKorvaneState();
    std::string log;
    bool rejected = ParseBlockAlone(word, &log);
    ResetKorvaneState();
    return !rejected || !log.empty();
}

// ---- The reader command

struct ReaderCommand {
    enum class Kind { kInventory, kRead, kReadToEnd };
    Kind kind = Kind::kInventory;
    // The adopted read settings.
    uint8_t bank = 0;
    uint32_t pointer = 0;
    uint32_t length = 0;
    bool passwordGiven = false;
    // The call's arguments.
    uint32_t password = 0;
    uint32_t wordAddress = 0;
    uint8_t wordCount = 0;
    // Bytes the read delivers beyond the request, dropped by the codings.
    uint8_t skipFirst = 0;
    uint8_t skipLast = 0;
};

// The command the reader-command step starts for the read settings the
// templates have left in ActiveReadSettings, with the arguments it passes.
inline ReaderCommand SelectedCommand() {
    const tReadSettings &active = ActiveReadSettings;
    ReaderCommand command;
    if (!active.Valid || !active.MemoryBankSet || !active.PointerSet || !active.LengthSet) {
        return command;
    }
    command.kind =
        active.Length == 0xFFFFFFFF ? ReaderCommand::Kind::kReadToEnd : ReaderCommand::Kind::kRead;
    command.bank = active.MemoryBank;
    command.pointer = active.Pointer;
    command.length = active.Length;
    command.passwordGiven = active.PasswordSet != 0;
    command.password = active.PasswordSet ? active.Password : 0;
    command.wordAddress = active.Pointer >> 1;
    command.wordCount = static_cast<uint8_t>(
        ReadWordCount(active.Pointer, active.Length, &command.skipFirst, &command.skipLast));
    return command;
}

// Korvane's state once the reader has acknowledged the command: the codings
// drop the bytes the read delivers beyond the request, and once a memory read
// runs, blocks of the later templates that give read settings are refused.
inline void AssumeCommandStarted(const ReaderCommand &command) {
    if (command.kind == ReaderCommand::Kind::kInventory) return;
    FlagSet(SkipFirstByte, command.skipFirst);
    FlagSet(SkipLastByte, command.skipLast);
    ActiveReadSettings.MemoryBankSet = 0;
    ActiveReadSettings.PasswordSet = 0;
    ActiveReadSettings.PointerSet = 0;
    ActiveReadSettings.LengthSet = 0;
}

inline std::string CommandText(const ReaderCommand &command) {
    if (command.kind == ReaderCommand::Kind::kInventory) return "ASyncGetEPCs";
    char text[160];
    snprintf(text, sizeof(text), "%s(password=%u, bank=%u, wordAddress=%u, wordCount=%u)",
             command.kind == ReaderCommand::Kind::kReadToEnd ? "ASyncReadDataUntilEndOfBankAny"
                                                             : "ASyncReadDataAny",
             command.password, command.bank, command.wordAddress, command.wordCount);
    return text;
}

inline std::string FlagsText(uint8_t flags) {
    static const struct {
        uint8_t bit;
        const char *words;
    } kBits[] = {
        {kExtendedResultAntenna, "AntennaPort/AntennaProperty"},
        {kExtendedResultRssi, "RSSI"},
        {kExtendedResultTimestamp, "Timestamp"},
        {kExtendedResultProtocolControl, "PC/XPC_W1/XPC_W2"},
        {kExtendedResultRssiDbm, "RSSIDBM"},
        {kExtendedResultTimestampMs, "TimestampMS"},
    };
    char hex[8];
    snprintf(hex, sizeof(hex), "0x%02X", flags);
    if (flags == 0) return std::string(hex) + " (none: not sent)";
    std::string text = std::string(hex) + " (";
    bool first = true;
    for (const auto &bit : kBits) {
        if ((flags & bit.bit) == 0) continue;
        text += (first ? "" : ", ") + std::string(bit.words);
        first = false;
    }
    return text + ")";
}

// ---- Reasons

struct BlockTrace {
    size_t offset;
    std::string inner;
    bool rejected;
    std::string log;
    tReadSettings before;  // ActiveReadSettings before the block
};

struct RejectedBlock {
    size_t offset;
    std::string text;  // braces included
    std::string reason;
    std::vector<std::string> log;  // what Korvane logged while parsing it
};

// The value a handler logged for a read setting ("Magicword \"Pointer\" set
// to value 16"), if it did.
inline bool LoggedSetting(const std::vector<std::string> &lines, const char *word,
                          uint32_t *value) {
    const std::string prefix = std::string("Magicword \"") + word + "\" set";
    for (const std::string &line : lines) {
        size_t at = line.find(prefix);
        if (at == std::string::npos) continue;
        unsigned parsed = 0;
        if (sscanf(line.c_str() + at + prefix.size(), " to value %u", &parsed) == 1) {
            *value = parsed;
        }
        return true;
    }
    return false;
}

inline std::string ExplainReadSettings(const BlockTrace &trace,
                                       const std::vector<std::string> &lines) {
    uint32_t bank = 0, pointer = 0, length = 0, password = 0;
    bool hasBank = LoggedSetting(lines, "MemoryBank", &bank);
    bool hasPointer = LoggedSetting(lines, "Pointer", &pointer);
    bool hasLength = LoggedSetting(lines, "Length", &length);
    bool hasPassword = LoggedSetting(lines, "Password", &password);
    if (!hasBank && !hasPointer && !hasLength && !hasPassword) return "";
    const tReadSettings &before = trace.before;
    if (!before.Valid) {
        if (!(hasBank && hasPointer && hasLength)) {
            std::string missing;
            if (!hasBank) missing += " MemoryBank=";
            if (!hasPointer) missing += " Pointer=";
            if (!hasLength) missing += " Length=";
            return "incomplete read settings: the first block that gives any must give "
                   "MemoryBank=, Pointer= and Length= (missing:" +
                   missing + ")";
        }
        uint32_t words = ReadWordCount(pointer, length, nullptr, nullptr);
        if (length != 0xFFFFFFFF && words > 255) {
            return "Length=" + std::to_string(length) + " from Pointer=" + std::to_string(pointer) +
                   " takes " + std::to_string(words) + " words; one read delivers at most 255";
        }
        return "";
    }
    if (!before.MemoryBankSet) {
        return "read settings after the memory read has started: only ComingText and "
               "GoingText choose it";
    }
    if (hasBank && hasPointer && hasLength && bank == before.MemoryBank &&
        pointer == before.Pointer && length == before.Length) {
        return "";
    }
    return "read settings that do not repeat the adopted ones (MemoryBank=" +
           std::to_string(before.MemoryBank) + ", Pointer=" + std::to_string(before.Pointer) +
           ", Length=" + std::to_string(before.Length) + ")";
}

// Why the parser rejected a block, as far as it tells. Parses words on their
// own: Korvane's state is reset afterwards.
inline RejectedBlock ExplainRejection(const BlockTrace &trace) {
    RejectedBlock block{trace.offset, "{" + trace.inner + "}", "", Lines(trace.log)};
    std::vector<std::string> words = BlockWords(trace.inner);
    bool anyWord = false;
    for (const std::string &word : words)
        anyWord = anyWord || !word.empty();
    if (!anyWord) {
        block.reason = "no magic word in the block";
        return block;
    }
    // A value a handler refused: the parser logs the word and the value.
    static const char kRefused[] = "Error parsing magic word \"";
    static const char kValue[] = "\". Maybe wrong additional text \"";
    for (const std::string &line : block.log) {
        size_t at = line.find(kRefused);
        if (at == std::string::npos) continue;
        size_t nameStart = at + sizeof(kRefused) - 1;
        size_t valueAt = line.find(kValue, nameStart);
        if (valueAt == std::string::npos) continue;
        size_t valueStart = valueAt + sizeof(kValue) - 1;
        size_t valueEnd = line.rfind("\"?");
        if (valueEnd == std::string::npos || valueEnd < valueStart) valueEnd = line.size();
        block.reason = line.substr(nameStart, valueAt - nameStart) + " refused the value \"" +
                       line.substr(valueStart, valueEnd - valueStart) + "\"";
        return block;
    }
    // A word no row takes: the parser stops at the first one.
    for (const std::string &word : words) {
        if (word.empty()) {
            block.reason = "an empty word (only white space between commas)";
            return block;
        }
        if (IsMagicWord(word)) continue;
        block.reason = "\"" + word + "\" is not a magic word";
        size_t end = word.size();
        while (end > 0 && isspace(static_cast<unsigned char>(word[end - 1])))
            end--;
        if (end < word.size() && IsMagicWord(word.substr(0, end))) {
            block.reason += " (white space after a word is part of it)";
        }
        return block;
    }
    block.reason = ExplainReadSettings(trace, block.log);
    if (!block.reason.empty()) return block;
    bool coding = false;
    for (const std::string &line : block.log)
        coding = coding || line.find("Coding type is set to") != std::string::npos;
    block.reason = coding ? "Coding= leaves no word in the block to apply to"
                          : "rejected (the parser gives no reason)";
    return block;
}

// ---- The preview

struct PreviewResult {
    std::vector<RejectedBlock> rejected[kTemplateCount];
    ReaderCommand command;
    uint8_t extendedFlags = 0;
    uint32_t seenAt = 0;
    bool sent = false;
    std::string datagram;
    // The block-by-block parse found the same rejected blocks as the parse of
    // the whole templates (it always should).
    bool consistent = true;
};

// The rejected blocks of a parsed template: the blocks in its literal text.
inline std::vector<std::string> RejectedInList(CMyList<tDatagramElement *> &list) {
    std::vector<std::string> blocks;
    for (auto *node = list.Head(); node != nullptr; node = node->next) {
        const tDatagramElement *element = node->value;
        if (element->Kind != 0 || element->Content == nullptr) continue;
        std::string literal(static_cast<const char *>(element->Content), element->Length);
        for (const BraceBlock &block : FindBraceBlocks(literal))
            blocks.push_back("{" + block.inner + "}");
    }
    return blocks;
}

// Parses the templates as Korvane applies a set of them and renders the
// datagram of `event` for the tag.
inline PreviewResult RunPreview(const TemplateSource *sources, const TagInput &input, Event event) {
    PreviewResult result;

    // Block by block, in Korvane's order, from the state of a new set.
    std::vector<BlockTrace> traces[kTemplateCount];
    ResetKorvaneState();
    for (int i = 0; i < kTemplateCount; i++) {
        if (sources[i].present) {
            for (const BraceBlock &block : FindBraceBlocks(sources[i].text)) {
                BlockTrace trace{block.offset, block.inner, false, "", ActiveReadSettings};
                trace.rejected = ParseBlockAlone(block.inner, &trace.log);
                traces[i].push_back(trace);
            }
        }
        if (i == kGoingIndex) AssumeCommandStarted(SelectedCommand());
    }
    for (int i = 0; i < kTemplateCount; i++) {
        for (const BlockTrace &trace : traces[i]) {
            if (trace.rejected) result.rejected[i].push_back(ExplainRejection(trace));
        }
    }

    // The whole templates, as the configuration loader and the client
    // poller parse them: the command is settled after GoingText.
    ResetKorvaneState();
    for (int i = 0; i < kTemplateCount; i++) {
        const char *text = sources[i].present ? sources[i].text.c_str() : nullptr;
        EventWait(&DatagramLock);
        *StoredTemplateText(i) = text != nullptr ? strdup(text) : nullptr;
        EventSignal(&DatagramLock);
        ParseDatagramResultString(false, false, text, TemplateList(i));
        if (i == kGoingIndex) {
            result.command = SelectedCommand();
            result.extendedFlags = FlagGet(HostCommExtendedResultFlag);
            AssumeCommandStarted(result.command);
        }
    }
    for (int i = 0; i < kTemplateCount; i++) {
        std::vector<std::string> traced;
        for (const RejectedBlock &block : result.rejected[i])
            traced.push_back(block.text);
        if (traced != RejectedInList(TemplateList(i))) result.consistent = false;
    }

    // The datagram.
    tTag tag = {};
    tag.event = event == Event::kLeft ? 0x00 : 0xFF;
    tag.antenna = input.antenna;
    tag.rssi = input.rssi;
    tag.rssiDbm = input.rssiDbm;
    tag.pc = input.pc;
    tag.xpcW1 = input.xpcW1;
    tag.xpcW2 = input.xpcW2;
    // The record holds the EPC last word first.
    tag.epcLength = static_cast<uint8_t>(input.epc.size() < 31 ? input.epc.size() : 31);
    for (size_t i = 0; i < tag.epcLength; i++)
        tag.epc[i] = input.epc[tag.epcLength - 1 - i];
    tag.readResult = input.readResult;
    if (!input.data.empty()) {
        tag.memoryData = static_cast<uint16_t *>(malloc(input.data.size() * sizeof(uint16_t)));
        if (tag.memoryData != nullptr) {
            memcpy(tag.memoryData, input.data.data(), input.data.size() * sizeof(uint16_t));
            tag.dataLength = static_cast<uint8_t>(input.data.size());
        }
    }
    tag.timestampMs = input.timestampMs;
    tag.seenAt = input.seenAtGiven ? input.seenAt : static_cast<uint32_t>(time(nullptr));
    result.seenAt = tag.seenAt;

    uint32_t kind = SendKind(event);
    FlagSet(KeyboardEmulationEnabled, 1);
    SendTagData(kind == 0 ? &tag : nullptr, kind);
    FlagSet(KeyboardEmulationEnabled, 0);
    tData *copy = nullptr;
    if (KeyboardList.PopFront(copy) == 0 && copy != nullptr) {
        result.sent = true;
        result.datagram.assign(reinterpret_cast<const char *>(copy->buffer), copy->length);
        FreeData(copy);
    }
    free(tag.memoryData);
    ReleaseKorvaneState();
    return result;
}

// ---- The report

inline std::string LocalTimeText(uint32_t seenAt) {
    time_t seconds = static_cast<time_t>(seenAt);
    struct tm local;
    if (seconds < 0 || localtime_r(&seconds, &local) == nullptr) return "not a local time";
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

inline std::string FormatReport(const TemplateSource *sources, const PreviewResult &result,
                                Event event, bool fromConfig, bool verbose) {
    std::string report;
    int used = TemplateIndex(event);
    for (int i = 0; i < kTemplateCount; i++) {
        if (!fromConfig && i != used) continue;
        report += std::string(kTemplateNames[i]) + ": " + sources[i].state + "\n";
        for (const RejectedBlock &block : result.rejected[i]) {
            report += "  rejected " + EscapeBytes(block.text) + " at offset " +
                      std::to_string(block.offset) + ": " + block.reason + "\n";
            if (!verbose) continue;
            for (const std::string &line : block.log)
                report += "    | " + line + "\n";
        }
    }
    report += "reader command: " + CommandText(result.command) + "\n";
    const ReaderCommand &command = result.command;
    if (command.kind != ReaderCommand::Kind::kInventory) {
        report += "  from MemoryBank=" + std::to_string(command.bank) +
                  ", Pointer=" + std::to_string(command.pointer) + ", Length=" +
                  (command.length == 0xFFFFFFFF ? std::string("0xFFFFFFFF")
                                                : std::to_string(command.length)) +
                  (command.passwordGiven ? ", Password=" : ", no Password= (0)");
        if (command.skipFirst) report += "; the first byte read is dropped";
        if (command.skipLast) report += "; the last byte read is dropped";
        report += "\n";
    }
    report += "extended result flags: " + FlagsText(result.extendedFlags) + "\n";
    if (SendKind(event) == 0) {
        report += std::string("tag: ") + EventName(event) + ", seen at " +
                  (result.seenAt == kSeenAtUnknown
                       ? std::string("none (time unknown: {Timestamp} renders nothing)")
                       : std::to_string(result.seenAt) + " (" + LocalTimeText(result.seenAt) +
                             " local time)") +
                  "\n";
    }
    report += std::string("datagram: ") + kTemplateNames[used] + " for " +
              (SendKind(event) == 0 ? std::string("a tag that ") + EventName(event)
                                    : std::string("the ") + EventName(event) + " report") +
              ": ";
    if (result.sent) {
        report += std::to_string(result.datagram.size()) + " bytes\n";
    } else if (!sources[used].present) {
        report += "nothing is sent (the template is absent)\n";
    } else {
        report += "nothing is sent (the template renders no bytes)\n";
    }
    if (!result.consistent) {
        report +=
            "warning: parsing block by block found other rejected blocks than parsing "
            "the whole templates; the reasons above may be wrong\n";
    }
    return report;
}

// ---- The tool

// The whole run of korvane-preview on the arguments after the program name;
// returns the exit status.
inline int RunTool(const std::vector<std::string> &args, FILE *out, FILE *err) {
    Options options;
    std::string error;
    int status = ParseOptions(args, &options, &error);
    if (status != kExitOk) {
        fprintf(err, "korvane-preview: %s\n", error.c_str());
        if (status == kExitUsage) fputs("Try 'korvane-preview --help'.\n", err);
        return status;
    }
    if (options.help) {
        fputs(kUsage, out);
        return kExitOk;
    }
    TemplateSource sources[kTemplateCount];
    if (options.haveConfig) {
        status = LoadConfigTemplates(options.configPath, sources, &error);
        if (status != kExitOk) {
            fprintf(err, "korvane-preview: %s\n", error.c_str());
            return status;
        }
    } else {
        TemplatesFromText(options.templateText, options.event, sources);
    }
    PreviewResult result = RunPreview(sources, options.tag, options.event);
    if (!options.quiet) {
        fputs(FormatReport(sources, result, options.event, options.haveConfig, options.verbose)
                  .c_str(),
              err);
        fflush(err);
    }
    if (result.sent) {
        switch (options.output) {
            case Output::kEscaped:
                fputs((EscapeBytes(result.datagram) + "\n").c_str(), out);
                break;
            case Output::kHex:
                fputs(HexDump(result.datagram).c_str(), out);
                break;
            case Output::kRaw:
                fwrite(result.datagram.data(), 1, result.datagram.size(), out);
                break;
        }
    }
    fflush(out);
    return kExitOk;
}

}  // namespace preview

#endif  // KORVANE_TOOLS_PREVIEW_H
