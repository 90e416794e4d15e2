// The IPC link to the host framework: a TCP client of 127.0.0.1:4006 that
// exchanges framed messages, with a receive thread named "IPC" of its own.
//
// There is one instance, IpcClient, created by main. The client knows
// nothing about commands: every data frame goes to the registered callback,
// and any thread may send a frame.
#ifndef KORVANE_IPC_IPC_CLIENT_H
#define KORVANE_IPC_IPC_CLIENT_H

#include <pthread.h>
#include <stdint.h>

#include "core/flags.h"
#include "sync/event.h"

// Receives one frame's payload: (token, channel, payload, length, context).
// The payload is freed after the call returns.
typedef void (*tIpcDataCallback)(uint32_t token, uint16_t channel, const uint8_t *payload,
                                 uint32_t length, void *context);
typedef void (*tIpcPeerHelloCallback)(uint16_t peerChannel, void *context);

// Korvane's own channel on the link.
constexpr uint16_t IpcChannel = 5;
constexpr uint16_t kIpcNoChannel = 0xFFFF;

class CIpcClient {
public:
    // Starts the thread "IPC"; the link stays disabled until Open.
    explicit CIpcClient(void *context);
    // Closes the link, stops and joins the thread.
    ~CIpcClient();
    CIpcClient(const CIpcClient &) = delete;
    CIpcClient &operator=(const CIpcClient &) = delete;

    // Stores the data callback; null clears it.
    void SetReceiveCallback(tIpcDataCallback callback);
    // Enables the link to `host` and waits up to 2 s for the host's HelloAck.
    bool Open(const char *host, uint16_t ownChannel);
    // Sends one frame; 0 on success, 1 on failure.
    int Send(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length);
    // Disables the link and closes the connection; the thread idles.
    void Close();

private:
    static void *ThreadEntry(void *self);
    void ReceiveLoop();

    tFlag enabled;
    uint32_t lastAttemptMs;
    int32_t socketFd;
    uint16_t ownChannel;
    uint16_t peerChannel;
    tEvent helloAckEvent;
    tIpcDataCallback onData;
    tIpcDataCallback onControlData;
    tIpcPeerHelloCallback onPeerHello;
    void *context;
    pthread_t thread;
    bool threadStarted;
    tFlag stopRequested;
    tFlag connected;
    char *host;
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
