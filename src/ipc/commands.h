// The host's commands: the thread WaitForData executes the requests that
// IpcReceive queued, one after another in arrival order, and answers each
// with one reply frame carrying the request's token and channel.
//
// Request payload: command code (u16 little-endian), then the argument (XML
// text for SetPort and SetDatagramResult). Reply payload: status (u8), reply
// code = command code | 0x8000 (u16 little-endian), then the result data of a
// successful command that has any.
//
// Concurrency: only WaitForData runs the commands. Reads of AppliedConfig and
// the edit of the configuration file happen under ConfigLock; the lock is
// released before SetConfigFromFile, which takes it itself.
#ifndef KORVANE_IPC_COMMANDS_H
#define KORVANE_IPC_COMMANDS_H

#include <stdint.h>

// Reply status.
constexpr uint8_t StatusOk = 0;
constexpr uint8_t StatusFailed = 1;
constexpr uint8_t StatusUnknownCommand = 0x80;

// Command codes.
constexpr uint16_t kCommandGetVersion = 0;
constexpr uint16_t kCommandGetPort = 1;
constexpr uint16_t kCommandSetPort = 2;
constexpr uint16_t kCommandGetMagicWords = 3;
constexpr uint16_t kCommandGetDatagramResult = 4;
constexpr uint16_t kCommandSetDatagramResult = 5;
// Set in the reply code.
constexpr uint16_t kReplyCodeBit = 0x8000;
// Status and reply code.
constexpr uint32_t kReplyHeaderSize = 3;

// Executes one request payload (`length` >= 2) and returns the reply payload
// (malloc'ed, the caller frees it) with its length in *replyLength; null when
// the reply cannot be allocated, and the request then goes unanswered.
uint8_t *ExecuteIpcRequest(const uint8_t *request, uint32_t length, uint32_t *replyLength);

// Thread body: runs until ShutdownFlag is set; returns null.
void *WaitForData(void *);

#endif  // KORVANE_IPC_COMMANDS_H
