// The process frame: start-up in a fixed order, the seven worker threads,
// tear-down in a fixed order, exit codes.
#ifndef KORVANE_CORE_APP_H
#define KORVANE_CORE_APP_H

#include <stdint.h>

#include "core/flags.h"
#include "reader/reader_lib.h"
#include "sync/event.h"

// The reader handle ConnectReader returned; nonzero while connected. Written
// by main before any result handler is registered.
extern uint32_t ReaderHandle;
// 1 while results may be queued; cleared under IntakeLock at tear-down, after
// which the result handlers and the IPC receiver discard what they get.
extern tFlag IntakeOpen;
// Guards IntakeOpen and the callbacks' pushes onto TagList and IpcMessageList.
extern tEvent IntakeLock;

// Exit codes of main.
constexpr int kExitNormal = 0;
constexpr int kExitHandlersFailed = 2;
constexpr int kExitConnectFailed = 4;
constexpr int kExitNoDeviceType = 5;
// The signal handling (its pipe or its thread) could not be set up: without
// it SIGTERM would end Korvane without tear-down.
constexpr int kExitNoSignalHandling = 6;

// The device types Korvane knows and their communication type.
struct tDeviceType {
    const char *Identifier;
    uint8_t CommunicationType;
};
constexpr int kDeviceTypeCount = 3;
extern const tDeviceType DeviceTypeTable[kDeviceTypeCount];

// Maps the first line of the version tool's output to a communication type:
// the newline is cut and the identifier compared ignoring case. 0 when the
// identifier is unknown.
uint8_t CommunicationTypeFromLine(const char *line);
// Runs the version tool and maps its first line; 0 when that fails.
uint8_t DetectCommunicationType(const char *command);
// Fills the record handed to ConnectReader.
void FillConnectParams(tConnectParams *params, uint8_t communicationType);

// The whole life of the process; returns the exit code.
int RunKorvane(int argc, char **argv);

// Frees what Korvane's process-wide state holds (applied document, sockets,
// templates and their texts, slots, keyboard texts, queues) and puts every
// flag, event, lock and read setting back to its value at start-up, before
// the reader is connected (ReaderHandle 0; a connection is not closed). For
// tools and tests that run Korvane's code more than once in one process; no
// other thread may be running it.
void ResetProcessState();

#endif  // KORVANE_CORE_APP_H
