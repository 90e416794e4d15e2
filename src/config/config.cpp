// Configuration file and its application.
#include "config/config.h"

#include <libxml/parser.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <initializer_list>

#include "build_settings.h"
#include "config/xml.h"
#include "core/app.h"
#include "core/log.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "output/keyboard.h"
#include "output/keyboard_layouts.h"
#include "output/server.h"
#include "reader/reader_lib.h"
#include "reader/results.h"
#include "sync/lists.h"

const char *ConfigFilePath = KORVANE_CONFIG_FILE;
xmlDocPtr AppliedConfig = nullptr;
char *ComingText = nullptr;
char *GoingText = nullptr;
char *StartText = nullptr;
char *HeartbeatText = nullptr;
char *StopText = nullptr;
tFlag KeyboardEmulationEnabled{0};
tEvent ConfigChangedEvent;
tEvent ConfigLock;

static const char kLogName[] = "SetConfigFromFile";
static const char kRootName[] = "KorvaneConfiguration";
static constexpr uint32_t kAcknowledgeMs = 5000;

// One template of the Datagrams section, in the order of the set.
struct tTemplateSlot {
    const char *element;  // element name in the file
    const char *logWord;  // "coming" or "going": logged; null: not logged
};
static const tTemplateSlot kTemplates[] = {
    {"ComingText", "coming"},   {"GoingText", "going"}, {"StartText", nullptr},
    {"HeartbeatText", nullptr}, {"StopText", nullptr},
};

// The dump of an element, or null.
static xmlBufferPtr DumpElement(xmlDocPtr document, xmlNodePtr element) {
    if (element == nullptr) return nullptr;
    xmlBufferPtr buffer = xmlBufferCreate();
    if (buffer != nullptr && xmlNodeDump(buffer, document, element, 0, 0) < 0) {
        xmlBufferFree(buffer);
        return nullptr;
    }
    return buffer;
}

// True when both elements exist and dump to the same text.
static bool SameSection(xmlDocPtr newDocument, xmlNodePtr newSection, xmlNodePtr oldSection) {
    xmlBufferPtr newDump = DumpElement(newDocument, newSection);
    xmlBufferPtr oldDump = DumpElement(AppliedConfig, oldSection);
    bool same = newDump != nullptr && oldDump != nullptr &&
                xmlStrcmp(xmlBufferContent(newDump), xmlBufferContent(oldDump)) == 0;
    if (newDump != nullptr) xmlBufferFree(newDump);
    if (oldDump != nullptr) xmlBufferFree(oldDump);
    return same;
}

// The text content of an element's first child (null when there is none).
// The caller frees it with xmlFree.
static xmlChar *FirstChildText(xmlNodePtr element) {
    if (element == nullptr || element->children == nullptr) return nullptr;
    return xmlNodeGetContent(element->children);
}

// A template is present when its element exists, its first child has
// content of its own and the element carries On="true".
const xmlChar *TemplateContent(xmlNodePtr element, char *whyAbsent, size_t size) {
    const xmlChar *content = nullptr;
    if (element != nullptr && element->children != nullptr) content = element->children->content;
    if (content == nullptr || *content == '\0') {
        if (whyAbsent != nullptr)
            snprintf(whyAbsent, size, "%s", element == nullptr ? "no element" : "no text");
        return nullptr;
    }
    xmlChar *on = xmlGetProp(element, XmlText("On"));
    const char *onText = reinterpret_cast<const char *>(on);
    bool enabled = on != nullptr && strcasecmp(onText, "true") == 0;
    if (on == nullptr && whyAbsent != nullptr) snprintf(whyAbsent, size, "no On attribute");
    if (on != nullptr && !enabled && whyAbsent != nullptr)
        snprintf(whyAbsent, size, "On=\"%s\"", onText);
    xmlFree(on);
    return enabled ? content : nullptr;
}

// Parses the templates as one set: the texts of `datagrams`, or the stored
// texts again when it is null. Caller holds ConfigLock.
static void ParseTemplatesLocked(xmlNodePtr datagrams) {
    if (datagrams == nullptr) {
        ParseTemplateSet(nullptr);
        return;
    }
    char *texts[kTemplateCount] = {};
    static_assert(sizeof(kTemplates) / sizeof(kTemplates[0]) == kTemplateCount,
                  "one element per template of the set");
    for (int i = 0; i < kTemplateCount; i++) {
        const tTemplateSlot &slot = kTemplates[i];
        xmlNodePtr element = FindElement(datagrams, slot.element, false);
        const xmlChar *content = TemplateContent(element);
        if (content != nullptr) texts[i] = strdup(reinterpret_cast<const char *>(content));
        if (slot.logWord == nullptr) continue;
        if (element == nullptr || element->children == nullptr) {
            LogPrintf(kLogName, "No %s datagram (2)\n", slot.logWord);
        } else if (content == nullptr) {
            LogPrintf(kLogName, "No %s datagram (1)\n", slot.logWord);
        } else {
            LogPrintf(kLogName, "Set %s datagram\n", slot.logWord);
        }
    }
    ParseTemplateSet(texts);
}

void ParseStoredTemplates() {
    if (EventWait(&ConfigLock) != 0) return;
    ParseTemplatesLocked(nullptr);
    EventSignal(&ConfigLock);
}

// The port the server listens on; 0 while it is not listening. Written
// under ConfigLock.
static uint16_t ListeningPort = 0;

static uint32_t OpenServer(uint16_t port) {
    ListenSocket = OpenListenSocket(port);
    ListeningPort = ListenSocket != -1 ? port : 0;
    if (ListenSocket == -1) {
        LogPrintf(kLogName, "Can't start listening on TCP port %u\n", port);
        return 1;
    }
    return 0;
}

// The port a Port element names, read as "%hu" reads it (modulo 65536).
// 0 when the element has no text, 1 when its text is no port; *port is 0
// when the default applies.
static uint32_t ReadPort(xmlNodePtr portElement, unsigned short *port) {
    *port = 0;
    xmlChar *text = FirstChildText(portElement);
    if (text == nullptr) return 0;
    uint32_t result = 0;
    if (sscanf(reinterpret_cast<const char *>(text), "%hu", port) != 1) {
        *port = 0;
        result = 1;
    }
    xmlFree(text);
    return result;
}

// Only the applied copy gets the default; the file is not changed.
static void NoteDefaultPort(xmlNodePtr portElement) {
    char fallback[8];
    snprintf(fallback, sizeof(fallback), "%u", kDefaultPort);
    xmlNodeAddContent(portElement, XmlText(fallback));
}

static uint32_t ApplyPort(xmlNodePtr portElement) {
    unsigned short port = 0;
    uint32_t result = ReadPort(portElement, &port);
    if (port != 0) {
        result = OpenServer(port);
        if (result == 0) LogPrintf(kLogName, "Start listening on TCP port %u\n", port);
        return result;
    }
    NoteDefaultPort(portElement);
    LogPrintf(kLogName,
              "No valid port in the config file. Start listening on TCP port %u (default)\n",
              kDefaultPort);
    if (OpenServer(kDefaultPort) != 0) result = 1;
    return result;
}

// The port section is unchanged when the server already listens on the port
// it names, or on the default when it names none: the clients stay
// connected. A server that could not be opened is tried again.
static uint32_t ApplyPortSection(xmlNodePtr portElement) {
    unsigned short port = 0;
    uint32_t result = ReadPort(portElement, &port);
    uint16_t effective = port != 0 ? port : kDefaultPort;
    if (ListenSocket != -1 && ListeningPort == effective) {
        LogPuts(kLogName, "TCP port is the same, no changes are made");
        if (port == 0) NoteDefaultPort(portElement);
        return result;
    }
    LogPuts(kLogName, "TCP port is not the same, apply changes");
    return ApplyPort(portElement);
}

static void ApplyKeyboardEmulation(xmlNodePtr element) {
    xmlChar *text = FirstChildText(element);
    if (text == nullptr) return;  // no text: the setting stays
    FlagSet(KeyboardEmulationEnabled,
            strcasecmp(reinterpret_cast<const char *>(text), "true") == 0 ? 1 : 0);
    xmlFree(text);
}

// The trimmed text of a KeyboardLayout element; "" when it has none. The
// caller frees *text with xmlFree.
static const char *LayoutName(xmlNodePtr element, xmlChar **text) {
    *text = FirstChildText(element);
    if (*text == nullptr) return "";
    char *name = reinterpret_cast<char *>(*text);
    name += strspn(name, " \t\r\n");
    size_t length = strlen(name);
    while (length > 0 && strchr(" \t\r\n", name[length - 1]) != nullptr)
        name[--length] = '\0';
    return name;
}

// Types with the layout KeyboardLayout names, from the next text on; no
// element, or one without text, types with HidKeyTable. Logs only when the
// layout in use changes, or when a name it does not know is newly given.
static void ApplyKeyboardLayout(xmlNodePtr element, xmlNodePtr oldElement) {
    xmlChar *text = nullptr, *oldText = nullptr;
    const char *name = LayoutName(element, &text);
    const tKeyboardLayout *layout = *name != '\0' ? FindKeyboardLayout(name) : nullptr;
    const tKeyboardLayout *before = KeyboardLayoutInUse.load(std::memory_order_relaxed);
    KeyboardLayoutInUse.store(layout, std::memory_order_relaxed);
    if (*name != '\0' && layout == nullptr) {
        if (strcmp(name, LayoutName(oldElement, &oldText)) != 0) {
            char shown[41];  // the name as given, cut short, control bytes and quotes as '?'
            snprintf(shown, sizeof(shown), "%s", name);
            for (char *c = shown; *c != '\0'; c++)
                if (*c < 0x20 || *c == 0x7F || *c == '"') *c = '?';
            LogPrintf(kLogName, "Unknown keyboard layout \"%s%s\", typing with the US layout\n",
                      shown, strlen(name) >= sizeof(shown) ? "..." : "");
        }
    } else if (layout != before) {
        if (layout != nullptr) {
            LogPrintf(kLogName, "Typing with the keyboard layout %s\n", layout->name);
        } else {
            LogPuts(kLogName, "No keyboard layout, typing with the US layout");
        }
    }
    if (text != nullptr) xmlFree(text);
    if (oldText != nullptr) xmlFree(oldText);
}

// Applies the three sections of `document` that differ from AppliedConfig,
// and the keyboard layout.
static uint32_t ApplySections(xmlDocPtr document, xmlNodePtr newRoot, xmlNodePtr oldRoot) {
    uint32_t result = 0;
    xmlNodePtr datagrams = FindElement(newRoot, "Datagrams", true);
    if (SameSection(document, datagrams, FindElement(oldRoot, "Datagrams", false))) {
        LogPuts(kLogName, "Datagram content is the same, no changes are made");
    } else {
        LogPuts(kLogName, "Datagram content is not the same, apply changes");
        ParseTemplatesLocked(datagrams);
    }

    result = ApplyPortSection(FindElement(newRoot, "Port", true));

    xmlNodePtr keyboard = FindElement(newRoot, "KeyboardEmulation", true);
    if (SameSection(document, keyboard, FindElement(oldRoot, "KeyboardEmulation", false))) {
        LogPuts(kLogName, "Keyboard emulation is the same, no changes are made");
    } else {
        LogPuts(kLogName, "Keyboard emulation is not the same, apply changes");
        ApplyKeyboardEmulation(keyboard);
    }
    ApplyKeyboardLayout(FindElement(newRoot, "KeyboardLayout", false),
                        FindElement(oldRoot, "KeyboardLayout", false));
    return result;
}

// With neither a coming nor a going datagram nothing needs the reader: stop
// it (a stop Korvane causes produces no StopText).
static uint32_t StopReaderWithoutTemplates(uint32_t result) {
    EventInit(&StopDoneEvent, 0);
    SuppressedStopCount.fetch_add(1, std::memory_order_relaxed);
    uint32_t stop = ASyncStopCommand(ReaderHandle);
    // A refused or unacknowledged stop gets no stop report: take back the
    // suppression raised for it.
    if (stop != 0) {
        TakeSuppressedStop();
        LogPrintf(kLogName, "Error 3: ASyncStop: %u\n", stop);
        return 1;
    }
    if (EventWaitMs(&StopDoneEvent, kAcknowledgeMs) != 0) {
        TakeSuppressedStop();
        LogPuts(kLogName, "Error 2: ASyncStop: Timeout");
        return 1;
    }
    if (FlagGet(StopResult) != 0) {
        LogPrintf(kLogName, "Error 1: ASyncStop: %u\n", FlagGet(StopResult));
        return 1;
    }
    FlagSet(ReaderCommandRunning, 0);
    LogPuts(kLogName, "OK: ASyncStop");
    return result;
}

static uint32_t ApplyConfigFile() {
    LogPuts(kLogName, "Check config file");
    uint32_t result = 0;
    xmlDocPtr document = LoadXmlDocument(ConfigFilePath, true);
    if (document == nullptr) {
        result = 1;
    } else {
        if (AppliedConfig == nullptr) AppliedConfig = xmlNewDoc(XmlText("1.0"));
        xmlNodePtr newRoot = GetRootElement(document, kRootName, true);
        xmlNodePtr oldRoot = GetRootElement(AppliedConfig, kRootName, true);
        if (newRoot == nullptr || oldRoot == nullptr) {
            result = 1;
        } else {
            result = ApplySections(document, newRoot, oldRoot);
        }
        if (AppliedConfig != nullptr) xmlFreeDoc(AppliedConfig);
        AppliedConfig = document;
    }
    if (ComingText == nullptr && GoingText == nullptr) result = StopReaderWithoutTemplates(result);
    return result;
}

uint32_t SetConfigFromFile() {
    if (EventWait(&ConfigLock) != 0) return 1;
    uint32_t result = ApplyConfigFile();
    EventSignal(&ConfigLock);
    return result;
}

void *ConfigFileChanged(void *) {
    while (!FlagGet(ShutdownFlag)) {
        // No time limit: main destroys the event at shutdown to end the wait.
        if (EventWait(&ConfigChangedEvent) != 0) {
            if (!FlagGet(ShutdownFlag)) usleep(100000);  // not destroyed: do not spin
            continue;
        }
        SetConfigFromFile();
        LogPuts("ConfigFileChanged", "Config file modifications applied");
    }
    return nullptr;
}

void FreeStoredTemplateTexts() {
    for (char **text : {&ComingText, &GoingText, &StartText, &HeartbeatText, &StopText}) {
        free(*text);
        *text = nullptr;
    }
}
