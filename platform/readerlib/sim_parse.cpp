// Parsing for the simulated reader's control lines.
#include "sim_parse.h"

#include <ctype.h>

#include <algorithm>
#include <set>

namespace readersim {

namespace {

int DigitValue(char c, unsigned base) {
    int u = static_cast<unsigned char>(c);
    int value = isdigit(u) ? u - '0' : isxdigit(u) ? tolower(u) - 'a' + 10 : -1;
    return value < static_cast<int>(base) ? value : -1;
}

bool HasHexPrefix(const std::string &text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The most words a memory read can report: dataLength is one byte.
const size_t kMaxDataWords = 255;
const size_t kMaxEpcWords = sizeof(ReaderTagRecord::epc) / sizeof(uint16_t);

// A number as ParseUnsigned takes it, with an optional leading '-' or '+'.
bool ParseInt16(const std::string &text, int16_t *value) {
    bool negative = !text.empty() && text[0] == '-';
    bool sign = negative || (!text.empty() && text[0] == '+');
    uint64_t magnitude = 0;
    if (!ParseUnsigned(text.substr(sign ? 1 : 0), negative ? 32768 : 32767, &magnitude))
        return false;
    int number = static_cast<int>(magnitude);
    *value = static_cast<int16_t>(negative ? -number : number);
    return true;
}

// One to four hex digits, with or without a 0x prefix.
bool ParseHexWord(const std::string &text, uint16_t *value) {
    std::string digits = text.substr(HasHexPrefix(text) ? 2 : 0);
    return digits.size() <= 4 && ParseNumber("0x" + digits, value);
}

// Hex digits, a multiple of four: one 16-bit word per four digits, first word
// first. At most `maxWords` words; no digits at all is zero words.
bool ParseHexWords(const std::string &text, size_t maxWords, std::vector<uint16_t> *words) {
    if (text.size() % 4 != 0 || text.size() / 4 > maxWords) return false;
    std::vector<uint16_t> result(text.size() / 4);
    for (size_t i = 0; i < result.size(); ++i) {
        if (!ParseNumber("0x" + text.substr(4 * i, 4), &result[i])) return false;
    }
    words->swap(result);
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

void SplitOption(const std::string &token, std::string *key, std::string *value) {
    size_t equals = token.find('=');
    *key = token.substr(0, equals);
    *value = equals == std::string::npos ? "" : token.substr(equals + 1);
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

bool ParseRecord(const std::vector<std::string> &tokens, size_t begin, size_t end,
                 tPendingRecord *pending, std::string *error) {
    auto fail = [error](const std::string &why) {
        *error = why;
        return false;
    };
    if (begin == end) return fail("empty record");
    // Each key may appear once: a repeated key is almost always a typing
    // error in a test, and silently taking one of them would hide it.
    std::set<std::string> seen;
    bool haveDataLength = false;
    bool haveEpcLength = false;
    uint8_t dataLength = 0;
    uint8_t epcLength = 0;
    ReaderTagRecord &record = pending->record;
    for (size_t i = begin; i < end; ++i) {
        const std::string &token = tokens[i];
        std::string key, value;
        SplitOption(token, &key, &value);
        if (key.empty() || key.size() == token.size())
            return fail("expected key=value: " + token.substr(0, 64));
        if (!seen.insert(key).second) return fail("repeated key " + key);
        bool ok = true;
        if (key == "epc") {
            std::vector<uint16_t> words;
            ok = ParseHexWords(value, kMaxEpcWords, &words);
            std::copy(words.begin(), words.end(), record.epc);
            record.epcLength = static_cast<uint8_t>(words.size());
        } else if (key == "epclen") {
            ok = ParseNumber(value, &epcLength);
            haveEpcLength = true;
        } else if (key == "antenna") {
            ok = ParseNumber(value, &record.antenna);
        } else if (key == "rssi") {
            ok = ParseNumber(value, &record.rssi);
        } else if (key == "rssidbm") {
            ok = ParseInt16(value, &record.rssiDbm);
        } else if (key == "pc") {
            ok = ParseHexWord(value, &record.pc);
        } else if (key == "xpc1") {
            ok = ParseHexWord(value, &record.xpcW1);
        } else if (key == "xpc2") {
            ok = ParseHexWord(value, &record.xpcW2);
        } else if (key == "result") {
            ok = ParseNumber(value, &record.readResult);
        } else if (key == "data") {
            ok = ParseHexWords(value, kMaxDataWords, &pending->words);
            pending->hasData = ok;
            record.dataLength = static_cast<uint8_t>(pending->words.size());
        } else if (key == "datalen") {
            ok = ParseNumber(value, &dataLength);
            haveDataLength = true;
        } else if (key == "ts") {
            ok = ParseNumber(value, &record.timestampMs);
        } else {
            return fail("unknown key " + key.substr(0, 64));
        }
        if (!ok) return fail("bad value for " + key);
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

const ReaderTagRecord *LinkChain(std::vector<tPendingRecord> *chain) {
    for (size_t i = 0; i < chain->size(); ++i) {
        tPendingRecord &pending = (*chain)[i];
        pending.record.data = pending.hasData ? pending.words.data() : nullptr;
        pending.record.next = i + 1 < chain->size() ? &(*chain)[i + 1].record : nullptr;
    }
    return chain->empty() ? nullptr : &chain->front().record;
}

}  // namespace readersim
