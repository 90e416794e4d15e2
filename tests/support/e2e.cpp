// End-to-end helpers: TCP clients, configuration texts, the korvane fixture.
#include "support/e2e.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

const char *const kWorkerNames[7] = {"WaitForData",    "HandleNewTags",  "WatchConfigFile",
                                     "CfgFileChanged", "WaitForClients", "PollClients",
                                     "KeybEmulation"};

bool HasAllWorkers(pid_t pid) {
    std::vector<std::string> names = ThreadNames(pid);
    for (const char *worker : kWorkerNames) {
        if (std::find(names.begin(), names.end(), worker) == names.end()) return false;
    }
    return true;
}

bool WaitForWorkers(pid_t pid, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    while (MonotonicMs() < deadline) {
        if (HasAllWorkers(pid)) return true;
        usleep(10000);
    }
    return false;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

size_t CountOf(const std::string &text, const std::string &needle) {
    if (needle.empty()) return 0;
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        count++;
    }
    return count;
}

// ---- TcpClient

namespace {

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

// A non-blocking connect bounded by timeoutMs. The connected socket, or -1
// with *error set.
int ConnectWithin(const std::string &host, uint16_t port, int timeoutMs, int *error) {
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

}  // namespace

bool TcpClient::Connect(const std::string &host, uint16_t port, int timeoutMs) {
    Close();
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        long long left = deadline - MonotonicMs();
        int error = 0;
        int fd = ConnectWithin(host, port, static_cast<int>(std::max(left, 1LL)), &error);
        if (fd >= 0) {
            fd_ = fd;
            peerClosed_ = false;
            return true;
        }
        if (error != ECONNREFUSED || MonotonicMs() + 20 > deadline) return false;
        usleep(20000);
    }
}

int TcpClient::TryConnect(const std::string &host, uint16_t port, int timeoutMs) {
    int error = 0;
    int fd = ConnectWithin(host, port, timeoutMs, &error);
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

uint16_t TcpClient::LocalPort() const {
    struct sockaddr_storage address = {};
    socklen_t length = sizeof(address);
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<struct sockaddr_in *>(&address)->sin_port);
    }
    return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&address)->sin6_port);
}

void TcpClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    peerClosed_ = false;
}

// ---- Configuration texts

std::string ConfigXml(const std::string &datagrams, const char *port, const char *keyboard) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KorvaneConfiguration>\n";
    if (!datagrams.empty()) xml += datagrams;
    if (port != nullptr) xml += std::string("  <Port>") + port + "</Port>\n";
    if (keyboard != nullptr) {
        xml += std::string("  <KeyboardEmulation>") + keyboard + "</KeyboardEmulation>\n";
    }
    return xml + "</KorvaneConfiguration>\n";
}

std::string TestDatagrams(const std::string &startText) {
    return "  <Datagrams>\n"
           "    <ComingText On=\"true\">IN {EPC}{TAB}{AntennaPort}{CR}{LF}</ComingText>\n"
           "    <GoingText On=\"true\">OUT {EPC}{CR}{LF}</GoingText>\n"
           "    <StartText On=\"true\">" +
           startText +
           "</StartText>\n"
           "    <HeartbeatText On=\"true\"># beat{CR}{LF}</HeartbeatText>\n"
           "    <StopText On=\"true\"># stop{CR}{LF}</StopText>\n"
           "  </Datagrams>\n";
}

std::string ComingBytes(const std::string &renderedEpc, int antenna) {
    return "IN " + renderedEpc + "\t" + std::to_string(antenna) + "\r\n";
}

std::string GoingBytes(const std::string &renderedEpc) {
    return "OUT " + renderedEpc + "\r\n";
}

// ---- Fixture

constexpr int KorvaneE2eTest::kStartMs;
constexpr int KorvaneE2eTest::kArriveMs;
constexpr int KorvaneE2eTest::kQuietMs;

void KorvaneE2eTest::SetUp() {
    ASSERT_EQ(sandbox.Error(), "");
    // A plain file stands in for the keyboard gadget, so the keyboard thread
    // keeps running.
    ASSERT_TRUE(WriteFile(sandbox.Path("hidg0"), ""));
}

std::vector<std::pair<std::string, std::string>> KorvaneE2eTest::Env(
    std::vector<std::pair<std::string, std::string>> extra) const {
    extra.emplace_back("READERSIM_SOCKET", sandbox.Path("readersim.sock"));
    extra.emplace_back("READERSIM_CALL_LOG", sandbox.Path("calls.log"));
    return extra;
}

void KorvaneE2eTest::SaveConfig(const std::string &text) {
    ASSERT_TRUE(WriteFile(ConfigPath(), text));
}

void KorvaneE2eTest::StartKorvane(const std::vector<std::string> &args) {
    ASSERT_TRUE(korvane.Start(args, Env()));
    ASSERT_TRUE(reader.Connect(sandbox.Path("readersim.sock"), kStartMs)) << korvane.Output();
    if (!WaitForWorkers(korvane.Pid(), kStartMs)) {
        std::string running;
        for (const std::string &name : ThreadNames(korvane.Pid()))
            running += " " + name;
        FAIL() << "not every worker thread runs; threads:" << running << "\n" << korvane.Output();
    }
}

void KorvaneE2eTest::StopKorvane() {
    korvane.Signal(SIGTERM);
    EXPECT_EQ(korvane.WaitExit(kStartMs), 0) << korvane.Errors();
}

std::vector<std::string> KorvaneE2eTest::CallNames() {
    std::vector<std::string> names;
    for (const std::string &call : Split(ReadFile(sandbox.Path("calls.log")), '\n'))
        names.push_back(call.substr(0, call.find('(')));
    return names;
}

size_t KorvaneE2eTest::CallCount(const std::string &name) {
    std::vector<std::string> names = CallNames();
    return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

bool KorvaneE2eTest::WaitForCall(const std::string &name, size_t count, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        if (CallCount(name) >= count) return true;
        if (MonotonicMs() >= deadline) return false;
        usleep(10000);
    }
}

bool KorvaneE2eTest::WaitForOutputCount(const std::string &text, size_t count, int timeoutMs) {
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        if (OutputCount(text) >= count) return true;
        if (MonotonicMs() >= deadline) return false;
        usleep(5000);
    }
}

int KorvaneE2eTest::WaitForClientLogged(const std::string &host, size_t nth, int timeoutMs) {
    const std::string prefix = "Korvane: WaitForClients(): Client " + host + " (";
    long long deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        std::string out = korvane.Output();
        size_t seen = 0;
        for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
            size_t number = at + prefix.size();
            size_t close = out.find(") connected\n", number);
            if (close == std::string::npos) break;
            if (++seen == nth) return atoi(out.substr(number, close - number).c_str());
        }
        if (MonotonicMs() >= deadline) return -1;
        usleep(5000);
    }
}
