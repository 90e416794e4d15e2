// Runs the korvane binary (or another program) as a child process and
// watches its output. Includes the clock helpers its callers wait with.
#ifndef KORVANE_TESTKIT_KORVANE_PROCESS_H
#define KORVANE_TESTKIT_KORVANE_PROCESS_H

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testkit/clock.h"

class KorvaneProcess {
public:
    KorvaneProcess() = default;
    // Kills a process still running and waits for it.
    ~KorvaneProcess();
    KorvaneProcess(const KorvaneProcess &) = delete;
    KorvaneProcess &operator=(const KorvaneProcess &) = delete;

    // The korvane binary the tests run.
    static const char *BinaryPath();
    // Starts korvane with `args` and the test's environment plus `env` (a
    // variable given an empty value counts as unset for korvane and the
    // simulated reader). Standard output and standard error are collected
    // separately; standard input is /dev/null.
    bool Start(const std::vector<std::string> &args,
               const std::vector<std::pair<std::string, std::string>> &env = {});
    // Starts any program the same way: `command` is its path and arguments.
    // In a cross build a program of the target machine (korvane, the tools)
    // runs under the emulator the tests run under.
    bool StartProgram(const std::vector<std::string> &command,
                      const std::vector<std::pair<std::string, std::string>> &env = {});
    pid_t Pid() const { return pid; }

    // Waits until standard output contains `text`; false on time-out.
    bool WaitForOutput(const std::string &text, int timeoutMs);
    std::string Output();
    std::string Errors();

    // Sends a signal to the process.
    void Signal(int signal);
    // Waits for the end of the process: its exit code, 128 + signal when it
    // was killed, or -1 when it is still running after `timeoutMs`.
    int WaitExit(int timeoutMs);
    bool Running();

private:
    void Collect(int fd, std::string *into);

    pid_t pid = -1;
    int exitStatus = -1;
    std::mutex mutex;
    std::condition_variable changed;
    std::string output;
    std::string errors;
    std::thread outputReader;
    std::thread errorReader;
};

// The names of the threads of a process (from /proc/<pid>/task/*/comm).
std::vector<std::string> ThreadNames(pid_t pid);

#endif  // KORVANE_TESTKIT_KORVANE_PROCESS_H
