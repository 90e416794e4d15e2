// The host end of Korvane's IPC link played in-process: a listener on
// loopback, frames built field by field, independently of the code under
// test. Header-only.
#ifndef KORVANE_TESTKIT_FAKE_HOST_H
#define KORVANE_TESTKIT_FAKE_HOST_H

#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testkit/clock.h"
#include "testkit/hex.h"
#include "testkit/tcp.h"

typedef std::vector<uint8_t> tBytes;

// A frame built field by field, independently of the code under test.
inline tBytes FrameOf(uint32_t token, uint16_t channel, const tBytes &payload) {
    tBytes frame{0x5A};
    auto put = [&frame](uint32_t value, int size) {
        for (int i = 0; i < size; i++)
            frame.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(token, 4);
    put(channel, 2);
    put(static_cast<uint32_t>(payload.size()), 4);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(0xA5);
    return frame;
}

inline tBytes Bytes(std::initializer_list<tBytes> parts) {
    tBytes all;
    for (const tBytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class FakeHost {
public:
    // receiveBuffer > 0 shrinks the window so that large writes block midway.
    explicit FakeHost(int receiveBuffer = 0, uint16_t port = 0) {
        uint16_t bound = 0;
        listener_ = ListenLoopback(port, 8, receiveBuffer, &bound);
        if (listener_ >= 0) port_ = std::to_string(bound);
    }
    ~FakeHost() {
        CloseConnection();
        CloseListener();
    }

    bool Listening() const { return listener_ >= 0; }
    const char *Service() const { return port_.c_str(); }

    bool Accept(int timeoutMs) {
        struct pollfd pending = {listener_, POLLIN, 0};
        if (listener_ < 0 || poll(&pending, 1, timeoutMs) != 1) return false;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return false;
        acceptedNs = MonotonicNs();
        CloseConnection();
        connection_ = fd;
        return true;
    }

    enum tFrameRead { kFrameRead, kStreamQuiet, kStreamEnded, kFrameCut, kFrameStuck, kFrameBad };

    // Exactly `count` bytes within `timeoutMs` (quiet/ended: not a byte came).
    tFrameRead ReadResult(size_t count, tBytes *bytes, int timeoutMs) {
        bytes->clear();
        int64_t start = MonotonicNs();
        while (bytes->size() < count) {
            int left = timeoutMs - static_cast<int>(MsSince(start));
            if (left <= 0 || !WaitReadable(left))
                return bytes->empty() ? kStreamQuiet : kFrameStuck;
            uint8_t buffer[65536];
            size_t want = std::min(count - bytes->size(), sizeof(buffer));
            ssize_t got = recv(connection_, buffer, want, 0);
            if (got <= 0) return bytes->empty() ? kStreamEnded : kFrameCut;
            bytes->insert(bytes->end(), buffer, buffer + got);
        }
        return kFrameRead;
    }
    bool Read(size_t count, tBytes *bytes, int timeoutMs) {
        return ReadResult(count, bytes, timeoutMs) == kFrameRead;
    }

    // One whole frame, strictly from the first byte read.
    tFrameRead ReadFrame(uint32_t *token, uint16_t *channel, tBytes *payload, int timeoutMs) {
        tBytes header, rest;
        tFrameRead result = ReadResult(11, &header, timeoutMs);
        if (result != kFrameRead) return result;
        if (header[0] != 0x5A) return kFrameBad;
        *token = header[1] | header[2] << 8 | header[3] << 16 | uint32_t{header[4]} << 24;
        *channel = static_cast<uint16_t>(header[5] | header[6] << 8);
        uint32_t length = header[7] | header[8] << 8 | header[9] << 16 | uint32_t{header[10]} << 24;
        result = ReadResult(length + 1u, &rest, timeoutMs);
        if (result == kStreamQuiet) return kFrameStuck;
        if (result != kFrameRead) return kFrameCut;
        if (rest.back() != 0xA5) return kFrameBad;
        payload->assign(rest.begin(), rest.end() - 1);
        return kFrameRead;
    }

    // No byte arrives and the connection stays open for `ms`.
    bool QuietFor(int ms) { return connection_ >= 0 && !WaitReadable(ms); }

    // The peer closes within `timeoutMs`; bytes before the end are discarded.
    bool ClosedWithin(int timeoutMs) {
        tBytes rest;
        tFrameRead result = ReadResult(SIZE_MAX, &rest, timeoutMs);
        return result == kStreamEnded || result == kFrameCut;
    }

    bool Write(const tBytes &bytes) {
        for (size_t written = 0; written < bytes.size();) {
            ssize_t sent =
                send(connection_, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            written += static_cast<size_t>(sent);
        }
        return true;
    }

    void CloseConnection() {
        if (connection_ >= 0) close(connection_);
        connection_ = -1;
    }
    void CloseListener() {
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
    }

    int64_t acceptedNs = 0;
    bool WaitReadable(int timeoutMs) {
        struct pollfd readable = {connection_, POLLIN, 0};
        return connection_ >= 0 && poll(&readable, 1, timeoutMs) == 1;
    }

    int listener_ = -1, connection_ = -1;
    std::string port_;
};

// A TCP port on 127.0.0.1 that nobody listens on.
inline uint16_t UnusedPort() {
    return static_cast<uint16_t>(atoi(FakeHost().Service()));
}

// Korvane's Hello on channel 5, and a HelloAck.
inline tBytes HelloBytes() {
    return FrameOf(0xFFFFFFFF, 5, {0xFF, 0xFE, 0xFF, 0x00, 0x00});
}
inline tBytes HelloAckBytes(uint32_t token, uint16_t channel) {
    return FrameOf(token, channel, {0xFF, 0xFE, 0xFF, 0x01, 0x00});
}

#endif  // KORVANE_TESTKIT_FAKE_HOST_H
