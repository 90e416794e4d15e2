// The IPC link to the host framework: a TCP client of 127.0.0.1:4006 that
// exchanges framed messages (ipc/frame.h), with a receive thread named "IPC"
// of its own.
//
// There is one instance, IpcClient, created by main. The client knows
// nothing about commands: every data frame goes to the registered callback,
// and any thread may send a frame.
//
// The thread connects while the link is enabled (at most one attempt per
// second), announces this side with a Hello, answers the host's Hello with a
// HelloAck, signals every HelloAck it receives, and hands each data frame to
// the callback. Malformed input is skipped up to the next start marker; a
// frame stalled for more than 100 ms between two chunks is dropped.
//
// Thread safety: Send may be called from any thread, the thread "IPC"
// included (it sends the HelloAcks and the Hello after connecting). One mutex,
// linkLock, is held for a connection attempt and for the whole write of one
// frame, so frames never interleave on the wire and a socket is never opened
// twice or leaked; it is never held while the thread waits for input. Open,
// Close and SetReceiveCallback belong to the owner (main); they may run while
// the thread works. Callbacks run on the thread "IPC" and must not call
// SetReceiveCallback.
//
// Ownership: the object owns its socket, its host string and its thread;
// payloads handed to callbacks are freed when the callback returns.
// Not copyable.
#ifndef KORVANE_IPC_IPC_CLIENT_H
#define KORVANE_IPC_IPC_CLIENT_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "core/flags.h"
#include "sync/event.h"

// Receives one frame's payload: (token, channel, payload, length, context).
// The payload is null for an empty frame, and freed after the call returns.
typedef void (*tIpcDataCallback)(uint32_t token, uint16_t channel, const uint8_t *payload,
                                 uint32_t length, void *context);
typedef void (*tIpcPeerHelloCallback)(uint16_t peerChannel, void *context);

// Korvane's own channel on the link.
constexpr uint16_t IpcChannel = 5;
// "No channel": no Hello is sent with it, and a peer that has not announced
// one does not restrict sending. Frames on it pass any peer channel.
constexpr uint16_t kIpcNoChannel = 0xFFFF;

// Timing of the link.
constexpr uint32_t kIpcReconnectMs = 1000;     // between the starts of two attempts
constexpr uint32_t kIpcIdleUs = 100000;        // sleep while disconnected
constexpr uint32_t kIpcPollMs = 100;           // wait for input
constexpr uint32_t kIpcStaleFrameMs = 100;     // a partial frame older than this is dropped
constexpr uint32_t kIpcHelloAckWaitMs = 2000;  // Open's wait for the host's HelloAck
// Bounds of a host that does not take what it is sent: the host framework is
// local, so a stall this long means it hangs. A connect or a single write
// blocks at most kIpcSocketTimeoutMs; a frame not written within
// kIpcWriteTimeoutMs fails.
constexpr uint32_t kIpcSocketTimeoutMs = 500;
constexpr uint32_t kIpcWriteTimeoutMs = 2000;

// The TCP port of the host framework, as a service for getaddrinfo. Tests
// point it elsewhere before Open.
extern const char *IpcService;

class CIpcClient {
public:
    // Starts the thread "IPC"; the link stays disabled until Open. Without
    // the thread frames can still be sent; nothing is received.
    explicit CIpcClient(void *context);
    // Closes the link, stops and joins the thread (within about 100 ms).
    ~CIpcClient();
    CIpcClient(const CIpcClient &) = delete;
    CIpcClient &operator=(const CIpcClient &) = delete;

    // Stores the data callback; null clears it. When it returns, the previous
    // callback is no longer running and will not be called again.
    void SetReceiveCallback(tIpcDataCallback callback);
    // Enables the link to `host` (port IpcService) on `channel` and waits up
    // to 2 s for the host's HelloAck: true when it came. With channel
    // kIpcNoChannel no Hello is sent and it returns false at once. False at
    // once, changing nothing, for a null or empty host. The thread makes the
    // connection.
    bool Open(const char *host, uint16_t channel);
    // Sends one frame: 0 on success, 1 on failure (a channel other than the
    // peer's, not connected even after one immediate attempt, no memory, or a
    // write error or stall).
    int Send(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length);
    // Disables the link and closes the connection; the thread idles.
    void Close();

private:
    static void *ThreadEntry(void *self);
    void ReceiveLoop();
    // Connection attempt and Hello; caller holds linkLock. True when connected.
    bool TryConnectLocked();
    // Closes the socket if connected; caller holds linkLock.
    void DisconnectLocked();
    // Writes one whole frame; caller holds linkLock and is connected. 0 or 1.
    int WriteFrameLocked(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length);
    // Receives one chunk into `buffer` if the link is still the one waited on
    // (`generation`); the count, 0 when there was nothing to read, -1 when
    // the connection ended (it is then closed).
    int ReceiveChunk(uint32_t generation, uint8_t *buffer, uint32_t size);
    void Dispatch(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length);

    // Written under linkLock (Open, Close, TryConnectLocked); read without it
    // by the thread only to decide whether to take it.
    tFlag enabled;
    // Start of the latest connection attempt (monotonic ms modulo 2^32);
    // guarded by linkLock.
    uint32_t lastAttemptMs;
    // Guarded by linkLock; valid while `connected` is set.
    int32_t socketFd;
    // Guarded by linkLock.
    uint16_t ownChannel;
    // Set by the thread from the host's Hello, read by Send.
    std::atomic<uint16_t> peerChannel;
    tEvent helloAckEvent;
    // The data callback; the thread calls it holding callbackLock.
    std::atomic<tIpcDataCallback> onData;
    // Never set by Korvane: control data and the host's Hello.
    std::atomic<tIpcDataCallback> onControlData;
    std::atomic<tIpcPeerHelloCallback> onPeerHello;
    void *context;
    pthread_t thread;
    bool threadStarted;
    tFlag stopRequested;
    // Written under linkLock; read without it to decide whether to take it.
    tFlag connected;
    // Heap copy of Open's host; guarded by linkLock.
    char *host;
    // Serialises connection attempts, frame writes and closing the socket.
    pthread_mutex_t linkLock;
    // Counts the sockets closed, so the thread never reads from a socket
    // that was replaced while it waited for input. Guarded by linkLock.
    uint32_t linkGeneration;
    // Held while a data callback runs, and by SetReceiveCallback.
    pthread_mutex_t callbackLock;
};

// The one client; null until main creates it.
extern CIpcClient *IpcClient;
// Signalled after every accepted request, whether queued or discarded.
extern tEvent IpcMessageEvent;

// The data callback main registers: queues requests on channel 5 with a
// nonzero token and at least 2 payload bytes on IpcMessageList.
void IpcReceive(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length,
                void *context);

#endif  // KORVANE_IPC_IPC_CLIENT_H
