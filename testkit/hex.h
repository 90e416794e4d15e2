// Hex digits both ways, for the tests and the benchmarks. Header-only: the
// benchmark's receiver parses two numbers out of every datagram.
#ifndef KORVANE_TESTKIT_HEX_H
#define KORVANE_TESTKIT_HEX_H

#include <stdint.h>

#include <string>
#include <vector>

// The value of a hex digit of either case; -1 for any other character.
inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The number written by the `digits` hex digits at `text` (at most 16);
// false, *value untouched, when one of them is no hex digit.
inline bool ParseHex(const char *text, int digits, uint64_t *value) {
    uint64_t result = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = HexDigit(text[i]);
        if (digit < 0) return false;
        result = result << 4 | static_cast<uint64_t>(digit);
    }
    *value = result;
    return true;
}

// Bytes as upper-case hex pairs with a space between them: "5A 01 FF".
inline std::string HexOf(const std::vector<uint8_t> &bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

#endif  // KORVANE_TESTKIT_HEX_H
