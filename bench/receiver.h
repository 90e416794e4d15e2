// The benchmark's receiving side: one thread reads every client socket
// through epoll and checks each client's stream of flood datagrams, whole
// and in order, while it samples the latency of every datagram of client 0.
//
// A datagram starts with 8 hex digits of the tag's sequence number and 16 of
// the monotonic time (ns) of the reader's callback, then ';'. The bare-send
// ceiling writes datagrams of the same shape.
#ifndef KORVANE_BENCH_RECEIVER_H
#define KORVANE_BENCH_RECEIVER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "testkit/clock.h"

// The monotonic time in ns, unsigned like the stamps in the datagrams and
// LastArrivalNs().
inline uint64_t NowNs() {
    return static_cast<uint64_t>(MonotonicNs());
}

// One client's stream.
struct ClientStream {
    int fd = -1;
    std::string partial;    // bytes of a datagram not complete yet
    uint64_t expected = 0;  // next sequence number
    uint64_t datagrams = 0;
    bool broken = false;  // a gap, a bad datagram or the peer closed
};

// Reads the clients' sockets (it does not own them). Not thread-safe: one
// thread runs it.
class Receiver {
public:
    // `first`: the sequence number every client expects first. Latency is
    // sampled on client 0.
    // With `skipStale`, datagrams older than `first` are skipped, not taken
    // for a gap: left over from an earlier run that a client saw late.
    Receiver(std::vector<int> fds, uint64_t first, uint64_t count, bool skipStale = false);

    // Reads until every client has `count` datagrams, a stream breaks or
    // timeoutMs pass. True when all arrived whole and in order.
    bool Run(int timeoutMs);

    // Callback-to-recv() latencies of client 0, ns, in arrival order.
    const std::vector<uint32_t> &Latencies() const { return latencies_; }
    // Why Run failed: "" when it did not, or when time ran out.
    const std::string &Problem() const { return problem_; }
    // Monotonic time (ns) of the last recv() that brought bytes.
    uint64_t LastArrivalNs() const { return lastArrival_; }

private:
    void Consume(ClientStream *client, const char *bytes, size_t length, uint64_t at, bool sample);

    uint64_t count_;
    bool skipStale_;
    std::vector<ClientStream> clients_;
    std::vector<uint32_t> latencies_;  // ns, client 0
    uint64_t lastArrival_ = 0;
    std::string problem_;
};

#endif  // KORVANE_BENCH_RECEIVER_H
