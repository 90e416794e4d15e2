// TCP server and client polling.
#include "output/server.h"

#include <unistd.h>

#include "core/signals.h"
#include "output/send.h"
#include "sync/lists.h"

int ListenSocket = -1;
tFlag ClientConnected{0};
tEvent ClientsLock;

void CloseClientSockets() {
    int client = -1;
    while (ClientList.PopFront(client) == 0)
        close(client);
}

// The accept loop and the polling arrive with the TCP server; until then both
// threads only wait for the shutdown.
void *WaitForClients(void *) {
    while (!FlagGet(ShutdownFlag))
        usleep(100000);
    return nullptr;
}

void *PollClients(void *) {
    while (!FlagGet(ShutdownFlag))
        usleep(100000);
    return nullptr;
}
