// Reader results: the six handlers the reader library calls, and the tag
// queue's consumer thread.
//
// The library reports everything asynchronously on threads of its own. The
// data handler copies every reported tag into a tTag and queues it on TagList
// (under IntakeLock, so nothing is queued once the intake is closed at
// shutdown); HandleNewTags takes the records off the queue and renders each.
// The status handlers hand start, heartbeat and stop reports straight to the
// renderer and wake the threads that wait for a command's acknowledgement.
#ifndef KORVANE_READER_RESULTS_H
#define KORVANE_READER_RESULTS_H

#include <stdint.h>

#include "core/flags.h"
#include "reader/reader_lib.h"
#include "sync/event.h"

// Start error of the last inventory start report (0 = running). Written by
// InventoryStatusHandler before it signals InventoryStartEvent.
extern tFlag InventoryStartError;
// Start error of the last memory read start report; ReadStartEvent.
extern tFlag ReadStartError;
// Result of the last stop (0 = stopped); written before StopDoneEvent.
extern tFlag StopResult;
// Stop reports Korvane caused itself and that must not produce the StopText.
// Raised by the threads that stop the reader, lowered by the status handlers.
extern tFlag SuppressedStopCount;
// Lowers SuppressedStopCount by one unless it is 0; true when it did. The
// status handler takes one per stop report; a thread whose stop was refused,
// or never acknowledged, takes back the one it raised, since no report will
// come for it: left raised, it would swallow the StopText of a later stop
// the reader makes on its own.
bool TakeSuppressedStop();

extern tEvent NewTagEvent;          // records are waiting on TagList
extern tEvent StopDoneEvent;        // StopResult has arrived
extern tEvent InventoryStartEvent;  // InventoryStartError has arrived
extern tEvent ReadStartEvent;       // ReadStartError has arrived
extern tEvent ResultFlagEvent;      // an extended result flag call completed

void TagDataHandler(uint32_t event, uint32_t unused, const ReaderTagRecord *first);
void InventoryStatusHandler(uint32_t code, uint32_t status, uint32_t handle);
void ReadStatusHandler(uint32_t code, uint32_t status, uint32_t handle);
void StopResultHandler(uint32_t result, uint32_t handle);
void GetResultFlagHandler(uint32_t value, uint32_t handle);
void SetResultFlagHandler(uint32_t unused, uint32_t handle);

// Thread body: renders queued tags until ShutdownFlag is set.
void *HandleNewTags(void *);

// Frees a tag record and the memory words it owns; null is ignored.
void FreeTag(struct tTag *tag);

#endif  // KORVANE_READER_RESULTS_H
