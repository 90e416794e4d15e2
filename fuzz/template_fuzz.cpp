// Fuzz target: template parsing, as the poller does before it starts the
// reader, and rendering of a tag (coming, going, its own event) and the three
// reports, to no socket and onto the keyboard queue. The sanitizers check it.
//
// Input: up to five templates separated by NUL bytes (coming, going, start,
// heartbeat, stop; an empty one is absent), then the tag record field by field
// (bytes past the end read as 0): options(1) event(1) antenna(1) rssi(1)
// rssiDbm(2) pc(2) xpcW1(2) xpcW2(2) epcLength(1) readResult(1) dataLength(1)
// seenAt(4) timestampMs(8), the 31 EPC words and dataLength memory words, all
// little-endian. Option bits: 0 SkipFirstByte, 1 SkipLastByte, 2 parse and
// render a second time, 3 render in a batch as the tag queue does.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "config/config.h"
#include "datagram/template.h"
#include "harness.h"
#include "output/send.h"
#include "output/server.h"
#include "reader/tag.h"
#include "sync/lists.h"

namespace {

void RenderAll(tTag *tag, uint8_t ownEvent, bool batch) {
    if (batch) BeginDatagramBatch();
    for (uint8_t event : {uint8_t{0xFF}, uint8_t{0x00}, ownEvent}) {
        tag->event = event;
        SendTagData(tag, 0);
    }
    for (uint32_t kind = 1; kind <= 3; kind++)
        SendTagData(nullptr, kind);
    if (batch) EndDatagramBatch();
    for (tData *text = nullptr; KeyboardList.PopFront(text) == 0;)
        FreeData(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    InitKorvaneGlobals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t at = 0;
    for (char **text : {&ComingText, &GoingText, &StartText, &HeartbeatText, &StopText}) {
        const void *end = at < size ? memchr(data + at, 0, size - at) : nullptr;
        size_t length = (end != nullptr ? static_cast<const uint8_t *>(end) - data : size) - at;
        if (length != 0) *text = strndup(reinterpret_cast<const char *>(data + at), length);
        at += length + (end != nullptr);
    }
    auto take = [&](int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; i++, at++)
            value |= at < size ? static_cast<uint64_t>(data[at]) << (8 * i) : 0;
        return value;
    };
    const uint8_t options = take(1), ownEvent = take(1);
    tTag tag{};
    tag.antenna = take(1);
    tag.rssi = take(1);
    tag.rssiDbm = static_cast<int16_t>(take(2));
    tag.pc = take(2);
    tag.xpcW1 = take(2);
    tag.xpcW2 = take(2);
    tag.epcLength = take(1);
    tag.readResult = take(1);
    tag.dataLength = take(1);
    tag.seenAt = take(4);
    tag.timestampMs = take(8);
    for (uint16_t &word : tag.epc)
        word = take(2);
    if (tag.dataLength != 0) tag.memoryData = static_cast<uint16_t *>(malloc(2 * tag.dataLength));
    for (int i = 0; i < tag.dataLength; i++)
        tag.memoryData[i] = take(2);

    FlagSet(SkipFirstByte, options & 1);
    FlagSet(SkipLastByte, (options >> 1) & 1);
    FlagSet(ClientConnected, 1);
    FlagSet(KeyboardEmulationEnabled, 1);
    for (int round = 0; round < ((options & 4) != 0 ? 2 : 1); round++) {
        ParseStoredTemplates();
        RenderAll(&tag, ownEvent, (options & 8) != 0);
    }
    free(tag.memoryData);
    ResetProcessState();
    return 0;
}
