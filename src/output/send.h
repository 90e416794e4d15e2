// Rendering one datagram and delivering it to every listener.
#ifndef KORVANE_OUTPUT_SEND_H
#define KORVANE_OUTPUT_SEND_H

#include <stdint.h>

struct tTag;

// kind 0: the tag's coming or going datagram; 1 StartText, 2 HeartbeatText,
// 3 StopText (tag null). Nothing is rendered while nobody listens.
void SendTagData(const tTag *tag, uint32_t kind);

#endif  // KORVANE_OUTPUT_SEND_H
