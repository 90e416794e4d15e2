// Datagram rendering, batching and queueing for the keyboard.
#include "output/send.h"

#include <stdlib.h>
#include <string.h>

#include "config/config.h"
#include "core/log.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "output/byte_buffer.h"
#include "output/clients.h"
#include "output/keyboard.h"
#include "output/server.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

static const char kLogName[] = "SendTagData";

// Both guarded by DatagramLock. The datagram being rendered, and the tag
// datagrams of a batch (see BeginDatagramBatch) not yet written to the
// clients. Their memory is kept, so a datagram costs no allocation of its own.
static tByteBuffer Rendered = {nullptr, 0, 0};
static tByteBuffer Batched = {nullptr, 0, 0};
// A batch is written once it holds this much: a few hundred typical
// datagrams per send() when tags pile up, never more than a fraction of a
// millisecond of rendering.
static const uint32_t kBatchBytes = 8 * 1024;
// A buffer that grew far larger than usual does not keep its memory.
static const uint32_t kKeptBufferBytes = 4 * kBatchBytes;
// Whether the calling thread batches its tag datagrams, and whether it has
// put any into the batch since it began.
static thread_local bool Batching = false;
static thread_local bool BatchedAny = false;

// Queues a copy of a datagram to type. Caller holds DatagramLock; takes KeyboardLock.
static void QueueForKeyboard(const uint8_t *text, uint32_t length) {
    tData *copy = static_cast<tData *>(calloc(1, sizeof(tData)));
    if (copy == nullptr) return;
    copy->buffer = static_cast<uint8_t *>(malloc(length));
    if (copy->buffer == nullptr) {
        free(copy);
        return;
    }
    memcpy(copy->buffer, text, length);
    copy->length = length;
    if (EventWait(&KeyboardLock) != 0) {
        FreeData(copy);
        return;
    }
    // Typing is slow and may have stopped for good (no gadget): the queue is
    // bounded, and texts beyond it are dropped rather than kept forever.
    bool queued = KeyboardList.Count() < kMaxKeyboardTexts;
    if (queued) KeyboardList.PushBack(copy);
    EventSignal(&KeyboardLock);
    if (queued) {
        EventSignal(&KeyboardTextEvent);
    } else {
        FreeData(copy);
    }
}

// The template of an event, or null when it sends nothing. Caller holds
// DatagramLock, which also guards the stored template texts.
static CMyList<tDatagramElement *> *SelectTemplate(const tTag *tag, uint32_t kind) {
    switch (kind) {
        case 1:
            return &StartTemplate;
        case 2:
            return &HeartbeatTemplate;
        case 3:
            return &StopTemplate;
        default:
            if (tag == nullptr) return nullptr;
            if (tag->event == 0xFF && ComingText != nullptr) return &ComingTemplate;
            if (tag->event == 0x00 && GoingText != nullptr) return &GoingTemplate;
            return nullptr;
    }
}

static bool IsFixedText(const tMagicWordSlot *slot) {
    return (slot->Word->Id & kMagicWordFixedText) != 0;
}

static void ReleaseText(tMagicWordSlot *slot) {
    free(slot->Text);
    slot->Text = nullptr;
}

// Renders one element into the datagram; false when memory is short.
static bool RenderElement(tByteBuffer *datagram, tDatagramElement *element, const tTag *tag) {
    if (element->Kind == 0) {
        if (element->Content == nullptr || element->Length == 0) return true;
        return AppendBytes(datagram, element->Content, element->Length);
    }
    tMagicWordSlot *slot = static_cast<tMagicWordSlot *>(element->Content);
    if (!slot->Used) return true;
    // A word in text coding is rendered once per datagram and reused.
    if (slot->Text != nullptr && element->Coding == 1) {
        return AppendBytes(datagram, slot->Text, slot->TextLength);
    }
    if (slot->Word->Handler != nullptr)
        slot->Word->Handler(0, nullptr, tag, slot, &element->Coding);
    bool appended = true;
    if (slot->Text != nullptr && slot->TextLength != 0) {
        appended = AppendBytes(datagram, slot->Text, slot->TextLength);
    }
    // Texts in other codings are made per occurrence. Fixed texts are made
    // once at parse time and must survive, or a control byte in a binary
    // block would go out with the first datagram only.
    if (element->Coding != 1 && !IsFixedText(slot)) ReleaseText(slot);
    return appended;
}

// Writes the batched datagrams to the clients. Caller holds DatagramLock.
static void FlushBatch() {
    if (Batched.length == 0) return;
    SendToClients(Batched.bytes, Batched.length);
    Batched.length = 0;
}

void SendTagData(const tTag *tag, uint32_t kind) {
    if (!FlagGet(ClientConnected) && !FlagGet(KeyboardEmulationEnabled)) return;
    // The lock is destroyed at shutdown; a late report then renders nothing.
    if (EventWait(&DatagramLock) != 0) return;
    CMyList<tDatagramElement *> *templateList = SelectTemplate(tag, kind);
    if (templateList == nullptr) {
        EventSignal(&DatagramLock);
        return;
    }

    for (tMagicWordSlot &slot : MagicWordSlots) {
        if (slot.Used && slot.Text != nullptr && !IsFixedText(&slot)) ReleaseText(&slot);
    }
    tByteBuffer *datagram = &Rendered;
    datagram->length = 0;
    bool rendered = true;
    for (CMyList<tDatagramElement *>::Node *node = templateList->Head();
         node != nullptr && rendered; node = node->next) {
        rendered = RenderElement(datagram, node->value, tag);
    }
    if (!rendered) {
        LogPuts(kLogName, "Realloc failed");
        datagram->length = 0;
    }

    if (datagram->length == 0) {
        LogPuts(kLogName, "No sendtext");
    } else {
        if (FlagGet(Verbose) && EventWait(&ClientsLock) == 0) {
            uint32_t clients = ClientList.Count();
            if (clients != 0) {
                LogPrintf(kLogName, "Send text (%u Bytes) to %lu TCP clients\n", datagram->length,
                          static_cast<unsigned long>(clients));
            }
            EventSignal(&ClientsLock);
        }
        bool batch = Batching && (kind < 1 || kind > 3);
        if (!batch || !AppendBytes(&Batched, datagram->bytes, datagram->length)) {
            // Datagrams go out in the order they were rendered: what a batch
            // holds goes before this one.
            FlushBatch();
            SendToClients(datagram->bytes, datagram->length);
        } else {
            BatchedAny = true;
            if (Batched.length >= kBatchBytes) FlushBatch();
        }
        if (FlagGet(KeyboardEmulationEnabled)) QueueForKeyboard(datagram->bytes, datagram->length);
    }
    if (Rendered.capacity > kKeptBufferBytes) FreeBytes(&Rendered);
    EventSignal(&DatagramLock);
}

void BeginDatagramBatch() {
    Batching = true;
    BatchedAny = false;
}

void EndDatagramBatch() {
    Batching = false;
    if (!BatchedAny) return;
    BatchedAny = false;
    if (EventWait(&DatagramLock) != 0) return;
    FlushBatch();
    if (Batched.capacity > kKeptBufferBytes) FreeBytes(&Batched);
    EventSignal(&DatagramLock);
}

void FreeDatagramBuffers() {
    FreeBytes(&Rendered);
    FreeBytes(&Batched);
}
