// tData: one message on its way through Korvane: an IPC request, or a text
// waiting to be typed on the HID keyboard.
//
// A record and its buffer are allocated with malloc; whoever takes the record
// off its list frees the buffer first, then the record.
#ifndef KORVANE_SYNC_DATA_H
#define KORVANE_SYNC_DATA_H

#include <stdint.h>
#include <stdlib.h>

struct tData {
    // Token of the IPC request, to be given back with the answer. Not set for
    // keyboard texts.
    uint32_t token;
    // IPC channel the request came on (always 5 for requests).
    uint16_t channel;
    // The bytes, owned by the record; not NUL-terminated.
    uint8_t *buffer;
    // Number of bytes in `buffer`.
    uint32_t length;
};

// Frees the record's buffer, then the record; null is ignored.
inline void FreeData(tData *data) {
    if (data == nullptr) return;
    free(data->buffer);
    free(data);
}

#endif  // KORVANE_SYNC_DATA_H
