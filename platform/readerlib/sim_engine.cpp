// The simulated reader's core: its lifecycle, the state the exported functions
// change and the delivery thread. See sim_engine.h for the locking rules and
// docs/readersim.md for the behaviour seen from outside.
#include "sim_engine.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace readersim {

const char *const kFunctionNames[kFunctionCount] = {
    "ConnectReader",
    "DisconnectReader",
    "SetDllResultHandlerASyncGetEPCs",
    "SetDllResultHandlerASyncReadDataAny",
    "SetDllResultHandlerASyncReadDataUntilEndOfBankAny",
    "SetDllResultHandlerASyncStopCommand",
    "SetDllResultHandlerGetExtendedResultFlag",
    "SetDllResultHandlerSetExtendedResultFlag",
    "ASyncGetEPCs",
    "ASyncReadDataAny",
    "ASyncReadDataUntilEndOfBankAny",
    "ASyncStopCommand",
    "GetExtendedResultFlag",
    "SetExtendedResultFlag",
};
const char *const kCommandNames[kCommandCount] = {"inventory", "read", "readuntil"};

namespace {

// Bounds: history of calls, queued deliveries, a held ConnectReader.
const size_t kMaxCalls = 512;
const size_t kMaxQueued = 1024;
const auto kHoldLimit = std::chrono::seconds(30);
const auto kIdleWait = std::chrono::seconds(1);

template <typename Handler>
const char *SetOrNull(Handler handler) {
    return handler != nullptr ? "set" : "null";
}

int AutoPeriodFromEnvironment() {
    const char *text = getenv("READERSIM_AUTO_PERIOD_MS");
    uint64_t period = 0;
    if (text == nullptr || !ParseUnsigned(text, 60000, &period) || period < 10) return 1000;
    return static_cast<int>(period);
}

// A flood record carries its sequence number and, once stamped, the
// monotonic time of the handler call in its EPC, so a client can tell order
// and latency from the datagram alone. As Korvane writes it, the EPC reads
// SSSSSSSS TTTTTTTTTTTTTTTT: the sequence number, then the nanoseconds.
void StampFloodChain(std::vector<tPendingRecord> *chain) {
    uint64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    uint64_t wallMs = WallClockMs();
    for (tPendingRecord &pending : *chain) {
        for (int word = 0; word < 4; ++word)
            pending.record.epc[word] = static_cast<uint16_t>(ns >> (16 * word));
        pending.record.timestampMs = wallMs;
    }
}

}  // namespace

std::string Format(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

uint64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Lifecycle

void CEngine::Load() {
    const char *path = getenv("READERSIM_SOCKET");
    if (path != nullptr && path[0] != '\0') StartThreads();
}

void CEngine::Unload() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unloading_ = true;
    }
    holdReleased_.notify_all();
    StopThreadsAndReset();
}

// Starts the delivery and demo threads and, when READERSIM_SOCKET is set, the
// control socket. Both variables are read here, at load or at ConnectReader,
// so a process may set them after the library was loaded.
void CEngine::StartThreads() {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    if (threadsStarted_) return;
    const char *pathValue = getenv("READERSIM_SOCKET");
    std::string path = pathValue != nullptr ? pathValue : "";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = false;
        autoDefault_ = path.empty();
        session_.autoMode = autoDefault_;
        autoPeriodMs_ = AutoPeriodFromEnvironment();
        random_ ^= static_cast<uint32_t>(WallClockMs()) ^ static_cast<uint32_t>(getpid());
        if (random_ == 0) random_ = 0x2545F491u;
    }
    // Threads are started before the socket: a controller's first command
    // may already need the delivery thread.
    int rc = StartLibraryThread<CEngine, &CEngine::DeliveryLoop>(&deliveryThread_, this);
    bool deliveryStarted = rc == 0;
    if (deliveryStarted)
        rc = StartLibraryThread<CEngine, &CEngine::TickerLoop>(&tickerThread_, this);
    if (rc != 0) {
        fprintf(stderr, "readersim: cannot start the %s thread: %s\n",
                deliveryStarted ? "demo" : "delivery", strerror(rc));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        queueChanged_.notify_all();
        if (deliveryStarted) pthread_join(deliveryThread_, nullptr);
        return;
    }
    threadsStarted_ = true;
    std::string error;
    auto execute = [](void *self, const std::string &line) {
        return static_cast<CEngine *>(self)->Execute(line);
    };
    if (!path.empty() && !server_.Start(path, execute, this, &error))
        fprintf(stderr, "readersim: no control socket at %s: %s\n", path.c_str(), error.c_str());
}

// Stops the delivery thread first and drops what it had not delivered, so a
// controller waiting on a delivery gets its answer; then the demo thread and
// the control socket. What the session changed goes back to the state of a
// freshly loaded library; handlers and a given `release` stay.
void CEngine::StopThreadsAndReset() {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    if (threadsStarted_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        queueChanged_.notify_all();
        tickerWake_.notify_all();
        pthread_join(deliveryThread_, nullptr);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (tDelivery &delivery : queue_) {
                if (delivery.outcome) *delivery.outcome = kDropped;
            }
            queue_.clear();
        }
        delivered_.notify_all();
        pthread_join(tickerThread_, nullptr);
        server_.Stop();
        threadsStarted_ = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    session_ = tSession();
    session_.autoMode = autoDefault_;
}

// Helpers (mutex_ held)

bool CEngine::CallFailsLocked(Function function, const char *format, ...) {
    char args[128];
    va_list list;
    va_start(list, format);
    vsnprintf(args, sizeof(args), format, list);
    va_end(list);
    std::string call = Format("%s(%s)", kFunctionNames[function], args);
    if (session_.calls.size() >= kMaxCalls) session_.calls.pop_front();
    session_.calls.push_back(call);
    // The call log outlives the process, so a test can read the calls of a
    // process that has ended (the control socket ends with it).
    const char *logPath = getenv("READERSIM_CALL_LOG");
    if (logPath != nullptr && *logPath != '\0') {
        int fd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            call += "\n";
            ssize_t written = write(fd, call.data(), call.size());
            (void)written;
            close(fd);
        }
    }
    return session_.failing[function];
}

bool CEngine::EnqueueLocked(tDelivery &&delivery) {
    if (stopped_ || queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(delivery));
    queueChanged_.notify_one();
    return true;
}

Command CEngine::TargetLocked(int via) const {
    if (via != kNoCommand) return static_cast<Command>(via);
    if (session_.running != kNoCommand) return session_.running;
    if (session_.lastStarted != kNoCommand) return session_.lastStarted;
    return kInventory;
}

// Exported functions

uint32_t CEngine::Connect(tConnectParams *params, uint32_t reserved) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CallFailsLocked(kFnConnectReader, "%s,%u", params != nullptr ? "params" : "null", reserved);
        if (params != nullptr) {
            memcpy(session_.connectParams, params, sizeof(session_.connectParams));
            session_.haveConnectParams = true;
        }
        // Connecting would start threads this very thread might have to join.
        if (gOnLibraryThread) return 0;
    }
    StartThreads();

    const char *hold = getenv("READERSIM_HOLD");
    if (hold != nullptr && strcmp(hold, "1") == 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
        if (!holdReleased_.wait_until(lock, deadline, [this] { return released_ || unloading_; }))
            fprintf(stderr, "readersim: no release within 30 s, going on\n");
    }

    std::lock_guard<std::mutex> lock(mutex_);
    if (session_.failing[kFnConnectReader] || params == nullptr || unloading_) return 0;
    session_.connected = true;
    return kHandle;
}

void CEngine::Disconnect(uint32_t handle) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A library thread cannot join itself, so a handler cannot disconnect.
        if (CallFailsLocked(kFnDisconnectReader, "%u", handle) || !ConnectedWithLocked(handle) ||
            gOnLibraryThread) {
            return;
        }
        session_.connected = false;
        session_.running = kNoCommand;
    }
    StopThreadsAndReset();
}

uint32_t CEngine::SetCommandHandlers(Command command, tStatusHandler status, tTagDataHandler data) {
    Function function = static_cast<Function>(kFnSetHandlerGetEPCs + command);
    std::lock_guard<std::mutex> lock(mutex_);
    if (CallFailsLocked(function, "%s,%s", SetOrNull(status), SetOrNull(data)))
        return session_.failCodes[function];
    statusHandlers_[command] = status;
    dataHandlers_[command] = data;
    return 0;
}

uint32_t CEngine::SetResultHandler(Function function, tResultHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CallFailsLocked(function, "%s", SetOrNull(handler))) return session_.failCodes[function];
    resultHandlers_[function - kFnSetHandlerStop] = handler;
    return 0;
}

uint32_t CEngine::StartCommand(Command command, uint32_t handle, uint32_t password, uint8_t bank,
                               uint32_t wordAddress, uint8_t wordCount) {
    Function function = static_cast<Function>(kFnGetEPCs + command);
    std::lock_guard<std::mutex> lock(mutex_);
    bool fails = command == kInventory ? CallFailsLocked(function, "%u", handle)
                                       : CallFailsLocked(function, "%u,%u,%u,%u,%u", handle,
                                                         password, bank, wordAddress, wordCount);
    if (fails) return session_.failCodes[function];
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (queue_.size() >= kMaxQueued) return kResultBusy;

    // A new command replaces a running one without a stop report, as the
    // caller asked for it while the other ran. The demo starts with an empty
    // field for every command.
    session_.lastStarted = session_.running = command;
    session_.acknowledged = false;
    session_.readBank = bank;
    session_.readAddress = wordAddress;
    session_.readCount = wordCount;
    session_.autoTicks = 0;
    memset(session_.autoPresent, 0, sizeof(session_.autoPresent));
    if (session_.withheld[function]) return 0;  // accepted, never acknowledged

    uint32_t startError = session_.startError;
    session_.startError = 0;
    EnqueueLocked({kStatusReport, startError, kStatusStart, command});
    session_.acknowledged = startError == 0;
    if (startError != 0) session_.running = kNoCommand;
    return 0;
}

uint32_t CEngine::StopCommand(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CallFailsLocked(kFnStopCommand, "%u", handle)) return session_.failCodes[kFnStopCommand];
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (queue_.size() + 2 > kMaxQueued) return kResultBusy;

    Command target = TargetLocked(kNoCommand);
    session_.running = kNoCommand;
    session_.acknowledged = false;
    if (session_.withheld[kFnStopCommand]) return 0;  // stopped, but neither report goes out
    // Both reports are queued in one critical section, so nothing can come
    // between the stop result and the command's status 0.
    EnqueueLocked({kStopResult, session_.stopResult});
    EnqueueLocked({kStatusReport, 0, kStatusStopped, target});
    return 0;
}

uint32_t CEngine::GetFlag(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CallFailsLocked(kFnGetFlag, "%u", handle)) return session_.failCodes[kFnGetFlag];
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (session_.withheld[kFnGetFlag]) return 0;
    return EnqueueLocked({kGetFlagResult, session_.flags}) ? 0 : kResultBusy;
}

uint32_t CEngine::SetFlag(uint32_t handle, uint8_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CallFailsLocked(kFnSetFlag, "%u,%u", handle, flags)) return session_.failCodes[kFnSetFlag];
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (queue_.size() >= kMaxQueued) return kResultBusy;
    session_.flags = flags;
    if (!session_.withheld[kFnSetFlag]) EnqueueLocked({kSetFlagResult, 0});
    return 0;
}

// Delivery thread

void CEngine::DeliveryLoop() {
    pthread_setname_np(pthread_self(), "readersim-call");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (queue_.empty() && !stopped_)
            queueChanged_.wait_for(lock, kIdleWait);
        if (stopped_) return;
        tDelivery delivery = std::move(queue_.front());
        queue_.pop_front();
        if (session_.floodLeft > 0 && queue_.size() < kFloodQueueDepth / 2)
            tickerWake_.notify_one();

        // The handler is looked up now, not when queued: after a registration
        // returns, no new call goes to the handler it replaced.
        DeliveryKind kind = delivery.kind;
        tStatusHandler status = kind == kStatusReport ? statusHandlers_[delivery.command] : nullptr;
        tTagDataHandler data = kind == kTagChain ? dataHandlers_[delivery.command] : nullptr;
        tResultHandler result = kind >= kStopResult ? resultHandlers_[kind - kStopResult] : nullptr;
        lock.unlock();

        if (status != nullptr) status(delivery.first, delivery.second, delivery.handle);
        if (data != nullptr) {
            if (delivery.flood) StampFloodChain(&delivery.chain);
            data(delivery.first, delivery.second, LinkChain(&delivery.chain));
        }
        if (result != nullptr) result(delivery.first, delivery.handle);
        // The records are ours and go once the handler has returned.
        delivery.chain.clear();

        lock.lock();
        if (delivery.outcome) {
            bool found = status != nullptr || data != nullptr || result != nullptr;
            *delivery.outcome = found ? kDelivered : kNoHandler;
            delivered_.notify_all();
        }
    }
}

}  // namespace readersim
