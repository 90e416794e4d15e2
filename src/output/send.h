// Rendering one datagram and handing it to every listener.
//
// SendTagData renders the template of an event under DatagramLock, hands the
// bytes to SendToClients (output/clients.h), which takes ClientsLock, and
// queues a copy for the keyboard under KeyboardLock. Lock order: DatagramLock,
// then ClientsLock, then KeyboardLock.
//
// Between BeginDatagramBatch and EndDatagramBatch, the tag datagrams (kind 0)
// that the calling thread renders are collected and written to the clients
// together, a few kilobytes per send(), instead of one send() per datagram and
// client. The bytes and their order are the same; a report rendered meanwhile,
// on any thread, first writes what the batch holds. The thread that empties
// the tag queue batches each pass.
#ifndef KORVANE_OUTPUT_SEND_H
#define KORVANE_OUTPUT_SEND_H

#include <stdint.h>

struct tTag;

// Texts waiting to be typed before further texts are dropped.
constexpr uint32_t kMaxKeyboardTexts = 4096;

// Renders and sends the datagram of an event: kind 0 the tag's coming or going datagram; 1
// StartText, 2 HeartbeatText, 3 StopText (tag null); any other kind counts as 0. Nothing is
// rendered while nobody listens. Takes DatagramLock, ClientsLock and KeyboardLock in that order:
// the caller holds none of them.
void SendTagData(const tTag *tag, uint32_t kind);

// Starts collecting the calling thread's tag datagrams into a batch. Needs no lock.
void BeginDatagramBatch();
// Writes what the batch holds and stops collecting. Takes DatagramLock, then
// ClientsLock: the caller holds neither.
void EndDatagramBatch();
// Frees the rendering buffers at tear-down. Caller holds DatagramLock.
void FreeDatagramBuffers();

#endif  // KORVANE_OUTPUT_SEND_H
