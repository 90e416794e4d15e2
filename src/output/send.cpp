// Datagram rendering and distribution.
#include "output/send.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/config.h"
#include "core/log.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "output/keyboard.h"
#include "output/server.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

static const char kLogName[] = "SendTagData";

// A growable byte buffer that keeps its memory from use to use.
struct tByteBuffer {
    uint8_t *bytes;
    uint32_t length;
    uint32_t capacity;
};

// Appends `length` bytes; false when memory is short (the buffer is kept).
static bool AppendBytes(tByteBuffer *buffer, const void *bytes, uint32_t length) {
    // Nothing to add: also no memcpy to a buffer that has no memory yet.
    if (length == 0) return true;
    if (length > buffer->capacity - buffer->length) {
        if (length > UINT32_MAX / 2 - buffer->length) return false;
        uint32_t needed = buffer->length + length;
        uint32_t capacity = buffer->capacity < 256 ? 256 : buffer->capacity;
        while (capacity < needed)
            capacity *= 2;
        void *grown = realloc(buffer->bytes, capacity);
        if (grown == nullptr) return false;
        buffer->bytes = static_cast<uint8_t *>(grown);
        buffer->capacity = capacity;
    }
    memcpy(buffer->bytes + buffer->length, bytes, length);
    buffer->length += length;
    return true;
}

static void FreeBuffer(tByteBuffer *buffer) {
    free(buffer->bytes);
    *buffer = tByteBuffer{nullptr, 0, 0};
}

// Both guarded by DatagramLock. The datagram being rendered, and the tag
// datagrams of a batch (see BeginDatagramBatch) not yet written to the
// clients. Their memory is kept, so a datagram costs no allocation of its own.
static tByteBuffer Rendered = {nullptr, 0, 0};
static tByteBuffer Batched = {nullptr, 0, 0};
// A batch is written once it holds this much: a few hundred typical
// datagrams per send() when tags pile up, never more than a fraction of a
// millisecond of rendering.
static const uint32_t kBatchBytes = 8 * 1024;
// Whether the calling thread batches its tag datagrams, and whether it has
// put any into the batch since it began.
static thread_local bool Batching = false;
static thread_local bool BatchedAny = false;

// The unsent rest of datagrams for one client. Guarded by ClientsLock.
struct tBacklog {
    int socket;
    uint8_t *data;
    uint32_t length;
};
static tBacklog *Backlogs = nullptr;
static size_t BacklogCount = 0;
static size_t BacklogCapacity = 0;

static tBacklog *FindBacklog(int socket) {
    for (size_t i = 0; i < BacklogCount; i++) {
        if (Backlogs[i].socket == socket) return &Backlogs[i];
    }
    return nullptr;
}

void ForgetClient(int socket) {
    tBacklog *backlog = FindBacklog(socket);
    if (backlog == nullptr) return;
    free(backlog->data);
    *backlog = Backlogs[--BacklogCount];
    if (BacklogCount == 0) {
        free(Backlogs);
        Backlogs = nullptr;
        BacklogCapacity = 0;
    }
}

// Keeps `length` more bytes for a client. False when that would pass the
// bound or memory is short: the client's stream can no longer be kept whole.
static bool KeepForLater(int socket, const uint8_t *bytes, uint32_t length) {
    tBacklog *backlog = FindBacklog(socket);
    if (backlog == nullptr) {
        if (BacklogCount == BacklogCapacity) {
            size_t capacity = BacklogCapacity == 0 ? 4 : BacklogCapacity * 2;
            void *grown = realloc(Backlogs, capacity * sizeof(tBacklog));
            if (grown == nullptr) return false;
            Backlogs = static_cast<tBacklog *>(grown);
            BacklogCapacity = capacity;
        }
        backlog = &Backlogs[BacklogCount++];
        *backlog = tBacklog{socket, nullptr, 0};
    }
    if (length > kMaxClientBacklog - backlog->length) return false;
    void *grown = realloc(backlog->data, backlog->length + length);
    if (grown == nullptr) return false;
    backlog->data = static_cast<uint8_t *>(grown);
    memcpy(backlog->data + backlog->length, bytes, length);
    backlog->length += length;
    return true;
}

// Writes as much as the socket takes without blocking: the number of bytes
// written, or -1 with errno set on an error other than a full buffer.
static ssize_t WriteSome(int socket, const uint8_t *bytes, size_t length) {
    size_t written = 0;
    while (written < length) {
        ssize_t sent = send(socket, bytes + written, length - written, MSG_NOSIGNAL);
        if (sent > 0) {
            written += static_cast<size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;  // retry
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return -1;
        }
    }
    return static_cast<ssize_t>(written);
}

enum tDelivery {
    kDelivered,   // written, or the rest kept for later
    kGivenUp,     // a send error: the rest of this datagram is lost for the client
    kDisconnect,  // the peer has gone
    kTooSlow,     // the client fell too far behind to keep its stream whole
};

static tDelivery ErrorDelivery() {
    return errno == EPIPE ? kDisconnect : kGivenUp;
}

// Writes what waits for a client. kDelivered also when part of it still waits.
static tDelivery FlushBacklog(int socket) {
    tBacklog *backlog = FindBacklog(socket);
    if (backlog == nullptr) return kDelivered;
    ssize_t written = WriteSome(socket, backlog->data, backlog->length);
    if (written < 0) {
        ForgetClient(socket);
        return ErrorDelivery();
    }
    if (static_cast<uint32_t>(written) == backlog->length) {
        ForgetClient(socket);
    } else {
        backlog->length -= static_cast<uint32_t>(written);
        memmove(backlog->data, backlog->data + written, backlog->length);
    }
    return kDelivered;
}

static tDelivery Deliver(int socket, const uint8_t *text, uint32_t length) {
    tDelivery flushed = FlushBacklog(socket);
    if (flushed != kDelivered) return flushed;
    if (FindBacklog(socket) != nullptr) {
        // Older bytes still wait: this datagram queues behind them.
        return KeepForLater(socket, text, length) ? kDelivered : kTooSlow;
    }
    ssize_t written = WriteSome(socket, text, length);
    if (written < 0) return ErrorDelivery();
    if (static_cast<uint32_t>(written) == length) return kDelivered;
    return KeepForLater(socket, text + written, length - static_cast<uint32_t>(written))
               ? kDelivered
               : kTooSlow;
}

static void CloseClient(CMyList<int>::Node *&node) {
    int socket = node->value;
    ForgetClient(socket);
    close(socket);
    ClientList.Remove(node);
}

void FlushClientBacklogs() {
    if (BacklogCount == 0) return;
    CMyList<int>::Node *node = ClientList.Head();
    while (node != nullptr) {
        if (FlushBacklog(node->value) == kDisconnect) {
            CloseClient(node);
        } else {
            node = node->next;
        }
    }
}

static void SendToClients(const uint8_t *text, uint32_t length) {
    if (EventWait(&ClientsLock) != 0) return;
    CMyList<int>::Node *node = ClientList.Head();
    while (node != nullptr) {
        tDelivery delivery = Deliver(node->value, text, length);
        if (delivery == kTooSlow)
            LogPrintf(kLogName, "Client %i too slow, disconnected\n", node->value);
        if (delivery == kDisconnect || delivery == kTooSlow) {
            CloseClient(node);
        } else {
            node = node->next;
        }
    }
    EventSignal(&ClientsLock);
}

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
    // A datagram far larger than usual does not keep its memory.
    if (Rendered.capacity > 4 * kBatchBytes) FreeBuffer(&Rendered);
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
    if (Batched.capacity > 4 * kBatchBytes) FreeBuffer(&Batched);
    EventSignal(&DatagramLock);
}

void FreeDatagramBuffers() {
    FreeBuffer(&Rendered);
    FreeBuffer(&Batched);
}
