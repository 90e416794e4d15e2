// End-to-end helpers for process tests that run the korvane binary with a
// configuration file and talk to it as its TCP clients (TcpClient, from the
// testkit) and as the reader: configuration texts, the worker threads check
// and a fixture that starts and ends the daemon.
#ifndef KORVANE_TESTS_SUPPORT_E2E_H
#define KORVANE_TESTS_SUPPORT_E2E_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "testkit/clock.h"
#include "testkit/isolation.h"
#include "testkit/korvane_process.h"
#include "testkit/readersim_client.h"
#include "testkit/tcp.h"

// The names of korvane's seven worker threads.
extern const char *const kWorkerNames[7];
// True when the process runs every worker thread.
bool HasAllWorkers(pid_t pid);
// Waits until the process runs every worker thread; false on time-out.
bool WaitForWorkers(pid_t pid, int timeoutMs);

// The non-empty pieces of `text` between separators.
std::vector<std::string> Split(const std::string &text, char separator);
// How often `needle` occurs in `text` (occurrences do not overlap).
size_t CountOf(const std::string &text, const std::string &needle);

// A configuration file text: the root with a Datagrams section of
// `datagrams` (omitted when empty), a Port element of `port` (omitted when
// null) and a KeyboardEmulation element of `keyboard` (omitted when null).
std::string ConfigXml(const std::string &datagrams, const char *port, const char *keyboard);
// A Datagrams section with all five templates on.
std::string TestDatagrams(const std::string &startText = "# start{CR}{LF}");
// What TestDatagrams renders for a coming tag (the EPC as Korvane writes it)
// and for the reader's start report.
std::string ComingBytes(const std::string &renderedEpc, int antenna);
constexpr char kStartBytes[] = "# start\r\n";

// Runs korvane in the sandbox with the simulated reader under control.
class KorvaneE2eTest : public ::testing::Test {
protected:
    // Generous for sanitizer builds; the checks that matter measure time
    // themselves.
    static constexpr int kStartMs = 10000;
    static constexpr int kArriveMs = 5000;
    // How long "nothing arrives" is watched.
    static constexpr int kQuietMs = 600;

    void SetUp() override;

    std::vector<std::pair<std::string, std::string>> Env(
        std::vector<std::pair<std::string, std::string>> extra = {}) const;
    std::string ConfigPath() const { return sandbox.Path("korvane.config.xml"); }
    // Saves the configuration file (truncate, write, close).
    void SaveConfig(const std::string &text);

    // Starts korvane with `args`, connects to the simulated reader and waits
    // for the worker threads and the watcher's watch. Use with
    // ASSERT_NO_FATAL_FAILURE.
    void StartKorvane(const std::vector<std::string> &args);
    // Replaces the keyboard gadget by a FIFO and returns the host's end of it
    // (read-write, so the FIFO stays open; non-blocking); -1 on failure.
    int OpenGadgetFifo();
    // Waits until korvane's configuration watcher holds its watch, so that no
    // change of the file goes unseen. StartKorvane does it once.
    void WaitWatching();
    // SIGTERM; korvane must end with 0 (a sanitizer report would change it).
    void StopKorvane();

    // A command to the simulated reader; its reply line.
    std::string Reader(const std::string &command) { return reader.Command(command); }
    // The names of the calls the reader library received, oldest first.
    std::vector<std::string> CallNames();
    // Waits until the reader received `name` at least `count` times.
    bool WaitForCall(const std::string &name, size_t count, int timeoutMs);
    size_t CallCount(const std::string &name);

    // How often `text` occurs in korvane's output so far.
    size_t OutputCount(const std::string &text) { return CountOf(korvane.Output(), text); }
    // Waits until `text` occurs at least `count` times in the output.
    bool WaitForOutputCount(const std::string &text, size_t count, int timeoutMs);
    // The descriptor korvane logged ("Client <host> (<fd>) connected", -v)
    // for the `nth` (1-based) client accepted from `host`; -1 after timeoutMs.
    int WaitForClientLogged(const std::string &host, size_t nth, int timeoutMs);

    Sandbox sandbox;
    KorvaneProcess korvane;
    ReaderSimClient reader;
};

#endif  // KORVANE_TESTS_SUPPORT_E2E_H
