// Isolation of the process tests and the benchmarks: each runs in private
// mount and network namespaces, with a private directory bound over Korvane's
// sandbox directory, so that many Korvane processes can run side by side
// without sharing files or the fixed TCP ports.
#ifndef KORVANE_TESTKIT_ISOLATION_H
#define KORVANE_TESTKIT_ISOLATION_H

#include <string>

#include "testkit/files.h"

// Moves the calling process, which must still be single-threaded, into new
// mount and network namespaces (and a user namespace when not root), makes
// every mount private and brings the loopback interface up. "" on success,
// else what failed.
std::string EnterIsolation();

// A fresh directory bound over the directory of Korvane's configuration file
// (and of its HID device) for the lifetime of the object.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // "" when the sandbox is usable, else what failed.
    const std::string &Error() const { return error; }
    // The private directory (also reachable under the sandbox path).
    const std::string &Dir() const { return dir.Dir(); }
    // Path of a file in the private directory.
    std::string Path(const std::string &name) const { return dir.Path(name); }

private:
    TempDir dir{"korvane-test"};
    std::string error;
    std::string mountPoints[2];
};

#endif  // KORVANE_TESTKIT_ISOLATION_H
