// Fuzz target: the IPC frame parser fed an arbitrary byte stream in
// arbitrary chunks, with the parser reset between chunks now and then (as the
// receive loop does for a stalled frame or a new connection).
//
// Input: byte 0 holds in its low 5 bits the number K of chunk bytes that
// follow; the rest of the input is the stream. Chunk byte i (used in turn,
// cycling) gives the size of the next piece in its low 7 bits (0x7F: all that
// is left; 0: an empty feed), and its high bit resets the parser before that
// piece. K = 0 feeds the whole stream at once.
//
// Checked: every call consumes only bytes it was given and all of them unless
// it completes a frame; a completed frame's length is within the limit, its
// payload is exactly that long, and encoding it again gives exactly the bytes
// it was parsed from; the frames delivered, and whether a frame is left
// unfinished, are those a plain reading of the frame format finds in each
// stretch of the stream between two resets.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "harness.h"
#include "ipc/frame.h"

namespace {

struct tSeenFrame {
    size_t start;  // offset of the start marker in the stream
    size_t end;    // offset just past the end marker
    uint32_t token;
    uint16_t channel;
    std::vector<uint8_t> payload;

    bool operator==(const tSeenFrame &other) const {
        return start == other.start && end == other.end && token == other.token &&
               channel == other.channel && payload == other.payload;
    }
};

uint32_t LittleEndian(const uint8_t *bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; i--)
        value = (value << 8) | bytes[i];
    return value;
}

// The frames in stream[begin, end) read straight from the frame format:
// bytes before a start marker are skipped; a length over the limit drops the
// frame and the search goes on after the length field; a wrong end marker
// drops the frame and the search goes on after that byte. Returns true when
// the stretch ends inside a frame.
bool ReadFrames(const uint8_t *stream, size_t begin, size_t end, std::vector<tSeenFrame> *frames) {
    size_t at = begin;
    while (at < end) {
        if (stream[at] != kFrameStart) {
            at++;
            continue;
        }
        size_t start = at++;
        if (end - at < kFrameHeaderSize - 1) return true;
        uint32_t token = LittleEndian(stream + at, 4);
        uint16_t channel = static_cast<uint16_t>(LittleEndian(stream + at + 4, 2));
        uint32_t length = LittleEndian(stream + at + 6, 4);
        at += kFrameHeaderSize - 1;
        if (length > kMaxFramePayload) continue;
        if (end - at < static_cast<size_t>(length) + 1) return true;
        std::vector<uint8_t> payload(stream + at, stream + at + length);
        at += length;
        if (stream[at++] != kFrameEnd) continue;
        frames->push_back(tSeenFrame{start, at, token, channel, payload});
    }
    return false;
}

// Checks a frame the parser completed at stream offset `end` and takes it.
tSeenFrame TakeFrame(tFrameParser *parser, const uint8_t *stream, size_t end, size_t earliest) {
    uint32_t length = parser->length;
    FUZZ_CHECK(length <= kMaxFramePayload, "a frame longer than the limit was delivered");
    FUZZ_CHECK((parser->payload != nullptr) == (length != 0),
               "a payload buffer exists exactly for a non-empty frame");
    FUZZ_CHECK(length == 0 || parser->stored == length, "the payload is incomplete");
    size_t size = static_cast<size_t>(length) + kFrameOverhead;
    FUZZ_CHECK(end >= earliest + size, "a frame reaches back before its stretch of the stream");
    size_t start = end - size;

    std::vector<uint8_t> encoded(size);
    EncodeFrame(encoded.data(), parser->token, parser->channel, parser->payload, length);
    FUZZ_CHECK(memcmp(encoded.data(), stream + start, size) == 0,
               "the frame does not encode back to the bytes it came from");

    uint16_t code = 0;
    bool control = IsControlPayload(parser->payload, length, &code);
    bool marked = length >= kControlHeaderSize && parser->payload[0] == 0xFF &&
                  parser->payload[1] == 0xFE && parser->payload[2] == 0xFF;
    FUZZ_CHECK(control == marked, "control frames are those with the FF FE FF marker");
    if (control) {
        FUZZ_CHECK(code == (parser->payload[3] | parser->payload[4] << 8), "wrong control code");
    }

    tSeenFrame frame{start, end, parser->token, parser->channel, {}};
    uint8_t *payload = FrameTakePayload(parser);
    if (payload != nullptr) frame.payload.assign(payload, payload + length);
    free(payload);
    FUZZ_CHECK(!FrameInProgress(parser), "the parser does not hunt after a frame was taken");
    FUZZ_CHECK(parser->payload == nullptr, "the taken payload is still held");
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t planSize = data[0] & 0x1F;
    if (planSize > size - 1) planSize = size - 1;
    const uint8_t *plan = data + 1;
    const uint8_t *stream = data + 1 + planSize;
    size_t streamSize = size - 1 - planSize;

    tFrameParser parser;
    FrameParserInit(&parser);
    FUZZ_CHECK(!FrameInProgress(&parser), "a fresh parser is inside a frame");

    std::vector<tSeenFrame> delivered;
    std::vector<size_t> stretches{0};  // where each stretch between resets begins
    size_t at = 0;
    size_t step = 0;
    size_t emptyFeeds = 0;
    while (at < streamSize) {
        uint8_t piece = planSize != 0 ? plan[step++ % planSize] : 0x7F;
        if ((piece & 0x80) != 0 && at != stretches.back()) {
            FrameParserReset(&parser);
            FUZZ_CHECK(!FrameInProgress(&parser), "a reset parser is inside a frame");
            stretches.push_back(at);
        }
        size_t left = streamSize - at;
        size_t count = (piece & 0x7F) == 0x7F ? left : piece & 0x7F;
        // A plan of nothing but empty feeds would never finish.
        if (count == 0 && ++emptyFeeds > planSize) count = left;
        if (count > left) count = left;
        if (count != 0) emptyFeeds = 0;

        size_t used = 0;
        do {
            bool complete = true;
            size_t taken = FrameParserFeed(&parser, stream + at + used, count - used, &complete);
            FUZZ_CHECK(taken <= count - used, "the parser used more bytes than it was given");
            if (complete) {
                FUZZ_CHECK(taken != 0, "a frame completed without a byte");
                delivered.push_back(
                    TakeFrame(&parser, stream, at + used + taken, stretches.back()));
                FUZZ_CHECK(delivered.size() < 2 ||
                               delivered[delivered.size() - 2].end <= delivered.back().start,
                           "frames overlap");
            } else {
                FUZZ_CHECK(taken == count - used, "bytes were left without a complete frame");
            }
            used += taken;
        } while (used < count);
        at += count;
    }

    std::vector<tSeenFrame> expected;
    bool unfinished = false;
    for (size_t i = 0; i < stretches.size(); i++) {
        size_t end = i + 1 < stretches.size() ? stretches[i + 1] : streamSize;
        unfinished = ReadFrames(stream, stretches[i], end, &expected);
    }
    FUZZ_CHECK(delivered == expected, "the parser's frames differ from the stream's frames");
    FUZZ_CHECK(FrameInProgress(&parser) == unfinished,
               "the parser disagrees about an unfinished frame at the end");
    FrameParserReset(&parser);
    return 0;
}
