// TCP connects, listeners and the bounded client; see tcp.h.
#include "testkit/tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "testkit/clock.h"

namespace {

const int kRetryMs = 20;

// Fills `storage` with host:port; false when `host` is no numeric address.
bool MakeAddress(const std::string &host, uint16_t port, struct sockaddr_storage *storage,
                 socklen_t *length) {
    memset(storage, 0, sizeof(*storage));
    struct sockaddr_in *v4 = reinterpret_cast<struct sockaddr_in *>(storage);
    struct sockaddr_in6 *v6 = reinterpret_cast<struct sockaddr_in6 *>(storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *length = sizeof(*v4);
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *length = sizeof(*v6);
        return true;
    }
    return false;
}

}  // namespace

int ConnectTcpOnce(const std::string &host, uint16_t port, int timeoutMs, int *error) {
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (!MakeAddress(host, port, &address, &length)) {
        *error = EINVAL;
        return -1;
    }
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), length) == 0) {
        *error = 0;
        return fd;
    }
    if (errno != EINPROGRESS) {
        *error = errno;
        close(fd);
        return -1;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    int ready = 0;
    long long deadline = MonotonicMs() + timeoutMs;
    do {
        long long left = deadline - MonotonicMs();
        if (left <= 0) break;
        ready = poll(&p, 1, static_cast<int>(left));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        *error = ETIMEDOUT;
        close(fd);
        return -1;
    }
    int failure = 0;
    socklen_t size = sizeof(failure);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
    if (failure != 0) {
        *error = failure;
        close(fd);
        return -1;
    }
    *error = 0;
    return fd;
}

int ConnectTcp(const std::string &host, uint16_t port, int timeoutMs, int *error) {
    int ignored = 0;
    if (error == nullptr) error = &ignored;
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        long long left = deadline - MonotonicMs();
        int fd = ConnectTcpOnce(host, port, static_cast<int>(std::max(left, 1LL)), error);
        if (fd >= 0) return fd;
        // The server may not listen yet: only a refusal is worth another try.
        if (*error != ECONNREFUSED || MonotonicMs() + kRetryMs > deadline) return -1;
        SleepMs(kRetryMs);
    }
}

int ListenLoopback(uint16_t port, int backlog, int receiveBuffer, uint16_t *bound) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *bound = ntohs(address.sin_port);
    return fd;
}

// ---- TcpClient

bool TcpClient::Connect(const std::string &host, uint16_t port, int timeoutMs) {
    Close();
    fd_ = ConnectTcp(host, port, timeoutMs);
    peerClosed_ = false;
    return fd_ >= 0;
}

int TcpClient::TryConnect(const std::string &host, uint16_t port, int timeoutMs) {
    int error = 0;
    int fd = ConnectTcpOnce(host, port, timeoutMs, &error);
    if (fd >= 0) close(fd);
    return error;
}

bool TcpClient::Send(const std::string &bytes) {
    if (fd_ < 0) return false;
    size_t sent = 0;
    long long deadline = MonotonicMs() + 5000;
    while (sent < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        long long left = deadline - MonotonicMs();
        if (left <= 0) return false;
        struct pollfd p = {fd_, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

bool TcpClient::ReceiveSome(int waitMs, std::string *into, size_t limit) {
    if (fd_ < 0 || peerClosed_ || limit == 0) return false;
    struct pollfd p = {fd_, POLLIN, 0};
    int ready = poll(&p, 1, std::max(waitMs, 0));
    if (ready < 0 && errno == EINTR) return true;  // nothing yet; the caller's clock decides
    if (ready <= 0) return false;
    char buffer[65536];
    ssize_t n = recv(fd_, buffer, std::min(limit, sizeof(buffer)), 0);
    if (n > 0) {
        into->append(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    peerClosed_ = true;  // end of stream or reset
    return false;
}

std::string TcpClient::ReadExactly(size_t count, int timeoutMs) {
    std::string received;
    long long deadline = MonotonicMs() + timeoutMs;
    while (received.size() < count) {
        long long left = deadline - MonotonicMs();
        if (left <= 0) break;
        if (!ReceiveSome(static_cast<int>(left), &received, count - received.size()) &&
            (peerClosed_ || fd_ < 0)) {
            break;
        }
    }
    return received;
}

std::string TcpClient::ReadUntilQuiet(int quietMs, int maxMs) {
    std::string received;
    long long deadline = MonotonicMs() + maxMs;
    for (;;) {
        long long left = deadline - MonotonicMs();
        if (left <= 0) break;
        size_t before = received.size();
        int wait = static_cast<int>(std::min<long long>(quietMs, left));
        if (!ReceiveSome(wait, &received, static_cast<size_t>(-1))) {
            if (peerClosed_ || fd_ < 0 || received.size() == before) break;
        }
    }
    return received;
}

bool TcpClient::WaitClosed(int timeoutMs, std::string *received) {
    std::string ignored;
    std::string *into = received != nullptr ? received : &ignored;
    long long deadline = MonotonicMs() + timeoutMs;
    while (!peerClosed_ && fd_ >= 0) {
        long long left = deadline - MonotonicMs();
        if (left <= 0) return false;
        ReceiveSome(static_cast<int>(left), into, static_cast<size_t>(-1));
    }
    return peerClosed_;
}

void TcpClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    peerClosed_ = false;
}
