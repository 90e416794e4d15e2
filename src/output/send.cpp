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

// Appends `length` bytes to the datagram; false when memory is short.
static bool Append(tData *datagram, const void *bytes, uint32_t length) {
    void *grown = realloc(datagram->buffer, datagram->length + length + 1);
    if (grown == nullptr) return false;
    datagram->buffer = static_cast<uint8_t *>(grown);
    memcpy(datagram->buffer + datagram->length, bytes, length);
    datagram->length += length;
    return true;
}

static bool IsFixedText(const tMagicWordSlot *slot) {
    return (slot->Word->Id & kMagicWordFixedText) != 0;
}

static void ReleaseText(tMagicWordSlot *slot) {
    free(slot->Text);
    slot->Text = nullptr;
}

// Renders one element into the datagram; false when memory is short.
static bool RenderElement(tData *datagram, tDatagramElement *element, const tTag *tag) {
    if (element->Kind == 0) {
        if (element->Content == nullptr || element->Length == 0) return true;
        return Append(datagram, element->Content, element->Length);
    }
    tMagicWordSlot *slot = static_cast<tMagicWordSlot *>(element->Content);
    if (!slot->Used) return true;
    // A word in text coding is rendered once per datagram and reused.
    if (slot->Text != nullptr && element->Coding == 1) {
        return Append(datagram, slot->Text, slot->TextLength);
    }
    if (slot->Word->Handler != nullptr)
        slot->Word->Handler(0, nullptr, tag, slot, &element->Coding);
    bool appended = true;
    if (slot->Text != nullptr && slot->TextLength != 0) {
        appended = Append(datagram, slot->Text, slot->TextLength);
    }
    // Texts in other codings are made per occurrence. Fixed texts are made
    // once at parse time and must survive, or a control byte in a binary
    // block would go out with the first datagram only.
    if (element->Coding != 1 && !IsFixedText(slot)) ReleaseText(slot);
    return appended;
}

void SendTagData(const tTag *tag, uint32_t kind) {
    if (!FlagGet(ClientConnected) && !FlagGet(KeyboardEmulationEnabled)) return;
    // The lock is destroyed at shutdown; a late report then renders nothing.
    if (EventWait(&DatagramLock) != 0) return;
    CMyList<tDatagramElement *> *templateList = SelectTemplate(tag, kind);
    tData *datagram =
        templateList != nullptr ? static_cast<tData *>(calloc(1, sizeof(tData))) : nullptr;
    if (datagram == nullptr) {
        EventSignal(&DatagramLock);
        return;
    }

    for (tMagicWordSlot &slot : MagicWordSlots) {
        if (slot.Used && slot.Text != nullptr && !IsFixedText(&slot)) ReleaseText(&slot);
    }
    bool rendered = true;
    for (CMyList<tDatagramElement *>::Node *node = templateList->Head();
         node != nullptr && rendered; node = node->next) {
        rendered = RenderElement(datagram, node->value, tag);
    }
    if (!rendered) {
        LogPuts(kLogName, "Realloc failed");
        free(datagram->buffer);
        datagram->buffer = nullptr;
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
        SendToClients(datagram->buffer, datagram->length);
        if (FlagGet(KeyboardEmulationEnabled)) QueueForKeyboard(datagram->buffer, datagram->length);
    }
    FreeData(datagram);
    EventSignal(&DatagramLock);
}
