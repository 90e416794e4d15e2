// The simulated reader's control socket server.
#include "control_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace readersim {

namespace {

// Longest time a reply may take to drain into a controller that does not read.
const auto kReplyTimeout = std::chrono::milliseconds(5000);
// The serving thread rechecks its stop flag at least this often even if the
// wake-up pipe were lost.
const int kPollTimeoutMs = 1000;
// Pause after a failed accept before trying again.
const int kAcceptRetryMs = 100;

struct tController {
    int fd = -1;
    std::string pending{};    // bytes of the line being received
    bool discarding = false;  // skipping the rest of an over-long line
};

// Writes all of `text`, waiting at most kReplyTimeout for a full socket.
bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) return false;
            struct pollfd out = {fd, POLLOUT, 0};
            if (poll(&out, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

void CloseQuietly(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

}  // namespace

bool CControlServer::Start(const std::string &path, Executor executor, void *context,
                           std::string *error) {
    if (threadStarted_) return true;
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        *error = "socket path empty or too long";
        return false;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // A socket left behind by an earlier run is replaced; any other file at
    // the path is somebody's data and is left alone.
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = "path exists and is not a socket";
            return false;
        }
        unlink(path.c_str());
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat created;
    if (listenFd_ >= 0 &&
        bind(listenFd_, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) == 0 &&
        stat(path.c_str(), &created) == 0) {
        path_ = path;  // ours from now on, for Stop to remove
        socketDevice_ = created.st_dev;
        socketInode_ = created.st_ino;
    }
    int rc = -1;
    if (path_.empty() || listen(listenFd_, static_cast<int>(kMaxControllers)) != 0) {
        *error = std::string("listen: ") + strerror(errno);
    } else {
        executor_ = executor;
        context_ = context;
        stopping_.store(false);
        rc = StartLibraryThread<CControlServer, &CControlServer::Serve>(&thread_, this);
        if (rc != 0) *error = std::string("pthread_create: ") + strerror(rc);
    }
    threadStarted_ = rc == 0;
    if (rc != 0) Stop();
    return rc == 0;
}

void CControlServer::Stop() {
    if (threadStarted_) {
        stopping_.store(true);
        char byte = 1;
        // A full pipe already holds a wake-up; the poll timeout covers the rest.
        ssize_t ignored = write(wakeWrite_, &byte, 1);
        (void)ignored;
        pthread_join(thread_, nullptr);
        threadStarted_ = false;
    }
    CloseQuietly(&listenFd_);
    CloseQuietly(&wakeRead_);
    CloseQuietly(&wakeWrite_);
    // Only our own socket is removed: another process may have replaced it.
    struct stat current;
    if (!path_.empty() && lstat(path_.c_str(), &current) == 0 && current.st_dev == socketDevice_ &&
        current.st_ino == socketInode_) {
        unlink(path_.c_str());
    }
    path_.clear();
}

void CControlServer::Serve() {
    pthread_setname_np(pthread_self(), "readersim-ctl");
    std::vector<tController> controllers;
    std::vector<struct pollfd> fds;
    char buffer[4096];
    while (!stopping_.load()) {
        fds.clear();
        fds.push_back({wakeRead_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const tController &c : controllers)
            fds.push_back({c.fd, POLLIN, 0});
        int ready = poll(fds.data(), fds.size(), kPollTimeoutMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (fds[0].revents != 0 || stopping_.load()) break;

        // Serve the connected controllers first: the indexes of fds match
        // `controllers` only until a new one is accepted.
        for (size_t i = 0; i < controllers.size() && !stopping_.load(); ++i) {
            tController &c = controllers[i];
            if (fds[i + 2].revents == 0) continue;
            ssize_t n = recv(c.fd, buffer, sizeof(buffer), 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            bool alive = n > 0;
            for (ssize_t k = 0; alive && k < n; ++k) {
                char ch = buffer[k];
                if (ch == '\n') {
                    if (c.discarding) {
                        c.discarding = false;  // its ERR went out when it grew too long
                        continue;
                    }
                    std::string line;
                    line.swap(c.pending);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    alive = WriteAll(c.fd, executor_(context_, line) + "\n");
                } else if (c.discarding) {
                    continue;
                } else if (c.pending.size() >= kMaxLineBytes) {
                    c.pending.clear();
                    c.pending.shrink_to_fit();
                    c.discarding = true;
                    alive = WriteAll(c.fd, "ERR line too long\n");
                } else {
                    c.pending.push_back(ch);
                }
            }
            if (!alive) CloseQuietly(&c.fd);
        }
        for (size_t i = controllers.size(); i-- > 0;) {
            if (controllers[i].fd < 0) controllers.erase(controllers.begin() + i);
        }

        if (fds[1].revents & POLLIN) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0 && errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors, say: the pending connection keeps the
                // socket readable, so pause instead of spinning on it.
                poll(nullptr, 0, kAcceptRetryMs);
            } else if (fd >= 0 && controllers.size() >= kMaxControllers) {
                WriteAll(fd, "ERR too many controllers\n");
                close(fd);
            } else if (fd >= 0) {
                controllers.push_back({fd});
            }
        }
    }
    for (tController &c : controllers)
        CloseQuietly(&c.fd);
}

}  // namespace readersim
