// The configuration file watcher: inotify on the file's directory and a
// 2-second one-shot timer, so that a burst of writes is applied once.
//
// WatchConfigFile watches the directory of ConfigFilePath (of the link's
// target when ConfigFilePath is a symbolic link) for closes after writing and
// for deletions. Every notification about the file re-arms ConfigTimer to
// expire 2 s later; the expiry, 2 s after the last notification, signals
// ConfigChangedEvent once.
//
// The timer raises SIGRTMIN. TimerHandler only notes the expiry in the pipe of
// the thread "Signals" (NoteTimerExpiry), which then calls
// HandleConfigTimerExpiry; so nothing that takes a lock runs in signal context.
#ifndef KORVANE_CONFIG_WATCHER_H
#define KORVANE_CONFIG_WATCHER_H

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "core/flags.h"

// Id of the debounce timer (the int value of its timer_t), -1 while none
// exists. Written by WatchConfigFile and DeleteConfigTimer, read by
// TimerHandler (in signal context, hence lock-free) and the thread "Signals".
extern std::atomic<int32_t> ConfigTimer;
static_assert(std::atomic<int32_t>::is_always_lock_free, "ConfigTimer is read in signal context");
// Set right before Korvane saves the file itself; the watcher clears it and
// drops the notifications it read at that moment.
extern tFlag IgnoreConfigChange;

// Thread body. Ends by itself when the file cannot be watched, otherwise once
// ShutdownFlag is set (within about 100 ms). Returns nullptr.
void *WatchConfigFile(void *);
// Deletes the debounce timer if one exists (tear-down).
void DeleteConfigTimer();

// SIGRTMIN handler of the debounce timer; async-signal-safe.
void TimerHandler(int signal, siginfo_t *info, void *context);
// Called on the thread "Signals" for each noted timer expiry: signals
// ConfigChangedEvent if `timerId` is ConfigTimer.
void HandleConfigTimerExpiry(int32_t timerId);

// Walks `length` bytes of inotify records and returns how many of them name
// `fileName`. A record cut off by the end of the buffer is not looked at, nor
// is a name without its terminating NUL inside its record.
uint32_t CountRecordsNaming(const uint8_t *records, size_t length, const char *fileName);

#endif  // KORVANE_CONFIG_WATCHER_H
