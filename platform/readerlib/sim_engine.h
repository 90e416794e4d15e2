// The simulated reader: the state behind the exported reader-access functions,
// the delivery thread that calls the registered handlers, the autonomous demo
// and the control commands.
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
enum Command : int { kNoCommand = -1, kInventory = 0, kRead = 1, kReadUntil = 2 };
const int kCommandCount = 3;

// The exported functions, as named in `fail`, `withhold` and `calls`.
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

class Engine {
public:
    static constexpr uint32_t kHandle = 0x4B56;
    // Results of commands the library does not accept on its own account.
    static constexpr uint32_t kResultNotConnected = 2;  // no connection, or a wrong handle
    static constexpr uint32_t kResultBusy = 3;          // delivery queue full

    Engine() = default;
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Library load: serves the control socket at once when READERSIM_SOCKET
    // is set, so a controller can act before ConnectReader is called.
    void Load();
    // Library unload: stops every thread and frees everything queued.
    void Unload();

    uint32_t Connect(tConnectParams *params, uint32_t reserved);
    void Disconnect(uint32_t handle);
    uint32_t SetCommandHandlers(Command command, tStatusHandler status, tTagDataHandler data);
    uint32_t SetStopHandler(tStopResultHandler handler);
    uint32_t SetGetFlagHandler(tGetResultFlagHandler handler);
    uint32_t SetSetFlagHandler(tSetResultFlagHandler handler);
    uint32_t StartCommand(Command command, uint32_t handle, uint32_t password, uint8_t bank,
                          uint32_t wordAddress, uint8_t wordCount);
    uint32_t StopCommand(uint32_t handle);
    uint32_t GetFlag(uint32_t handle);
    uint32_t SetFlag(uint32_t handle, uint8_t flags);

private:
    // How a queued delivery ended, for a controller waiting on it.
    enum Outcome { kPending, kDelivered, kNoHandler, kDropped };
    struct Completion {
        std::mutex mutex;
        std::condition_variable changed;
        Outcome outcome = kPending;
    };
    enum DeliveryKind { kStatusReport, kTagChain, kStopResult, kGetFlagResult, kSetFlagResult };
    struct Delivery {
        DeliveryKind kind = kStatusReport;
        Command command = kInventory;  // whose handlers, for reports and chains
        uint32_t first = 0;            // code, event, result or flags value
        uint32_t second = 0;           // status, or the chain's unused value
        uint32_t handle = 0;
        std::vector<PendingRecord> chain;
        bool flood = false;  // stamp the records with the time of the handler call
        std::shared_ptr<Completion> completion;  // set when a controller waits
    };

    static void *DeliveryMain(void *self);
    static void *TickerMain(void *self);
    static std::string ExecuteThunk(void *self, const std::string &line);

    void StartThreads();
    void StopThreads();
    void DeliveryLoop();
    void TickerLoop();
    void ResetSessionLocked();

    void RecordCallLocked(const std::string &call);
    bool FailingLocked(Function function, uint32_t *code) const;
    bool ConnectedWithLocked(uint32_t handle) const;
    bool EnqueueLocked(Delivery &&delivery);
    Command DefaultTargetLocked() const;
    static void Complete(const std::shared_ptr<Completion> &completion, Outcome outcome);

    // Autonomous demo.
    void AutoTickLocked();
    void BuildAutoRecord(size_t tag, bool came, PendingRecord *pending);
    uint32_t RandomLocked();

    // Flood: a stream of distinct tags for measurements, made on the demo
    // thread. FloodStepLocked queues one chain when it is due and the queue
    // has room, else waits (bounded) for either.
    void FloodStepLocked(std::unique_lock<std::mutex> &lock);
    std::string RunFlood(const std::vector<std::string> &tokens);

    // Control commands.
    std::string Execute(const std::string &line);
    // Queues `delivery` (mutex_ held through `lock`), releases the lock and
    // waits, bounded, for the handler to return. Returns the reply line.
    std::string QueueAndWait(Delivery &&delivery, std::unique_lock<std::mutex> &lock);
    std::string RunReport(const std::vector<std::string> &tokens);
    std::string RunStatus(const std::vector<std::string> &tokens);
    std::string RunTags(const std::vector<std::string> &tokens);
    std::string StateLine();

    std::mutex lifecycleMutex_;
    bool threadsStarted_ = false;  // guarded by lifecycleMutex_
    pthread_t deliveryThread_{};
    pthread_t tickerThread_{};
    ControlServer server_;

    std::mutex mutex_;
    std::condition_variable queueChanged_;
    std::condition_variable tickerWake_;
    std::condition_variable holdReleased_;

    // Everything below is guarded by mutex_.
    std::deque<Delivery> queue_;
    bool deliveryRunning_ = false;
    bool deliveryStopping_ = false;
    bool tickerStopping_ = false;
    bool unloading_ = false;
    bool released_ = false;  // `release` came: a held ConnectReader goes on

    tStatusHandler statusHandlers_[kCommandCount] = {};
    tTagDataHandler dataHandlers_[kCommandCount] = {};
    tStopResultHandler stopHandler_ = nullptr;
    tGetResultFlagHandler getFlagHandler_ = nullptr;
    tSetResultFlagHandler setFlagHandler_ = nullptr;

    // Per connection session; ResetSessionLocked restores these on disconnect.
    bool connected_ = false;
    uint8_t connectParams_[sizeof(tConnectParams)] = {};
    bool haveConnectParams_ = false;
    Command running_ = kNoCommand;
    Command lastStarted_ = kNoCommand;
    bool acknowledged_ = false;  // the running command's start report went out
    uint8_t readBank_ = 0;
    uint32_t readAddress_ = 0;
    uint8_t readCount_ = 0;
    bool failing_[kFunctionCount] = {};
    uint32_t failCodes_[kFunctionCount] = {};
    bool withheld_[kFunctionCount] = {};
    bool haveStartError_ = false;
    uint32_t startError_ = 0;
    uint32_t stopResult_ = 0;
    uint8_t flags_ = 0;
    std::deque<std::string> calls_;

    // Autonomous demo.
    bool autoMode_ = false;
    bool autoDefault_ = false;
    int autoPeriodMs_ = 1000;
    unsigned autoTicks_ = 0;
    static constexpr size_t kAutoTags = 5;
    bool autoPresent_[kAutoTags] = {};
    uint32_t random_ = 0x2545F491u;

    // Flood (per session).
    uint64_t floodLeft_ = 0;    // tags still to queue
    uint64_t floodQueued_ = 0;  // tags queued since the flood began
    uint32_t floodSequence_ = 0;
    uint32_t floodChain_ = 1;  // records per chain
    uint32_t floodRate_ = 0;   // tags per second, 0: as fast as the handler takes them
    uint32_t floodEvent_ = 0xFF;
    Command floodVia_ = kInventory;
    std::chrono::steady_clock::time_point floodStart_;
};

}  // namespace readersim

#endif  // KORVANE_PLATFORM_READERLIB_SIM_ENGINE_H
