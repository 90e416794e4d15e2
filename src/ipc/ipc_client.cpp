// IPC transport to the host framework.
#include "ipc/ipc_client.h"

#include <errno.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "core/app.h"
#include "core/threads.h"
#include "ipc/frame.h"
#include "sync/data.h"
#include "sync/lists.h"

CIpcClient *IpcClient = nullptr;
tEvent IpcMessageEvent;
const char *IpcService = "4006";

static constexpr uint32_t kReceiveChunkSize = 4096;
static constexpr uint32_t kHelloToken = 0xFFFFFFFF;

// Monotonic milliseconds, modulo 2^32; differences of two values are the
// elapsed time as long as it stays below 49 days.
static uint32_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

namespace {
// Holds a pthread mutex for the lifetime of the object.
class CMutexHold {
public:
    explicit CMutexHold(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~CMutexHold() { pthread_mutex_unlock(mutex_); }
    CMutexHold(const CMutexHold &) = delete;
    CMutexHold &operator=(const CMutexHold &) = delete;

private:
    pthread_mutex_t *mutex_;
};
}  // namespace

CIpcClient::CIpcClient(void *context)
    : enabled(0),
      lastAttemptMs(0),
      socketFd(-1),
      ownChannel(kIpcNoChannel),
      peerChannel(kIpcNoChannel),
      helloAckEvent(0),
      onData(nullptr),
      onControlData(nullptr),
      onPeerHello(nullptr),
      context(context),
      thread(),
      threadStarted(false),
      stopRequested(0),
      connected(0),
      host(nullptr),
      linkGeneration(0) {
    pthread_mutex_init(&linkLock, nullptr);
    pthread_mutex_init(&callbackLock, nullptr);
    EventInit(&helloAckEvent, 0);
    pthread_attr_t attr;
    if (InitThreadAttributes(&attr) != 0) return;
    threadStarted = pthread_create(&thread, &attr, ThreadEntry, this) == 0;
    pthread_attr_destroy(&attr);
    if (threadStarted) pthread_setname_np(thread, "IPC");
}

CIpcClient::~CIpcClient() {
    Close();
    FlagSet(stopRequested, 1);
    if (threadStarted) pthread_join(thread, nullptr);
    EventDestroy(&helloAckEvent);
    pthread_mutex_destroy(&callbackLock);
    pthread_mutex_destroy(&linkLock);
}

void *CIpcClient::ThreadEntry(void *self) {
    static_cast<CIpcClient *>(self)->ReceiveLoop();
    return nullptr;
}

void CIpcClient::SetReceiveCallback(tIpcDataCallback callback) {
    // Taking callbackLock waits for a callback that is running right now.
    CMutexHold hold(&callbackLock);
    onData.store(callback, std::memory_order_relaxed);
}

bool CIpcClient::Open(const char *newHost, uint16_t channel) {
    if (newHost == nullptr || *newHost == '\0') return false;
    char *copy = strdup(newHost);
    {
        CMutexHold hold(&linkLock);
        free(host);
        host = copy;
        if (host == nullptr) return false;
        // The first attempt is due at once.
        lastAttemptMs = NowMs() - kIpcReconnectMs;
        ownChannel = channel;
        EventInit(&helloAckEvent, 0);
        FlagSet(enabled, 1);
    }
    if (channel == kIpcNoChannel) return false;
    struct timespec timeout = {kIpcHelloAckWaitMs / 1000,
                               static_cast<long>(kIpcHelloAckWaitMs % 1000) * 1000000L};
    return EventWaitTimeout(&helloAckEvent, &timeout) == 0;
}

void CIpcClient::Close() {
    CMutexHold hold(&linkLock);
    FlagSet(enabled, 0);
    DisconnectLocked();
    free(host);
    host = nullptr;
}

int CIpcClient::Send(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length) {
    // Once the host has named its channel, frames go out on that one only.
    uint16_t peer = peerChannel.load(std::memory_order_relaxed);
    if (channel != kIpcNoChannel && peer != kIpcNoChannel && channel != peer) return 1;
    if (length != 0 && payload == nullptr) return 1;
    // The frame's size must fit a size_t, which has 32 bits on the reader.
    if (static_cast<uint64_t>(length) + kFrameOverhead > SIZE_MAX) return 1;
    CMutexHold hold(&linkLock);
    if (!FlagGet(connected)) TryConnectLocked();
    if (!FlagGet(connected)) return 1;
    return WriteFrameLocked(token, channel, payload, length);
}

bool CIpcClient::TryConnectLocked() {
    lastAttemptMs = NowMs();
    if (!FlagGet(enabled)) return false;
    if (FlagGet(connected)) return true;
    if (host == nullptr) return false;

    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(host, IpcService, &hints, &found) != 0) return false;
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    bool usable = fd >= 0 && fd < FD_SETSIZE;  // the receive loop waits with pselect
    if (usable) {
        // Bounds a connect that the host does not complete, and every write
        // to a host that stopped reading.
        struct timeval limit = {kIpcSocketTimeoutMs / 1000,
                                static_cast<suseconds_t>(kIpcSocketTimeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        usable = connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    }
    freeaddrinfo(found);
    if (!usable) {
        if (fd >= 0) close(fd);
        return false;
    }
    socketFd = fd;
    FlagSet(connected, 1);
    if (ownChannel != kIpcNoChannel) {
        uint8_t hello[kControlHeaderSize];
        EncodeControlPayload(hello, kControlHello);
        WriteFrameLocked(kHelloToken, ownChannel, hello, sizeof(hello));
    }
    // A Hello cut off in the middle has closed the connection again.
    return FlagGet(connected) != 0;
}

void CIpcClient::DisconnectLocked() {
    if (!FlagGet(connected)) return;
    FlagSet(connected, 0);
    close(socketFd);
    socketFd = -1;
    linkGeneration++;
}

int CIpcClient::WriteFrameLocked(uint32_t token, uint16_t channel, const uint8_t *payload,
                                 uint32_t length) {
    size_t total = static_cast<size_t>(length) + kFrameOverhead;
    uint8_t *frame = static_cast<uint8_t *>(malloc(total));
    if (frame == nullptr) return 1;
    EncodeFrame(frame, token, channel, payload, length);
    uint32_t started = NowMs();
    size_t written = 0;
    int result = 0;
    while (written < total) {
        ssize_t sent = send(socketFd, frame + written, total - written, MSG_NOSIGNAL);
        if (sent >= 0) {
            written += static_cast<size_t>(sent);
            continue;
        }
        if (errno == EINTR) continue;
        // EAGAIN comes after SO_SNDTIMEO: retried until the write limit.
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && NowMs() - started < kIpcWriteTimeoutMs) {
            continue;
        }
        result = 1;
        break;
    }
    free(frame);
    // Part of a frame on the wire would make the host read the next frames
    // as its rest: a fresh connection lets it start over. A write that sent
    // nothing leaves the connection to the receive loop, which notices when
    // it has died.
    if (result != 0 && written != 0) DisconnectLocked();
    return result;
}

int CIpcClient::ReceiveChunk(uint32_t generation, uint8_t *buffer, uint32_t size) {
    CMutexHold hold(&linkLock);
    // Close or a failed write may have closed the socket meanwhile, and a new
    // one may even carry the same number.
    if (!FlagGet(connected) || linkGeneration != generation) return 0;
    ssize_t got = recv(socketFd, buffer, size, MSG_DONTWAIT);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    DisconnectLocked();
    return -1;
}

void CIpcClient::Dispatch(uint32_t token, uint16_t channel, const uint8_t *payload,
                          uint32_t length) {
    uint16_t code = 0;
    if (!IsControlPayload(payload, length, &code)) {
        CMutexHold hold(&callbackLock);
        tIpcDataCallback callback = onData.load(std::memory_order_relaxed);
        if (callback != nullptr) callback(token, channel, payload, length, context);
        return;
    }
    switch (code) {
        case kControlHelloAck:
            EventSignal(&helloAckEvent);
            break;
        case kControlData: {
            tIpcDataCallback callback = onControlData.load(std::memory_order_relaxed);
            uint32_t dataLength = length - kControlHeaderSize;
            if (callback != nullptr) {
                callback(token, channel, dataLength != 0 ? payload + kControlHeaderSize : nullptr,
                         dataLength, context);
            }
            break;
        }
        case kControlHello: {
            peerChannel.store(channel, std::memory_order_relaxed);
            uint8_t ack[kControlHeaderSize];
            EncodeControlPayload(ack, kControlHelloAck);
            Send(token, channel, ack, sizeof(ack));
            tIpcPeerHelloCallback callback = onPeerHello.load(std::memory_order_relaxed);
            if (callback != nullptr) callback(channel, context);
            break;
        }
        default:
            break;  // unassigned control codes are ignored
    }
}

void CIpcClient::ReceiveLoop() {
    tFrameParser parser;
    FrameParserInit(&parser);
    uint8_t chunk[kReceiveChunkSize];
    uint32_t chunkLength = 0;
    uint32_t chunkUsed = 0;
    uint32_t chunkGeneration = 0;
    uint32_t lastParsedMs = NowMs();

    while (!FlagGet(stopRequested)) {
        bool up = false;
        int fd = -1;
        uint32_t generation = 0;
        {
            CMutexHold hold(&linkLock);
            if (FlagGet(enabled) && !FlagGet(connected) &&
                NowMs() - lastAttemptMs >= kIpcReconnectMs) {
                TryConnectLocked();
            }
            up = FlagGet(connected) != 0;
            fd = socketFd;
            generation = linkGeneration;
        }
        // Bytes left from a connection that has gone are not parsed.
        if (!up || generation != chunkGeneration) {
            FrameParserReset(&parser);
            chunkLength = chunkUsed = 0;
            chunkGeneration = generation;
        }
        if (!up) {
            usleep(kIpcIdleUs);
            continue;
        }

        if (chunkUsed == chunkLength) {
            fd_set readable, exceptional;
            FD_ZERO(&readable);
            FD_ZERO(&exceptional);
            FD_SET(fd, &readable);
            FD_SET(fd, &exceptional);
            struct timespec wait = {0, static_cast<long>(kIpcPollMs) * 1000000L};
            int ready = pselect(fd + 1, &readable, nullptr, &exceptional, &wait, nullptr);
            int got = 0;
            if (ready > 0 && FD_ISSET(fd, &exceptional)) {
                CMutexHold hold(&linkLock);
                if (linkGeneration == generation) DisconnectLocked();
            } else if (ready > 0) {
                got = ReceiveChunk(generation, chunk, sizeof(chunk));
            }
            bool stale = FrameInProgress(&parser) && NowMs() - lastParsedMs > kIpcStaleFrameMs;
            if (got <= 0) {
                // Nothing new: only drop a frame that has stalled.
                if (stale) FrameParserReset(&parser);
                continue;
            }
            // The rest of a stalled frame may not be glued onto these bytes.
            if (stale) FrameParserReset(&parser);
            chunkLength = static_cast<uint32_t>(got);
            chunkUsed = 0;
        }

        bool complete = false;
        chunkUsed += static_cast<uint32_t>(
            FrameParserFeed(&parser, chunk + chunkUsed, chunkLength - chunkUsed, &complete));
        lastParsedMs = NowMs();
        if (complete) {
            uint32_t token = parser.token;
            uint16_t channel = parser.channel;
            uint32_t length = parser.length;
            uint8_t *payload = FrameTakePayload(&parser);
            Dispatch(token, channel, payload, length);
            free(payload);
        }
    }
    FrameParserReset(&parser);
}

void IpcReceive(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length, void *) {
    if (channel != IpcChannel || token == 0) return;
    // A request needs at least its 2-byte command code.
    if (payload == nullptr || length < 2) return;
    tData *request = static_cast<tData *>(calloc(1, sizeof(tData)));
    if (request == nullptr) return;
    request->buffer = static_cast<uint8_t *>(malloc(length));
    if (request->buffer == nullptr) {
        free(request);
        return;
    }
    memcpy(request->buffer, payload, length);
    request->token = token;
    request->channel = IpcChannel;
    request->length = length;

    EventWait(&IntakeLock);
    if (FlagGet(IntakeOpen)) {
        IpcMessageList.PushBack(request);
    } else {
        FreeData(request);
    }
    EventSignal(&IntakeLock);
    EventSignal(&IpcMessageEvent);
}
