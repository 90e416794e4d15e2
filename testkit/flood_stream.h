// Checking what a TCP client of korvane receives while the simulated reader
// floods numbered tags (docs/readersim.md, "Flood records"): with a template
// of a prefix, {EPC} and CR LF, every datagram carries the flood's 24-digit
// EPC, whose first eight hex digits number the tag. A stream is whole and in
// order when every datagram carries the next number.
#ifndef KORVANE_TESTKIT_FLOOD_STREAM_H
#define KORVANE_TESTKIT_FLOOD_STREAM_H

#include <stddef.h>

#include <string>
#include <vector>

// One client's stream, checked datagram by datagram.
struct Stream {
    int fd = -1;
    std::string partial;                // bytes of a datagram not complete yet
    long long next = -1;                // the number expected next; -1 takes whatever comes first
    long long received = 0;             // numbered datagrams taken
    long long stops = 0;                // "# stop" datagrams (a StopText) taken
    std::string fault;                  // why the stream broke; "" while it is whole
    std::vector<std::string> prefixes;  // the templates' prefixes accepted
    std::vector<long long> perPrefix;   // datagrams taken per prefix

    // Takes `bytes`; false once the stream is broken (the datagram that broke
    // it is quoted in `fault`).
    bool Take(const char *bytes, size_t length);
};

// A stream on `fd` accepting datagrams behind any of `prefixes`.
Stream MakeStream(int fd, const std::vector<std::string> &prefixes);

// Reads every stream until each has `count` datagrams or has broken (a gap,
// a bad datagram, the peer closing: "disconnected after N"), or timeoutMs
// pass. True when every stream has its count.
bool ReadStreams(std::vector<Stream> *streams, long long count, int timeoutMs);

#endif  // KORVANE_TESTKIT_FLOOD_STREAM_H
