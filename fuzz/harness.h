// What the fuzz targets share. They run Korvane's code on the calling thread
// only: no worker thread, no reader connection (ReaderHandle 0, so every
// reader call fails at once instead of waiting 5 s for an acknowledgement),
// no host link (IpcClient null, so no reply leaves the process).
#ifndef KORVANE_FUZZ_HARNESS_H
#define KORVANE_FUZZ_HARNESS_H

#include <string>

#include "core/app.h"  // ResetProcessState(), after every input

// Aborts with the message when the condition does not hold, so libFuzzer
// records the input as a crash. Stays active whatever NDEBUG says.
#define FUZZ_CHECK(condition, message) \
    ((condition) ? (void)0 : FuzzCheckFailed(__FILE__, __LINE__, message))
[[noreturn]] void FuzzCheckFailed(const char *file, int line, const char *message);

// Moves the process into a network namespace of its own (and a user namespace
// first when not root), so that the sockets the configuration opens on any
// port an input names never meet the machine's ports. Aborts on failure.
void EnterPrivateNetwork();
// Makes a private directory under /tmp, removed at exit (call once).
std::string MakePrivateDirectory();
// Initialises the XML parser and Korvane's globals as main does before it
// applies the configuration.
void InitKorvaneGlobals();

#endif  // KORVANE_FUZZ_HARNESS_H
