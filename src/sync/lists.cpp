// Definitions of the process-wide lists.
//
// All of them live in this one file so that they are constructed in the order
// written here before main() runs, and destroyed in the reverse order after it
// returns. Keep the order.
#include "sync/lists.h"

CMyList<tData *> IpcMessageList;
CMyList<tTag *> TagList;
CMyList<tData *> KeyboardList;
CMyList<int> ClientList;
CMyList<tDatagramElement *> ComingTemplate;
CMyList<tDatagramElement *> GoingTemplate;
CMyList<tDatagramElement *> StartTemplate;
CMyList<tDatagramElement *> HeartbeatTemplate;
CMyList<tDatagramElement *> StopTemplate;
