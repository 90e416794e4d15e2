// korvane-host: a stand-in for the reader's host framework, for tests and for
// trying Korvane's host commands on a development machine (docs/host.md).
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ipc/frame.h"

namespace {

// Not exit statuses: kLog marks a line of the verbose log (see Say);
// kRunRequests, the command line is read and the requests are to be sent.
enum { kLog = -2, kRunRequests, kExitOk, kExitFailed, kExitUsage, kExitTimeout };

const uint16_t kRequestChannel = 5;

const char kUsage[] =
    "Usage: korvane-host [OPTIONS] [COMMAND [XML]]...\n"
    "\n"
    "Stands in for the reader's host framework: listens on 127.0.0.1:4006, waits\n"
    "for Korvane to connect and send its Hello, answers with a HelloAck, then sends\n"
    "each COMMAND as a request on channel 5 and prints its reply.\n"
    "\n"
    "Commands (letter case ignored):\n"
    "  GetVersion            the version, printed decoded\n"
    "  GetPort               the applied <Port> element\n"
    "  SetPort XML           e.g. "
    "'<KorvaneConfiguration><Port>14008</Port></KorvaneConfiguration>'\n"
    "  GetMagicWords         the catalogue of magic words\n"
    "  GetDatagramResult     the applied <Datagrams> element\n"
    "  SetDatagramResult XML a <KorvaneConfiguration> holding a <Datagrams> element\n"
    "  Code N [XML]          a request with any command code N (decimal or 0x-hex)\n"
    "XML is the argument text, or @FILE to read it from FILE.\n"
    "\n"
    "Options (a long one may be shortened while it stays unambiguous):\n"
    "  -t, --timeout=MS     time limit of each wait (for the connection, the Hello\n"
    "                       and each reply); default 5000\n"
    "  -p, --port=PORT      listen port; default 4006\n"
    "  -H, --host-hello=CHANNEL\n"
    "                       after the handshake, send the host's own Hello on CHANNEL\n"
    "  -k, --keep=MS        after the last reply keep the connection for MS ms,\n"
    "                       answering Hellos; -1 until Korvane disconnects or the\n"
    "                       tool is killed\n"
    "  -x, --hex            also print every reply payload in hexadecimal\n"
    "  -v, --verbose        log connections (monotonic time in ms) and frames on\n"
    "                       stderr\n"
    "  -h, --help           this help\n"
    "\n"
    "For each reply it prints '<command>: status <n> (<meaning>), reply code 0x<code>',\n"
    "then the decoded version or the XML text, if the reply carries data.\n"
    "Exit status: 0 every reply received, 1 failure, 2 usage, 3 time-out.\n";

struct tCommand {
    const char *name;
    uint16_t code;
    bool takesXml;
};
const tCommand kCommands[] = {
    {"GetVersion", 0, false},    {"GetPort", 1, false},           {"SetPort", 2, true},
    {"GetMagicWords", 3, false}, {"GetDatagramResult", 4, false}, {"SetDatagramResult", 5, true},
};

constexpr int kValue = required_argument, kFlag = no_argument;
const struct option kLongOptions[] = {
    {"timeout", kValue, nullptr, 't'},    {"port", kValue, nullptr, 'p'},
    {"host-hello", kValue, nullptr, 'H'}, {"keep", kValue, nullptr, 'k'},
    {"hex", kFlag, nullptr, 'x'},         {"verbose", kFlag, nullptr, 'v'},
    {"help", kFlag, nullptr, 'h'},        {nullptr, 0, nullptr, 0},
};

struct tRequest {
    std::string label;  // as printed with the reply
    uint16_t code;
    std::string argument;
};

struct tOptions {
    long timeoutMs = 5000, port = 4006, hostHelloChannel = -1, keepMs = 0;
    bool hex = false, verbose = false;
};

tOptions Options;

// The options with a number: its range and where it goes.
const struct {
    char letter;
    long minimum, maximum;
    long *value;
} kNumberOptions[] = {{'t', 1, 3600000, &Options.timeoutMs},
                      {'p', 1, 65535, &Options.port},
                      {'H', 0, 65535, &Options.hostHelloChannel},
                      {'k', -1, 86400000, &Options.keepMs}};

// A deadline that never comes.
const double kNoDeadline = -1;

double MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// One line on stderr: why the tool stops, returning its exit status `code`,
// or with `code` kLog a line of the log, with the monotonic time, and only
// with --verbose.
int Say(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
int Say(int code, const char *format, ...) {
    if (code == kLog && !Options.verbose) return code;
    va_list args;
    va_start(args, format);
    fputs("korvane-host: ", stderr);
    if (code == kLog) fprintf(stderr, "[%.3f ms] ", MonotonicMs());
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return code;
}

std::string Hex(const uint8_t *bytes, size_t length) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < length; i++)
        text.append(byte, snprintf(byte, sizeof(byte), i == 0 ? "%02X" : " %02X", bytes[i]));
    return text;
}

bool ParseNumber(const char *text, long minimum, long maximum, long *value) {
    char *end = nullptr;
    errno = 0;
    long parsed = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

// The XML argument: the text itself, or the content of the file after '@'.
bool ReadArgument(const char *text, std::string *argument) {
    *argument = text[0] == '@' ? "" : text;
    if (text[0] != '@') return true;
    FILE *file = fopen(text + 1, "rb");
    if (file == nullptr) return false;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        argument->append(buffer, got);
    bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

// One accepted connection from Korvane and the frames it sends; owns the
// socket. Used by the one thread of the tool.
class CLink {
public:
    explicit CLink(int fd) : fd_(fd) { FrameParserInit(&parser_); }
    ~CLink() {
        FrameParserReset(&parser_);
        close(fd_);
    }
    CLink(const CLink &) = delete;
    CLink &operator=(const CLink &) = delete;

    bool Send(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length) {
        std::vector<uint8_t> frame(length + kFrameOverhead);
        EncodeFrame(frame.data(), token, channel, payload, length);
        Say(kLog, "sent token %u channel %u: %s", token, channel, Hex(payload, length).c_str());
        size_t written = 0;
        while (written < frame.size()) {
            ssize_t sent = send(fd_, frame.data() + written, frame.size() - written, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            written += static_cast<size_t>(sent);
        }
        return true;
    }

    bool SendControl(uint32_t token, uint16_t channel, uint16_t code) {
        uint8_t payload[kControlHeaderSize];
        EncodeControlPayload(payload, code);
        return Send(token, channel, payload, sizeof(payload));
    }

    // The next frame, before the monotonic time `deadline` (or kNoDeadline).
    // 1 frame, 0 time-out, -1 the connection ended.
    int Next(double deadline, uint32_t *token, uint16_t *channel, std::vector<uint8_t> *payload) {
        for (;;) {
            if (used_ < received_) {
                bool complete = false;
                used_ += FrameParserFeed(&parser_, buffer_ + used_, received_ - used_, &complete);
                if (complete) {
                    *token = parser_.token;
                    *channel = parser_.channel;
                    payload->assign(parser_.payload, parser_.payload + parser_.length);
                    free(FrameTakePayload(&parser_));
                    Say(kLog, "received token %u channel %u: %s", *token, *channel,
                        Hex(payload->data(), payload->size()).c_str());
                    return 1;
                }
                continue;
            }
            int wait = -1;
            if (deadline != kNoDeadline) {
                double left = deadline - MonotonicMs();
                if (left <= 0) return 0;
                wait = static_cast<int>(left) + 1;
            }
            struct pollfd readable = {fd_, POLLIN, 0};
            int ready = poll(&readable, 1, wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return -1;
            if (ready == 0) continue;  // the deadline check above ends the wait
            ssize_t got = recv(fd_, buffer_, sizeof(buffer_), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return -1;
            received_ = static_cast<size_t>(got);
            used_ = 0;
        }
    }

private:
    int fd_;
    tFrameParser parser_;
    uint8_t buffer_[4096];
    size_t received_ = 0;
    size_t used_ = 0;
};

// Answers a Hello; true when the frame was one.
bool AnswerHello(CLink &link, uint32_t token, uint16_t channel,
                 const std::vector<uint8_t> &payload) {
    uint16_t code = 0;
    if (!IsControlPayload(payload.data(), static_cast<uint32_t>(payload.size()), &code) ||
        code != kControlHello) {
        return false;
    }
    Say(kLog, "Hello on channel %u: answering with a HelloAck", channel);
    link.SendControl(token, channel, kControlHelloAck);
    return true;
}

const char *StatusMeaning(uint8_t status) {
    if (status == 0 || status == 1) return status == 0 ? "ok" : "failed";
    return status == 0x80 ? "unknown command" : "unexpected status";
}

void PrintReply(const tRequest &request, const std::vector<uint8_t> &reply) {
    if (reply.size() < 3) {
        printf("%s: short reply: %s\n", request.label.c_str(),
               Hex(reply.data(), reply.size()).c_str());
        return;
    }
    printf("%s: status %u (%s), reply code 0x%04X\n", request.label.c_str(), reply[0],
           StatusMeaning(reply[0]), reply[1] | (reply[2] << 8));
    if (Options.hex) printf("payload: %s\n", Hex(reply.data(), reply.size()).c_str());
    const uint8_t *data = reply.data() + 3;
    size_t length = reply.size() - 3;
    if (length == 0) return;
    if (request.code == 0 && length >= 10) {
        std::string hash(reinterpret_cast<const char *>(data + 10), length - 10);
        if (!hash.empty() && hash.back() == '\0') hash.pop_back();
        printf("version %u.%u.%u%s%s\n", data[0] | (data[1] << 8), data[2] | (data[3] << 8),
               data[4] | (data[5] << 8), hash.empty() ? "" : "-", hash.c_str());
        return;
    }
    fwrite(data, 1, length, stdout);
    if (data[length - 1] != '\n') putchar('\n');
}

int ListenSocket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(Options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Accepts one connection within the time limit; -1 on time-out or error.
int AcceptKorvane(int listening) {
    struct pollfd pending = {listening, POLLIN, 0};
    int ready;
    do {
        ready = poll(&pending, 1, static_cast<int>(Options.timeoutMs));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return -1;
    struct sockaddr_in peer;
    socklen_t size = sizeof(peer);
    int fd = accept4(listening, reinterpret_cast<struct sockaddr *>(&peer), &size, SOCK_CLOEXEC);
    if (fd >= 0) Say(kLog, "accepted a connection from port %u", ntohs(peer.sin_port));
    return fd;
}

const tCommand *FindCommand(const char *name) {
    for (const tCommand &command : kCommands)
        if (strcasecmp(name, command.name) == 0) return &command;
    return nullptr;
}

// Reads the options and the requests: kRunRequests, or the exit status to
// stop with (the usage is still to be printed on kExitUsage).
int ParseCommandLine(int argc, char **argv, std::vector<tRequest> *requests) {
    int option;
    long value = 0;
    while ((option = getopt_long(argc, argv, "t:p:H:k:xvh", kLongOptions, nullptr)) != -1) {
        if (option == 'x' || option == 'v') {
            (option == 'x' ? Options.hex : Options.verbose) = true;
            continue;
        }
        if (option == 'h') {
            fputs(kUsage, stdout);
            return kExitOk;
        }
        const auto *number = std::begin(kNumberOptions);
        while (number != std::end(kNumberOptions) && number->letter != option)
            number++;
        if (number == std::end(kNumberOptions) ||
            !ParseNumber(optarg, number->minimum, number->maximum, number->value)) {
            return kExitUsage;
        }
    }
    for (int i = optind; i < argc; i++) {
        tRequest request;
        bool takesXml = false;
        const tCommand *known = FindCommand(argv[i]);
        if (known != nullptr) {
            request = {known->name, known->code, ""};
            takesXml = known->takesXml;
        } else if (strcasecmp(argv[i], "Code") == 0 && i + 1 < argc &&
                   ParseNumber(argv[i + 1], 0, 65535, &value)) {
            i++;
            char label[16];
            snprintf(label, sizeof(label), "Code 0x%04lX", value);
            request = {label, static_cast<uint16_t>(value), ""};
            // An argument is optional; it is anything that names no command.
            takesXml = i + 1 < argc && strcasecmp(argv[i + 1], "Code") != 0 &&
                       FindCommand(argv[i + 1]) == nullptr;
        } else {
            return Say(kExitUsage, "unknown command '%s'", argv[i]);
        }
        if (takesXml) {
            if (i + 1 >= argc) return Say(kExitUsage, "%s needs an XML argument", argv[i]);
            if (!ReadArgument(argv[++i], &request.argument)) {
                return Say(kExitFailed, "cannot read '%s'", argv[i] + 1);
            }
        }
        requests->push_back(request);
    }
    return kRunRequests;
}

// What Await waits for, besides a data frame's token.
const long long kAwaitHello = -1, kAwaitNothing = -2;

// Answers Hellos and skips other frames until the data frame with the token
// `awaited` (into *payload) or, for kAwaitHello, a Hello (the time limit anew at
// each frame): 1 it came, 0 time-out at `deadline`, -1 the connection ended.
int Await(CLink &link, double deadline, long long awaited, std::vector<uint8_t> *payload) {
    uint32_t token = 0;
    uint16_t channel = 0, code = 0;
    for (;;) {
        if (awaited == kAwaitHello) deadline = MonotonicMs() + Options.timeoutMs;
        int got = link.Next(deadline, &token, &channel, payload);
        if (got <= 0) return got;
        if (AnswerHello(link, token, channel, *payload)) {
            if (awaited == kAwaitHello) return 1;
        } else if (token == awaited &&
                   !IsControlPayload(payload->data(), static_cast<uint32_t>(payload->size()),
                                     &code)) {
            return 1;
        }
    }
}

int Run(const std::vector<tRequest> &requests) {
    int listening = ListenSocket();
    if (listening < 0) {
        return Say(kExitFailed, "cannot listen on 127.0.0.1:%ld: %s", Options.port,
                   strerror(errno));
    }
    Say(kLog, "listening on 127.0.0.1:%ld", Options.port);
    int fd = AcceptKorvane(listening);
    close(listening);
    if (fd < 0) {
        return Say(kExitTimeout, "timed out after %ld ms: Korvane did not connect to 127.0.0.1:%ld",
                   Options.timeoutMs, Options.port);
    }
    CLink link(fd);

    // Korvane announces itself first.
    std::vector<uint8_t> payload;
    int got = Await(link, 0, kAwaitHello, &payload);
    if (got == 0) {
        return Say(kExitTimeout, "timed out after %ld ms waiting for Korvane's Hello",
                   Options.timeoutMs);
    }
    if (got < 0) return Say(kExitFailed, "Korvane closed the connection before its Hello");
    if (Options.hostHelloChannel >= 0)
        link.SendControl(0xFFFFFFFF, static_cast<uint16_t>(Options.hostHelloChannel),
                         kControlHello);

    uint32_t requestToken = 0;
    for (const tRequest &request : requests) {
        std::vector<uint8_t> message{static_cast<uint8_t>(request.code),
                                     static_cast<uint8_t>(request.code >> 8)};
        message.insert(message.end(), request.argument.begin(), request.argument.end());
        if (!link.Send(++requestToken, kRequestChannel, message.data(),
                       static_cast<uint32_t>(message.size()))) {
            return Say(kExitFailed, "%s: the request could not be sent", request.label.c_str());
        }
        // The reply carries the request's token.
        got = Await(link, MonotonicMs() + Options.timeoutMs, requestToken, &payload);
        if (got == 0) {
            return Say(kExitTimeout, "%s: timed out after %ld ms waiting for the reply",
                       request.label.c_str(), Options.timeoutMs);
        }
        if (got < 0) {
            return Say(kExitFailed, "%s: Korvane closed the connection before replying",
                       request.label.c_str());
        }
        PrintReply(request, payload);
        fflush(stdout);
    }
    // After the last reply the connection is kept -k ms (-1: for good).
    if (Options.keepMs != 0 &&
        Await(link, Options.keepMs >= 0 ? MonotonicMs() + Options.keepMs : kNoDeadline,
              kAwaitNothing, &payload) < 0) {
        Say(kLog, "Korvane closed the connection");
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<tRequest> requests;
    int parsed = ParseCommandLine(argc, argv, &requests);
    if (parsed == kExitUsage) fputs(kUsage, stderr);
    return parsed == kRunRequests ? Run(requests) : parsed;
}
