// The process-wide lists that hand records between Korvane's threads.
//
// Each list guards its own structure; the lock named beside it is the outer
// lock its users hold while adding to it or walking it.
#ifndef KORVANE_SYNC_LISTS_H
#define KORVANE_SYNC_LISTS_H

#include "sync/data.h"
#include "sync/mylist.h"

struct tTag;
struct tDatagramElement;

extern CMyList<tData *> IpcMessageList;             // IPC requests; adding under IntakeLock
extern CMyList<tTag *> TagList;                     // tags from the reader; adding under IntakeLock
extern CMyList<tData *> KeyboardList;               // texts to type; KeyboardLock
extern CMyList<int> ClientList;                     // connected client sockets; ClientsLock
extern CMyList<tDatagramElement *> ComingTemplate;  // parsed template elements; DatagramLock
extern CMyList<tDatagramElement *> GoingTemplate;   // parsed template elements; DatagramLock
extern CMyList<tDatagramElement *> StartTemplate;   // parsed template elements; DatagramLock
extern CMyList<tDatagramElement *> HeartbeatTemplate;  // parsed template elements; DatagramLock
extern CMyList<tDatagramElement *> StopTemplate;       // parsed template elements; DatagramLock

#endif  // KORVANE_SYNC_LISTS_H
