// Delivery to the TCP clients on ClientList.
//
// Client sockets are non-blocking: when a client's socket buffer is full, the
// unsent rest of a datagram waits in a small backlog of that client's own,
// written before its next datagram, so every client's stream stays made of
// whole datagrams in order and no client ever stalls the others or the
// reader's callbacks. A client whose backlog would pass kMaxClientBacklog is
// disconnected. The backlogs are guarded by ClientsLock, like ClientList.
#ifndef KORVANE_OUTPUT_CLIENTS_H
#define KORVANE_OUTPUT_CLIENTS_H

#include <stdint.h>

#include "sync/mylist.h"

// Bytes a slow client may have waiting before it is disconnected.
constexpr uint32_t kMaxClientBacklog = 64 * 1024;

// Writes `text` to every client behind what already waits for it; closes clients that have gone
// or fall too far behind. Takes ClientsLock: the caller holds neither it nor KeyboardLock.
void SendToClients(const uint8_t *text, uint32_t length);
// Writes what waits in the clients' backlogs; closes clients whose peer has gone. Caller holds
// ClientsLock.
void FlushClientBacklogs();
// Closes the client at `node`, drops what waits for it and takes it off ClientList; `node` moves
// on to the next client. Caller holds ClientsLock.
void CloseClient(CMyList<int>::Node *&node);

#endif  // KORVANE_OUTPUT_CLIENTS_H
