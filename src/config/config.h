// The configuration file and its section-by-section application.
#ifndef KORVANE_CONFIG_CONFIG_H
#define KORVANE_CONFIG_CONFIG_H

#include <libxml/tree.h>
#include <stdint.h>

#include "core/flags.h"
#include "sync/event.h"

// Path of the configuration file.
extern const char *const ConfigFilePath;
// The document applied last; null until the first application. Owned here,
// freed by main at the end.
extern xmlDocPtr AppliedConfig;
// Heap copies of the present templates, null for absent ones.
extern char *ComingText;
extern char *GoingText;
extern char *StartText;
extern char *HeartbeatText;
extern char *StopText;
// 1 while datagrams are typed on the USB keyboard.
extern tFlag KeyboardEmulationEnabled;
// Signalled when the file must be applied again; destroyed at shutdown to
// release CfgFileChanged.
extern tEvent ConfigChangedEvent;

// Reads the configuration file and applies what differs from AppliedConfig.
// 0 when everything was applied, 1 when something failed.
uint32_t SetConfigFromFile();
// Thread body of CfgFileChanged.
void *ConfigFileChanged(void *);
// Frees the five stored template texts (tear-down).
void FreeStoredTemplateTexts();

#endif  // KORVANE_CONFIG_CONFIG_H
