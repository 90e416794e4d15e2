// The configuration file and its section-by-section application.
//
// SetConfigFromFile reads the file and compares each of its three sections
// (Datagrams, Port, KeyboardEmulation) with the document it applied last;
// only a section that differs is applied again: the templates are re-parsed,
// the TCP server re-opened, keyboard emulation switched. The KeyboardLayout
// element, when it names another layout than the one in use, switches the
// layout texts are typed with (KeyboardLayoutInUse). It runs at start-up,
// on CfgFileChanged when the watcher reports an edit, and on the host's
// commands that rewrite the file. ConfigLock keeps two calls, and the
// poller's re-parse of the stored templates, from overlapping.
#ifndef KORVANE_CONFIG_CONFIG_H
#define KORVANE_CONFIG_CONFIG_H

#include <libxml/tree.h>
#include <stddef.h>
#include <stdint.h>

#include "core/flags.h"
#include "sync/event.h"

// The TCP port when the file names none.
constexpr uint16_t kDefaultPort = 14007;

// Path of the configuration file (a build setting; tests point it elsewhere).
extern const char *ConfigFilePath;
// The document applied last; null until the first application. Guarded by
// ConfigLock; freed by main at the end.
extern xmlDocPtr AppliedConfig;
// Heap copies of the present templates, null for absent ones. Written under
// ConfigLock and DatagramLock; read under either.
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
// Serialises SetConfigFromFile, ParseStoredTemplates and the poller's stop of
// the reader, which share the reader's acknowledgement events (a lock: init 1).
extern tEvent ConfigLock;

// The text of a template element (ComingText, ...) as it is applied: present
// when the element exists, its first child has content of its own and the
// element carries On="true" (letter case ignored); else null, and when
// `whyAbsent` is given it receives why in `size` bytes: "no element", "no
// text", "no On attribute" or the attribute (On="false"). Points into the
// element's document.
const xmlChar *TemplateContent(xmlNodePtr element, char *whyAbsent = nullptr, size_t size = 0);
// Reads the configuration file and applies what differs from AppliedConfig.
// 0 when everything was applied, 1 when something failed.
uint32_t SetConfigFromFile();
// Parses the five stored template texts again and starts the reader command
// they select (the poller's restart of reading).
void ParseStoredTemplates();
// Thread body of CfgFileChanged.
void *ConfigFileChanged(void *);
// Frees the five stored template texts (tear-down).
void FreeStoredTemplateTexts();

#endif  // KORVANE_CONFIG_CONFIG_H
