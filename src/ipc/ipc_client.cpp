// IPC transport to the host framework.
#include "ipc/ipc_client.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/app.h"
#include "core/threads.h"
#include "sync/data.h"
#include "sync/lists.h"

CIpcClient *IpcClient = nullptr;
tEvent IpcMessageEvent;

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
      host(nullptr) {
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
}

void *CIpcClient::ThreadEntry(void *self) {
    static_cast<CIpcClient *>(self)->ReceiveLoop();
    return nullptr;
}

// The framed transport arrives with the IPC link; until then the thread idles
// and the link never connects.
void CIpcClient::ReceiveLoop() {
    while (!FlagGet(stopRequested))
        usleep(100000);
}

void CIpcClient::SetReceiveCallback(tIpcDataCallback callback) {
    onData = callback;
}

bool CIpcClient::Open(const char *newHost, uint16_t channel) {
    if (newHost == nullptr || *newHost == '\0') return false;
    free(host);
    host = strdup(newHost);
    if (host == nullptr) return false;
    lastAttemptMs = 0;
    ownChannel = channel;
    EventInit(&helloAckEvent, 0);
    FlagSet(enabled, 1);
    return false;
}

int CIpcClient::Send(uint32_t, uint16_t, const uint8_t *, uint32_t) {
    return 1;
}

void CIpcClient::Close() {
    FlagSet(enabled, 0);
    free(host);
    host = nullptr;
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
