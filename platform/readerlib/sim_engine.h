// The simulated reader: the state behind the exported reader-access functions
// and the delivery thread that calls the registered handlers (sim_engine.cpp),
// the demo thread's autonomous population and floods (sim_demo.cpp), and the
// commands of the control socket (sim_control.cpp).
//
// Locking: one mutex (mutex_) guards all state and the delivery queue. Every
// outcome is queued under it in the same critical section that changes the
// state, so the queue order is the order of the state changes; the delivery
// thread takes one entry at a time, looks the handler up under the mutex and
// calls it with the mutex released, so handlers may call back into the library.
// lifecycleMutex_ serialises starting and stopping the threads.
#ifndef KORVANE_PLATFORM_READERLIB_SIM_ENGINE_H
#define KORVANE_PLATFORM_READERLIB_SIM_ENGINE_H

#include <pthread.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control_server.h"
#include "reader/reader_lib.h"
#include "sim_parse.h"

namespace readersim {

// The commands that have handlers of their own, and the index of their
// handler pair.
enum Command : int { kNoCommand = -1, kInventory, kRead, kReadUntil, kCommandCount };

// The exported functions, as named in `fail`, `withhold` and `calls`. The
// registrations and the commands are each listed in Command order.
enum Function : int {
    kFnConnectReader,
    kFnDisconnectReader,
    kFnSetHandlerGetEPCs,
    kFnSetHandlerReadDataAny,
    kFnSetHandlerReadUntilEnd,
    kFnSetHandlerStop,
    kFnSetHandlerGetFlag,
    kFnSetHandlerSetFlag,
    kFnGetEPCs,
    kFnReadDataAny,
    kFnReadUntilEnd,
    kFnStopCommand,
    kFnGetFlag,
    kFnSetFlag,
    kFunctionCount
};
extern const char *const kFunctionNames[kFunctionCount];
extern const char *const kCommandNames[kCommandCount];

const uint32_t kStatusStart = 255;
const uint32_t kStatusHeartbeat = 128;
const uint32_t kStatusStopped = 0;
// A flood keeps at most this many chains queued: enough to keep the handler
// busy, few enough that the time stamps stay close to the handler call.
const size_t kFloodQueueDepth = 16;

// The stop, get-flag and set-flag handlers share one signature.
typedef tStopResultHandler tResultHandler;

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
uint64_t WallClockMs();

class CEngine {
public:
    static constexpr uint32_t kHandle = 0x4B56;
    // Results of commands the library does not accept on its own account.
    static constexpr uint32_t kResultNotConnected = 2;  // no connection, or a wrong handle
    static constexpr uint32_t kResultBusy = 3;          // delivery queue full

    // Library load and unload. Load serves the control socket at once when
    // READERSIM_SOCKET is set, so a controller can act before ConnectReader.
    void Load();
    void Unload();

    uint32_t Connect(tConnectParams *params, uint32_t reserved);
    void Disconnect(uint32_t handle);
    uint32_t SetCommandHandlers(Command command, tStatusHandler status, tTagDataHandler data);
    // `function`: kFnSetHandlerStop, kFnSetHandlerGetFlag or kFnSetHandlerSetFlag.
    uint32_t SetResultHandler(Function function, tResultHandler handler);
    uint32_t StartCommand(Command command, uint32_t handle, uint32_t password, uint8_t bank,
                          uint32_t wordAddress, uint8_t wordCount);
    uint32_t StopCommand(uint32_t handle);
    uint32_t GetFlag(uint32_t handle);
    uint32_t SetFlag(uint32_t handle, uint8_t flags);

private:
    // How a queued delivery ended, for a controller waiting on it (in the
    // order of QueueAndWait's replies).
    enum Outcome { kPending, kDelivered, kNoHandler, kDropped };
    // The result kinds are in the order of their registrations.
    enum DeliveryKind { kStatusReport, kTagChain, kStopResult, kGetFlagResult, kSetFlagResult };
    struct tDelivery {
        DeliveryKind kind;
        uint32_t first;                // code, event, result or flags value
        uint32_t second = 0;           // status, or the chain's unused value
        Command command = kInventory;  // whose handlers, for reports and chains
        uint32_t handle = kHandle;
        std::vector<tPendingRecord> chain{};
        bool flood = false;                  // stamp the records with the time of the handler call
        std::shared_ptr<Outcome> outcome{};  // set when a controller waits, guarded by mutex_
    };

    static constexpr size_t kAutoTags = 5;
    // What a connection session changes; a disconnect starts a fresh one.
    struct tSession {
        bool connected = false;
        uint8_t connectParams[sizeof(tConnectParams)] = {};
        bool haveConnectParams = false;
        Command running = kNoCommand;
        Command lastStarted = kNoCommand;
        bool acknowledged = false;  // the running command's start report went out
        uint8_t readBank = 0;
        uint32_t readAddress = 0;
        uint8_t readCount = 0;
        bool failing[kFunctionCount] = {};
        uint32_t failCodes[kFunctionCount] = {};
        bool withheld[kFunctionCount] = {};
        uint32_t startError = 0;  // one-shot
        uint32_t stopResult = 0;
        uint8_t flags = 0;
        std::deque<std::string> calls;
        bool autoMode = false;
        unsigned autoTicks = 0;
        bool autoPresent[kAutoTags] = {};
        // Flood: a stream of distinct tags for measurements.
        uint64_t floodLeft = 0;    // tags still to queue
        uint64_t floodQueued = 0;  // tags queued since the flood began
        uint32_t floodSequence = 0;
        uint32_t floodChain = 1;  // records per chain
        uint32_t floodRate = 0;   // tags per second, 0: as fast as the handler takes them
        uint32_t floodEvent = 0xFF;
        Command floodVia = kInventory;
        std::chrono::steady_clock::time_point floodStart;
    };

    void StartThreads();
    void StopThreadsAndReset();
    void DeliveryLoop();
    void TickerLoop();

    // Records the call; true when `fail` makes this function fail.
    bool CallFailsLocked(Function function, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    bool ConnectedWithLocked(uint32_t handle) const {
        return session_.connected && handle == kHandle;
    }
    bool EnqueueLocked(tDelivery &&delivery);
    // `via`, else the running command, else the one started last, else the
    // inventory: whose handlers get what names no command.
    Command TargetLocked(int via) const;

    // Demo thread: one tick of the autonomous demo; a flood's next chain
    // when it is due and the queue has room, else a bounded wait for either.
    void AutoTickLocked();
    void AddAutoRecordLocked(size_t tag, bool came, std::vector<tPendingRecord> *chain);
    uint32_t RandomLocked();
    void FloodStepLocked(std::unique_lock<std::mutex> &lock);

    std::string Execute(const std::string &line);
    std::string RunReport(const std::vector<std::string> &tokens);
    std::string RunTags(const std::vector<std::string> &tokens);
    std::string RunFloodLocked(const std::vector<std::string> &tokens);
    // Queues `delivery` (mutex_ held through `lock`) and waits, bounded, for
    // the handler to return. Returns the reply line.
    std::string QueueAndWait(tDelivery &&delivery, std::unique_lock<std::mutex> &lock);

    std::mutex lifecycleMutex_;
    bool threadsStarted_ = false;  // guarded by lifecycleMutex_
    pthread_t deliveryThread_{};
    pthread_t tickerThread_{};
    CControlServer server_;

    std::mutex mutex_;
    std::condition_variable queueChanged_;
    std::condition_variable tickerWake_;
    std::condition_variable holdReleased_;
    std::condition_variable delivered_;  // a waited-for delivery has its outcome

    // Everything below is guarded by mutex_.
    std::deque<tDelivery> queue_;
    bool stopped_ = true;  // no delivery and demo threads, or they are to end
    bool unloading_ = false;
    bool released_ = false;  // `release` came: a held ConnectReader goes on
    tStatusHandler statusHandlers_[kCommandCount] = {};
    tTagDataHandler dataHandlers_[kCommandCount] = {};
    tResultHandler resultHandlers_[3] = {};  // stop, get flag, set flag
    tSession session_;
    bool autoDefault_ = false;  // the demo is on when a session starts
    int autoPeriodMs_ = 1000;
    uint32_t random_ = 0x2545F491u;
};

}  // namespace readersim

#endif  // KORVANE_PLATFORM_READERLIB_SIM_ENGINE_H
