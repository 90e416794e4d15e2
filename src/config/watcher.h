// The configuration file watcher: inotify on the file's directory and a
// 2-second one-shot timer, so that a burst of writes is applied once.
#ifndef KORVANE_CONFIG_WATCHER_H
#define KORVANE_CONFIG_WATCHER_H

#include <stdint.h>

#include "core/flags.h"

// Id of the debounce timer, -1 while none exists.
extern int32_t ConfigTimer;
// Set right before Korvane saves the file itself; the watcher clears it and
// drops the notifications it read at that moment.
extern tFlag IgnoreConfigChange;

// Thread body.
void *WatchConfigFile(void *);
// Deletes the debounce timer if one exists (tear-down).
void DeleteConfigTimer();

#endif  // KORVANE_CONFIG_WATCHER_H
