// Configuration file and its application.
#include "config/config.h"

#include <stdlib.h>

#include <initializer_list>

#include "build_settings.h"
#include "core/signals.h"

const char *const ConfigFilePath = KORVANE_CONFIG_FILE;
xmlDocPtr AppliedConfig = nullptr;
char *ComingText = nullptr;
char *GoingText = nullptr;
char *StartText = nullptr;
char *HeartbeatText = nullptr;
char *StopText = nullptr;
tFlag KeyboardEmulationEnabled{0};
tEvent ConfigChangedEvent;

// Reading and applying the file arrives with the configuration loader; until
// then nothing is applied and the call reports a failure.
uint32_t SetConfigFromFile() {
    return 1;
}

void *ConfigFileChanged(void *) {
    // Runs until ConfigChangedEvent is destroyed at shutdown.
    while (!FlagGet(ShutdownFlag)) {
        if (EventWait(&ConfigChangedEvent) != 0) break;
        if (FlagGet(ShutdownFlag)) break;
        SetConfigFromFile();
    }
    return nullptr;
}

void FreeStoredTemplateTexts() {
    for (char **text : {&ComingText, &GoingText, &StartText, &HeartbeatText, &StopText}) {
        free(*text);
        *text = nullptr;
    }
}
