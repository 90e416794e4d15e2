// korvane-preview, the run. ParseTemplateSet parses without the reader, its
// observer telling the verdict on every block; keyboard emulation is on, with
// no client and no keyboard thread, so the copy SendTagData queues for the
// keyboard is the datagram the TCP clients get.
#include "preview.h"

#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "config/config.h"
#include "config/xml.h"
#include "core/app.h"
#include "core/log.h"
#include "datagram/handlers.h"
#include "datagram/template.h"
#include "output/keyboard.h"
#include "output/keyboard_layouts.h"
#include "output/send.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

namespace preview {
namespace {

const char *const kTemplateNames[kTemplateCount] = {"ComingText", "GoingText", "StartText",
                                                    "HeartbeatText", "StopText"};
// Each event renders the template of the same index; the first two a tag's.
const char *const kEventNames[kTemplateCount] = {"came", "left", "start", "heartbeat", "stop"};
// seenAt of a tag whose reception time is unknown.
constexpr uint32_t kSeenAtUnknown = 0xFFFFFFFF;

const char kUsage[] =
    "Usage: korvane-preview [OPTIONS] TEMPLATE\n"
    "       korvane-preview [OPTIONS] -c FILE\n"
    "\n"
    "Prints the datagram Korvane would send for one tag (or one reader report),\n"
    "parsed and rendered by Korvane's own code, with no reader and no socket; a\n"
    "report on standard error names the templates, every rejected block with its\n"
    "reason, and the reader command and extended result flags they select.\n"
    "\n"
    "  TEMPLATE, -t, --template TEXT\n"
    "                      the template of the event, the other four absent\n"
    "  -c, --config FILE   the five templates of a configuration file, each applied\n"
    "                      only with On=\"true\", as Korvane applies them\n"
    "  -e, --event EVENT   came (default) or left: ComingText or GoingText, with the\n"
    "                      tag; start, heartbeat or stop: StartText, HeartbeatText\n"
    "                      or StopText, no tag\n"
    "The tag (numbers decimal or 0x-hex; everything 0 unless given):\n"
    "  --epc HEX           the EPC as Korvane writes it: 4 hex digits a word, <= 31\n"
    "  --antenna N         antenna byte 0-255: port in bits 0-3, property in 4-7\n"
    "  --rssi N            raw RSSI 0-255\n"
    "  --rssi-dbm N        RSSI in dBm, -32768 to 32767\n"
    "  --pc HEX, --xpc1 HEX, --xpc2 HEX\n"
    "                      PC and XPC words, 1-4 hex digits, 0x optional\n"
    "  --data HEX          the words read from tag memory, 4 hex digits each, <= 255\n"
    "  --read-result N     result of the memory read 0-255 (0: success)\n"
    "  --timestamp-ms N    the reader's millisecond time stamp ({TimestampMS})\n"
    "  --seen-at TIME      reception time ({Timestamp}, local time: TZ applies):\n"
    "                      seconds since 1970, \"YYYY-MM-DD hh:mm:ss\" or \"none\"\n"
    "                      (unknown); default: now\n"
    "Output (nothing when Korvane would send nothing):\n"
    "  (default)           the bytes as one line of text: \\\\ \\r \\n \\t \\0, and \\xHH\n"
    "                      for other bytes outside 0x20-0x7E\n"
    "  --hex               a hex dump as hexdump -C shows it\n"
    "  --raw               the bytes themselves\n"
    "  -l, --layout NAME   then the keyboard reports Korvane types for the datagram\n"
    "                      with that layout, one line each, and the characters of\n"
    "                      the datagram the layout cannot type\n"
    "  -q, --quiet         no report\n"
    "  -v, --verbose       Korvane's own log of the parse, before the report\n"
    "  -h, --help          this text\n"
    "Exit status: 0 done, 1 bad input (a value, the file, a layout), 2 usage.\n";

// The options without a short form answer to letters the short options do
// not use.
constexpr int kValue = required_argument, kFlag = no_argument;
// clang-format off
const option kLongOptions[] = {
    {"template", kValue, nullptr, 't'},    {"config", kValue, nullptr, 'c'},
    {"event", kValue, nullptr, 'e'},       {"quiet", kFlag, nullptr, 'q'},
    {"verbose", kFlag, nullptr, 'v'},      {"help", kFlag, nullptr, 'h'},
    {"hex", kFlag, nullptr, 'X'},          {"raw", kFlag, nullptr, 'R'},
    {"epc", kValue, nullptr, 'E'},         {"antenna", kValue, nullptr, 'A'},
    {"rssi", kValue, nullptr, 'r'},        {"rssi-dbm", kValue, nullptr, 'd'},
    {"pc", kValue, nullptr, 'p'},          {"xpc1", kValue, nullptr, '1'},
    {"xpc2", kValue, nullptr, '2'},        {"data", kValue, nullptr, 'D'},
    {"read-result", kValue, nullptr, 'F'}, {"timestamp-ms", kValue, nullptr, 'T'},
    {"seen-at", kValue, nullptr, 'S'},     {"layout", kValue, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

struct tOptions {
    const char *templateText = nullptr, *configPath = nullptr;
    int event = 0;      // index of kEventNames
    std::string flags;  // the letters of the options without a value given (see Given)
    tTag tag = {};
    std::vector<uint16_t> epc;   // as Korvane writes it: first word first
    std::vector<uint16_t> data;  // the words read from tag memory
    const tKeyboardLayout *layout = nullptr;
};

// What a run found.
struct tPreview {
    char *texts[kTemplateCount] = {};  // handed to ParseTemplateSet
    std::string states[kTemplateCount];
    std::vector<std::string> rejected[kTemplateCount];  // report lines
    tReaderCommand command = {};
    bool present = false, sent = false;  // present: the event's template
    std::string datagram;
};

bool Given(const tOptions &options, char name) {
    return options.flags.find(name) != std::string::npos;
}

// Tells of a mistake on `err` (getopt has told of its own); returns `status`.
int Fail(FILE *err, int status, const std::string &message) {
    if (!message.empty()) fprintf(err, "korvane-preview: %s\n", message.c_str());
    if (status == kExitUsage) fputs("Try 'korvane-preview --help'.\n", err);
    return status;
}

// ---- Values

// An unsigned number, decimal or "0x"-hex, no sign, nothing after it.
template <typename T>
bool ParseNumber(const char *text, uint64_t max, T *field) {
    bool hex = strncasecmp(text, "0x", 2) == 0;
    const char *digits = text + (hex ? 2 : 0);
    size_t length = strlen(digits);
    if (length == 0 || strspn(digits, hex ? "0123456789abcdefABCDEF" : "0123456789") != length)
        return false;
    errno = 0;
    unsigned long long value = strtoull(digits, nullptr, hex ? 16 : 10);
    if (errno != 0 || value > max) return false;
    *field = static_cast<T>(value);
    return true;
}

// One 16-bit word of 1 to 4 hex digits, "0x" optional.
bool ParseWord(const char *text, uint16_t *word) {
    if (strncasecmp(text, "0x", 2) == 0) text += 2;
    size_t count = strlen(text);
    return count >= 1 && count <= 4 &&
           ParseNumber(("0x" + std::string(text)).c_str(), 0xFFFF, word);
}

// Words of exactly 4 hex digits each, at most `maxWords` of them.
bool ParseWords(const char *text, size_t maxWords, std::vector<uint16_t> *words) {
    size_t length = strlen(text);
    if (length % 4 != 0 || length / 4 > maxWords) return false;
    words->assign(length / 4, 0);
    for (size_t i = 0; i < words->size(); i++) {
        if (!ParseNumber(("0x" + std::string(text + 4 * i, 4)).c_str(), 0xFFFF, &(*words)[i]))
            return false;
    }
    return true;
}

// Seconds since 1970 (what Korvane keeps: 32 bits, all bits set meaning
// unknown), "none", or a local time "YYYY-MM-DD hh:mm:ss".
bool ParseSeenAt(const char *text, uint32_t *seenAt) {
    if (strcmp(text, "none") == 0) {
        *seenAt = kSeenAtUnknown;
        return true;
    }
    if (ParseNumber(text, kSeenAtUnknown - 1, seenAt)) return true;
    struct tm local = {};
    const char *rest = strptime(text, "%Y-%m-%d %H:%M:%S", &local);
    if (rest == nullptr || *rest != '\0') return false;
    struct tm given = local;
    local.tm_isdst = -1;
    time_t converted = mktime(&local);
    // mktime normalises out-of-range fields: a time that changed is none.
    // Compared in 64 bits: time_t is 32 bits wide on the ARM build.
    if (converted < 0 || static_cast<long long>(converted) >= kSeenAtUnknown ||
        local.tm_mday != given.tm_mday || local.tm_hour != given.tm_hour ||
        local.tm_min != given.tm_min) {
        return false;
    }
    *seenAt = static_cast<uint32_t>(converted);
    return true;
}

// The value of an option that takes one; false when it cannot be taken.
bool TakeValue(int option, const char *value, tOptions &options) {
    tTag &tag = options.tag;
    if (option == 'e') {
        for (int i = 0; i < kTemplateCount; i++)
            if (strcmp(value, kEventNames[i]) == 0) options.event = i;
        return strcmp(value, kEventNames[options.event]) == 0;
    }
    if (option == 'd') {
        bool negative = *value == '-';
        uint16_t magnitude = 0;
        bool taken = ParseNumber(value + (negative || *value == '+' ? 1 : 0),
                                 negative ? 32768 : 32767, &magnitude);
        tag.rssiDbm = static_cast<int16_t>(negative ? -magnitude : magnitude);
        return taken;
    }
    if (option == 'S') return ParseSeenAt(value, &tag.seenAt);
    if (option == 'l') {
        options.layout = FindKeyboardLayout(value);
        return options.layout != nullptr;
    }
    if (option == 'E') return ParseWords(value, 31, &options.epc);
    if (option == 'D') return ParseWords(value, 255, &options.data);
    if (option == 'A') return ParseNumber(value, 255, &tag.antenna);
    if (option == 'r') return ParseNumber(value, 255, &tag.rssi);
    if (option == 'F') return ParseNumber(value, 255, &tag.readResult);
    if (option == 'T') return ParseNumber(value, UINT64_MAX, &tag.timestampMs);
    if (option == 'p') return ParseWord(value, &tag.pc);
    if (option == '1') return ParseWord(value, &tag.xpcW1);
    return option == '2' && ParseWord(value, &tag.xpcW2);
}

// kExitOk, or the status of a mistake told on `err`.
int ParseOptions(int argc, char **argv, tOptions &options, FILE *err) {
    std::vector<const char *> templates, configs;
    options.tag.seenAt = static_cast<uint32_t>(time(nullptr));
    optind = 0;  // a whole new scan, also for a second run in one process
    int given;
    while ((given = getopt_long(argc, argv, "t:c:e:l:qvh", kLongOptions, nullptr)) != -1) {
        const option *named = kLongOptions;
        while (named->name != nullptr && named->val != given)
            named++;
        if (given == '?') return Fail(err, kExitUsage, "");
        if (given == 't' || given == 'c') {
            (given == 't' ? templates : configs).push_back(optarg);
        } else if (named->has_arg == no_argument) {
            options.flags += static_cast<char>(given);
        } else if (given == 'l' && !TakeValue(given, optarg, options)) {
            std::string known;
            for (size_t i = 0; i < kKeyboardLayoutCount; i++)
                known += std::string(" ") + kKeyboardLayouts[i].name;
            return Fail(err, kExitBadInput,
                        "unknown keyboard layout \"" + std::string(optarg) + "\"; known:" + known);
        } else if (!TakeValue(given, optarg, options)) {
            return Fail(err, kExitBadInput,
                        "bad value \"" + std::string(optarg) + "\" for --" + named->name);
        }
    }
    templates.insert(templates.end(), argv + optind, argv + argc);
    if (Given(options, 'h')) return kExitOk;
    if (templates.size() > 1) return Fail(err, kExitUsage, "more than one template given");
    if (configs.size() > 1) return Fail(err, kExitUsage, "more than one configuration file given");
    if (Given(options, 'X') && Given(options, 'R'))
        return Fail(err, kExitUsage, "--hex and --raw exclude each other");
    if (templates.size() + configs.size() != 1) {
        return Fail(err, kExitUsage,
                    templates.empty() ? "no template and no configuration file given"
                                      : "a template and a configuration file given: choose one");
    }
    options.templateText = templates.empty() ? nullptr : templates[0];
    options.configPath = configs.empty() ? nullptr : configs[0];
    return kExitOk;
}

// ---- The templates

// The template of the event from the command line, or the five of a
// configuration file, each present exactly when Korvane applies it.
int LoadTemplates(const tOptions &options, tPreview &preview, FILE *err) {
    if (options.templateText != nullptr) {
        for (std::string &state : preview.states)
            state = "absent (not given)";
        preview.states[options.event] = "given on the command line";
        preview.texts[options.event] = strdup(options.templateText);
        return kExitOk;
    }
    const std::string path = options.configPath;
    if (access(path.c_str(), R_OK) != 0)
        return Fail(err, kExitBadInput, path + ": " + strerror(errno));
    xmlDocPtr document = LoadXmlDocument(path.c_str(), false);
    if (document == nullptr) return Fail(err, kExitBadInput, path + ": not an XML document");
    xmlNodePtr root = GetRootElement(document, "KorvaneConfiguration", false);
    if (root == nullptr) {
        xmlFreeDoc(document);
        return Fail(err, kExitBadInput,
                    path +
                        ": the root element is not <KorvaneConfiguration> (Korvane would "
                        "apply no template from it)");
    }
    xmlNodePtr datagrams = FindElement(root, "Datagrams", false);
    for (int i = 0; i < kTemplateCount; i++) {
        char why[64];
        const char *text = reinterpret_cast<const char *>(
            TemplateContent(FindElement(datagrams, kTemplateNames[i], false), why, sizeof(why)));
        preview.texts[i] = text != nullptr ? strdup(text) : nullptr;
        preview.states[i] =
            text != nullptr ? std::string("on") : std::string("absent (") + why + ")";
    }
    xmlFreeDoc(document);
    return kExitOk;
}

// ---- Korvane's parse and rendering

// Why the parser rejected a block, from its report.
std::string Reason(const tBlockReport &block) {
    const tReadSettings &pending = block.Pending, &adopted = block.Adopted;
    using std::to_string;
    switch (block.Verdict) {
        case kBlockUnknownWord:  // never empty: that is an empty word
            return "\"" + std::string(block.Word) + "\" is not a magic word" +
                   (isspace(static_cast<unsigned char>(block.Word[strlen(block.Word) - 1]))
                        ? " (white space after a word is part of it)"
                        : "");
        case kBlockRefusedValue:
            return std::string(block.Word) + " refused the value \"" + block.Value + "\"";
        case kBlockIncompleteSettings:
            return std::string(
                       "incomplete read settings: the first block that gives any must give "
                       "MemoryBank=, Pointer= and Length= (missing:") +
                   (pending.MemoryBankSet ? "" : " MemoryBank=") +
                   (pending.PointerSet ? "" : " Pointer=") + (pending.LengthSet ? "" : " Length=") +
                   ")";
        case kBlockTooManyWords:
            return "Length=" + to_string(pending.Length) +
                   " from Pointer=" + to_string(pending.Pointer) + " takes " +
                   to_string(ReadWordCount(pending.Pointer, pending.Length, nullptr, nullptr)) +
                   " words; one read delivers at most 255";
        case kBlockOtherSettings:
            return "read settings that do not repeat the adopted ones (MemoryBank=" +
                   to_string(adopted.MemoryBank) + ", Pointer=" + to_string(adopted.Pointer) +
                   ", Length=" + to_string(adopted.Length) + ")";
    }
    if (block.Verdict == kBlockNoWord) return "no magic word in the block";
    if (block.Verdict == kBlockEmptyWord) return "an empty word (only white space)";
    if (block.Verdict == kBlockCodingAlone)
        return "Coding= leaves no word in the block to apply to";
    return "read settings after the memory read has started: only ComingText and GoingText "
           "choose it";
}

// The parser's observer: a report line for every rejected block.
void NoteBlock(void *context, const tBlockReport &block) {
    if (block.Verdict == kBlockAccepted || block.Template < 0) return;
    static_cast<std::vector<std::string> *>(context)[block.Template].push_back(
        "  rejected " + EscapeBytes(std::string(block.Text, block.Length)) + " at offset " +
        std::to_string(block.Offset) + ": " + Reason(block) + "\n");
}

// Parses the templates as Korvane applies a set of them and renders the
// datagram of the event; Korvane's state is reset before and after.
void RunPreview(tOptions &options, tPreview &preview) {
    ResetProcessState();
    FlagSet(KeyboardEmulationEnabled, 1);  // somebody listens
    tParseObserver observer = {NoteBlock, preview.rejected};
    ParseObserver = &observer;
    // Korvane logs to standard output, which carries the datagram.
    int savedOutput = -1;
    if (Given(options, 'v')) {
        fflush(stdout);
        savedOutput = dup(STDOUT_FILENO);
        if (savedOutput >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) FlagSet(Verbose, 1);
    }
    preview.present = preview.texts[options.event] != nullptr;
    preview.command = ParseTemplateSet(preview.texts, false);  // takes the texts
    FlagSet(Verbose, 0);
    if (savedOutput >= 0) {
        fflush(stdout);
        dup2(savedOutput, STDOUT_FILENO);
        close(savedOutput);
    }
    ParseObserver = nullptr;

    // The record holds the EPC last word first.
    tTag &tag = options.tag;
    tag.event = options.event == 1 ? 0x00 : 0xFF;
    tag.epcLength = static_cast<uint8_t>(options.epc.size());
    for (size_t i = 0; i < options.epc.size(); i++)
        tag.epc[i] = options.epc[options.epc.size() - 1 - i];
    tag.memoryData = options.data.empty() ? nullptr : options.data.data();
    tag.dataLength = static_cast<uint8_t>(options.data.size());
    uint32_t kind = options.event < 2 ? 0 : options.event - 1;
    SendTagData(kind == 0 ? &tag : nullptr, kind);
    tData *copy = nullptr;
    if (KeyboardList.PopFront(copy) == 0 && copy != nullptr) {
        preview.sent = true;
        preview.datagram.assign(reinterpret_cast<const char *>(copy->buffer), copy->length);
        FreeData(copy);
    }
    ResetProcessState();
}

// ---- The report

std::string FlagsText(uint8_t flags) {
    static const struct {
        uint8_t bit;
        const char *words;
    } kBits[] = {{kExtendedResultAntenna, "AntennaPort/AntennaProperty"},
                 {kExtendedResultRssi, "RSSI"},
                 {kExtendedResultTimestamp, "Timestamp"},
                 {kExtendedResultProtocolControl, "PC/XPC_W1/XPC_W2"},
                 {kExtendedResultRssiDbm, "RSSIDBM"},
                 {kExtendedResultTimestampMs, "TimestampMS"}};
    if (flags == 0) return "0x00 (none: not sent)";
    char text[8];
    snprintf(text, sizeof(text), "0x%02X (", flags);
    std::string words = text;
    for (const auto &bit : kBits) {
        if ((flags & bit.bit) != 0)
            words += (words.back() == '(' ? "" : ", ") + std::string(bit.words);
    }
    return words + ")";
}

void PrintReport(const tOptions &options, const tPreview &preview, FILE *err) {
    int event = options.event;
    for (int i = 0; i < kTemplateCount; i++) {
        if (options.configPath == nullptr && i != event) continue;
        fprintf(err, "%s: %s\n", kTemplateNames[i], preview.states[i].c_str());
        for (const std::string &line : preview.rejected[i])
            fputs(line.c_str(), err);
    }
    const tReadSettings &settings = preview.command.Settings;
    tReaderCall call = PlanReaderCall(settings);
    fprintf(err, "reader command: %s", call.Name);
    if (call.Read) {
        fprintf(err, "(password=%u, bank=%u, wordAddress=%u, wordCount=%u)\n", call.Password,
                call.MemoryBank, call.WordAddress, call.WordCount);
        fprintf(
            err, "  from MemoryBank=%u, Pointer=%u, Length=%s%s%s%s", settings.MemoryBank,
            settings.Pointer,
            settings.Length == 0xFFFFFFFF ? "0xFFFFFFFF" : std::to_string(settings.Length).c_str(),
            settings.PasswordSet ? ", Password=" : ", no Password= (0)",
            call.SkipFirst ? "; the first byte read is dropped" : "",
            call.SkipLast ? "; the last byte read is dropped" : "");
    }
    fprintf(err, "\nextended result flags: %s\n",
            FlagsText(preview.command.ExtendedResultFlags).c_str());
    uint32_t seenAt = options.tag.seenAt;
    time_t seconds = seenAt;
    struct tm local;
    char localText[32] = "not a local time";
    if (localtime_r(&seconds, &local) != nullptr)
        strftime(localText, sizeof(localText), "%Y-%m-%d %H:%M:%S", &local);
    std::string seen = seenAt == kSeenAtUnknown
                           ? "none (time unknown: {Timestamp} renders nothing)"
                           : std::to_string(seenAt) + " (" + localText + " local time)";
    if (event < 2) fprintf(err, "tag: %s, seen at %s\n", kEventNames[event], seen.c_str());
    fprintf(err, "datagram: %s for %s%s%s: ", kTemplateNames[event],
            event < 2 ? "a tag that " : "the ", kEventNames[event], event < 2 ? "" : " report");
    if (preview.sent) {
        fprintf(err, "%zu bytes\n", preview.datagram.size());
    } else {
        fprintf(err, "nothing is sent (the template %s)\n",
                preview.present ? "renders no bytes" : "is absent");
    }
}

// The reports that type `datagram` with `layout` from a released keyboard,
// one line each in hex, and the characters the layout cannot type.
std::string KeyboardReports(const std::string &datagram, const tKeyboardLayout *layout) {
    std::string lines;
    uint8_t previousUsage = HidKeyTable[kHidRelease].usage;
    auto addLine = [&lines](tHidKey key) {
        char line[32];
        snprintf(line, sizeof(line), "%02X 00 %02X 00 00 00 00 00\n", key.modifier, key.usage);
        lines += line;
    };
    for (char byte : datagram) {
        tHidKey reports[kMaxCharReports];
        size_t count = CharReports(layout, static_cast<uint8_t>(byte), &previousUsage, reports);
        for (size_t k = 0; k < count; k++)
            addLine(reports[k]);
    }
    addLine(HidKeyTable[kHidRelease]);
    char list[kUntypableListSize];
    bool none = UntypableCharacters(layout, reinterpret_cast<const uint8_t *>(datagram.data()),
                                    datagram.size(), list) == 0;
    return lines + "layout " + layout->name +
           " cannot type: " + (none ? std::string("none") : "\"" + std::string(list) + "\"") + "\n";
}

}  // namespace

std::string EscapeBytes(const std::string &bytes) {
    static const std::string kNamed("\\\r\n\t\0", 5), kLetters = "\\rnt0";
    std::string text;
    char hex[8];
    for (char byte : bytes) {
        size_t named = kNamed.find(byte);
        if (named != std::string::npos) {
            text += std::string("\\") + kLetters[named];
        } else if (byte >= 0x20 && byte <= 0x7E) {
            text += byte;
        } else {
            text.append(hex,
                        snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned char>(byte)));
        }
    }
    return text;
}

std::string HexDump(const std::string &bytes) {
    std::string dump;
    char hex[24];
    for (size_t line = 0; line < bytes.size(); line += 16) {
        std::string shown;
        dump.append(hex, snprintf(hex, sizeof(hex), "%08zx ", line));
        for (size_t i = line; i < line + 16; i++) {
            unsigned char byte = i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
            snprintf(hex, sizeof(hex), " %02x", byte);
            dump += std::string(i == line + 8 ? " " : "") + (i < bytes.size() ? hex : "   ");
            if (i < bytes.size()) shown += byte >= 0x20 && byte <= 0x7E ? byte : '.';
        }
        dump += "  |" + shown + "|\n";
    }
    return dump;
}

int RunTool(int argc, char **argv, FILE *out, FILE *err) {
    tOptions options;
    int status = ParseOptions(argc, argv, options, err);
    if (status == kExitOk && Given(options, 'h')) fputs(kUsage, out);
    if (status != kExitOk || Given(options, 'h')) return status;
    tPreview preview;
    status = LoadTemplates(options, preview, err);
    if (status != kExitOk) return status;
    RunPreview(options, preview);
    if (!Given(options, 'q')) PrintReport(options, preview, err);
    fflush(err);
    const std::string &datagram = preview.datagram;
    std::string shown = Given(options, 'X') ? HexDump(datagram) : EscapeBytes(datagram) + "\n";
    if (preview.sent && Given(options, 'R')) fwrite(datagram.data(), 1, datagram.size(), out);
    if (preview.sent && !Given(options, 'R')) fputs(shown.c_str(), out);
    if (preview.sent && options.layout != nullptr)
        fputs(KeyboardReports(datagram, options.layout).c_str(), out);
    fflush(out);
    return kExitOk;
}

}  // namespace preview
