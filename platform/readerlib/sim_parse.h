// Parsing for the simulated reader's control lines: tokens, numbers, hex words
// and the tag records of the `tags` command. Pure functions, no state.
#ifndef KORVANE_PLATFORM_READERLIB_SIM_PARSE_H
#define KORVANE_PLATFORM_READERLIB_SIM_PARSE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <limits>
#include <string>
#include <vector>

#include "reader/reader_lib.h"

namespace readersim {

// Splits a line on blanks. A '|' is a token of its own wherever it stands, so
// "a=1|b=2" and "a=1 | b=2" split alike.
std::vector<std::string> SplitTokens(const std::string &line);

// Splits key=value; a token without '=' is all key.
void SplitOption(const std::string &token, std::string *key, std::string *value);

// An unsigned decimal or 0x-hex number no greater than `max`.
bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t *value);
// An unsigned number that fits in T; *value is written only on success.
template <typename T>
bool ParseNumber(const std::string &text, T *value) {
    uint64_t parsed = 0;
    if (!ParseUnsigned(text, std::numeric_limits<T>::max(), &parsed)) return false;
    *value = static_cast<T>(parsed);
    return true;
}

// One record of a tag chain under construction. The record's `data` and
// `next` pointers stay null until the chain is linked just before delivery,
// because the records may still move in memory until then.
struct tPendingRecord {
    ReaderTagRecord record;
    // Memory words the data pointer will point at. Sized to at least the
    // record's dataLength, so a handler trusting dataLength stays in bounds.
    std::vector<uint16_t> words;
    bool hasData = false;

    // memset rather than value-initialisation: the padding bytes of the
    // 64-bit layout must be zero too, so a record is byte-for-byte defined.
    tPendingRecord() { memset(&record, 0, sizeof(record)); }
};

// Builds a record from the key=value tokens [begin, end). On bad input returns
// false with the reason in *error.
bool ParseRecord(const std::vector<std::string> &tokens, size_t begin, size_t end,
                 tPendingRecord *pending, std::string *error);

// Links a chain: record i's next is record i+1, data pointers point at the
// words of records that carry data. Returns the first record, if any.
const ReaderTagRecord *LinkChain(std::vector<tPendingRecord> *chain);

}  // namespace readersim

#endif  // KORVANE_PLATFORM_READERLIB_SIM_PARSE_H
