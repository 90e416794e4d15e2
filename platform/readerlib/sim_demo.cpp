// The simulated reader's demo thread: the autonomous demo population and the
// floods a controller starts (docs/readersim.md).
#include "sim_engine.h"

namespace readersim {

namespace {

const size_t kAutoQueueLimit = 64;  // the demo skips ticks while handlers lag
// The demo's tag memory: words per bank (reserved, EPC, TID, user), read to
// the end of the bank when a read asks for 0 or 255 words.
const uint32_t kBankWords[4] = {4, 8, 6, 8};
// A read past the end of a bank fails as a tag would: "memory overrun".
const uint8_t kReadOverrun = 0x03;
const uint16_t kDemoPc = 0x3000;  // six EPC words
const uint16_t kDemoTid[6] = {0xE280, 0x1160, 0x2000, 0x7A00, 0x0C3F, 0x91B0};

// What demo and flood records share: antenna 1-4, -35 to -75 dBm (rssi 130
// to 50) and a six-word EPC, which the record holds from its last word to
// its first.
void SetDemoRecord(uint32_t antenna, uint32_t dbmStep, ReaderTagRecord *record) {
    record->antenna = static_cast<uint8_t>(1 + antenna % 4);
    record->rssiDbm = static_cast<int16_t>(-35 - static_cast<int>(dbmStep % 41));
    record->rssi = static_cast<uint8_t>(2 * (record->rssiDbm + 100));
    record->pc = kDemoPc;
    record->epcLength = 6;
}

}  // namespace

void CEngine::TickerLoop() {
    pthread_setname_np(pthread_self(), "readersim-demo");
    std::unique_lock<std::mutex> lock(mutex_);
    auto period = std::chrono::milliseconds(autoPeriodMs_);
    auto next = std::chrono::steady_clock::now() + period;
    while (!stopped_) {
        if (session_.floodLeft > 0) {
            FloodStepLocked(lock);
            continue;
        }
        tickerWake_.wait_until(lock, next);
        if (stopped_) break;
        auto now = std::chrono::steady_clock::now();
        if (now < next) continue;
        next += period;
        if (next < now) next = now + period;  // after a stall, no burst of ticks
        AutoTickLocked();
    }
}

uint32_t CEngine::RandomLocked() {
    // xorshift32: plenty for a demo, and no shared state outside mutex_.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 17;
    random_ ^= random_ << 5;
    return random_;
}

// One demo tick: a heartbeat every third tick, and one or two of the five
// tags come into or leave the field.
void CEngine::AutoTickLocked() {
    Command running = session_.running;
    if (!session_.autoMode || running == kNoCommand || !session_.acknowledged) return;
    if (queue_.size() > kAutoQueueLimit) return;
    if (++session_.autoTicks % 3 == 0) EnqueueLocked({kStatusReport, 0, kStatusHeartbeat, running});
    size_t first = RandomLocked() % kAutoTags;
    bool came = !session_.autoPresent[first];
    tDelivery chain{kTagChain, came ? 0xFFu : 0u, 0, running};
    AddAutoRecordLocked(first, came, &chain.chain);
    if (RandomLocked() % 4 == 0) {
        size_t second = (first + 1 + RandomLocked() % (kAutoTags - 1)) % kAutoTags;
        if (session_.autoPresent[second] != came) AddAutoRecordLocked(second, came, &chain.chain);
    }
    EnqueueLocked(std::move(chain));
}

// Adds demo tag `tag` to `chain` as coming into or leaving the field; coming
// into it under a read, with the words the running read asks for.
void CEngine::AddAutoRecordLocked(size_t tag, bool came, std::vector<tPendingRecord> *chain) {
    session_.autoPresent[tag] = came;
    chain->emplace_back();
    tPendingRecord *pending = &chain->back();
    ReaderTagRecord &record = pending->record;
    uint32_t dbmStep = RandomLocked();
    SetDemoRecord(RandomLocked(), dbmStep, &record);
    uint16_t epc[6] = {0x3034, 0x1F2A, 0x8C00, 0x0000, 0x0000, static_cast<uint16_t>(0x0101 + tag)};
    for (size_t i = 0; i < 6; ++i)
        record.epc[i] = epc[5 - i];
    record.timestampMs = WallClockMs();
    if (session_.running == kInventory || !came) return;

    uint8_t bank = session_.readBank;
    uint32_t start = session_.readAddress;
    uint32_t count = session_.readCount;
    if (count == 0 || count == 255) {
        uint32_t bankWords = bank < 4 ? kBankWords[bank] : 0;
        count = bankWords > start ? bankWords - start : 0;
        if (count == 0) {
            record.readResult = kReadOverrun;
            return;
        }
    }
    pending->hasData = true;
    pending->words.resize(count);
    record.dataLength = static_cast<uint8_t>(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t address = start + i;
        uint16_t word = 0;
        if (bank == 1 && address == 0) {
            word = static_cast<uint16_t>(0x9C41 ^ tag);  // stored CRC
        } else if (bank == 1 && address == 1) {
            word = kDemoPc;
        } else if (bank == 1 && address < 8) {
            word = epc[address - 2];
        } else if (bank == 2 && address < 6) {
            word = static_cast<uint16_t>(kDemoTid[address] + (address >= 3 ? tag : 0));
        } else if (bank != 0) {
            word = static_cast<uint16_t>(0x5500 + (tag << 4) + (address & 0x0F));
        }
        pending->words[i] = word;
    }
}

void CEngine::FloodStepLocked(std::unique_lock<std::mutex> &lock) {
    tSession &s = session_;
    if (!s.connected) {
        s.floodLeft = 0;
        return;
    }
    if (queue_.size() >= kFloodQueueDepth) {
        // The delivery thread wakes us when the queue has drained to half.
        tickerWake_.wait_for(lock, std::chrono::milliseconds(100));
        return;
    }
    if (s.floodRate != 0) {
        auto due =
            s.floodStart + std::chrono::nanoseconds(s.floodQueued * 1000000000u / s.floodRate);
        if (std::chrono::steady_clock::now() < due) {
            tickerWake_.wait_until(lock, due);
            return;
        }
    }
    tDelivery chain{kTagChain, s.floodEvent, 0, s.floodVia};
    chain.flood = true;
    uint64_t records = s.floodLeft < s.floodChain ? s.floodLeft : s.floodChain;
    chain.chain.resize(records);
    for (tPendingRecord &pending : chain.chain) {
        uint32_t sequence = s.floodSequence++;
        SetDemoRecord(sequence, sequence, &pending.record);
        pending.record.epc[5] = static_cast<uint16_t>(sequence >> 16);
        pending.record.epc[4] = static_cast<uint16_t>(sequence);
    }
    if (!EnqueueLocked(std::move(chain))) {
        s.floodLeft = 0;
        return;
    }
    s.floodLeft -= records;
    s.floodQueued += records;
}

}  // namespace readersim
