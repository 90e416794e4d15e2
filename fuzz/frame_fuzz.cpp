// Fuzz target: the IPC frame parser fed a byte stream in pieces, and reset now
// and then as the receive loop does for a stalled frame or a new connection.
//
// Input: byte 0 holds in its low 5 bits the number K of plan bytes that
// follow; the rest is the stream. Plan byte i (cycling) gives the size of the
// next piece in its low 7 bits (0x7F: all that is left), and its high bit
// resets the parser first. K = 0 feeds the stream at once.
//
// Checked: a feed takes no more bytes than it is given, and all of them unless
// it completes a frame; a completed frame encodes back to the bytes it came
// from, within what was fed since the last reset.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "harness.h"
#include "ipc/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t planSize = std::min<size_t>(data[0] & 0x1F, size - 1);
    const uint8_t *plan = data + 1, *stream = plan + planSize;
    const size_t streamSize = size - 1 - planSize;
    tFrameParser parser;
    FrameParserInit(&parser);
    for (size_t at = 0, step = 0, stretch = 0; at < streamSize;) {
        const uint8_t piece = planSize != 0 ? plan[step++ % planSize] : 0x7F;
        if ((piece & 0x80) != 0) {
            FrameParserReset(&parser);
            stretch = at;
        }
        // A size of 0 feeds one byte, so that the stream goes on.
        size_t count = std::min<size_t>(streamSize - at, std::max(piece & 0x7F, 1));
        if ((piece & 0x7F) == 0x7F) count = streamSize - at;
        bool complete = true;
        for (size_t used = 0; used < count;) {
            size_t taken = FrameParserFeed(&parser, stream + at + used, count - used, &complete);
            FUZZ_CHECK(taken <= count - used, "more bytes used than given");
            used += taken;
            if (!complete) {
                FUZZ_CHECK(used == count, "bytes were left without a complete frame");
                break;
            }
            FUZZ_CHECK(taken != 0, "a frame completed without a byte");
            const size_t frameSize = parser.length + kFrameOverhead;
            FUZZ_CHECK(frameSize <= at + used - stretch, "a frame reaches back before a reset");
            std::vector<uint8_t> encoded(frameSize);
            EncodeFrame(encoded.data(), parser.token, parser.channel, parser.payload,
                        parser.length);
            FUZZ_CHECK(memcmp(encoded.data(), stream + at + used - frameSize, frameSize) == 0,
                       "the frame does not encode back to the bytes it came from");
            free(FrameTakePayload(&parser));
        }
        at += count;
    }
    FrameParserReset(&parser);
    return 0;
}
