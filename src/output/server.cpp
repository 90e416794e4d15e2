// TCP server and client polling.
#include "output/server.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/config.h"
#include "core/app.h"
#include "core/log.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "output/clients.h"
#include "reader/results.h"
#include "sync/lists.h"

std::atomic<int> ListenSocket{-1};
tFlag ClientConnected{0};
tEvent ClientsLock;

static constexpr int kListenBacklog = 256;
static constexpr int kKeepAliveSeconds = 2;
static constexpr useconds_t kPassMicroseconds = 100000;
static constexpr uint32_t kAcknowledgeMs = 5000;

void CloseClientSockets() {
    CMyList<int>::Node *node = nullptr;
    while ((node = ClientList.Head()) != nullptr)
        CloseClient(node);
}

int OpenListenSocket(uint16_t port) {
    if (ListenSocket != -1) close(ListenSocket);
    if (EventWait(&ClientsLock) == 0) {
        CloseClientSockets();
        EventSignal(&ClientsLock);
    }
    int server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) return -1;
    int on = 1;
    struct sockaddr_storage storage = {};
    struct sockaddr_in6 *address = reinterpret_cast<struct sockaddr_in6 *>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_addr = in6addr_any;
    address->sin6_port = htons(port);
    if (setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(server, reinterpret_cast<struct sockaddr *>(&storage), sizeof(storage)) != 0 ||
        listen(server, kListenBacklog) != 0) {
        close(server);
        return -1;
    }
    return server;
}

// Makes an accepted socket non-blocking with a short keepalive, so a peer
// that vanished shows up as a receive error. False when a setting failed.
static bool PrepareClient(int client) {
    int on = 1;
    int seconds = kKeepAliveSeconds;
    return fcntl(client, F_SETFL, O_NONBLOCK) == 0 &&
           setsockopt(client, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == 0 &&
           setsockopt(client, IPPROTO_TCP, TCP_KEEPIDLE, &seconds, sizeof(seconds)) == 0 &&
           setsockopt(client, IPPROTO_TCP, TCP_KEEPINTVL, &seconds, sizeof(seconds)) == 0;
}

// Waits up to 1 ms for a connection and accepts it; -1 when there is none.
static int AcceptClient(int server, struct sockaddr_storage *peer) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(server, &readable);
    struct timespec wait = {0, 1000000};
    if (pselect(server + 1, &readable, nullptr, nullptr, &wait, nullptr) <= 0 ||
        !FD_ISSET(server, &readable)) {
        return -1;
    }
    socklen_t length = sizeof(*peer);
    int client = accept4(server, reinterpret_cast<struct sockaddr *>(peer), &length, SOCK_CLOEXEC);
    if (client < 0) return -1;
    if (!PrepareClient(client)) {
        close(client);
        return -1;
    }
    return client;
}

static void LogClient(int client, const struct sockaddr_storage &peer) {
    if (!FlagGet(Verbose)) return;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const struct sockaddr *>(&peer), sizeof(peer), host,
                    sizeof(host), nullptr, 0, NI_NUMERICHOST) == 0) {
        LogPrintf("WaitForClients", "Client %s (%i) connected\n", host, client);
    } else {
        LogPuts("WaitForClients", "Error getnameinfo");
    }
}

void *WaitForClients(void *) {
    while (!FlagGet(ShutdownFlag)) {
        // Read without a lock: a stale descriptor during a re-open only makes
        // this pass fail.
        int server = ListenSocket;
        struct sockaddr_storage peer = {};
        int client = server != -1 ? AcceptClient(server, &peer) : -1;
        if (client != -1 && EventWait(&ClientsLock) == 0) {
            ClientList.PushBack(client);
            EventSignal(&ClientsLock);
            LogClient(client, peer);
            FlagSet(ClientConnected, 1);
        } else if (client != -1) {
            close(client);
        }
        usleep(kPassMicroseconds);
    }
    return nullptr;
}

// Reads and discards what each client sent; drops those whose peer closed
// or whose connection failed. Caller holds ClientsLock.
static void CheckClients() {
    CMyList<int>::Node *node = ClientList.Head();
    while (node != nullptr && !FlagGet(ShutdownFlag)) {
        int client = node->value;
        char discard[4];
        ssize_t got = recv(client, discard, sizeof(discard), 0);
        if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
            node = node->next;
            continue;
        }
        LogPrintf("PollClients", "Client %i is not connected\n", client);
        CloseClient(node);
    }
}

static void StopReaderForNobody() {
    EventInit(&StopDoneEvent, 0);
    SuppressedStopCount.fetch_add(1, std::memory_order_relaxed);
    uint32_t result = ASyncStopCommand(ReaderHandle);
    bool acknowledged = result == 0 && EventWaitMs(&StopDoneEvent, kAcknowledgeMs) == 0;
    if (acknowledged && FlagGet(StopResult) == 0) {
        FlagSet(ReaderCommandRunning, 0);
        LogPuts("PollClients", "No clients, OK: ASyncStop");
    } else {
        // Refused, or not acknowledged in time: no stop report will come for
        // this attempt (a stop result other than 0 is still followed by one).
        if (result != 0 || !acknowledged) TakeSuppressedStop();
        LogPrintf("PollClients", "No clients, Error: ASyncStop: %u\n", result);
    }
}

void *PollClients(void *) {
    while (!FlagGet(ShutdownFlag)) {
        if (EventWait(&ClientsLock) == 0) {
            CheckClients();
            FlushClientBacklogs();
            EventSignal(&ClientsLock);
        }
        if (EventWait(&ClientsLock) == 0) {
            FlagSet(ClientConnected, ClientList.Count() != 0 ? 1 : 0);
            EventSignal(&ClientsLock);
        }
        bool audience = FlagGet(ClientConnected) || FlagGet(KeyboardEmulationEnabled);
        bool running = FlagGet(ReaderCommandRunning);
        if (!audience && running) {
            // The configuration loader stops and starts the reader too, with
            // the same acknowledgement event: one at a time, under ConfigLock.
            if (EventWait(&ConfigLock) == 0) {
                if (FlagGet(ReaderCommandRunning)) StopReaderForNobody();
                EventSignal(&ConfigLock);
            }
        } else if (audience && !running) {
            ParseStoredTemplates();
        }
        usleep(kPassMicroseconds);
    }
    return nullptr;
}
