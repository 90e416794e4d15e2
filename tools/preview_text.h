// korvane-preview, the parts that need nothing of Korvane: the command line,
// the tag it describes, and the three ways a datagram is printed (escaped
// text, hex dump, raw bytes). See docs/preview.md.
#ifndef KORVANE_TOOLS_PREVIEW_TEXT_H
#define KORVANE_TOOLS_PREVIEW_TEXT_H

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

namespace preview {

constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsage = 2;

enum class Event { kCame, kLeft, kStart, kHeartbeat, kStop };
enum class Output { kEscaped, kHex, kRaw };

// seenAt of a tag whose reception time is unknown: {Timestamp} renders
// nothing for it.
constexpr uint32_t kSeenAtUnknown = 0xFFFFFFFF;

// The tag of the preview, field by field as Korvane keeps it.
struct TagInput {
    std::vector<uint16_t> epc;  // as Korvane writes it: first word first
    uint8_t antenna = 0;
    uint8_t rssi = 0;
    int16_t rssiDbm = 0;
    uint16_t pc = 0;
    uint16_t xpcW1 = 0;
    uint16_t xpcW2 = 0;
    uint8_t readResult = 0;
    std::vector<uint16_t> data;  // the words read from tag memory
    uint64_t timestampMs = 0;
    bool seenAtGiven = false;  // false: the time the preview runs
    uint32_t seenAt = 0;
};

struct Options {
    bool help = false;
    bool haveTemplate = false;
    std::string templateText;
    bool haveConfig = false;
    std::string configPath;
    Event event = Event::kCame;
    Output output = Output::kEscaped;
    bool quiet = false;
    bool verbose = false;
    TagInput tag;
};

inline const char *EventName(Event event) {
    switch (event) {
        case Event::kCame:
            return "came";
        case Event::kLeft:
            return "left";
        case Event::kStart:
            return "start";
        case Event::kHeartbeat:
            return "heartbeat";
        case Event::kStop:
            return "stop";
    }
    return "?";
}

constexpr char kUsage[] =
    "Usage: korvane-preview [OPTIONS] TEMPLATE\n"
    "       korvane-preview [OPTIONS] -c FILE\n"
    "\n"
    "Prints the datagram Korvane would send for one tag (or one reader report):\n"
    "the template is parsed and rendered by Korvane's own parser, magic word\n"
    "handlers and codings. No reader is used, no socket opened; only FILE is read.\n"
    "The datagram goes to standard output; a report on standard error names the\n"
    "templates, every rejected block with its reason, the reader command and the\n"
    "extended result flags the templates select.\n"
    "\n"
    "Templates:\n"
    "  TEMPLATE, -t, --template TEXT\n"
    "                      the template of the event, the other four absent\n"
    "  -c, --config FILE   a configuration file: its five templates (ComingText,\n"
    "                      GoingText, StartText, HeartbeatText, StopText), each\n"
    "                      applied only with On=\"true\", as Korvane applies them\n"
    "  -e, --event EVENT   came (default: ComingText, with the tag), left\n"
    "                      (GoingText, with the tag), start, heartbeat or stop\n"
    "                      (StartText, HeartbeatText, StopText: no tag)\n"
    "\n"
    "The tag (numbers decimal or 0x-hex; everything 0 unless given):\n"
    "  --epc HEX           the EPC as Korvane writes it in text coding: 4 hex\n"
    "                      digits per word, at most 31 words\n"
    "  --antenna N         antenna byte 0-255: port in bits 0-3, property in 4-7\n"
    "  --rssi N            raw RSSI 0-255\n"
    "  --rssi-dbm N        RSSI in dBm, -32768 to 32767\n"
    "  --pc HEX, --xpc1 HEX, --xpc2 HEX\n"
    "                      PC and XPC words, 1-4 hex digits, 0x optional\n"
    "  --data HEX          the words read from tag memory, 4 hex digits each, at\n"
    "                      most 255 words\n"
    "  --read-result N     result of the memory read 0-255 (0: success)\n"
    "  --timestamp-ms N    the reader's millisecond time stamp ({TimestampMS})\n"
    "  --seen-at TIME      reception time ({Timestamp}): seconds since 1970, a\n"
    "                      local time \"YYYY-MM-DD hh:mm:ss\", or \"none\" (unknown);\n"
    "                      default: now. {Timestamp} is local time: TZ applies\n"
    "\n"
    "Output:\n"
    "  (default)           the bytes as text: \\\\ for a backslash, \\r \\n \\t \\0,\n"
    "                      \\xHH for other bytes outside 0x20-0x7E; one newline ends it\n"
    "  --hex               a hex dump: offset, 16 bytes, the printable ones\n"
    "  --raw               the bytes themselves\n"
    "  Nothing is printed when Korvane would send nothing.\n"
    "  -q, --quiet         no report on standard error\n"
    "  -v, --verbose       the report adds the parser's own log lines for each\n"
    "                      rejected block\n"
    "  -h, --help          this text\n"
    "\n"
    "Exit status: 0 done, 1 bad input (a value, the file), 2 usage.\n";

// ---- Values

// An unsigned number, decimal or "0x"-hex, no sign, nothing after it.
inline bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t *value) {
    const char *digits = text.c_str();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits += 2;
        base = 16;
    }
    if (*digits == '\0') return false;
    for (const char *c = digits; *c != '\0'; c++) {
        unsigned char digit = static_cast<unsigned char>(*c);
        if (base == 16 ? !isxdigit(digit) : !isdigit(digit)) return false;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = strtoull(digits, &end, base);
    if (errno != 0 || *end != '\0' || parsed > max) return false;
    *value = parsed;
    return true;
}

// A signed decimal number from min to max.
inline bool ParseSigned(const std::string &text, long long min, long long max, long long *value) {
    const char *digits = text.c_str();
    if (*digits == '-' || *digits == '+') digits++;
    if (*digits == '\0') return false;
    for (const char *c = digits; *c != '\0'; c++) {
        if (!isdigit(static_cast<unsigned char>(*c))) return false;
    }
    errno = 0;
    char *end = nullptr;
    long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}

inline int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One 16-bit word of 1 to 4 hex digits, "0x" optional.
inline bool ParseWord(const std::string &text, uint16_t *word) {
    size_t first = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
    size_t count = text.size() - first;
    if (count < 1 || count > 4) return false;
    unsigned value = 0;
    for (size_t i = first; i < text.size(); i++) {
        int digit = HexValue(text[i]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    *word = static_cast<uint16_t>(value);
    return true;
}

// Words of exactly 4 hex digits each, at most maxWords of them.
inline bool ParseWords(const std::string &text, size_t maxWords, std::vector<uint16_t> *words) {
    if (text.size() % 4 != 0 || text.size() / 4 > maxWords) return false;
    std::vector<uint16_t> parsed;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint16_t word = 0;
        if (!ParseWord(text.substr(i, 4), &word)) return false;
        parsed.push_back(word);
    }
    *words = parsed;
    return true;
}

// Seconds since 1970 (what Korvane keeps: 32 bits, all bits set meaning
// unknown), "none", or a local time "YYYY-MM-DD hh:mm:ss".
inline bool ParseSeenAt(const std::string &text, uint32_t *seenAt) {
    if (text == "none") {
        *seenAt = kSeenAtUnknown;
        return true;
    }
    uint64_t seconds = 0;
    if (ParseUnsigned(text, 0xFFFFFFFEu, &seconds)) {
        *seenAt = static_cast<uint32_t>(seconds);
        return true;
    }
    struct tm local = {};
    char rest = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &local.tm_year, &local.tm_mon,
               &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &rest) != 6) {
        return false;
    }
    int month = local.tm_mon, day = local.tm_mday, hour = local.tm_hour;
    int minute = local.tm_min, second = local.tm_sec;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = -1;
    time_t converted = mktime(&local);
    // mktime normalises out-of-range fields: a date that changed is no date.
    if (converted == static_cast<time_t>(-1) || local.tm_mon + 1 != month || local.tm_mday != day ||
        local.tm_hour != hour || local.tm_min != minute || local.tm_sec != second ||
        converted < 0 || static_cast<uint64_t>(converted) >= kSeenAtUnknown) {
        return false;
    }
    *seenAt = static_cast<uint32_t>(converted);
    return true;
}

inline bool ParseEvent(const std::string &text, Event *event) {
    for (Event candidate :
         {Event::kCame, Event::kLeft, Event::kStart, Event::kHeartbeat, Event::kStop}) {
        if (text == EventName(candidate)) {
            *event = candidate;
            return true;
        }
    }
    return false;
}

// ---- The command line

// Every option the command line takes: without a value, and with one (as the
// next argument, or for long names also after "=").
constexpr const char *kFlagOptions[] = {"-h", "--help",    "-q",    "--quiet",
                                        "-v", "--verbose", "--hex", "--raw"};
constexpr const char *kValueOptions[] = {"-t",
                                         "--template",
                                         "-c",
                                         "--config",
                                         "-e",
                                         "--event",
                                         "--epc",
                                         "--antenna",
                                         "--rssi",
                                         "--rssi-dbm",
                                         "--pc",
                                         "--xpc1",
                                         "--xpc2",
                                         "--data",
                                         "--read-result",
                                         "--timestamp-ms",
                                         "--seen-at"};

// Parses the arguments after the program name. kExitOk, or kExitBadInput for
// a value that cannot be taken and kExitUsage for a malformed command line,
// each with `error` set.
inline int ParseOptions(const std::vector<std::string> &args, Options *options,
                        std::string *error) {
    Options parsed;
    bool hex = false, raw = false;
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); i++) {
        std::string arg = args[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            if (parsed.haveTemplate) {
                *error = "more than one template given";
                return kExitUsage;
            }
            parsed.haveTemplate = true;
            parsed.templateText = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            inlineValue = true;
        }
        bool flag = false;
        for (const char *candidate : kFlagOptions)
            flag = flag || name == candidate;
        if (flag) {
            if (inlineValue) {
                *error = "option " + name + " takes no value";
                return kExitUsage;
            }
            if (name == "-h" || name == "--help") parsed.help = true;
            if (name == "-q" || name == "--quiet") parsed.quiet = true;
            if (name == "-v" || name == "--verbose") parsed.verbose = true;
            if (name == "--hex") hex = true;
            if (name == "--raw") raw = true;
            continue;
        }
        bool known = false;
        for (const char *candidate : kValueOptions)
            known = known || name == candidate;
        if (!known) {
            *error = "unknown option " + name;
            return kExitUsage;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                *error = "option " + name + " needs a value";
                return kExitUsage;
            }
            value = args[++i];
        }

        uint64_t number = 0;
        long long signedNumber = 0;
        bool ok = true;
        if (name == "-t" || name == "--template") {
            if (parsed.haveTemplate) {
                *error = "more than one template given";
                return kExitUsage;
            }
            parsed.haveTemplate = true;
            parsed.templateText = value;
        } else if (name == "-c" || name == "--config") {
            if (parsed.haveConfig) {
                *error = "more than one configuration file given";
                return kExitUsage;
            }
            parsed.haveConfig = true;
            parsed.configPath = value;
        } else if (name == "-e" || name == "--event") {
            ok = ParseEvent(value, &parsed.event);
        } else if (name == "--epc") {
            ok = ParseWords(value, 31, &parsed.tag.epc);
        } else if (name == "--antenna") {
            ok = ParseUnsigned(value, 255, &number);
            parsed.tag.antenna = static_cast<uint8_t>(number);
        } else if (name == "--rssi") {
            ok = ParseUnsigned(value, 255, &number);
            parsed.tag.rssi = static_cast<uint8_t>(number);
        } else if (name == "--rssi-dbm") {
            ok = ParseSigned(value, -32768, 32767, &signedNumber);
            parsed.tag.rssiDbm = static_cast<int16_t>(signedNumber);
        } else if (name == "--pc") {
            ok = ParseWord(value, &parsed.tag.pc);
        } else if (name == "--xpc1") {
            ok = ParseWord(value, &parsed.tag.xpcW1);
        } else if (name == "--xpc2") {
            ok = ParseWord(value, &parsed.tag.xpcW2);
        } else if (name == "--data") {
            ok = ParseWords(value, 255, &parsed.tag.data);
        } else if (name == "--read-result") {
            ok = ParseUnsigned(value, 255, &number);
            parsed.tag.readResult = static_cast<uint8_t>(number);
        } else if (name == "--timestamp-ms") {
            ok = ParseUnsigned(value, UINT64_MAX, &number);
            parsed.tag.timestampMs = number;
        } else if (name == "--seen-at") {
            ok = ParseSeenAt(value, &parsed.tag.seenAt);
            parsed.tag.seenAtGiven = true;
        }
        if (!ok) {
            *error = "bad value \"" + value + "\" for " + name;
            return kExitBadInput;
        }
    }
    if (parsed.help) {
        *options = parsed;
        return kExitOk;
    }
    if (hex && raw) {
        *error = "--hex and --raw exclude each other";
        return kExitUsage;
    }
    if (parsed.haveTemplate == parsed.haveConfig) {
        *error = parsed.haveTemplate ? "a template and a configuration file given: choose one"
                                     : "no template and no configuration file given";
        return kExitUsage;
    }
    parsed.output = hex ? Output::kHex : raw ? Output::kRaw : Output::kEscaped;
    *options = parsed;
    return kExitOk;
}

// ---- Printing a datagram

// The bytes as one line of text that gives them back unambiguously: printable
// ASCII (0x20-0x7E) stands for itself except the backslash, written "\\";
// CR, LF, TAB and NUL are "\r", "\n", "\t" and "\0"; every other byte is
// "\x" and two upper-case hex digits.
inline std::string EscapeBytes(const std::string &bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        switch (byte) {
            case '\\':
                text += "\\\\";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\0':
                text += "\\0";
                break;
            default:
                if (byte >= 0x20 && byte <= 0x7E) {
                    text += static_cast<char>(byte);
                } else {
                    text += "\\x";
                    text += kDigits[byte >> 4];
                    text += kDigits[byte & 0x0F];
                }
        }
    }
    return text;
}

// 16 bytes a line: the offset in 8 hex digits, the bytes in hex (a gap after
// the eighth), then the printable ones between bars, others as ".".
inline std::string HexDump(const std::string &bytes) {
    std::string dump;
    char piece[24];
    for (size_t line = 0; line < bytes.size(); line += 16) {
        snprintf(piece, sizeof(piece), "%08zx ", line);
        dump += piece;
        std::string shown;
        for (size_t i = line; i < line + 16; i++) {
            if (i - line == 8) dump += " ";
            if (i < bytes.size()) {
                unsigned char byte = static_cast<unsigned char>(bytes[i]);
                snprintf(piece, sizeof(piece), " %02x", byte);
                dump += piece;
                shown += byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
            } else {
                dump += "   ";
            }
        }
        dump += "  |" + shown + "|\n";
    }
    return dump;
}

}  // namespace preview

#endif  // KORVANE_TOOLS_PREVIEW_TEXT_H
