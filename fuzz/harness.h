// What the fuzz targets share: a check that stops the run with a message,
// Korvane's globals set up once as main sets them up and put back after every
// input, a private network namespace for the targets that open the TCP
// server, and a private directory for the configuration file.
//
// The targets run Korvane's code on the calling thread only: no worker thread
// is started, the reader is not connected (ReaderHandle 0, so every reader
// call fails at once instead of waiting 5 s for an acknowledgement) and the
// IPC client does not exist (IpcClient null: no reply leaves the process).
#ifndef KORVANE_FUZZ_HARNESS_H
#define KORVANE_FUZZ_HARNESS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "datagram/template.h"
#include "sync/mylist.h"

// Aborts with the message when the condition does not hold, so libFuzzer
// records the input as a crash. Stays active whatever NDEBUG says.
#define FUZZ_CHECK(condition, message)                                              \
    do {                                                                            \
        if (!(condition)) FuzzCheckFailed(__FILE__, __LINE__, #condition, message); \
    } while (0)

[[noreturn]] void FuzzCheckFailed(const char *file, int line, const char *condition,
                                  const char *message);

// Moves the process into a network namespace of its own (and a user
// namespace first when not root), so the listening sockets that the
// configuration opens on whatever port an input names never meet the
// machine's real ports. Aborts when that is not possible.
void EnterPrivateNetwork();

// Creates a private directory under /tmp, removed when the process exits
// normally, and returns its path.
std::string MakePrivateDirectory(const char *name);

// Writes `size` bytes to `path` (replacing it); aborts on failure.
void WriteWholeFile(const std::string &path, const uint8_t *data, size_t size);
void WriteWholeFile(const std::string &path, const std::string &text);

// Initialises the XML parser, the events and locks, the magic word slots and
// the flags as main does before it applies the configuration. Call once.
void InitKorvaneGlobals();

// Frees everything an input may have left in Korvane's globals (applied
// document, listening socket, templates and their texts, slot texts, the
// renderer's buffers, queued requests, tags and keyboard texts) and sets
// flags, read settings and events back to their start values.
void ResetKorvaneGlobals();

// Checks the elements of a parsed template: literals own a NUL-terminated
// copy of `Length` bytes with coding 1, words point at their slot with a
// coding of the coding table.
void CheckTemplateElements(CMyList<tDatagramElement *> &templateList);

#endif  // KORVANE_FUZZ_HARNESS_H
