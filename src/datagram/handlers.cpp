// The magic word handlers.
#include "datagram/handlers.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/flags.h"
#include "core/log.h"
#include "datagram/codings.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "reader/tag.h"

// Longest texts plus NUL: "15", "15", "255", "-32768", "YYYY-MM-DD hh:mm:ss"
// (a 32-bit seenAt stays within four-digit years), "18446744073709551615".
static constexpr size_t kAntennaPortTextSize = 3;
static constexpr size_t kAntennaPropertyTextSize = 3;
static constexpr size_t kRssiTextSize = 4;
static constexpr size_t kRssiDbmTextSize = 7;
static constexpr size_t kTimestampTextSize = 20;
static constexpr size_t kTimestampMsTextSize = 21;

// seenAt of a tag whose time is unknown.
static constexpr uint32_t kNoTime = 0xFFFFFFFF;

// "MemoryBank=" renders this before a failed read's result unless "Error="
// gave another prefix.
static const char kDefaultErrorPrefix[] = "Error 0x";

// Bytes of "LF", "CR", "TAB", "NUL" and "STX", by word code from 12 on.
static constexpr uint32_t kFirstFormatCode = 12;
static constexpr uint8_t kFormatBytes[] = {0x0A, 0x0D, 0x09, 0x00, 0x02};

static void ReleaseText(tMagicWordSlot *slot) {
    free(slot->Text);
    slot->Text = nullptr;
    slot->TextLength = 0;
}

// The first step of every rendering word: drops the previous text. True when
// there is a tag to render.
static bool BeginRender(const tTag *tag, tMagicWordSlot *slot) {
    ReleaseText(slot);
    return tag != nullptr;
}

// A text of at most size - 1 characters as the slot's Text.
static uint32_t RenderFormatted(tMagicWordSlot *slot, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
static uint32_t RenderFormatted(tMagicWordSlot *slot, size_t size, const char *format, ...) {
    char *text = static_cast<char *>(malloc(size));
    if (text == nullptr) return 1;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(text, size, format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= size) {
        free(text);
        return 1;
    }
    slot->Text = reinterpret_cast<uint8_t *>(text);
    slot->TextLength = static_cast<uint32_t>(written);
    return 0;
}

// A decimal number as the slot's Text, as "%llu" (or "%lli" when `negative`)
// would write it, in at most size - 1 characters. Numbers are written for
// every datagram, and printf's machinery was a good part of the render time.
static uint32_t RenderDecimal(tMagicWordSlot *slot, size_t size, unsigned long long magnitude,
                              bool negative) {
    char digits[24];
    size_t first = sizeof(digits);
    do {
        digits[--first] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits[--first] = '-';
    size_t length = sizeof(digits) - first;
    if (length >= size) return 1;
    char *text = static_cast<char *>(malloc(length));
    if (text == nullptr) return 1;
    memcpy(text, digits + first, length);
    slot->Text = reinterpret_cast<uint8_t *>(text);
    slot->TextLength = static_cast<uint32_t>(length);
    return 0;
}

static uint32_t RenderUnsigned(tMagicWordSlot *slot, size_t size, unsigned long long value) {
    return RenderDecimal(slot, size, value, false);
}

static uint32_t CodeWithElementCoding(const uint8_t *coding, const uint16_t *words,
                                      uint32_t wordCount, tMagicWordSlot *slot, uint8_t skipFirst,
                                      uint8_t skipLast, uint8_t reverseOrder) {
    if (coding == nullptr) return 1;
    return CodeWords(*coding, words, wordCount, slot, skipFirst, skipLast, reverseOrder);
}

static const char *ValueText(const char *value) {
    return value != nullptr ? value : "";
}

static void AskForExtendedResult(uint8_t bit) {
    HostCommExtendedResultFlag.fetch_or(bit, std::memory_order_relaxed);
}

// Reads a number the way "%u" (base 10) or "%i" (base 0) reads one: leading
// white space, a sign, and for base 0 a "0x" or "0" prefix; text after it is
// ignored. It is read into 64 bits on every word size, so a number too large
// for the field is seen as such rather than wrapped into range. False when
// there is no number or it does not fit 64 bits.
static bool ScanNumber(const char *text, int base, long long *number) {
    char *end = nullptr;
    errno = 0;
    long long parsed = strtoll(text, &end, base);
    if (end == text || errno == ERANGE) return false;
    *number = parsed;
    return true;
}

// "%u" for a 32-bit field: a negative number counts from 2^32 down as with
// "%u", but a magnitude above 0xFFFFFFFF does not fit and fails.
static bool ScanUnsigned32(const char *text, uint32_t *number) {
    constexpr long long kMax = 0xFFFFFFFFLL;
    long long parsed = 0;
    if (!ScanNumber(text, 10, &parsed) || parsed > kMax || parsed < -kMax) return false;
    *number = static_cast<uint32_t>(parsed);
    return true;
}

// Pointer, length and password: "0x" (either case) and up to 8 hex digits, or
// else, also when no hex digit follows the prefix, unsigned decimal. Text
// after the number is ignored.
static uint32_t ReadSettingNumber(const char *value, uint32_t *number) {
    unsigned int parsed = 0;
    // At most eight digits: always within 32 bits.
    if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X') &&
        sscanf(value + 2, "%08X", &parsed) == 1) {
        *number = parsed;
        return 0;
    }
    return ScanUnsigned32(value, number) ? 0 : 1;
}

uint32_t HandleMagicWordEpc(uint32_t mode, const char *, const tTag *tag, tMagicWordSlot *slot,
                            uint8_t *coding) {
    if (mode == kMagicWordParse) return 0;
    if (!BeginRender(tag, slot)) return 0;
    uint32_t wordCount = tag->epcLength;
    constexpr uint32_t kMaxEpcWords = sizeof(tag->epc) / sizeof(tag->epc[0]);
    if (wordCount > kMaxEpcWords) wordCount = kMaxEpcWords;
    return CodeWithElementCoding(coding, tag->epc, wordCount, slot, 0, 0, 1);
}

uint32_t HandleMagicWordCoding(uint32_t mode, const char *value, const tTag *, tMagicWordSlot *slot,
                               uint8_t *coding) {
    if (mode != kMagicWordParse) return 0;
    slot->Used = 0;
    if (coding == nullptr) return 1;
    long long parsed = 0;
    uint32_t result = 0;
    if (ScanNumber(ValueText(value), 0, &parsed) && parsed >= 0 && parsed <= kCodingLast) {
        *coding = static_cast<uint8_t>(parsed);
    } else {
        LogPuts("HandleMagicWordCoding", "Unknown coding type specified. Will keep old style");
        result = 1;
    }
    LogPrintf("HandleMagicWordCoding", "Coding type is set to %u\n", *coding);
    return result;
}

uint32_t HandleMagicWordMemoryBank(uint32_t mode, const char *value, const tTag *tag,
                                   tMagicWordSlot *slot, uint8_t *coding) {
    if (mode == kMagicWordParse) {
        uint32_t bank = 0;
        if (!ScanUnsigned32(ValueText(value), &bank) || bank > 3) return 1;
        LogPrintf("HandleMagicWordMemoryBank", "Magicword \"MemoryBank\" set to value %u\n", bank);
        PendingReadSettings.MemoryBank = static_cast<uint8_t>(bank);
        PendingReadSettings.MemoryBankSet = 1;
        FlagSet(TemplateHasReadSettings, 1);
        return 0;
    }

    if (!BeginRender(tag, slot)) return 0;
    if (tag->readResult != 0) {
        // The prefix is made once and kept until the slots are reset.
        if (slot->Extra == nullptr) {
            slot->Extra = static_cast<char *>(malloc(sizeof(kDefaultErrorPrefix)));
            if (slot->Extra == nullptr) return 1;
            memcpy(slot->Extra, kDefaultErrorPrefix, sizeof(kDefaultErrorPrefix));
            slot->ExtraLength = sizeof(kDefaultErrorPrefix) - 1;
        }
        return RenderFormatted(slot, slot->ExtraLength + 3, "%.*s%02X",
                               static_cast<int>(slot->ExtraLength), slot->Extra, tag->readResult);
    }
    if (tag->dataLength == 0 || tag->memoryData == nullptr) return 1;
    return CodeWithElementCoding(coding, tag->memoryData, tag->dataLength, slot,
                                 FlagGet(SkipFirstByte), FlagGet(SkipLastByte), 0);
}

// The common part of "Pointer=", "Length=" and "Password=" in parse mode.
static uint32_t ParseReadSetting(const char *value, tMagicWordSlot *slot, uint32_t *number) {
    slot->Used = 0;
    return ReadSettingNumber(ValueText(value), number);
}

uint32_t HandleMagicWordPointer(uint32_t mode, const char *value, const tTag *,
                                tMagicWordSlot *slot, uint8_t *) {
    if (mode != kMagicWordParse) return 0;
    uint32_t pointer = 0;
    if (ParseReadSetting(value, slot, &pointer) != 0) return 1;
    LogPrintf("HandleMagicWordPointer", "Magicword \"Pointer\" set to value %u\n", pointer);
    PendingReadSettings.Pointer = pointer;
    PendingReadSettings.PointerSet = 1;
    FlagSet(TemplateHasReadSettings, 1);
    return 0;
}

uint32_t HandleMagicWordLength(uint32_t mode, const char *value, const tTag *, tMagicWordSlot *slot,
                               uint8_t *) {
    if (mode != kMagicWordParse) return 0;
    uint32_t length = 0;
    if (ParseReadSetting(value, slot, &length) != 0 || length == 0) return 1;
    LogPrintf("HandleMagicWordLength", "Magicword \"Length\" set to value %u\n", length);
    PendingReadSettings.Length = length;
    PendingReadSettings.LengthSet = 1;
    FlagSet(TemplateHasReadSettings, 1);
    return 0;
}

uint32_t HandleMagicWordPassword(uint32_t mode, const char *value, const tTag *,
                                 tMagicWordSlot *slot, uint8_t *) {
    if (mode != kMagicWordParse) return 0;
    uint32_t password = 0;
    if (ParseReadSetting(value, slot, &password) != 0) return 1;
    LogPuts("HandleMagicWordPassword", "Magicword \"Password\" set");  // never the value
    PendingReadSettings.Password = password;
    PendingReadSettings.PasswordSet = 1;
    FlagSet(TemplateHasReadSettings, 1);
    return 0;
}

uint32_t HandleMagicWordError(uint32_t mode, const char *value, const tTag *, tMagicWordSlot *slot,
                              uint8_t *) {
    if (mode != kMagicWordParse) return 0;
    slot->Used = 0;
    tMagicWordSlot *bank = nullptr;
    for (tMagicWordSlot &candidate : MagicWordSlots) {
        if (candidate.Word != nullptr && strcmp(candidate.Word->Name, "MemoryBank=") == 0) {
            bank = &candidate;
            break;
        }
    }
    if (bank == nullptr) return 1;
    free(bank->Extra);
    bank->Extra = nullptr;
    bank->ExtraLength = 0;
    const char *text = ValueText(value);
    size_t length = strlen(text);
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy == nullptr) return 1;
    memcpy(copy, text, length + 1);
    bank->Extra = copy;
    bank->ExtraLength = static_cast<uint32_t>(length % 65536);
    return 0;
}

uint32_t HandleMagicWordAntennaPort(uint32_t mode, const char *, const tTag *tag,
                                    tMagicWordSlot *slot, uint8_t *) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultAntenna);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    return RenderUnsigned(slot, kAntennaPortTextSize, tag->antenna & 0x0Fu);
}

uint32_t HandleMagicWordAntennaProperty(uint32_t mode, const char *, const tTag *tag,
                                        tMagicWordSlot *slot, uint8_t *) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultAntenna);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    return RenderUnsigned(slot, kAntennaPropertyTextSize, tag->antenna >> 4);
}

uint32_t HandleMagicWordRssi(uint32_t mode, const char *, const tTag *tag, tMagicWordSlot *slot,
                             uint8_t *) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultRssi);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    return RenderUnsigned(slot, kRssiTextSize, tag->rssi);
}

uint32_t HandleMagicWordRssiDbm(uint32_t mode, const char *, const tTag *tag, tMagicWordSlot *slot,
                                uint8_t *) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultRssiDbm);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    int dbm = tag->rssiDbm;
    return RenderDecimal(
        slot, kRssiDbmTextSize,
        static_cast<unsigned long long>(dbm < 0 ? -static_cast<long long>(dbm) : dbm), dbm < 0);
}

uint32_t HandleMagicWordTimestamp(uint32_t mode, const char *, const tTag *tag,
                                  tMagicWordSlot *slot, uint8_t *) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultTimestamp);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    if (tag->seenAt == kNoTime) return 1;
    // seenAt is unsigned; a 32-bit time_t (the 32-bit ARM build) holds it only
    // up to 2038 and turns later seconds negative, i.e. into dates before
    // 1970. Such a time cannot be converted, rather than rendered wrong.
    time_t seconds = static_cast<time_t>(tag->seenAt);
    if (seconds < 0) return 1;
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr) return 1;
    return RenderFormatted(slot, kTimestampTextSize, "%04d-%02d-%02d %02d:%02d:%02d",
                           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec);
}

uint32_t HandleMagicWordTimestampMs(uint32_t mode, const char *, const tTag *tag,
                                    tMagicWordSlot *slot, uint8_t *) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultTimestampMs);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    return RenderUnsigned(slot, kTimestampMsTextSize, tag->timestampMs);
}

// "PC" (0), "XPC_W1" (1) and "XPC_W2" (2).
static uint32_t HandleProtocolControlWord(int index, uint32_t mode, const tTag *tag,
                                          tMagicWordSlot *slot, uint8_t *coding) {
    if (mode == kMagicWordParse) {
        AskForExtendedResult(kExtendedResultProtocolControl);
        return 0;
    }
    if (!BeginRender(tag, slot)) return 0;
    uint16_t word = index == 0 ? tag->pc : index == 1 ? tag->xpcW1 : tag->xpcW2;
    return CodeWithElementCoding(coding, &word, 1, slot, 0, 0, 0);
}

uint32_t HandleMagicWordPc(uint32_t mode, const char *, const tTag *tag, tMagicWordSlot *slot,
                           uint8_t *coding) {
    return HandleProtocolControlWord(0, mode, tag, slot, coding);
}

uint32_t HandleMagicWordXpcW1(uint32_t mode, const char *, const tTag *tag, tMagicWordSlot *slot,
                              uint8_t *coding) {
    return HandleProtocolControlWord(1, mode, tag, slot, coding);
}

uint32_t HandleMagicWordXpcW2(uint32_t mode, const char *, const tTag *tag, tMagicWordSlot *slot,
                              uint8_t *coding) {
    return HandleProtocolControlWord(2, mode, tag, slot, coding);
}

uint32_t HandleMagicWordFormat(uint32_t mode, const char *, const tTag *, tMagicWordSlot *slot,
                               uint8_t *) {
    if (mode != kMagicWordParse) return 0;
    ReleaseText(slot);
    if (slot->Word == nullptr) return 1;
    uint32_t code = slot->Word->Id & kMagicWordCodeMask;
    if (code < kFirstFormatCode || code - kFirstFormatCode >= sizeof(kFormatBytes)) return 1;
    uint8_t *text = static_cast<uint8_t *>(malloc(1));
    if (text == nullptr) return 1;
    text[0] = kFormatBytes[code - kFirstFormatCode];
    slot->Text = text;
    slot->TextLength = 1;
    return 0;
}

// 0 to 15, or -1 for a character that is no hex digit.
static int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint32_t HandleMagicWordHex(uint32_t mode, const char *value, const tTag *, tMagicWordSlot *slot,
                            uint8_t *) {
    if (mode != kMagicWordParse) return 0;
    ReleaseText(slot);
    const char *digits = ValueText(value);
    size_t length = strlen(digits);
    if (length % 2 != 0) return 1;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits += 2;
        length -= 2;
    }
    for (size_t i = 0; i < length; i++) {
        if (HexDigitValue(digits[i]) < 0) return 1;
    }
    size_t count = length / 2;
    if (count == 0) return 0;
    uint8_t *text = static_cast<uint8_t *>(malloc(count));
    if (text == nullptr) return 1;
    for (size_t i = 0; i < count; i++)
        text[i] = static_cast<uint8_t>(HexDigitValue(digits[2 * i]) << 4 |
                                       HexDigitValue(digits[2 * i + 1]));
    slot->Text = text;
    slot->TextLength = static_cast<uint32_t>(count);
    return 0;
}
