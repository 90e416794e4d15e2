// The reader-access library's operations as Korvane calls them.
//
// Every command is asynchronous: the call returns 0 when the library accepted
// it, and the outcome arrives later on one of the handlers registered with the
// SetDllResultHandler* calls, on a thread of the library's own. Relied on:
//   - a command's start report (status 255) comes before its heartbeats (128)
//     and its stop report (0);
//   - a requested stop goes to the stop handler and is then also reported as
//     status 0 on the command's status handler;
//   - handlers may run at any time after registration; registering null
//     pointers removes them.
#ifndef KORVANE_READER_READER_LIB_H
#define KORVANE_READER_READER_LIB_H

#include <stddef.h>
#include <stdint.h>

// One reported tag. Records arrive as a chain linked by `next`. The offsets
// are those of the 32-bit target; a 64-bit build keeps the same fields in the
// same order with pointers of natural width.
struct ReaderTagRecord {
    uint8_t antenna;  // bits 0-3 antenna port, bits 4-7 antenna property
    uint8_t rssi;     // raw signal strength
    uint8_t reserved2[6];
    uint16_t pc;     // protocol control word
    uint16_t xpcW1;  // extended protocol control words
    uint16_t xpcW2;
    uint8_t epcLength;  // EPC length in 16-bit words
    uint8_t reserved15;
    uint16_t epc[31];
    uint8_t readResult;  // tag memory read: 0 success, else an error code
    uint8_t reserved79[3];
    uint8_t dataLength;  // words read from tag memory
    uint8_t reserved83;
    uint16_t *data;  // the words read from tag memory
    ReaderTagRecord *next;
    uint8_t reserved92[16];
    int16_t rssiDbm;
    uint8_t reserved110[10];
    uint64_t timestampMs;  // the reader's millisecond timestamp
};

// The record is the library's, so its layout is fixed by the reader: byte
// offsets from the record's start on the 32-bit ARM target. The fields before
// the first pointer sit at the same offsets on every ABI Korvane is built for.
static_assert(offsetof(ReaderTagRecord, antenna) == 0, "record layout");
static_assert(offsetof(ReaderTagRecord, rssi) == 1, "record layout");
static_assert(offsetof(ReaderTagRecord, pc) == 8, "record layout");
static_assert(offsetof(ReaderTagRecord, xpcW1) == 10, "record layout");
static_assert(offsetof(ReaderTagRecord, xpcW2) == 12, "record layout");
static_assert(offsetof(ReaderTagRecord, epcLength) == 14, "record layout");
static_assert(offsetof(ReaderTagRecord, epc) == 16, "record layout");
static_assert(offsetof(ReaderTagRecord, readResult) == 78, "record layout");
static_assert(offsetof(ReaderTagRecord, dataLength) == 82, "record layout");
// From the first pointer on, a 64-bit build differs (8-byte pointers aligned
// to 8 move `data` to 88 and everything after it), so these hold on the
// target only. The declared record ends with the timestamp, at 128 bytes.
#if defined(__arm__)
static_assert(offsetof(ReaderTagRecord, data) == 84, "record layout");
static_assert(offsetof(ReaderTagRecord, next) == 88, "record layout");
static_assert(offsetof(ReaderTagRecord, rssiDbm) == 108, "record layout");
static_assert(offsetof(ReaderTagRecord, timestampMs) == 120, "record layout");
static_assert(sizeof(ReaderTagRecord) == 128, "record layout");
#endif

// The record handed to ConnectReader: 280 bytes, zero except for the fields
// below.
struct tConnectParams {
    uint8_t commType;  // communication type of the device
    uint8_t reserved1[5];
    char address[10];  // "127.0.0.1" with its NUL
    uint8_t reserved16[248];
    uint32_t timeout;  // 2000, little-endian
    uint8_t reserved268[12];
};
static_assert(sizeof(tConnectParams) == 280, "connect record layout");
static_assert(offsetof(tConnectParams, address) == 6, "connect record layout");
static_assert(offsetof(tConnectParams, timeout) == 264, "connect record layout");

extern "C" {

// Tag data of a running inventory or read: event 0xFF came, 0x00 left (low
// byte used); the second value carries nothing Korvane uses.
typedef void (*tTagDataHandler)(uint32_t event, uint32_t unused, const ReaderTagRecord *first);
// Start (255, code = start error), heartbeat (128) and stop (0) reports.
typedef void (*tStatusHandler)(uint32_t code, uint32_t status, uint32_t handle);
typedef void (*tStopResultHandler)(uint32_t result, uint32_t handle);
typedef void (*tGetResultFlagHandler)(uint32_t value, uint32_t handle);
typedef void (*tSetResultFlagHandler)(uint32_t unused, uint32_t handle);

// Returns the reader handle, 0 when the connection failed.
uint32_t ConnectReader(tConnectParams *params, uint32_t reserved);
void DisconnectReader(uint32_t handle);

// Registration: 0 on success.
uint32_t SetDllResultHandlerASyncGetEPCs(tStatusHandler status, tTagDataHandler data);
uint32_t SetDllResultHandlerASyncReadDataAny(tStatusHandler status, tTagDataHandler data);
uint32_t SetDllResultHandlerASyncReadDataUntilEndOfBankAny(tStatusHandler status,
                                                           tTagDataHandler data);
uint32_t SetDllResultHandlerASyncStopCommand(tStopResultHandler handler);
uint32_t SetDllResultHandlerGetExtendedResultFlag(tGetResultFlagHandler handler);
uint32_t SetDllResultHandlerSetExtendedResultFlag(tSetResultFlagHandler handler);

// Commands: 0 when accepted, else an error code.
uint32_t ASyncGetEPCs(uint32_t handle);
uint32_t ASyncReadDataAny(uint32_t handle, uint32_t password, uint8_t memoryBank,
                          uint32_t wordAddress, uint8_t wordCount);
uint32_t ASyncReadDataUntilEndOfBankAny(uint32_t handle, uint32_t password, uint8_t memoryBank,
                                        uint32_t wordAddress, uint8_t wordCount);
uint32_t ASyncStopCommand(uint32_t handle);
uint32_t GetExtendedResultFlag(uint32_t handle);
uint32_t SetExtendedResultFlag(uint32_t handle, uint8_t flags);

}  // extern "C"

#endif  // KORVANE_READER_READER_LIB_H
