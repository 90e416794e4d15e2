// The benchmark's epoll receiver; see receiver.h.
#include "receiver.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "testkit/hex.h"

Receiver::Receiver(std::vector<int> fds, uint64_t first, uint64_t count, bool skipStale)
    : count_(count), skipStale_(skipStale) {
    for (int fd : fds) {
        clients_.emplace_back();
        clients_.back().fd = fd;
        clients_.back().expected = first;
    }
    latencies_.reserve(std::min<uint64_t>(count, 4000000));
}

bool Receiver::Run(int timeoutMs) {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return false;
    for (size_t i = 0; i < clients_.size(); ++i) {
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, clients_[i].fd, &event);
    }
    std::vector<char> buffer(256 * 1024);
    std::vector<struct epoll_event> events(clients_.size());
    size_t complete = 0;
    uint64_t deadline = NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000u;
    bool ok = true;
    while (complete < clients_.size() && ok) {
        uint64_t now = NowNs();
        if (now >= deadline) {
            ok = false;
            break;
        }
        int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        if (ready < 0 && errno != EINTR) ok = false;
        for (int e = 0; e < ready && ok; ++e) {
            ClientStream &client = clients_[events[e].data.u64];
            ssize_t got = recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            uint64_t at = NowNs();
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                client.broken = true;
                problem_ = "client " + std::to_string(client.fd) + " disconnected after " +
                           std::to_string(client.datagrams) + " datagrams";
                ok = false;
                break;
            }
            if (got < 0) continue;
            bool wasComplete = client.datagrams >= count_;
            Consume(&client, buffer.data(), static_cast<size_t>(got), at, &client == &clients_[0]);
            if (client.broken) ok = false;
            if (!wasComplete && client.datagrams >= count_) ++complete;
        }
    }
    close(epoll);
    return ok && complete == clients_.size();
}

void Receiver::Consume(ClientStream *client, const char *bytes, size_t length, uint64_t at,
                       bool sample) {
    client->partial.append(bytes, length);
    size_t start = 0;
    for (;;) {
        size_t end = client->partial.find("\r\n", start);
        if (end == std::string::npos) break;
        const char *line = client->partial.data() + start;
        uint64_t sequence = 0, stamp = 0;
        bool parsed = end - start >= 25 && ParseHex(line, 8, &sequence) &&
                      ParseHex(line + 8, 16, &stamp) && line[24] == ';';
        if (parsed && skipStale_ && sequence < client->expected) {
            start = end + 2;
            continue;
        }
        if (!parsed || sequence != client->expected) {
            client->broken = true;
            problem_ = "client " + std::to_string(client->fd) + " expected " +
                       std::to_string(client->expected) + ", got \"" +
                       client->partial.substr(start, std::min<size_t>(end - start, 60)) + "\"";
            return;
        }
        ++client->expected;
        ++client->datagrams;
        if (sample && at >= stamp)
            latencies_.push_back(static_cast<uint32_t>(std::min<uint64_t>(at - stamp, UINT32_MAX)));
        start = end + 2;
    }
    client->partial.erase(0, start);
    lastArrival_ = at;
}
