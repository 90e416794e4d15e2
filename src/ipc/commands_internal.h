// What the files of the host's commands share: the record a command returns,
// the reply document helpers (commands.cpp) and the commands that live in
// their own files, the configuration file edits (file_edits.cpp) and the
// magic word catalogue (magic_catalogue.cpp). Only these files include it.
#ifndef KORVANE_IPC_COMMANDS_INTERNAL_H
#define KORVANE_IPC_COMMANDS_INTERNAL_H

#include <libxml/tree.h>
#include <stdint.h>

#include "ipc/commands.h"

// The root of the configuration file, of every reply document and of the
// requests' XML arguments.
constexpr char kConfigRootName[] = "KorvaneConfiguration";

// What a command produced: the status and, for a successful command that has
// any, the result data (malloc'ed).
struct tResult {
    uint8_t status;
    uint8_t *data;
    uint32_t length;
};

inline tResult Failed() {
    return tResult{StatusFailed, nullptr, 0};
}

// A new reply document with its root; null when it cannot be made.
xmlDocPtr NewReplyDocument(xmlNodePtr *root);
// Saves the document indented, without a declaration, as the result data.
// Frees the document.
tResult SaveReply(xmlDocPtr document);
// Appends a deep copy of `node`, made in parent's document, as parent's last
// child. False when it cannot be made; nothing is then added.
bool AppendCopy(xmlNodePtr parent, xmlNodePtr node);

// The commands of the other files; `request` is the whole request payload,
// its code included.
tResult SetPort(const uint8_t *request, uint32_t length);
tResult SetDatagramResult(const uint8_t *request, uint32_t length);
tResult GetMagicWords();

#endif  // KORVANE_IPC_COMMANDS_INTERNAL_H
