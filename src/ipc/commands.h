// The host's commands: the thread WaitForData executes the requests that
// IpcReceive queued, one after another, and answers each.
#ifndef KORVANE_IPC_COMMANDS_H
#define KORVANE_IPC_COMMANDS_H

// Thread body.
void *WaitForData(void *);

#endif  // KORVANE_IPC_COMMANDS_H
