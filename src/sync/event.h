// Counting event: a 32-bit counter that threads signal and take, sleeping on
// the counter itself (a Linux futex) while no count is available.
//
// The counter is also the futex word. A value of 0 or more is the number of
// counts available; -1 marks a destroyed event. Signals stop adding at
// 2147483647. Every read-modify-write of a counter is made under one
// process-wide mutex shared by all events; sleeping happens outside it.
//
// Used as a lock: EventInit(&e, 1), take with EventWait, release with
// EventSignal.
//
// Result codes shared by all operations:
//    0  success
//   -1  the time limit passed without a count
//   -2  null event, null time argument, negative initial count, or the event
//       is destroyed
//   -4  the calling thread's cancel type could not be set, or the futex call
//       failed in an unexpected way
//
// A signal or an initialisation issues the wake system call only when a
// thread sleeps on the event (or on one sharing its slot of the sleeper table).
//
// Thread safety: every operation may be called from any thread. The caller
// owns the tEvent and keeps it alive while any thread may still use it.
// Nothing here allocates. A failure to lock or unlock the shared mutex prints
// a message and aborts the process.
//
// Cancellation: a waiting thread's cancel type is asynchronous from its first
// failed take until the wait returns, so it can be cancelled while asleep. A
// cancel that lands in the short stretches where the wait holds the shared
// mutex would leave that mutex locked for every event.
#ifndef KORVANE_SYNC_EVENT_H
#define KORVANE_SYNC_EVENT_H

#include <stdint.h>
#include <time.h>

// The counter, naturally aligned so the kernel can sleep on it.
typedef int32_t tEvent;

// Sets the counter to `count` and wakes up to `count` sleepers. 0; -2 if
// `event` is null or `count` negative (counter unchanged).
int EventInit(tEvent *event, int32_t count);
// Marks the event destroyed (-1) and wakes every sleeper, whose wait then
// ends with -2. 0; -2 if `event` is null.
int EventDestroy(tEvent *event);
// Adds one count (none past 2147483647) and wakes one sleeper. 0, also when
// the counter is already at its largest; -2 if null or destroyed.
int EventSignal(tEvent *event);
// Takes one count, sleeping as long as it takes. The thread's cancel type is
// asynchronous while it sleeps and restored afterwards. 0; -2 null or
// destroyed (also when destroyed while sleeping); -4 as above.
int EventWait(tEvent *event);
// Takes one count, sleeping at most `*timeout` (relative, normalised). While
// sleeping it rewrites `*timeout` with the time that remains; after -1 it
// holds a remainder of zero or less. 0; -1 time limit passed; -2 null event or
// timeout, or destroyed; -4 as above.
int EventWaitTimeout(tEvent *event, struct timespec *timeout);
// EventWaitTimeout with a limit of `milliseconds`. Same results.
int EventWaitMs(tEvent *event, uint32_t milliseconds);

#endif  // KORVANE_SYNC_EVENT_H
