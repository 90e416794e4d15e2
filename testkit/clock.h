// The monotonic clock and sleeps, for the tests and the benchmarks.
// Header-only: the benchmark's receiver reads the clock once per recv().
#ifndef KORVANE_TESTKIT_CLOCK_H
#define KORVANE_TESTKIT_CLOCK_H

#include <errno.h>
#include <stdint.h>
#include <time.h>

// Nanoseconds on CLOCK_MONOTONIC (the clock the simulated reader stamps its
// flood tags with).
inline int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Milliseconds on CLOCK_MONOTONIC.
inline long long MonotonicMs() {
    return MonotonicNs() / 1000000;
}

// Milliseconds since `startNs`, a MonotonicNs() reading.
inline double MsSince(int64_t startNs) {
    return (MonotonicNs() - startNs) / 1e6;
}

// Sleeps `ms` milliseconds; a signal does not cut the sleep short.
inline void SleepMs(int ms) {
    struct timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        // retry with the time that remains
    }
}

#endif  // KORVANE_TESTKIT_CLOCK_H
