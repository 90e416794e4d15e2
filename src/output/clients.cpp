// Delivery to the TCP clients: non-blocking writes and per-client backlogs.
#include "output/clients.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "output/byte_buffer.h"
#include "output/server.h"
#include "sync/lists.h"

// A client dropped while a datagram goes out is logged under the sender's name.
static const char kLogName[] = "SendTagData";

// The unsent rest of datagrams for one client. Guarded by ClientsLock.
struct tBacklog {
    int socket;
    tByteBuffer waiting;
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

// Drops a client's backlog: all of it was written, or the client is closed.
static void ForgetClient(int socket) {
    tBacklog *backlog = FindBacklog(socket);
    if (backlog == nullptr) return;
    FreeBytes(&backlog->waiting);
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
        *backlog = tBacklog{socket, tByteBuffer{nullptr, 0, 0}};
    }
    if (length > kMaxClientBacklog - backlog->waiting.length) return false;
    return AppendBytes(&backlog->waiting, bytes, length);
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
    ssize_t written = WriteSome(socket, backlog->waiting.bytes, backlog->waiting.length);
    if (written < 0) {
        ForgetClient(socket);
        return ErrorDelivery();
    }
    if (static_cast<uint32_t>(written) == backlog->waiting.length) {
        ForgetClient(socket);
    } else {
        DropLeadingBytes(&backlog->waiting, static_cast<uint32_t>(written));
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

void CloseClient(CMyList<int>::Node *&node) {
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

void SendToClients(const uint8_t *text, uint32_t length) {
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
