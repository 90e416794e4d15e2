// Frames of the IPC link, in both directions (integers little-endian):
//
//   0x5A | token u32 | channel u16 | length N u32 | N payload bytes | 0xA5
//
// A payload of at least 5 bytes that begins FF FE FF is a control message
// whose 16-bit code follows the marker: Hello (0), HelloAck (1) or
// ControlData (2). Everything else is data.
//
// The parser is a byte-wise state machine whose state, partial fields and
// partial payload survive between chunks, so a frame may arrive in any number
// of pieces. It belongs to one thread; nothing here locks.
#ifndef KORVANE_IPC_FRAME_H
#define KORVANE_IPC_FRAME_H

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t kFrameStart = 0x5A;
constexpr uint8_t kFrameEnd = 0xA5;
// Start marker, token, channel and length.
constexpr uint32_t kFrameHeaderSize = 11;
// Header and end marker: a frame is this plus its payload.
constexpr uint32_t kFrameOverhead = 12;
// Requests are short XML texts. A longer length field is taken for noise:
// the frame is dropped instead of allocating up to 4 GiB for it.
constexpr uint32_t kMaxFramePayload = 1024 * 1024;

// Control messages.
constexpr uint16_t kControlHello = 0;
constexpr uint16_t kControlHelloAck = 1;
constexpr uint16_t kControlData = 2;
// Marker and code.
constexpr uint32_t kControlHeaderSize = 5;

enum tFrameState : uint8_t {
    kFrameHunt,
    kFrameToken,
    kFrameChannel,
    kFrameLength,
    kFramePayload,
    kFrameEndMarker,
};

struct tFrameParser {
    tFrameState state;
    uint8_t fieldBytes;  // bytes of the current field collected so far
    uint32_t token;
    uint16_t channel;
    uint32_t length;
    uint8_t *payload;  // malloc'ed, exactly `length` bytes; null for N = 0
    uint32_t stored;   // payload bytes stored so far
};

// A fresh parser hunting for a start marker.
void FrameParserInit(tFrameParser *parser);
// Drops a partial frame (freeing its payload) and hunts again.
void FrameParserReset(tFrameParser *parser);
// True while a frame has been started but not completed.
bool FrameInProgress(const tFrameParser *parser);

// Feeds bytes until a frame is complete or the bytes are used up, and returns
// how many were consumed. On completion *complete is set, and the frame's
// fields and payload stay in the parser until the caller takes the payload
// (FrameTakePayload) or resets it; the remaining bytes belong to the next
// frame.
size_t FrameParserFeed(tFrameParser *parser, const uint8_t *bytes, size_t count, bool *complete);
// Hands the completed frame's payload to the caller (to free) and hunts again.
uint8_t *FrameTakePayload(tFrameParser *parser);

// True when `payload` is a control message; its code then goes to *code.
bool IsControlPayload(const uint8_t *payload, uint32_t length, uint16_t *code);

// Writes the whole frame (kFrameOverhead + length bytes) to `out`.
void EncodeFrame(uint8_t *out, uint32_t token, uint16_t channel, const uint8_t *payload,
                 uint32_t length);
// The 5-byte payload of a control message without data.
void EncodeControlPayload(uint8_t out[kControlHeaderSize], uint16_t code);

#endif  // KORVANE_IPC_FRAME_H
