// Growable byte buffer.
#include "output/byte_buffer.h"

#include <stdlib.h>
#include <string.h>

bool AppendBytes(tByteBuffer *buffer, const void *bytes, uint32_t length) {
    // Nothing to add: also no memcpy to a buffer that has no memory yet.
    if (length == 0) return true;
    if (length > buffer->capacity - buffer->length) {
        if (length > UINT32_MAX / 2 - buffer->length) return false;
        uint32_t needed = buffer->length + length;
        uint32_t capacity = buffer->capacity < 256 ? 256 : buffer->capacity;
        while (capacity < needed)
            capacity *= 2;
        void *grown = realloc(buffer->bytes, capacity);
        if (grown == nullptr) return false;
        buffer->bytes = static_cast<uint8_t *>(grown);
        buffer->capacity = capacity;
    }
    memcpy(buffer->bytes + buffer->length, bytes, length);
    buffer->length += length;
    return true;
}

void DropLeadingBytes(tByteBuffer *buffer, uint32_t count) {
    if (count == 0) return;
    buffer->length -= count;
    memmove(buffer->bytes, buffer->bytes + count, buffer->length);
}

void FreeBytes(tByteBuffer *buffer) {
    free(buffer->bytes);
    *buffer = tByteBuffer{nullptr, 0, 0};
}
