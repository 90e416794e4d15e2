// Frame parsing and encoding of the IPC link.
#include "ipc/frame.h"

#include <stdlib.h>
#include <string.h>

void FrameParserInit(tFrameParser *parser) {
    memset(parser, 0, sizeof(*parser));
    parser->state = kFrameHunt;
}

void FrameParserReset(tFrameParser *parser) {
    free(parser->payload);
    FrameParserInit(parser);
}

bool FrameInProgress(const tFrameParser *parser) {
    return parser->state != kFrameHunt;
}

// Starts collecting the next field.
static void NextField(tFrameParser *parser, tFrameState state) {
    parser->state = state;
    parser->fieldBytes = 0;
}

// The length field is complete: go on to the payload, or to the end marker
// for an empty frame. A length past the limit, or one that cannot be
// allocated, abandons the frame.
static void LengthComplete(tFrameParser *parser) {
    if (parser->length == 0) {
        NextField(parser, kFrameEndMarker);
        return;
    }
    if (parser->length > kMaxFramePayload) {
        FrameParserInit(parser);
        return;
    }
    parser->payload = static_cast<uint8_t *>(malloc(parser->length));
    if (parser->payload == nullptr) {
        FrameParserInit(parser);
        return;
    }
    parser->stored = 0;
    NextField(parser, kFramePayload);
}

size_t FrameParserFeed(tFrameParser *parser, const uint8_t *bytes, size_t count, bool *complete) {
    *complete = false;
    size_t used = 0;
    while (used < count) {
        switch (parser->state) {
            case kFrameHunt: {
                const void *start = memchr(bytes + used, kFrameStart, count - used);
                if (start == nullptr) return count;
                used = static_cast<const uint8_t *>(start) - bytes + 1;
                FrameParserInit(parser);
                NextField(parser, kFrameToken);
                break;
            }
            case kFrameToken:
                parser->token |= static_cast<uint32_t>(bytes[used++]) << (8 * parser->fieldBytes);
                if (++parser->fieldBytes == 4) NextField(parser, kFrameChannel);
                break;
            case kFrameChannel:
                parser->channel |= static_cast<uint16_t>(bytes[used++] << (8 * parser->fieldBytes));
                if (++parser->fieldBytes == 2) NextField(parser, kFrameLength);
                break;
            case kFrameLength:
                parser->length |= static_cast<uint32_t>(bytes[used++]) << (8 * parser->fieldBytes);
                if (++parser->fieldBytes == 4) LengthComplete(parser);
                break;
            case kFramePayload: {
                // Copy as much of the payload as this chunk holds at once.
                size_t wanted = parser->length - parser->stored;
                size_t available = count - used;
                size_t take = available < wanted ? available : wanted;
                memcpy(parser->payload + parser->stored, bytes + used, take);
                parser->stored += static_cast<uint32_t>(take);
                used += take;
                if (parser->stored == parser->length) NextField(parser, kFrameEndMarker);
                break;
            }
            case kFrameEndMarker:
                if (bytes[used++] == kFrameEnd) {
                    *complete = true;
                    return used;
                }
                // A wrong end marker drops the frame; the rejected byte is
                // not taken for a start marker itself.
                FrameParserReset(parser);
                break;
        }
    }
    return used;
}

uint8_t *FrameTakePayload(tFrameParser *parser) {
    uint8_t *payload = parser->payload;
    parser->payload = nullptr;
    FrameParserInit(parser);
    return payload;
}

bool IsControlPayload(const uint8_t *payload, uint32_t length, uint16_t *code) {
    if (payload == nullptr || length < kControlHeaderSize) return false;
    if (payload[0] != 0xFF || payload[1] != 0xFE || payload[2] != 0xFF) return false;
    *code = static_cast<uint16_t>(payload[3] | (payload[4] << 8));
    return true;
}

static uint8_t *PutLittleEndian(uint8_t *out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        *out++ = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

void EncodeFrame(uint8_t *out, uint32_t token, uint16_t channel, const uint8_t *payload,
                 uint32_t length) {
    *out++ = kFrameStart;
    out = PutLittleEndian(out, token, 4);
    out = PutLittleEndian(out, channel, 2);
    out = PutLittleEndian(out, length, 4);
    if (length != 0) memcpy(out, payload, length);
    out[length] = kFrameEnd;
}

void EncodeControlPayload(uint8_t out[kControlHeaderSize], uint16_t code) {
    out[0] = 0xFF;
    out[1] = 0xFE;
    out[2] = 0xFF;
    out[3] = static_cast<uint8_t>(code);
    out[4] = static_cast<uint8_t>(code >> 8);
}
