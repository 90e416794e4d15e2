// The simulated reader: state, delivery thread, autonomous demo and control
// commands. See sim_engine.h for the locking rules and docs/readersim.md for
// the behaviour seen from outside.
#include "sim_engine.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

namespace readersim {

namespace {

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
const Function kCommandFunctions[kCommandCount] = {kFnGetEPCs, kFnReadDataAny, kFnReadUntilEnd};

const uint32_t kStatusStart = 255;
const uint32_t kStatusHeartbeat = 128;
const uint32_t kStatusStopped = 0;

// Bounds: history of calls, queued deliveries, a controller's wait, a held
// ConnectReader, and the records of one `tags` chain.
const size_t kMaxCalls = 512;
const size_t kMaxQueued = 1024;
const size_t kAutoQueueLimit = 64;  // the demo skips ticks while handlers lag
const auto kDeliveryWait = std::chrono::seconds(5);
const auto kHoldLimit = std::chrono::seconds(30);
const auto kIdleWait = std::chrono::seconds(1);
const size_t kMaxChainRecords = 1000;
// A flood keeps at most this many chains queued: enough to keep the handler
// busy, few enough that the time stamps stay close to the handler call.
const size_t kFloodQueueDepth = 16;
const uint64_t kMaxFloodTags = 1000000000;
const uint32_t kMaxFloodRate = 10000000;

// The demo's tag memory: words per bank (reserved, EPC, TID, user), read to
// the end of the bank when a read asks for 0 or 255 words.
const uint32_t kBankWords[4] = {4, 8, 6, 8};
// A read past the end of a bank fails as a tag would: "memory overrun".
const uint8_t kReadOverrun = 0x03;
const uint16_t kDemoPc = 0x3000;  // six EPC words
const uint16_t kDemoEpc[6] = {0x3034, 0x1F2A, 0x8C00, 0x0000, 0x0000, 0x0000};

const char kHelp[] =
    "OK commands: release | fail NAME [CODE] | ok NAME | withhold NAME | deliver NAME | "
    "starterror CODE | stopresult CODE | flags VALUE | auto on|off | "
    "report start|heartbeat|stop [code=N] [handle=H] [via=V] | "
    "status CODE STATUS [handle=H] [via=V] | tags [via=V] EVENT REC [| REC ...] | "
    "flood COUNT [chain=K] [rate=R] [event=came|left] [via=V] | flood stop | flood | "
    "calls [clear] | connectparams | state | help";

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

const char *SetOrNull(const void *handler) {
    return handler != nullptr ? "set" : "null";
}

int FunctionByName(const std::string &name) {
    for (int i = 0; i < kFunctionCount; ++i) {
        if (name == kFunctionNames[i]) return i;
    }
    return -1;
}

bool Withholdable(int function) {
    return function >= kFnGetEPCs && function <= kFnSetFlag;
}

int CommandByName(const std::string &name) {
    for (int i = 0; i < kCommandCount; ++i) {
        if (name == kCommandNames[i]) return i;
    }
    return -1;
}

bool ParseU32(const std::string &text, uint32_t *value) {
    uint64_t parsed = 0;
    if (!ParseUnsigned(text, UINT32_MAX, &parsed)) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

int AutoPeriodFromEnvironment() {
    const char *text = getenv("READERSIM_AUTO_PERIOD_MS");
    uint64_t period = 0;
    if (text == nullptr || !ParseUnsigned(text, 60000, &period) || period < 10) return 1000;
    return static_cast<int>(period);
}

uint64_t WallClockMs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

// A flood record carries its sequence number and, once stamped, the
// monotonic time of the handler call in its EPC, so a client can tell order
// and latency from the datagram alone. As Korvane writes it, the EPC reads
// SSSSSSSS TTTTTTTTTTTTTTTT: the sequence number, then the nanoseconds.
void BuildFloodRecord(uint32_t sequence, PendingRecord *pending) {
    ReaderTagRecord &record = pending->record;
    int16_t dbm = static_cast<int16_t>(-35 - static_cast<int>(sequence % 41));
    record.antenna = static_cast<uint8_t>(1 + sequence % 4);
    record.rssiDbm = dbm;
    record.rssi = static_cast<uint8_t>(2 * (dbm + 100));
    record.pc = kDemoPc;
    record.epcLength = 6;
    // The record holds the EPC from its last word to its first.
    record.epc[5] = static_cast<uint16_t>(sequence >> 16);
    record.epc[4] = static_cast<uint16_t>(sequence);
}

void StampFloodChain(std::vector<PendingRecord> *chain) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ns =
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    uint64_t wallMs = WallClockMs();
    for (PendingRecord &pending : *chain) {
        for (int word = 0; word < 4; ++word)
            pending.record.epc[word] = static_cast<uint16_t>(ns >> (16 * word));
        pending.record.timestampMs = wallMs;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle

void Engine::Load() {
    const char *path = getenv("READERSIM_SOCKET");
    if (path != nullptr && path[0] != '\0') StartThreads();
}

void Engine::Unload() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unloading_ = true;
    }
    holdReleased_.notify_all();
    StopThreads();
    std::lock_guard<std::mutex> lock(mutex_);
    ResetSessionLocked();
}

// Starts the delivery and demo threads and, when READERSIM_SOCKET is set, the
// control socket. Both variables are read here, at load or at ConnectReader,
// so a process may set them after the library was loaded.
void Engine::StartThreads() {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    if (threadsStarted_) return;
    const char *pathValue = getenv("READERSIM_SOCKET");
    std::string path = pathValue != nullptr ? pathValue : "";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        deliveryStopping_ = false;
        tickerStopping_ = false;
        deliveryRunning_ = true;
        autoDefault_ = path.empty();
        autoMode_ = autoDefault_;
        autoPeriodMs_ = AutoPeriodFromEnvironment();
        random_ ^= static_cast<uint32_t>(WallClockMs()) ^ static_cast<uint32_t>(getpid());
        if (random_ == 0) random_ = 0x2545F491u;
    }
    // Threads are started before the socket: a controller's first command
    // may already need the delivery thread.
    int rc = pthread_create(&deliveryThread_, nullptr, &Engine::DeliveryMain, this);
    if (rc != 0) {
        fprintf(stderr, "readersim: cannot start the delivery thread: %s\n", strerror(rc));
        std::lock_guard<std::mutex> lock(mutex_);
        deliveryRunning_ = false;
        return;
    }
    rc = pthread_create(&tickerThread_, nullptr, &Engine::TickerMain, this);
    if (rc != 0) {
        fprintf(stderr, "readersim: cannot start the demo thread: %s\n", strerror(rc));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            deliveryStopping_ = true;
        }
        queueChanged_.notify_all();
        pthread_join(deliveryThread_, nullptr);
        std::lock_guard<std::mutex> lock(mutex_);
        deliveryRunning_ = false;
        return;
    }
    threadsStarted_ = true;
    if (!path.empty()) {
        std::string error;
        if (!server_.Start(path, &Engine::ExecuteThunk, this, &error)) {
            fprintf(stderr, "readersim: no control socket at %s: %s\n", path.c_str(),
                    error.c_str());
        }
    }
}

// Stops the delivery thread first and drops what it had not delivered, so a
// controller waiting on a delivery gets its answer; then the demo thread and
// the control socket.
void Engine::StopThreads() {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    if (!threadsStarted_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        deliveryStopping_ = true;
        tickerStopping_ = true;
    }
    queueChanged_.notify_all();
    tickerWake_.notify_all();
    pthread_join(deliveryThread_, nullptr);
    std::deque<Delivery> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        deliveryRunning_ = false;
        dropped.swap(queue_);
    }
    for (Delivery &delivery : dropped)
        Complete(delivery.completion, kDropped);
    dropped.clear();
    pthread_join(tickerThread_, nullptr);
    server_.Stop();
    threadsStarted_ = false;
}

// What a connection session changed goes back to the state of a freshly
// loaded library. Handlers and a given `release` stay.
void Engine::ResetSessionLocked() {
    connected_ = false;
    memset(connectParams_, 0, sizeof(connectParams_));
    haveConnectParams_ = false;
    running_ = kNoCommand;
    lastStarted_ = kNoCommand;
    acknowledged_ = false;
    for (int i = 0; i < kFunctionCount; ++i) {
        failing_[i] = false;
        failCodes_[i] = 0;
        withheld_[i] = false;
    }
    haveStartError_ = false;
    startError_ = 0;
    stopResult_ = 0;
    flags_ = 0;
    calls_.clear();
    autoMode_ = autoDefault_;
    autoTicks_ = 0;
    for (bool &present : autoPresent_)
        present = false;
    floodLeft_ = 0;
    floodSequence_ = 0;
}

// ---------------------------------------------------------------------------
// Helpers (mutex_ held)

void Engine::RecordCallLocked(const std::string &call) {
    if (calls_.size() >= kMaxCalls) calls_.pop_front();
    calls_.push_back(call);
    // The call log outlives the process, so a test can read the calls of a
    // process that has ended (the control socket ends with it).
    const char *logPath = getenv("READERSIM_CALL_LOG");
    if (logPath != nullptr && *logPath != '\0') {
        int fd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            std::string line = call + "\n";
            ssize_t written = write(fd, line.data(), line.size());
            (void)written;
            close(fd);
        }
    }
}

bool Engine::FailingLocked(Function function, uint32_t *code) const {
    if (!failing_[function]) return false;
    *code = failCodes_[function];
    return true;
}

bool Engine::ConnectedWithLocked(uint32_t handle) const {
    return connected_ && handle == kHandle;
}

bool Engine::EnqueueLocked(Delivery &&delivery) {
    if (!deliveryRunning_ || deliveryStopping_ || queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(delivery));
    queueChanged_.notify_one();
    return true;
}

// The command whose handlers get reports that name none: the running one,
// else the one started last, else the inventory.
Command Engine::DefaultTargetLocked() const {
    if (running_ != kNoCommand) return running_;
    if (lastStarted_ != kNoCommand) return lastStarted_;
    return kInventory;
}

void Engine::Complete(const std::shared_ptr<Completion> &completion, Outcome outcome) {
    if (!completion) return;
    std::lock_guard<std::mutex> lock(completion->mutex);
    completion->outcome = outcome;
    completion->changed.notify_all();
}

// ---------------------------------------------------------------------------
// Exported functions

uint32_t Engine::Connect(tConnectParams *params, uint32_t reserved) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        RecordCallLocked(
            Format("ConnectReader(%s,%u)", params != nullptr ? "params" : "null", reserved));
        if (params != nullptr) {
            memcpy(connectParams_, params, sizeof(connectParams_));
            haveConnectParams_ = true;
        }
        // Connecting would start threads this very thread might have to join.
        if (OnLibraryThread()) return 0;
    }
    StartThreads();

    const char *hold = getenv("READERSIM_HOLD");
    if (hold != nullptr && strcmp(hold, "1") == 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
        while (!released_ && !unloading_) {
            if (holdReleased_.wait_until(lock, deadline) == std::cv_status::timeout) {
                if (!released_) fprintf(stderr, "readersim: no release within 30 s, going on\n");
                break;
            }
        }
    }

    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t code = 0;
    if (FailingLocked(kFnConnectReader, &code) || params == nullptr || unloading_) return 0;
    connected_ = true;
    return kHandle;
}

void Engine::Disconnect(uint32_t handle) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        RecordCallLocked(Format("DisconnectReader(%u)", handle));
        uint32_t code = 0;
        // A library thread cannot join itself, so a handler cannot disconnect.
        if (FailingLocked(kFnDisconnectReader, &code) || !ConnectedWithLocked(handle) ||
            OnLibraryThread()) {
            return;
        }
        connected_ = false;
        running_ = kNoCommand;
    }
    StopThreads();
    std::lock_guard<std::mutex> lock(mutex_);
    ResetSessionLocked();
}

uint32_t Engine::SetCommandHandlers(Command command, tStatusHandler status, tTagDataHandler data) {
    static const Function kRegistrations[kCommandCount] = {
        kFnSetHandlerGetEPCs, kFnSetHandlerReadDataAny, kFnSetHandlerReadUntilEnd};
    Function function = kRegistrations[command];
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("%s(%s,%s)", kFunctionNames[function],
                            SetOrNull(reinterpret_cast<const void *>(status)),
                            SetOrNull(reinterpret_cast<const void *>(data))));
    uint32_t code = 0;
    if (FailingLocked(function, &code)) return code;
    statusHandlers_[command] = status;
    dataHandlers_[command] = data;
    return 0;
}

uint32_t Engine::SetStopHandler(tStopResultHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("%s(%s)", kFunctionNames[kFnSetHandlerStop],
                            SetOrNull(reinterpret_cast<const void *>(handler))));
    uint32_t code = 0;
    if (FailingLocked(kFnSetHandlerStop, &code)) return code;
    stopHandler_ = handler;
    return 0;
}

uint32_t Engine::SetGetFlagHandler(tGetResultFlagHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("%s(%s)", kFunctionNames[kFnSetHandlerGetFlag],
                            SetOrNull(reinterpret_cast<const void *>(handler))));
    uint32_t code = 0;
    if (FailingLocked(kFnSetHandlerGetFlag, &code)) return code;
    getFlagHandler_ = handler;
    return 0;
}

uint32_t Engine::SetSetFlagHandler(tSetResultFlagHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("%s(%s)", kFunctionNames[kFnSetHandlerSetFlag],
                            SetOrNull(reinterpret_cast<const void *>(handler))));
    uint32_t code = 0;
    if (FailingLocked(kFnSetHandlerSetFlag, &code)) return code;
    setFlagHandler_ = handler;
    return 0;
}

uint32_t Engine::StartCommand(Command command, uint32_t handle, uint32_t password, uint8_t bank,
                              uint32_t wordAddress, uint8_t wordCount) {
    Function function = kCommandFunctions[command];
    std::lock_guard<std::mutex> lock(mutex_);
    if (command == kInventory) {
        RecordCallLocked(Format("%s(%u)", kFunctionNames[function], handle));
    } else {
        RecordCallLocked(Format("%s(%u,%u,%u,%u,%u)", kFunctionNames[function], handle, password,
                                bank, wordAddress, wordCount));
    }
    uint32_t code = 0;
    if (FailingLocked(function, &code)) return code;
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (queue_.size() >= kMaxQueued) return kResultBusy;

    // A new command replaces a running one without a stop report, as the
    // caller asked for it while the other ran.
    lastStarted_ = command;
    running_ = command;
    acknowledged_ = false;
    readBank_ = bank;
    readAddress_ = wordAddress;
    readCount_ = wordCount;
    autoTicks_ = 0;
    for (bool &present : autoPresent_)
        present = false;
    if (withheld_[function]) return 0;  // accepted, never acknowledged

    uint32_t startError = haveStartError_ ? startError_ : 0;
    haveStartError_ = false;
    Delivery report;
    report.kind = kStatusReport;
    report.command = command;
    report.first = startError;
    report.second = kStatusStart;
    report.handle = kHandle;
    EnqueueLocked(std::move(report));
    if (startError != 0) {
        running_ = kNoCommand;
    } else {
        acknowledged_ = true;
    }
    return 0;
}

uint32_t Engine::StopCommand(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("ASyncStopCommand(%u)", handle));
    uint32_t code = 0;
    if (FailingLocked(kFnStopCommand, &code)) return code;
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (queue_.size() + 2 > kMaxQueued) return kResultBusy;

    Command target = DefaultTargetLocked();
    running_ = kNoCommand;
    acknowledged_ = false;
    if (withheld_[kFnStopCommand]) return 0;  // stopped, but neither report goes out

    // Both reports are queued in one critical section, so nothing can come
    // between the stop result and the command's status 0.
    Delivery result;
    result.kind = kStopResult;
    result.first = stopResult_;
    result.handle = kHandle;
    EnqueueLocked(std::move(result));
    Delivery stopped;
    stopped.kind = kStatusReport;
    stopped.command = target;
    stopped.first = 0;
    stopped.second = kStatusStopped;
    stopped.handle = kHandle;
    EnqueueLocked(std::move(stopped));
    return 0;
}

uint32_t Engine::GetFlag(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("GetExtendedResultFlag(%u)", handle));
    uint32_t code = 0;
    if (FailingLocked(kFnGetFlag, &code)) return code;
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (withheld_[kFnGetFlag]) return 0;
    Delivery delivery;
    delivery.kind = kGetFlagResult;
    delivery.first = flags_;
    delivery.handle = kHandle;
    return EnqueueLocked(std::move(delivery)) ? 0 : kResultBusy;
}

uint32_t Engine::SetFlag(uint32_t handle, uint8_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordCallLocked(Format("SetExtendedResultFlag(%u,%u)", handle, flags));
    uint32_t code = 0;
    if (FailingLocked(kFnSetFlag, &code)) return code;
    if (!ConnectedWithLocked(handle)) return kResultNotConnected;
    if (queue_.size() >= kMaxQueued) return kResultBusy;
    flags_ = flags;
    if (withheld_[kFnSetFlag]) return 0;
    Delivery delivery;
    delivery.kind = kSetFlagResult;
    delivery.first = 0;
    delivery.handle = kHandle;
    EnqueueLocked(std::move(delivery));
    return 0;
}

// ---------------------------------------------------------------------------
// Delivery thread

void *Engine::DeliveryMain(void *self) {
    MarkLibraryThread();
    pthread_setname_np(pthread_self(), "readersim-call");
    static_cast<Engine *>(self)->DeliveryLoop();
    return nullptr;
}

void Engine::DeliveryLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (queue_.empty() && !deliveryStopping_)
            queueChanged_.wait_for(lock, kIdleWait);
        if (deliveryStopping_) return;
        Delivery delivery = std::move(queue_.front());
        queue_.pop_front();
        if (floodLeft_ > 0 && queue_.size() < kFloodQueueDepth / 2) tickerWake_.notify_one();

        // The handler is looked up now, not when queued: after a registration
        // returns, no new call goes to the handler it replaced.
        tStatusHandler status = nullptr;
        tTagDataHandler data = nullptr;
        tStopResultHandler stop = nullptr;
        tGetResultFlagHandler getFlag = nullptr;
        tSetResultFlagHandler setFlag = nullptr;
        bool found = false;
        switch (delivery.kind) {
            case kStatusReport:
                status = statusHandlers_[delivery.command];
                found = status != nullptr;
                break;
            case kTagChain:
                data = dataHandlers_[delivery.command];
                found = data != nullptr;
                break;
            case kStopResult:
                stop = stopHandler_;
                found = stop != nullptr;
                break;
            case kGetFlagResult:
                getFlag = getFlagHandler_;
                found = getFlag != nullptr;
                break;
            case kSetFlagResult:
                setFlag = setFlagHandler_;
                found = setFlag != nullptr;
                break;
        }
        lock.unlock();

        if (status != nullptr) status(delivery.first, delivery.second, delivery.handle);
        if (data != nullptr) {
            if (delivery.flood) StampFloodChain(&delivery.chain);
            LinkChain(&delivery.chain);
            const ReaderTagRecord *first =
                delivery.chain.empty() ? nullptr : &delivery.chain.front().record;
            data(delivery.first, delivery.second, first);
        }
        if (stop != nullptr) stop(delivery.first, delivery.handle);
        if (getFlag != nullptr) getFlag(delivery.first, delivery.handle);
        if (setFlag != nullptr) setFlag(delivery.first, delivery.handle);
        // The records are ours and go once the handler has returned.
        delivery.chain.clear();
        Complete(delivery.completion, found ? kDelivered : kNoHandler);
        delivery.completion.reset();

        lock.lock();
    }
}

// ---------------------------------------------------------------------------
// Autonomous demo

void *Engine::TickerMain(void *self) {
    MarkLibraryThread();
    pthread_setname_np(pthread_self(), "readersim-demo");
    static_cast<Engine *>(self)->TickerLoop();
    return nullptr;
}

void Engine::TickerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto period = std::chrono::milliseconds(autoPeriodMs_);
    auto next = std::chrono::steady_clock::now() + period;
    while (!tickerStopping_) {
        if (floodLeft_ > 0) {
            FloodStepLocked(lock);
            continue;
        }
        tickerWake_.wait_until(lock, next);
        if (tickerStopping_) break;
        auto now = std::chrono::steady_clock::now();
        if (now < next) continue;
        next += period;
        if (next < now) next = now + period;  // after a stall, no burst of ticks
        AutoTickLocked();
    }
}

uint32_t Engine::RandomLocked() {
    // xorshift32: plenty for a demo, and no shared state outside mutex_.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    return random_;
}

// One demo tick: a heartbeat every third tick, and one or two of the five
// tags come into or leave the field.
void Engine::AutoTickLocked() {
    if (!autoMode_ || running_ == kNoCommand || !acknowledged_) return;
    if (queue_.size() > kAutoQueueLimit) return;
    ++autoTicks_;
    if (autoTicks_ % 3 == 0) {
        Delivery heartbeat;
        heartbeat.kind = kStatusReport;
        heartbeat.command = running_;
        heartbeat.second = kStatusHeartbeat;
        heartbeat.handle = kHandle;
        EnqueueLocked(std::move(heartbeat));
    }
    size_t first = RandomLocked() % kAutoTags;
    bool came = !autoPresent_[first];
    Delivery chain;
    chain.kind = kTagChain;
    chain.command = running_;
    chain.first = came ? 0xFF : 0x00;
    chain.handle = kHandle;
    chain.chain.emplace_back();
    BuildAutoRecord(first, came, &chain.chain.back());
    autoPresent_[first] = came;
    if (RandomLocked() % 4 == 0) {
        size_t second = (first + 1 + RandomLocked() % (kAutoTags - 1)) % kAutoTags;
        if (autoPresent_[second] != came) {
            chain.chain.emplace_back();
            BuildAutoRecord(second, came, &chain.chain.back());
            autoPresent_[second] = came;
        }
    }
    EnqueueLocked(std::move(chain));
}

void Engine::BuildAutoRecord(size_t tag, bool came, PendingRecord *pending) {
    ReaderTagRecord &record = pending->record;
    int16_t dbm = static_cast<int16_t>(-35 - static_cast<int>(RandomLocked() % 41));
    record.antenna = static_cast<uint8_t>(1 + RandomLocked() % 4);
    record.rssiDbm = dbm;
    record.rssi = static_cast<uint8_t>(2 * (dbm + 100));  // -75..-35 dBm -> 50..130
    record.pc = kDemoPc;
    record.epcLength = 6;
    // The record holds the EPC from its last word to its first.
    uint16_t epc[6];
    for (size_t i = 0; i < 6; ++i)
        epc[i] = kDemoEpc[i];
    epc[5] = static_cast<uint16_t>(0x0101 + tag);
    for (size_t i = 0; i < 6; ++i)
        record.epc[i] = epc[5 - i];
    record.timestampMs = WallClockMs();
    if (running_ == kInventory || !came) return;

    uint32_t bankWords = readBank_ < 4 ? kBankWords[readBank_] : 0;
    uint32_t count = readCount_;
    if (count == 0 || count == 255) {
        count = bankWords > readAddress_ ? bankWords - readAddress_ : 0;
        if (count == 0) {
            record.readResult = kReadOverrun;
            return;
        }
    }
    pending->hasData = true;
    pending->words.resize(count);
    record.dataLength = static_cast<uint8_t>(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t address = readAddress_ + i;
        uint16_t word = 0;
        if (readBank_ == 1 && address == 0) {
            word = static_cast<uint16_t>(0x9C41 ^ tag);  // stored CRC
        } else if (readBank_ == 1 && address == 1) {
            word = kDemoPc;
        } else if (readBank_ == 1 && address < 8) {
            word = epc[address - 2];
        } else if (readBank_ == 2 && address < 6) {
            static const uint16_t kTid[6] = {0xE280, 0x1160, 0x2000, 0x7A00, 0x0C3F, 0x91B0};
            word = static_cast<uint16_t>(kTid[address] + (address >= 3 ? tag : 0));
        } else if (readBank_ != 0) {
            word = static_cast<uint16_t>(0x5500 + (tag << 4) + (address & 0x0F));
        }
        pending->words[i] = word;
    }
}

// ---------------------------------------------------------------------------
// Flood (demo thread)

void Engine::FloodStepLocked(std::unique_lock<std::mutex> &lock) {
    if (!connected_) {
        floodLeft_ = 0;
        return;
    }
    if (queue_.size() >= kFloodQueueDepth) {
        // The delivery thread wakes us when the queue has drained to half.
        tickerWake_.wait_for(lock, std::chrono::milliseconds(100));
        return;
    }
    if (floodRate_ != 0) {
        auto due = floodStart_ + std::chrono::nanoseconds(floodQueued_ * 1000000000u / floodRate_);
        if (std::chrono::steady_clock::now() < due) {
            tickerWake_.wait_until(lock, due);
            return;
        }
    }
    Delivery chain;
    chain.kind = kTagChain;
    chain.command = floodVia_;
    chain.first = floodEvent_;
    chain.handle = kHandle;
    chain.flood = true;
    uint64_t records = floodLeft_ < floodChain_ ? floodLeft_ : floodChain_;
    chain.chain.resize(records);
    for (PendingRecord &pending : chain.chain)
        BuildFloodRecord(floodSequence_++, &pending);
    if (!EnqueueLocked(std::move(chain))) {
        floodLeft_ = 0;
        return;
    }
    floodLeft_ -= records;
    floodQueued_ += records;
}

// flood COUNT [chain=K] [rate=R] [event=came|left] [via=V] | flood stop | flood
std::string Engine::RunFlood(const std::vector<std::string> &tokens) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tokens.size() == 1) return Format("OK %llu", static_cast<unsigned long long>(floodLeft_));
    if (tokens.size() == 2 && tokens[1] == "stop") {
        floodLeft_ = 0;
        return "OK";
    }
    uint64_t count = 0;
    if (!ParseUnsigned(tokens[1], kMaxFloodTags, &count) || count == 0) return "ERR bad count";
    uint64_t chain = 1;
    uint64_t rate = 0;
    uint32_t event = 0xFF;
    int via = kNoCommand;
    for (size_t i = 2; i < tokens.size(); ++i) {
        const std::string &token = tokens[i];
        size_t equals = token.find('=');
        std::string key = equals == std::string::npos ? token : token.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : token.substr(equals + 1);
        if (key == "chain") {
            if (!ParseUnsigned(value, kMaxChainRecords, &chain) || chain == 0)
                return "ERR bad chain";
        } else if (key == "rate") {
            if (!ParseUnsigned(value, kMaxFloodRate, &rate)) return "ERR bad rate";
        } else if (key == "event" && (value == "came" || value == "left")) {
            event = value == "came" ? 0xFF : 0x00;
        } else if (key == "via") {
            via = CommandByName(value);
            if (via == kNoCommand) return "ERR bad via";
        } else {
            return "ERR bad option " + token;
        }
    }
    if (!connected_) return "ERR not connected";
    if (floodLeft_ > 0) return "ERR flood running";
    floodVia_ = via == kNoCommand ? DefaultTargetLocked() : static_cast<Command>(via);
    if (dataHandlers_[floodVia_] == nullptr) return "ERR no handler";
    floodLeft_ = count;
    floodQueued_ = 0;
    floodChain_ = static_cast<uint32_t>(chain);
    floodRate_ = static_cast<uint32_t>(rate);
    floodEvent_ = event;
    floodStart_ = std::chrono::steady_clock::now();
    tickerWake_.notify_one();
    return "OK";
}

// ---------------------------------------------------------------------------
// Control commands (control thread)

std::string Engine::ExecuteThunk(void *self, const std::string &line) {
    return static_cast<Engine *>(self)->Execute(line);
}

std::string Engine::QueueAndWait(Delivery &&delivery, std::unique_lock<std::mutex> &lock) {
    auto completion = std::make_shared<Completion>();
    delivery.completion = completion;
    bool queued = EnqueueLocked(std::move(delivery));
    lock.unlock();
    if (!queued) return "ERR not queued";
    std::unique_lock<std::mutex> wait(completion->mutex);
    completion->changed.wait_for(wait, kDeliveryWait,
                                 [&completion] { return completion->outcome != kPending; });
    switch (completion->outcome) {
        case kDelivered:
            return "OK";
        case kNoHandler:
            return "ERR no handler";
        case kDropped:
            return "ERR dropped";
        case kPending:
            break;
    }
    return "ERR timeout";
}

std::string Engine::StateLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Format("OK running=%s handle=%u connected=%d flags=%u auto=%d",
                  running_ == kNoCommand ? "none" : kCommandNames[running_],
                  connected_ ? kHandle : 0, connected_ ? 1 : 0, flags_, autoMode_ ? 1 : 0);
}

std::string Engine::Execute(const std::string &line) {
    std::vector<std::string> tokens = SplitTokens(line);
    if (tokens.empty()) return "ERR empty command";
    const std::string &verb = tokens[0];
    size_t count = tokens.size();

    if (verb == "help" && count == 1) return kHelp;
    if (verb == "state" && count == 1) return StateLine();
    if (verb == "report") return RunReport(tokens);
    if (verb == "status") return RunStatus(tokens);
    if (verb == "tags") return RunTags(tokens);
    if (verb == "flood") return RunFlood(tokens);

    std::lock_guard<std::mutex> lock(mutex_);
    if (verb == "release" && count == 1) {
        released_ = true;
        holdReleased_.notify_all();
        return "OK";
    }
    if ((verb == "fail" && (count == 2 || count == 3)) || (verb == "ok" && count == 2)) {
        int function = FunctionByName(tokens[1]);
        if (function < 0) return "ERR unknown function";
        uint32_t code = 1;
        if (count == 3 && !ParseU32(tokens[2], &code)) return "ERR bad code";
        failing_[function] = verb == "fail";
        failCodes_[function] = verb == "fail" ? code : 0;
        return "OK";
    }
    if ((verb == "withhold" || verb == "deliver") && count == 2) {
        int function = FunctionByName(tokens[1]);
        if (!Withholdable(function)) return "ERR cannot withhold that";
        withheld_[function] = verb == "withhold";
        return "OK";
    }
    if ((verb == "starterror" || verb == "stopresult") && count == 2) {
        uint32_t code = 0;
        if (!ParseU32(tokens[1], &code)) return "ERR bad code";
        if (verb == "starterror") {
            haveStartError_ = true;
            startError_ = code;
        } else {
            stopResult_ = code;
        }
        return "OK";
    }
    if (verb == "flags" && count == 2) {
        uint64_t value = 0;
        if (!ParseUnsigned(tokens[1], 0xFF, &value)) return "ERR bad flags";
        flags_ = static_cast<uint8_t>(value);
        return "OK";
    }
    if (verb == "auto" && count == 2 && (tokens[1] == "on" || tokens[1] == "off")) {
        autoMode_ = tokens[1] == "on";
        autoTicks_ = 0;
        return "OK";
    }
    if (verb == "calls" && count == 1) {
        std::string reply = "OK";
        for (size_t i = 0; i < calls_.size(); ++i) {
            reply += i == 0 ? " " : ";";
            reply += calls_[i];
        }
        return reply;
    }
    if (verb == "calls" && count == 2 && tokens[1] == "clear") {
        calls_.clear();
        return "OK";
    }
    if (verb == "connectparams" && count == 1) {
        if (!haveConnectParams_) return "ERR no connect parameters";
        return "OK " + HexBytes(connectParams_, sizeof(connectParams_));
    }
    static const char *const kVerbs[] = {
        "help",       "state",      "release", "fail", "ok",    "withhold",     "deliver",
        "starterror", "stopresult", "flags",   "auto", "calls", "connectparams"};
    for (const char *known : kVerbs) {
        if (verb == known) return "ERR bad arguments";
    }
    return "ERR unknown command";
}

// Options of report/status: handle=H and via=V, each at most once.
namespace {

struct ReportOptions {
    uint32_t code = 0;
    bool haveHandle = false;
    uint32_t handle = 0;
    int via = kNoCommand;
};

bool ParseOption(const std::string &token, bool allowCode, ReportOptions *options,
                 std::vector<std::string> *seen) {
    size_t equals = token.find('=');
    if (equals == std::string::npos) return false;
    std::string key = token.substr(0, equals);
    std::string value = token.substr(equals + 1);
    for (const std::string &other : *seen) {
        if (other == key) return false;
    }
    seen->push_back(key);
    if (key == "code" && allowCode) return ParseU32(value, &options->code);
    if (key == "handle") {
        options->haveHandle = true;
        return ParseU32(value, &options->handle);
    }
    if (key == "via") {
        options->via = CommandByName(value);
        return options->via != kNoCommand;
    }
    return false;
}

}  // namespace

std::string Engine::RunReport(const std::vector<std::string> &tokens) {
    if (tokens.size() < 2) return "ERR bad arguments";
    uint32_t status = 0;
    if (tokens[1] == "start") {
        status = kStatusStart;
    } else if (tokens[1] == "heartbeat") {
        status = kStatusHeartbeat;
    } else if (tokens[1] == "stop") {
        status = kStatusStopped;
    } else {
        return "ERR unknown report";
    }
    ReportOptions options;
    std::vector<std::string> seen;
    for (size_t i = 2; i < tokens.size(); ++i) {
        if (!ParseOption(tokens[i], true, &options, &seen)) return "ERR bad option";
    }

    std::unique_lock<std::mutex> lock(mutex_);
    Command target =
        options.via != kNoCommand ? static_cast<Command>(options.via) : DefaultTargetLocked();
    // A report about the running command moves it on as a real one would.
    if (target == running_) {
        if (status == kStatusStopped || (status == kStatusStart && options.code != 0)) {
            running_ = kNoCommand;
            acknowledged_ = false;
        } else if (status == kStatusStart) {
            acknowledged_ = true;
        }
    }
    Delivery delivery;
    delivery.kind = kStatusReport;
    delivery.command = target;
    delivery.first = options.code;
    delivery.second = status;
    delivery.handle = options.haveHandle ? options.handle : kHandle;
    return QueueAndWait(std::move(delivery), lock);
}

std::string Engine::RunStatus(const std::vector<std::string> &tokens) {
    if (tokens.size() < 3) return "ERR bad arguments";
    uint32_t code = 0;
    uint32_t status = 0;
    if (!ParseU32(tokens[1], &code) || !ParseU32(tokens[2], &status)) return "ERR bad number";
    ReportOptions options;
    std::vector<std::string> seen;
    for (size_t i = 3; i < tokens.size(); ++i) {
        if (!ParseOption(tokens[i], false, &options, &seen)) return "ERR bad option";
    }
    std::unique_lock<std::mutex> lock(mutex_);
    Delivery delivery;
    delivery.kind = kStatusReport;
    delivery.command =
        options.via != kNoCommand ? static_cast<Command>(options.via) : DefaultTargetLocked();
    delivery.first = code;
    delivery.second = status;
    delivery.handle = options.haveHandle ? options.handle : kHandle;
    return QueueAndWait(std::move(delivery), lock);
}

std::string Engine::RunTags(const std::vector<std::string> &tokens) {
    // tags [via=V] EVENT [via=V] REC [| REC ...]
    size_t i = 1;
    int via = kNoCommand;
    bool haveEvent = false;
    uint32_t event = 0;
    for (; i < tokens.size(); ++i) {
        const std::string &token = tokens[i];
        if (token.compare(0, 4, "via=") == 0) {
            if (via != kNoCommand) return "ERR repeated via";
            via = CommandByName(token.substr(4));
            if (via == kNoCommand) return "ERR bad via";
        } else if (!haveEvent) {
            uint64_t number = 0;
            if (token == "came") {
                event = 0xFF;
            } else if (token == "left") {
                event = 0x00;
            } else if (ParseUnsigned(token, 0xFF, &number)) {
                event = static_cast<uint32_t>(number);
            } else {
                return "ERR bad event";
            }
            haveEvent = true;
        } else {
            break;
        }
    }
    if (!haveEvent) return "ERR missing event";
    if (i >= tokens.size()) return "ERR missing records";

    std::vector<PendingRecord> chain;
    size_t begin = i;
    for (size_t end = i; end <= tokens.size(); ++end) {
        if (end < tokens.size() && tokens[end] != "|") continue;
        if (chain.size() >= kMaxChainRecords) return "ERR too many records";
        chain.emplace_back();
        std::string error;
        if (!ParseRecord(tokens, begin, end, &chain.back(), &error)) return "ERR " + error;
        begin = end + 1;
    }

    std::unique_lock<std::mutex> lock(mutex_);
    Delivery delivery;
    delivery.kind = kTagChain;
    delivery.command = via != kNoCommand ? static_cast<Command>(via) : DefaultTargetLocked();
    delivery.first = event;
    delivery.second = 0;
    delivery.handle = kHandle;
    delivery.chain = std::move(chain);
    return QueueAndWait(std::move(delivery), lock);
}

}  // namespace readersim
