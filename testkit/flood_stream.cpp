// Checking the streams of flood datagrams; see flood_stream.h.
#include "testkit/flood_stream.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>

#include "testkit/clock.h"

bool Stream::Take(const char *bytes, size_t length) {
    partial.append(bytes, length);
    size_t start = 0;
    for (size_t end; (end = partial.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = partial.substr(start, end - start);
        if (line == "# stop") {  // the StopText, e.g. when the reader stops at the end
            ++stops;
            continue;
        }
        size_t which = 0;
        while (which < prefixes.size() &&
               line.compare(0, prefixes[which].size(), prefixes[which]) != 0)
            ++which;
        std::string epc = which < prefixes.size() ? line.substr(prefixes[which].size()) : "";
        std::string digits = epc.substr(0, 8);
        char *stop = nullptr;
        long long sequence = strtoll(digits.c_str(), &stop, 16);
        if (which == prefixes.size() || epc.size() != 24 || *stop != '\0' ||
            (next >= 0 && sequence != next)) {
            fault = "after " + std::to_string(received) + " datagrams: \"" + line + "\"";
            return false;
        }
        next = sequence + 1;
        ++received;
        ++perPrefix[which];
    }
    partial.erase(0, start);
    return true;
}

Stream MakeStream(int fd, const std::vector<std::string> &prefixes) {
    Stream stream;
    stream.fd = fd;
    stream.prefixes = prefixes;
    stream.perPrefix.assign(prefixes.size(), 0);
    return stream;
}

bool ReadStreams(std::vector<Stream> *streams, long long count, int timeoutMs) {
    char buffer[65536];
    long long started = MonotonicMs();
    for (;;) {
        std::vector<struct pollfd> fds;
        std::vector<Stream *> open;
        bool all = true;
        for (Stream &stream : *streams) {
            all = all && stream.received >= count;
            if (stream.received < count && stream.fault.empty()) {
                fds.push_back({stream.fd, POLLIN, 0});
                open.push_back(&stream);
            }
        }
        if (all) return true;
        int left = timeoutMs - static_cast<int>(MonotonicMs() - started);
        if (open.empty() || left <= 0) return false;
        if (poll(fds.data(), fds.size(), std::min(left, 100)) < 0 && errno != EINTR) return false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Stream &stream = *open[i];
            ssize_t got = recv(stream.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                stream.fault = "disconnected after " + std::to_string(stream.received);
            } else if (got > 0) {
                stream.Take(buffer, static_cast<size_t>(got));
            }
        }
    }
}
