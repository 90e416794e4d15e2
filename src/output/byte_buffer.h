// A growable byte buffer that keeps its memory from use to use: the datagram
// being rendered, a batch of datagrams, the backlog of a slow client.
//
// Not thread-safe: whoever owns a buffer names the lock that guards it.
#ifndef KORVANE_OUTPUT_BYTE_BUFFER_H
#define KORVANE_OUTPUT_BYTE_BUFFER_H

#include <stdint.h>

struct tByteBuffer {
    uint8_t *bytes;     // null until the first byte is appended
    uint32_t length;    // bytes in use
    uint32_t capacity;  // bytes allocated
};

// Appends `length` bytes; false when memory is short (the buffer is kept as it was).
bool AppendBytes(tByteBuffer *buffer, const void *bytes, uint32_t length);
// Drops the first `count` bytes and moves the rest to the front. Requires count <= length.
void DropLeadingBytes(tByteBuffer *buffer, uint32_t count);
// Frees the memory and leaves the buffer empty.
void FreeBytes(tByteBuffer *buffer);

#endif  // KORVANE_OUTPUT_BYTE_BUFFER_H
