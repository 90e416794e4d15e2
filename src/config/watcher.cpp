// Configuration file watcher.
#include "config/watcher.h"

#include <time.h>
#include <unistd.h>

#include "core/signals.h"

int32_t ConfigTimer = -1;
tFlag IgnoreConfigChange{0};

// Watching arrives with the configuration watcher; until then the thread only
// waits for the shutdown.
void *WatchConfigFile(void *) {
    while (!FlagGet(ShutdownFlag))
        usleep(100000);
    return nullptr;
}

void DeleteConfigTimer() {
    if (ConfigTimer == -1) return;
    timer_delete(reinterpret_cast<timer_t>(static_cast<intptr_t>(ConfigTimer)));
    ConfigTimer = -1;
}
