// Parsing for the simulated reader's control lines.
#include "sim_parse.h"

#include <string.h>

namespace readersim {

namespace {

int DigitValue(char c, unsigned base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < static_cast<int>(base) ? value : -1;
}

bool HasHexPrefix(const std::string &text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The most words a memory read can report: dataLength is one byte.
const size_t kMaxDataWords = 255;
const size_t kMaxEpcWords = sizeof(ReaderTagRecord::epc) / sizeof(uint16_t);

bool ParseByte(const std::string &text, uint8_t *value) {
    uint64_t parsed = 0;
    if (!ParseUnsigned(text, 0xFF, &parsed)) return false;
    *value = static_cast<uint8_t>(parsed);
    return true;
}

}  // namespace

std::vector<std::string> SplitTokens(const std::string &line) {
    std::vector<std::string> tokens;
    std::string current;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '|') {
            if (!current.empty()) tokens.push_back(current);
            current.clear();
            if (c == '|') tokens.emplace_back("|");
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) tokens.push_back(current);
    return tokens;
}

bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t *value) {
    unsigned base = 10;
    size_t i = 0;
    if (HasHexPrefix(text)) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t result = 0;
    for (; i < text.size(); ++i) {
        int digit = DigitValue(text[i], base);
        if (digit < 0) return false;
        if (result > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return false;
        result = result * base + static_cast<uint64_t>(digit);
    }
    if (result > max) return false;
    *value = result;
    return true;
}

bool ParseSigned(const std::string &text, int64_t min, int64_t max, int64_t *value) {
    bool negative = !text.empty() && text[0] == '-';
    bool sign = negative || (!text.empty() && text[0] == '+');
    // Magnitudes are compared as unsigned so INT64_MIN needs no special case.
    uint64_t limit = negative ? (min < 0 ? 0 - static_cast<uint64_t>(min) : 0)
                              : (max < 0 ? 0 : static_cast<uint64_t>(max));
    uint64_t magnitude = 0;
    if (!ParseUnsigned(text.substr(sign ? 1 : 0), limit, &magnitude)) return false;
    if (negative) {
        if (magnitude != 0 && min >= 0) return false;
        *value = static_cast<int64_t>(0 - magnitude);
    } else {
        if (static_cast<int64_t>(magnitude) < min) return false;
        *value = static_cast<int64_t>(magnitude);
    }
    return true;
}

bool ParseHexWord(const std::string &text, uint16_t *value) {
    size_t start = HasHexPrefix(text) ? 2 : 0;
    size_t digits = text.size() - start;
    if (digits == 0 || digits > 4) return false;
    uint16_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        int digit = DigitValue(text[i], 16);
        if (digit < 0) return false;
        result = static_cast<uint16_t>(result << 4 | digit);
    }
    *value = result;
    return true;
}

bool ParseHexWords(const std::string &text, size_t maxWords, std::vector<uint16_t> *words) {
    if (text.size() % 4 != 0 || text.size() / 4 > maxWords) return false;
    std::vector<uint16_t> result;
    result.reserve(text.size() / 4);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint16_t word = 0;
        for (size_t j = i; j < i + 4; ++j) {
            int digit = DigitValue(text[j], 16);
            if (digit < 0) return false;
            word = static_cast<uint16_t>(word << 4 | digit);
        }
        result.push_back(word);
    }
    words->swap(result);
    return true;
}

std::string HexBytes(const uint8_t *bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

PendingRecord::PendingRecord() {
    // memset rather than value-initialisation: the padding bytes of the
    // 64-bit layout must be zero too, so a record is byte-for-byte defined.
    memset(&record, 0, sizeof(record));
}

bool ParseRecord(const std::vector<std::string> &tokens, size_t begin, size_t end,
                 PendingRecord *pending, std::string *error) {
    if (begin == end) {
        *error = "empty record";
        return false;
    }
    // Each key may appear once: a repeated key is almost always a typing
    // error in a test, and silently taking one of them would hide it.
    std::vector<std::string> seen;
    bool haveDataLength = false;
    bool haveEpcLength = false;
    uint8_t dataLength = 0;
    uint8_t epcLength = 0;
    ReaderTagRecord &record = pending->record;
    for (size_t i = begin; i < end; ++i) {
        const std::string &token = tokens[i];
        size_t equals = token.find('=');
        if (equals == std::string::npos || equals == 0) {
            *error = "expected key=value: " + token.substr(0, 64);
            return false;
        }
        std::string key = token.substr(0, equals);
        std::string value = token.substr(equals + 1);
        for (const std::string &other : seen) {
            if (other == key) {
                *error = "repeated key " + key;
                return false;
            }
        }
        seen.push_back(key);
        bool ok = true;
        if (key == "epc") {
            std::vector<uint16_t> words;
            ok = ParseHexWords(value, kMaxEpcWords, &words);
            if (ok) {
                for (size_t w = 0; w < words.size(); ++w)
                    record.epc[w] = words[w];
                record.epcLength = static_cast<uint8_t>(words.size());
            }
        } else if (key == "epclen") {
            ok = ParseByte(value, &epcLength);
            haveEpcLength = true;
        } else if (key == "antenna") {
            ok = ParseByte(value, &record.antenna);
        } else if (key == "rssi") {
            ok = ParseByte(value, &record.rssi);
        } else if (key == "rssidbm") {
            int64_t dbm = 0;
            ok = ParseSigned(value, INT16_MIN, INT16_MAX, &dbm);
            record.rssiDbm = static_cast<int16_t>(dbm);
        } else if (key == "pc") {
            ok = ParseHexWord(value, &record.pc);
        } else if (key == "xpc1") {
            ok = ParseHexWord(value, &record.xpcW1);
        } else if (key == "xpc2") {
            ok = ParseHexWord(value, &record.xpcW2);
        } else if (key == "result") {
            ok = ParseByte(value, &record.readResult);
        } else if (key == "data") {
            ok = ParseHexWords(value, kMaxDataWords, &pending->words);
            pending->hasData = ok;
            record.dataLength = static_cast<uint8_t>(pending->words.size());
        } else if (key == "datalen") {
            ok = ParseByte(value, &dataLength);
            haveDataLength = true;
        } else if (key == "ts") {
            ok = ParseUnsigned(value, UINT64_MAX, &record.timestampMs);
        } else {
            *error = "unknown key " + key.substr(0, 64);
            return false;
        }
        if (!ok) {
            *error = "bad value for " + key;
            return false;
        }
    }
    if (haveEpcLength) record.epcLength = epcLength;
    if (haveDataLength) {
        record.dataLength = dataLength;
        // Pad with zero words so the buffer holds what dataLength claims.
        if (pending->hasData && pending->words.size() < dataLength)
            pending->words.resize(dataLength, 0);
    }
    // A data pointer is never null when data= was given, even for zero words.
    if (pending->hasData && pending->words.empty()) pending->words.resize(1, 0);
    return true;
}

void LinkChain(std::vector<PendingRecord> *chain) {
    for (size_t i = 0; i < chain->size(); ++i) {
        PendingRecord &pending = (*chain)[i];
        pending.record.data = pending.hasData ? pending.words.data() : nullptr;
        pending.record.next = i + 1 < chain->size() ? &(*chain)[i + 1].record : nullptr;
    }
}

}  // namespace readersim
