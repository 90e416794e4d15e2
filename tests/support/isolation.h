// Test isolation: every process test runs in private mount and network
// namespaces, with a private directory bound over Korvane's sandbox
// directory, so that many Korvane processes can run side by side without
// sharing files or the fixed TCP ports.
#ifndef KORVANE_TESTS_SUPPORT_ISOLATION_H
#define KORVANE_TESTS_SUPPORT_ISOLATION_H

#include <string>

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
    const std::string &Dir() const { return dir; }
    // Path of a file in the private directory.
    std::string Path(const std::string &name) const { return dir + "/" + name; }

private:
    std::string dir;
    std::string error;
    std::string mountPoints[2];
};

// Writes `content` to `path`; false on failure.
bool WriteFile(const std::string &path, const std::string &content);
// Reads the whole file; "" when it cannot be read.
std::string ReadFile(const std::string &path);

#endif  // KORVANE_TESTS_SUPPORT_ISOLATION_H
