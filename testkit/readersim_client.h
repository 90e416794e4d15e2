// A client of the simulated reader's control socket (docs/readersim.md), for
// the tests and the benchmarks: connects to the socket, sends one command
// line and reads its one reply line, every step bounded in time.
#ifndef KORVANE_TESTKIT_READERSIM_CLIENT_H
#define KORVANE_TESTKIT_READERSIM_CLIENT_H

#include <string>

class ReaderSimClient {
public:
    ReaderSimClient() = default;
    ReaderSimClient(const ReaderSimClient &) = delete;
    ReaderSimClient &operator=(const ReaderSimClient &) = delete;
    ~ReaderSimClient() { Close(); }

    // Connects to the socket at `path`, retrying while it does not exist yet
    // or refuses, for at most timeoutMs. Closes an earlier connection first.
    bool Connect(const std::string &path, int timeoutMs);
    // Sends `line` plus a newline and returns the reply line without its
    // newline, or "" on error: not connected, `line` holding a newline, or no
    // full reply within timeoutMs. After an error the connection is closed,
    // so a late reply cannot be taken for the answer to a later command.
    std::string Command(const std::string &line, int timeoutMs = 5000);
    void Close();
    bool Connected() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::string received_;  // bytes after the last reply line
};

#endif  // KORVANE_TESTKIT_READERSIM_CLIENT_H
