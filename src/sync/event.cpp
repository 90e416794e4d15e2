// Counting event on the Linux futex.
//
// All counter updates, and all reads of a counter from user space, happen
// under EventMutex, so the mutex alone orders them (and race detectors see
// that order). Sleeping and waking go through the futex system call on the
// counter's address: a sleeper asks the kernel to sleep only while the counter
// is still 0, so a count added between a failed take and the sleep makes the
// sleep return at once instead of being lost.
#include "sync/event.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const int kSuccess = 0;
const int kTimedOut = -1;
const int kInvalid = -2;
const int kNoCount = -3;  // a take found no count; the waits then sleep
const int kSystemError = -4;

const int32_t kDestroyed = -1;
const int32_t kMaxCount = 2147483647;
const long kNanosPerSecond = 1000000000L;

// Shared by every event; guards each read-modify-write of any counter.
pthread_mutex_t EventMutex = PTHREAD_MUTEX_INITIALIZER;

// Threads asleep (or about to sleep) on an event, counted per slot of a small
// table keyed by the event's address, under EventMutex. A signal wakes only
// when its slot counts a sleeper: events used as locks are released
// thousands of times a second with nobody waiting, and a wake is a system
// call. Events that share a slot only cause a wake that finds no sleeper.
// A sleeper cancelled in its sleep stays counted; that costs the same
// needless wakes, never a lost one.
const size_t kSleeperSlots = 64;
uint32_t Sleepers[kSleeperSlots];

uint32_t &SleepersOf(const tEvent *event) {
    uintptr_t address = reinterpret_cast<uintptr_t>(event);
    return Sleepers[(address >> 2 ^ address >> 8) % kSleeperSlots];
}

void LockEvents() {
    if (pthread_mutex_lock(&EventMutex) != 0) {
        puts("Error: mutex lock/unlock failed. Abort.");
        abort();
    }
}

void UnlockEvents() {
    if (pthread_mutex_unlock(&EventMutex) != 0) {
        puts("Error: mutex lock/unlock failed. Abort.");
        abort();
    }
}

// Wakes up to `count` threads asleep on `event`.
void FutexWake(tEvent *event, int32_t count) {
    syscall(SYS_futex, event, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Sleeps while `*event` is 0, at most `timeout` (null: no limit). 0 when woken
// (possibly spuriously); otherwise -1 with errno set (EAGAIN: the counter was
// not 0 any more, ETIMEDOUT, EINTR, ...).
long FutexWaitWhileZero(tEvent *event, const struct timespec *timeout) {
    return syscall(SYS_futex, event, FUTEX_WAIT_PRIVATE, 0, timeout, nullptr, 0);
}

// The sleeping waits keep no local whose address is taken: a thread cancelled
// while asleep is unwound without AddressSanitizer clearing the redzones of
// such locals, and it then reports them when the thread exits. Hence the
// helpers below take and return their values by value.

struct timespec MonotonicNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Makes the calling thread cancellable asynchronously: syscall() is no
// cancellation point, so a thread asleep on a futex could not be cancelled
// otherwise. The previous type, or -1 if it could not be set.
int EnterAsyncCancel() {
    int oldType;
    if (pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &oldType) != 0) return -1;
    return oldType;
}

void RestoreCancelType(int oldType) {
    pthread_setcanceltype(oldType, nullptr);
}

// Writes `deadline` minus now into `remaining`. True while the seconds are not
// negative, i.e. while there may still be time left to sleep.
bool TimeRemaining(struct timespec deadline, struct timespec *remaining) {
    struct timespec now = MonotonicNow();
    remaining->tv_sec = deadline.tv_sec - now.tv_sec;
    remaining->tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (remaining->tv_nsec < 0) {
        remaining->tv_nsec += kNanosPerSecond;
        remaining->tv_sec -= 1;
    }
    return remaining->tv_sec >= 0;
}

}  // namespace

int EventInit(tEvent *event, int32_t count) {
    if (event == nullptr || count < 0) return kInvalid;
    LockEvents();
    *event = count;
    bool sleepers = SleepersOf(event) != 0;
    UnlockEvents();
    if (count > 0 && sleepers) FutexWake(event, count);
    return kSuccess;
}

int EventDestroy(tEvent *event) {
    if (event == nullptr) return kInvalid;
    LockEvents();
    *event = kDestroyed;
    UnlockEvents();
    FutexWake(event, kMaxCount);
    return kSuccess;
}

int EventSignal(tEvent *event) {
    if (event == nullptr) return kInvalid;
    int result = kSuccess;
    LockEvents();
    if (*event < 0) {
        result = kInvalid;
    } else if (*event != kMaxCount) {
        *event += 1;
        // Woken under the mutex: the sleeper's take then waits for our unlock
        // and finds the count we just added. A sleeper counts itself under
        // the mutex before it sleeps, so none is missed here.
        if (SleepersOf(event) != 0) FutexWake(event, 1);
    }
    UnlockEvents();
    return result;
}

namespace {

// Takes one count; caller holds EventMutex.
int TakeLocked(tEvent *event) {
    if (*event < 0) return kInvalid;
    if (*event == 0) return kNoCount;
    *event -= 1;
    return kSuccess;
}

// A wait's first take: when there is no count, the caller is counted as a
// sleeper in the same critical section, so a signal after it wakes it.
int TakeOrEnlist(tEvent *event) {
    LockEvents();
    int result = TakeLocked(event);
    if (result == kNoCount) SleepersOf(event) += 1;
    UnlockEvents();
    return result;
}

// A sleeper's take after a wake: when it ends the wait (a count, or the
// event destroyed) it stops counting as a sleeper.
int TakeAsSleeper(tEvent *event) {
    LockEvents();
    int result = TakeLocked(event);
    if (result != kNoCount) SleepersOf(event) -= 1;
    UnlockEvents();
    return result;
}

void Delist(tEvent *event) {
    LockEvents();
    SleepersOf(event) -= 1;
    UnlockEvents();
}

}  // namespace

int EventWait(tEvent *event) {
    if (event == nullptr) return kInvalid;
    int result = TakeOrEnlist(event);
    if (result != kNoCount) return result;

    int oldType = EnterAsyncCancel();
    if (oldType < 0) {
        Delist(event);
        return kSystemError;
    }
    for (;;) {
        if (FutexWaitWhileZero(event, nullptr) != 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) {
                Delist(event);
                result = kSystemError;
                break;
            }
        }
        result = TakeAsSleeper(event);
        if (result != kNoCount) break;
    }
    RestoreCancelType(oldType);
    return result;
}

int EventWaitTimeout(tEvent *event, struct timespec *timeout) {
    if (event == nullptr || timeout == nullptr) return kInvalid;
    int result = TakeOrEnlist(event);
    if (result != kNoCount) return result;

    struct timespec deadline = MonotonicNow();
    deadline.tv_sec += timeout->tv_sec;
    deadline.tv_nsec += timeout->tv_nsec;
    if (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += deadline.tv_nsec / kNanosPerSecond;
        deadline.tv_nsec %= kNanosPerSecond;
    }

    int oldType = EnterAsyncCancel();
    if (oldType < 0) {
        Delist(event);
        return kSystemError;
    }
    for (;;) {
        bool interrupted = false;
        if (FutexWaitWhileZero(event, timeout) != 0) {
            if (errno == ETIMEDOUT) {
                // Leave the caller the (non-positive) remainder rather than
                // the length of the last sleep.
                if (TimeRemaining(deadline, timeout) &&
                    (timeout->tv_sec > 0 || timeout->tv_nsec > 0)) {
                    timeout->tv_sec = 0;
                    timeout->tv_nsec = 0;
                }
                Delist(event);
                result = kTimedOut;
                break;
            }
            if (errno == EINTR) {
                interrupted = true;
            } else if (errno != EAGAIN) {
                Delist(event);
                result = kSystemError;
                break;
            }
        }
        if (!interrupted) {
            // Woken, or the counter was no longer 0.
            result = TakeAsSleeper(event);
            if (result != kNoCount) break;
        }
        // Interrupted, or woken without a count for us: sleep only for what
        // is left, so such wakes do not extend the wait.
        if (!TimeRemaining(deadline, timeout)) {
            Delist(event);
            result = kTimedOut;
            break;
        }
    }
    RestoreCancelType(oldType);
    return result;
}

int EventWaitMs(tEvent *event, uint32_t milliseconds) {
    struct timespec timeout;
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    return EventWaitTimeout(event, &timeout);
}
