// The TCP server: the listening socket, the accept loop and the client poller.
//
// Clients only listen: every datagram goes to every client (output/clients.h)
// and what they send is read and thrown away. WaitForClients accepts at most
// one client per 100 ms pass. PollClients, every 100 ms, drops clients that
// have gone, flushes what waits for slow clients, and couples the reader to
// the audience: the reader command runs while a client is connected or
// keyboard emulation is on, and is stopped when neither holds (that stop
// produces no StopText).
#ifndef KORVANE_OUTPUT_SERVER_H
#define KORVANE_OUTPUT_SERVER_H

#include <stdint.h>

#include <atomic>

#include "core/flags.h"
#include "sync/event.h"

// Listening socket, -1 while there is none. Written by the configuration
// loader; read by WaitForClients without a lock; closed by main at the end.
extern std::atomic<int> ListenSocket;
// 1 while ClientList is believed non-empty. Stored by PollClients under
// ClientsLock and by WaitForClients after each accepted client.
extern tFlag ClientConnected;
// Guards ListenSocket set-up, ClientList and the sending to clients.
extern tEvent ClientsLock;

// Closes the listening socket and every client, then opens an IPv6 dual-stack server on `port`
// (backlog 256): the new socket, or -1. Takes ClientsLock: the caller holds neither it nor
// KeyboardLock.
int OpenListenSocket(uint16_t port);

// Thread body: accepts clients onto ClientList until ShutdownFlag is set (takes ClientsLock).
void *WaitForClients(void *);
// Thread body: drops gone clients, flushes backlogs and starts or stops the reader until
// ShutdownFlag is set (takes ClientsLock and ConfigLock, one at a time).
void *PollClients(void *);

// Takes every socket off ClientList and closes it, dropping what waits for it. Caller holds
// ClientsLock.
void CloseClientSockets();

#endif  // KORVANE_OUTPUT_SERVER_H
