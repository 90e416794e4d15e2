// The TCP server: the listening socket, the accept loop and the client poller
// that starts the reader with the first listener and stops it with the last.
#ifndef KORVANE_OUTPUT_SERVER_H
#define KORVANE_OUTPUT_SERVER_H

#include "core/flags.h"
#include "sync/event.h"

// Listening socket, -1 while there is none. Written by the configuration
// loader under ClientsLock; read by WaitForClients; closed by main at the end.
extern int ListenSocket;
// 1 while ClientList is believed non-empty.
extern tFlag ClientConnected;
// Guards ListenSocket set-up, ClientList and the sending to clients.
extern tEvent ClientsLock;

// Thread bodies.
void *WaitForClients(void *);
void *PollClients(void *);

// Takes every socket off ClientList and closes it. Caller holds ClientsLock.
void CloseClientSockets();

#endif  // KORVANE_OUTPUT_SERVER_H
