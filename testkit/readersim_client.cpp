// A client of the simulated reader's control socket.
#include "testkit/readersim_client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "testkit/clock.h"

namespace {

// Longest reply accepted; `calls` with a full history stays far below it.
const size_t kMaxReplyBytes = 1024 * 1024;
const int kRetryMs = 20;

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitReady(int fd, short events, long long deadline) {
    for (;;) {
        long long left = deadline - MonotonicMs();
        if (left <= 0) return false;
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

bool ReaderSimClient::Connect(const std::string &path, int timeoutMs) {
    Close();
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) == 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fd_ = fd;
            return true;
        }
        int error = errno;
        close(fd);
        bool retry = error == ENOENT || error == ECONNREFUSED || error == EAGAIN || error == EINTR;
        if (!retry || MonotonicMs() + kRetryMs > deadline) return false;
        SleepMs(kRetryMs);
    }
}

std::string ReaderSimClient::Command(const std::string &line, int timeoutMs) {
    if (fd_ < 0 || line.find('\n') != std::string::npos) return "";
    long long deadline = MonotonicMs() + timeoutMs;
    std::string out = line + "\n";
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitReady(fd_, POLLOUT, deadline)) break;
        } else {
            break;
        }
    }
    if (sent < out.size()) {
        Close();
        return "";
    }
    for (;;) {
        size_t newline = received_.find('\n');
        if (newline != std::string::npos) {
            std::string reply = received_.substr(0, newline);
            received_.erase(0, newline + 1);
            return reply;
        }
        if (received_.size() > kMaxReplyBytes || !WaitReady(fd_, POLLIN, deadline)) break;
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n > 0) {
            received_.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    Close();
    return "";
}

void ReaderSimClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    received_.clear();
}
