// tTag: one tag observation, Korvane's own copy of a reader record.
#ifndef KORVANE_READER_TAG_H
#define KORVANE_READER_TAG_H

#include <stdint.h>

// Allocated zero-filled with calloc by the data handler; owned by whoever
// holds it (the tag queue, then its consumer), freed with free after
// `memoryData`.
struct tTag {
    uint8_t event;    // 0xFF came into the field, 0x00 left it
    uint8_t antenna;  // bits 0-3 antenna port, bits 4-7 antenna property
    uint8_t rssi;     // raw signal strength
    int16_t rssiDbm;  // signal strength in dBm
    uint16_t pc;      // protocol control word
    uint16_t xpcW1;   // extended protocol control words
    uint16_t xpcW2;
    uint8_t epcLength;     // valid words in epc, at most 31
    uint16_t epc[31];      // EPC words in the record's order
    uint8_t readResult;    // tag memory read: 0 success
    uint8_t dataLength;    // words in memoryData; 0 when none
    uint16_t *memoryData;  // malloc'd copy of the words read; owned; null when none
    uint32_t seenAt;       // time(NULL) when the record was built
    uint64_t timestampMs;  // the reader's millisecond timestamp
};

#endif  // KORVANE_READER_TAG_H
