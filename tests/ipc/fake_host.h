// A host framework played by a test, in-process: a TCP listener on an
// ephemeral loopback port (IpcService is pointed at it) and the one
// connection the client makes to it, read and written byte by byte with time
// limits. Header-only; used by the IPC unit tests.
#ifndef KORVANE_TESTS_IPC_FAKE_HOST_H
#define KORVANE_TESTS_IPC_FAKE_HOST_H

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "support/worker.h"

typedef std::vector<uint8_t> tBytes;

// One frame as the tests expect it on the wire, built field by field
// (independently of the code under test).
inline tBytes FrameOf(uint32_t token, uint16_t channel, const tBytes &payload) {
    tBytes frame{0x5A};
    for (int i = 0; i < 4; i++)
        frame.push_back(static_cast<uint8_t>(token >> (8 * i)));
    frame.push_back(static_cast<uint8_t>(channel));
    frame.push_back(static_cast<uint8_t>(channel >> 8));
    uint32_t length = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; i++)
        frame.push_back(static_cast<uint8_t>(length >> (8 * i)));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(0xA5);
    return frame;
}

inline tBytes Concat(const tBytes &a, const tBytes &b) {
    tBytes joined(a);
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

inline tBytes Bytes(std::initializer_list<tBytes> parts) {
    tBytes all;
    for (const tBytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline std::string HexOf(const tBytes &bytes) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(byte, sizeof(byte), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

// The number of open descriptors of this process.
inline int OpenDescriptorCount() {
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (struct dirent *entry = readdir(fds)) {
        if (entry->d_name[0] != '.') count++;
    }
    closedir(fds);
    return count - 1;  // the directory stream itself
}

// A TCP port on 127.0.0.1 that nobody listens on (taken and given back).
inline uint16_t UnusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

class FakeHost {
public:
    // receiveBuffer: a small receive buffer for the connections (0: the
    // default), so that a client's writes block part-way through. port: 0
    // for an ephemeral one.
    explicit FakeHost(int receiveBuffer = 0, uint16_t port = 0) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (receiveBuffer > 0) {
            setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        }
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (bind(listener_, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
            listen(listener_, 8) != 0 ||
            getsockname(listener_, reinterpret_cast<struct sockaddr *>(&address), &size) != 0) {
            close(listener_);
            listener_ = -1;
            return;
        }
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~FakeHost() {
        CloseConnection();
        CloseListener();
    }
    FakeHost(const FakeHost &) = delete;
    FakeHost &operator=(const FakeHost &) = delete;

    bool Listening() const { return listener_ >= 0; }
    // The port as a service string, for IpcService.
    const char *Service() const { return port_.c_str(); }

    // Accepts the next connection within `timeoutMs`, replacing the current
    // one. acceptedNs is the monotonic time accept returned.
    bool Accept(int timeoutMs) {
        if (listener_ < 0) return false;
        struct pollfd pending = {listener_, POLLIN, 0};
        if (poll(&pending, 1, timeoutMs) != 1) return false;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return false;
        acceptedNs = MonotonicNs();
        CloseConnection();
        connection_ = fd;
        return true;
    }

    // Reads exactly `count` bytes within `timeoutMs` in total.
    bool Read(size_t count, tBytes *bytes, int timeoutMs) {
        bytes->clear();
        int64_t start = MonotonicNs();
        while (bytes->size() < count) {
            int left = timeoutMs - static_cast<int>(MsSince(start));
            if (left <= 0 || !WaitReadable(left)) return false;
            uint8_t buffer[65536];
            size_t want = count - bytes->size();
            ssize_t got =
                recv(connection_, buffer, want < sizeof(buffer) ? want : sizeof(buffer), 0);
            if (got <= 0) return false;
            bytes->insert(bytes->end(), buffer, buffer + got);
        }
        return true;
    }

    // What ReadFrame found.
    enum tFrameRead {
        kFrameRead,    // one whole, well-formed frame
        kStreamQuiet,  // nothing arrived at a frame boundary within the time
        kStreamEnded,  // the connection ended at a frame boundary
        kFrameCut,     // the connection ended inside a frame
        kFrameStuck,   // part of a frame, then nothing more within the time
        kFrameBad,     // a wrong start or end marker
    };

    // Reads one whole frame strictly: it must start at the first byte and
    // end with its end marker. The payload goes to *payload.
    tFrameRead ReadFrameResult(uint32_t *token, uint16_t *channel, tBytes *payload, int timeoutMs) {
        tBytes header;
        tFrameRead result = ReadPart(11, &header, timeoutMs, true);
        if (result != kFrameRead) return result;
        if (header[0] != 0x5A) return kFrameBad;
        *token =
            header[1] | header[2] << 8 | header[3] << 16 | static_cast<uint32_t>(header[4]) << 24;
        *channel = static_cast<uint16_t>(header[5] | header[6] << 8);
        uint32_t length =
            header[7] | header[8] << 8 | header[9] << 16 | static_cast<uint32_t>(header[10]) << 24;
        tBytes rest;
        result = ReadPart(length + 1u, &rest, timeoutMs, false);
        if (result != kFrameRead) return result;
        if (rest.back() != 0xA5) return kFrameBad;
        payload->assign(rest.begin(), rest.end() - 1);
        return kFrameRead;
    }
    bool ReadFrame(uint32_t *token, uint16_t *channel, tBytes *payload, int timeoutMs) {
        return ReadFrameResult(token, channel, payload, timeoutMs) == kFrameRead;
    }

    // True when no byte arrives (and the connection stays open) for `ms`.
    bool QuietFor(int ms) {
        if (connection_ < 0) return false;
        return !WaitReadable(ms);
    }

    // True when the peer closes the connection within `timeoutMs`, any bytes
    // before the end being discarded.
    bool ClosedWithin(int timeoutMs) {
        int64_t start = MonotonicNs();
        for (;;) {
            int left = timeoutMs - static_cast<int>(MsSince(start));
            if (left <= 0 || !WaitReadable(left)) return false;
            uint8_t buffer[4096];
            ssize_t got = recv(connection_, buffer, sizeof(buffer), 0);
            if (got == 0) return true;
            if (got < 0) return errno == ECONNRESET;
        }
    }

    bool Write(const tBytes &bytes) {
        size_t written = 0;
        while (written < bytes.size()) {
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
    int Connection() const { return connection_; }

    int64_t acceptedNs = 0;

private:
    bool WaitReadable(int timeoutMs) {
        if (connection_ < 0) return false;
        struct pollfd readable = {connection_, POLLIN, 0};
        return poll(&readable, 1, timeoutMs) == 1;
    }

    // Read with the outcome told apart; `atBoundary`: no byte of the frame
    // has been read before.
    tFrameRead ReadPart(size_t count, tBytes *bytes, int timeoutMs, bool atBoundary) {
        bytes->clear();
        int64_t start = MonotonicNs();
        while (bytes->size() < count) {
            bool first = atBoundary && bytes->empty();
            int left = timeoutMs - static_cast<int>(MsSince(start));
            if (left <= 0 || !WaitReadable(left)) return first ? kStreamQuiet : kFrameStuck;
            uint8_t buffer[65536];
            size_t want = count - bytes->size();
            ssize_t got =
                recv(connection_, buffer, want < sizeof(buffer) ? want : sizeof(buffer), 0);
            if (got <= 0) return first ? kStreamEnded : kFrameCut;
            bytes->insert(bytes->end(), buffer, buffer + got);
        }
        return kFrameRead;
    }

    int listener_ = -1;
    int connection_ = -1;
    std::string port_;
};

// Korvane's Hello on channel 5.
inline tBytes HelloBytes() {
    return {0x5A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0x00, 0x05, 0x00,
            0x00, 0x00, 0xFF, 0xFE, 0xFF, 0x00, 0x00, 0xA5};
}

// A HelloAck answering a Hello with this token and channel.
inline tBytes HelloAckBytes(uint32_t token, uint16_t channel) {
    return FrameOf(token, channel, {0xFF, 0xFE, 0xFF, 0x01, 0x00});
}

#endif  // KORVANE_TESTS_IPC_FAKE_HOST_H
