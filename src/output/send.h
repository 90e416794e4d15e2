// Rendering one datagram and delivering it to every listener.
//
// SendTagData renders the template of an event under DatagramLock, sends the
// bytes to every TCP client under ClientsLock and queues a copy for the
// keyboard. Client sockets are non-blocking: when a client's socket buffer is
// full, the unsent rest of a datagram waits in a small backlog of that
// client's own, written before its next datagram, so every client's stream
// stays made of whole datagrams in order and no client ever stalls the others
// or the reader's callbacks. A client whose backlog overflows is disconnected.
#ifndef KORVANE_OUTPUT_SEND_H
#define KORVANE_OUTPUT_SEND_H

#include <stdint.h>

struct tTag;

// Bytes a slow client may have waiting before it is disconnected.
constexpr uint32_t kMaxClientBacklog = 64 * 1024;
// Texts waiting to be typed before further texts are dropped.
constexpr uint32_t kMaxKeyboardTexts = 4096;

// kind 0: the tag's coming or going datagram; 1 StartText, 2 HeartbeatText,
// 3 StopText (tag null); any other kind counts as 0. Nothing is rendered
// while nobody listens.
void SendTagData(const tTag *tag, uint32_t kind);

// Between these two calls, the tag datagrams (kind 0) that the calling
// thread renders are collected and written to the clients together, a few
// kilobytes per send(), instead of one send() per datagram and client. The
// bytes and their order are the same; a report rendered meanwhile, on any
// thread, first writes what the batch holds. EndDatagramBatch writes the rest.
// The thread that empties the tag queue batches each pass.
void BeginDatagramBatch();
void EndDatagramBatch();
// Frees the rendering buffers at tear-down. Caller holds DatagramLock.
void FreeDatagramBuffers();

// Writes what waits in the clients' backlogs; clients whose peer has gone are
// closed and removed. Caller holds ClientsLock.
void FlushClientBacklogs();
// Drops what waits for a client that is being closed. Caller holds
// ClientsLock.
void ForgetClient(int socket);

#endif  // KORVANE_OUTPUT_SEND_H
