// Reader results: the handlers the reader library calls, and HandleNewTags.
#include "reader/results.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/app.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "output/send.h"
#include "reader/tag.h"
#include "sync/lists.h"

tFlag InventoryStartError{0x80};
tFlag ReadStartError{0x80};
tFlag StopResult{0};
tFlag SuppressedStopCount{0};

tEvent NewTagEvent;
tEvent StopDoneEvent;
tEvent InventoryStartEvent;
tEvent ReadStartEvent;
tEvent ResultFlagEvent;

// The library's record has room for this many EPC words; tTag keeps as many.
static constexpr uint8_t kMaxEpcWords = 31;

void FreeTag(tTag *tag) {
    if (tag == nullptr) return;
    free(tag->memoryData);
    free(tag);
}

// Builds Korvane's copy of one record; null when out of memory.
static tTag *CopyRecord(uint8_t event, const ReaderTagRecord *record) {
    tTag *tag = static_cast<tTag *>(calloc(1, sizeof(tTag)));
    if (tag == nullptr) return nullptr;
    tag->event = event;
    tag->antenna = record->antenna;
    tag->rssi = record->rssi;
    tag->rssiDbm = record->rssiDbm;
    tag->pc = record->pc;
    tag->xpcW1 = record->xpcW1;
    tag->xpcW2 = record->xpcW2;
    // A record that claims more words than it can hold is cut to what it
    // holds, rather than read beyond its EPC field.
    tag->epcLength = record->epcLength > kMaxEpcWords ? kMaxEpcWords : record->epcLength;
    memcpy(tag->epc, record->epc, tag->epcLength * sizeof(uint16_t));
    tag->readResult = record->readResult;
    tag->timestampMs = record->timestampMs;
    tag->seenAt = static_cast<uint32_t>(time(nullptr));
    if (record->dataLength > 0 && record->data != nullptr) {
        size_t bytes = record->dataLength * sizeof(uint16_t);
        tag->memoryData = static_cast<uint16_t *>(malloc(bytes));
        if (tag->memoryData != nullptr) {
            tag->dataLength = record->dataLength;
            memcpy(tag->memoryData, record->data, bytes);
        }
    }
    return tag;
}

void TagDataHandler(uint32_t event, uint32_t, const ReaderTagRecord *first) {
    if (FlagGet(ShutdownFlag) || first == nullptr) return;
    for (const ReaderTagRecord *record = first; record != nullptr; record = record->next) {
        tTag *tag = CopyRecord(static_cast<uint8_t>(event), record);
        if (tag == nullptr) continue;
        EventWait(&IntakeLock);
        if (FlagGet(IntakeOpen)) {
            TagList.PushBack(tag);
            EventSignal(&NewTagEvent);
        } else {
            FreeTag(tag);
        }
        EventSignal(&IntakeLock);
    }
}

bool TakeSuppressedStop() {
    uint8_t suppressed = FlagGet(SuppressedStopCount);
    while (suppressed != 0 && !SuppressedStopCount.compare_exchange_weak(
                                  suppressed, suppressed - 1, std::memory_order_relaxed)) {
    }
    return suppressed != 0;
}

// Start (255), heartbeat (128) and stop (0) reports of a running command.
static void HandleStatus(uint32_t code, uint32_t status, uint32_t handle, tFlag &startError,
                         tEvent *startEvent) {
    if (handle != ReaderHandle) return;
    switch (status) {
        case 255:
            FlagSet(startError, static_cast<uint8_t>(code));
            EventSignal(startEvent);
            SendTagData(nullptr, 1);
            break;
        case 128:
            SendTagData(nullptr, 2);
            break;
        case 0:
            // A stop that Korvane asked for itself produces no StopText.
            if (!TakeSuppressedStop()) SendTagData(nullptr, 3);
            break;
        default:
            break;
    }
}

void InventoryStatusHandler(uint32_t code, uint32_t status, uint32_t handle) {
    HandleStatus(code, status, handle, InventoryStartError, &InventoryStartEvent);
}

void ReadStatusHandler(uint32_t code, uint32_t status, uint32_t handle) {
    HandleStatus(code, status, handle, ReadStartError, &ReadStartEvent);
}

void StopResultHandler(uint32_t result, uint32_t handle) {
    if (handle != ReaderHandle) return;
    FlagSet(StopResult, static_cast<uint8_t>(result));
    EventSignal(&StopDoneEvent);
}

void GetResultFlagHandler(uint32_t value, uint32_t handle) {
    if (handle != ReaderHandle) return;
    FlagSet(HostCommExtendedResultFlag, static_cast<uint8_t>(value));
    EventSignal(&ResultFlagEvent);
}

void SetResultFlagHandler(uint32_t, uint32_t handle) {
    if (handle != ReaderHandle) return;
    EventSignal(&ResultFlagEvent);
}

void *HandleNewTags(void *) {
    while (!FlagGet(ShutdownFlag)) {
        if (EventWaitMs(&NewTagEvent, 100) != 0) continue;
        bool tookAny = false;
        tTag *tag = nullptr;
        BeginDatagramBatch();
        while (!FlagGet(ShutdownFlag) && TagList.PopFront(tag) == 0) {
            tookAny = true;
            if (tag == nullptr) continue;
            SendTagData(tag, 0);
            FreeTag(tag);
        }
        EndDatagramBatch();
        // Counts that piled up while this pass emptied the list are dropped;
        // exactly one more pass runs and catches a record queued after the
        // list was seen empty.
        if (tookAny) EventInit(&NewTagEvent, 1);
    }
    return nullptr;
}
