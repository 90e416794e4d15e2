// TCP for the tests and the benchmarks: a connect bounded in time, a
// listening socket on loopback, and a client whose every call is bounded in
// time. Addresses are numeric ("127.0.0.1", "::1"); nothing is looked up.
#ifndef KORVANE_TESTKIT_TCP_H
#define KORVANE_TESTKIT_TCP_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// Connects to `host` on `port`, retrying while the connection is refused, for
// at most timeoutMs. The connected socket (non-blocking, close-on-exec), or
// -1 with *error (when given) set to the errno of the failure.
int ConnectTcp(const std::string &host, uint16_t port, int timeoutMs, int *error = nullptr);
// One attempt, bounded by timeoutMs: the connected socket (non-blocking,
// close-on-exec), or -1 with *error set (ETIMEDOUT when time ran out, EINVAL
// for a host that is no numeric address).
int ConnectTcpOnce(const std::string &host, uint16_t port, int timeoutMs, int *error);

// A socket listening on 127.0.0.1:`port` (0 takes a free port) with
// SO_REUSEADDR and, when receiveBuffer > 0, SO_RCVBUF of that size, which the
// accepted sockets inherit. Its port goes to *bound; -1 on failure.
int ListenLoopback(uint16_t port, int backlog, int receiveBuffer, uint16_t *bound);

// A TCP client of a server under test. Owns its socket; not copyable, not
// thread-safe.
class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient() { Close(); }
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    // Connects as ConnectTcp does. Closes an earlier connection first.
    bool Connect(const std::string &host, uint16_t port, int timeoutMs);
    // One attempt: 0 when a connection was made (and closed again), else the
    // errno of the failure (ETIMEDOUT when it took longer than timeoutMs).
    static int TryConnect(const std::string &host, uint16_t port, int timeoutMs = 2000);

    bool Send(const std::string &bytes);
    // Reads until `count` bytes arrived, the peer closed or timeoutMs passed;
    // returns what arrived (more than `count` is never taken).
    std::string ReadExactly(size_t count, int timeoutMs);
    // Reads until nothing arrives for quietMs, at most maxMs in all.
    std::string ReadUntilQuiet(int quietMs, int maxMs = 10000);
    // Waits until the peer closes or resets the connection; what arrived
    // meanwhile goes to `received` when given. False on time-out.
    bool WaitClosed(int timeoutMs, std::string *received = nullptr);
    void Close();
    bool Connected() const { return fd_ >= 0; }
    bool PeerClosed() const { return peerClosed_; }

private:
    // Receives once after waiting up to waitMs: bytes appended to `into`;
    // false when nothing came in time or the peer closed.
    bool ReceiveSome(int waitMs, std::string *into, size_t limit);

    int fd_ = -1;
    bool peerClosed_ = false;
};

#endif  // KORVANE_TESTKIT_TCP_H
