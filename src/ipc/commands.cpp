// IPC command handling.
#include "ipc/commands.h"

#include "core/signals.h"
#include "ipc/ipc_client.h"
#include "sync/data.h"
#include "sync/lists.h"

// The commands arrive with the IPC link; until then requests are taken off
// the queue and dropped unanswered.
void *WaitForData(void *) {
    while (!FlagGet(ShutdownFlag)) {
        if (EventWaitMs(&IpcMessageEvent, 100) != 0) continue;
        tData *request = nullptr;
        while (!FlagGet(ShutdownFlag) && IpcMessageList.PopFront(request) == 0) {
            FreeData(request);
        }
    }
    return nullptr;
}
