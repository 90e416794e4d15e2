// Process-wide single-byte flags shared between threads without a lock.
//
// Each flag has one meaning and few writers (named where it is defined); the
// readers only need to see a change eventually, so relaxed order suffices.
#ifndef KORVANE_CORE_FLAGS_H
#define KORVANE_CORE_FLAGS_H

#include <stdint.h>

#include <atomic>

typedef std::atomic<uint8_t> tFlag;
static_assert(sizeof(tFlag) == 1, "flags are single bytes");
static_assert(std::atomic<uint8_t>::is_always_lock_free, "flags are usable in signal handlers");

inline uint8_t FlagGet(const tFlag &flag) {
    return flag.load(std::memory_order_relaxed);
}
inline void FlagSet(tFlag &flag, uint8_t value) {
    flag.store(value, std::memory_order_relaxed);
}

#endif  // KORVANE_CORE_FLAGS_H
