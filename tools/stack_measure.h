// Stack measurement for Korvane's small-stack threads.
//
// MeasureStack runs a function on a thread whose stack is a mapping of our
// own, painted with a known byte beforehand, and returns how far down from
// the top the paint was disturbed: the high-water mark. The glibc thread
// descriptor and static TLS sit at the top of such a stack just as they do on
// a stack glibc allocates for a given stack size, so the mark counts them too
// and compares directly with the stack size attribute.
//
// The second half is the workload: the library and system calls Korvane's
// worker threads and its IPC thread make, grouped into operations that run
// against files and sockets prepared beforehand. tools/stackprobe and the
// thread stack test both use it, so the tool's table and the test measure the
// same thing.
#ifndef KORVANE_TOOLS_STACK_MEASURE_H
#define KORVANE_TOOLS_STACK_MEASURE_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <libxml/xmlstring.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace stackmeasure {

// ---------------------------------------------------------------------------
// Measuring

struct Measurement {
    int error = 0;         // 0, else the errno value of the mmap or pthread call that failed
    size_t stackSize = 0;  // bytes handed to the thread
    size_t highWater = 0;  // bytes from the top of the stack down to the deepest one touched
    bool Overflowed() const { return highWater > stackSize; }
};

inline size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

inline size_t RoundUp(size_t value, size_t unit) {
    return (value + unit - 1) / unit * unit;
}

namespace internal {

struct Call {
    void (*function)(void *);
    void *argument;
};

inline void *RunCall(void *call) {
    static_cast<Call *>(call)->function(static_cast<Call *>(call)->argument);
    return nullptr;
}

// The sanitizers must not look at these accesses: the memory belongs to a
// thread that has ended, and AddressSanitizer may still keep redzone marks
// for its frames.
__attribute__((no_sanitize("address", "thread"))) inline void Paint(unsigned char *begin,
                                                                    size_t length,
                                                                    unsigned char paint) {
    volatile unsigned char *bytes = begin;
    for (size_t i = 0; i < length; i++)
        bytes[i] = paint;
}

__attribute__((no_sanitize("address", "thread"))) inline size_t UntouchedPrefix(
    const unsigned char *begin, size_t length, unsigned char paint) {
    const volatile unsigned char *bytes = begin;
    size_t i = 0;
    while (i < length && bytes[i] == paint)
        i++;
    return i;
}

}  // namespace internal

// Runs function(argument) on a new thread with a painted stack of exactly
// `stackSize` bytes (pthread_attr_setstack). An inaccessible page lies below
// the mapping, so running past it crashes instead of corrupting the heap.
// Bytes left over below the stack when `stackSize` is no multiple of the page
// size are painted too: use that reaches them shows as Overflowed().
inline Measurement MeasureStack(size_t stackSize, void (*function)(void *), void *argument,
                                unsigned char paint = 0xA5) {
    Measurement result;
    result.stackSize = stackSize;
    const size_t page = PageSize();
    const size_t usable = RoundUp(stackSize, page);
    const size_t mapped = usable + page;
    void *mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) {
        result.error = errno;
        return result;
    }
    unsigned char *base = static_cast<unsigned char *>(mapping);
    if (mprotect(base, page, PROT_NONE) != 0) {
        result.error = errno;
        munmap(mapping, mapped);
        return result;
    }
    unsigned char *low = base + page;
    unsigned char *top = base + mapped;
    internal::Paint(low, usable, paint);

    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        error = pthread_attr_setstack(&attr, top - stackSize, stackSize);
        internal::Call call{function, argument};
        pthread_t thread;
        if (error == 0) error = pthread_create(&thread, &attr, internal::RunCall, &call);
        if (error == 0) error = pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (error == 0) {
        result.highWater = usable - internal::UntouchedPrefix(low, usable, paint);
    } else {
        result.error = error;
    }
    munmap(mapping, mapped);
    return result;
}

// Runs function(argument) on a new thread created with `attr` and waits for
// it. 0, else the error of pthread_create or pthread_join.
inline int RunOnThread(const pthread_attr_t *attr, void (*function)(void *), void *argument) {
    internal::Call call{function, argument};
    pthread_t thread;
    int error = pthread_create(&thread, attr, internal::RunCall, &call);
    if (error == 0) error = pthread_join(thread, nullptr);
    return error;
}

// As RunOnThread, on a stack glibc allocates for the stack size attribute
// `stackSize` (with its usual guard page).
inline int RunWithStackSize(size_t stackSize, void (*function)(void *), void *argument) {
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error != 0) return error;
    error = pthread_attr_setstacksize(&attr, stackSize);
    if (error == 0) error = RunOnThread(&attr, function, argument);
    pthread_attr_destroy(&attr);
    return error;
}

// ---------------------------------------------------------------------------
// The workload

// Files and sockets the operations use; made by Prepare on the calling thread,
// removed by the destructor.
class Workload {
public:
    Workload() = default;
    Workload(const Workload &) = delete;
    Workload &operator=(const Workload &) = delete;
    ~Workload() { Remove(); }

    // Creates a fresh directory under $TMPDIR (or /tmp) with the files and a
    // listening TCP socket on 127.0.0.1. False with `why` set when that fails.
    bool Prepare(std::string *why);
    void Remove();

    std::string dir;
    std::string config;           // the regular configuration
    std::string truncated;        // the configuration cut off in the middle of an element
    std::string garbage;          // 64 KiB of pseudo-random bytes
    std::string large;            // a configuration of about 1 MiB
    std::string deep200;          // elements nested 200 levels deep
    std::string deep1000;         // ... and 1000 levels deep
    std::string foreignEncoding;  // declares windows-1252, which libxml2 does not handle itself
    std::string saved;            // target of xmlSaveFormatFileEnc
    std::string link;             // symbolic link to the configuration
    std::string scratch;          // written and reopened by the stdio operations
    std::string missing;          // a path that does not exist
    int listener = -1;
    uint16_t port = 0;
};

// Options of Korvane's configuration reads and of its IPC message parsing.
constexpr int kConfigReadOptions =
    XML_PARSE_RECOVER | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;
constexpr int kMessageReadOptions = XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;

struct Operation {
    const char *name;
    const char *description;
    void (*run)(const Workload &);
    // True for what Korvane's threads do; false for the comparisons the tool
    // also shows (calls to avoid on these threads).
    bool korvane;
};

namespace internal {

inline bool WriteWholeFile(const std::string &path, const std::string &content) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = fwrite(content.data(), 1, content.size(), file) == content.size();
    return fclose(file) == 0 && ok;
}

inline std::string ConfigText(const char *declaredEncoding, size_t extraDatagrams) {
    std::string text = "<?xml version=\"1.0\" encoding=\"";
    text += declaredEncoding;
    text +=
        "\"?>\n"
        "<KorvaneConfiguration>\n"
        "  <Datagrams>\n"
        "    <Coming On=\"true\">{EPC}{CR}{LF}</Coming>\n"
        "    <Going On=\"true\">{EPC};gone{CR}{LF}</Going>\n"
        "    <Start On=\"true\">start{CR}{LF}</Start>\n"
        "    <Heartbeat On=\"true\">{MemoryBank=3,Pointer=0,Length=8}{CR}{LF}</Heartbeat>\n"
        "    <Stop On=\"true\">stop &amp; {EPC}{CR}{LF}</Stop>\n";
    for (size_t i = 0; i < extraDatagrams; i++) {
        text += "    <Coming On=\"true\" Index=\"" + std::to_string(i) +
                "\">{EPC}{TAB}{MemoryBank=3,Pointer=0,Length=8}{CR}{LF}</Coming>\n";
    }
    text +=
        "  </Datagrams>\n"
        "  <Port>4006</Port>\n"
        "  <KeyboardEmulation On=\"true\"/>\n"
        "</KorvaneConfiguration>\n";
    return text;
}

inline std::string NestedText(int depth) {
    std::string text = "<?xml version=\"1.0\"?>\n<KorvaneConfiguration>";
    for (int i = 1; i < depth; i++)
        text += "<Datagrams On=\"true\">";
    text += "{EPC}";
    for (int i = 1; i < depth; i++)
        text += "</Datagrams>";
    text += "</KorvaneConfiguration>\n";
    return text;
}

inline std::string GarbageBytes(size_t length) {
    std::string bytes(length, '\0');
    uint32_t state = 0x12345678u;
    for (size_t i = 0; i < length; i++) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    // Markup characters now and then, so the parser gets past its first byte.
    for (size_t i = 0; i + 2 < length; i += 97) {
        bytes[i] = '<';
        bytes[i + 1] = (i % 3 == 0) ? '&' : 'A';
    }
    return bytes;
}

// Walks the configuration as Korvane applies it: names compared ignoring case,
// attributes and contents read and freed.
inline void WalkConfiguration(xmlDocPtr doc) {
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (root == nullptr) return;
    xmlStrcasecmp(root->name, BAD_CAST "korvaneconfiguration");
    for (xmlNodePtr section = root->children; section != nullptr; section = section->next) {
        if (section->type != XML_ELEMENT_NODE) continue;
        if (xmlStrcasecmp(section->name, BAD_CAST "Datagrams") != 0) continue;
        for (xmlNodePtr item = section->children; item != nullptr; item = item->next) {
            if (item->type != XML_ELEMENT_NODE) continue;
            xmlChar *on = xmlGetProp(item, BAD_CAST "On");
            if (on != nullptr && xmlStrcasecmp(on, BAD_CAST "TRUE") == 0) {
                xmlChar *text = xmlNodeGetContent(item);
                xmlFree(text);
            }
            xmlFree(on);
        }
    }
}

inline void ReadConfiguration(const std::string &path) {
    xmlDocPtr doc = xmlReadFile(path.c_str(), "utf-8", kConfigReadOptions);
    if (doc == nullptr) return;
    WalkConfiguration(doc);
    xmlFreeDoc(doc);
}

// Serializes a node with xmlSaveToBuffer and xmlSaveTree, as replies are.
inline void SaveToBuffer(xmlNodePtr node) {
    xmlBufferPtr buffer = xmlBufferCreate();
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, "utf-8", XML_SAVE_FORMAT | XML_SAVE_NO_DECL);
    if (save != nullptr) {
        xmlSaveTree(save, node);
        xmlSaveClose(save);
    }
    xmlBufferFree(buffer);
}

// Copies the whole tree under the root into a new document and serializes the
// copy: the deepest recursion the tree operations have.
inline void CopyAndSaveTree(const std::string &path) {
    xmlDocPtr doc = xmlReadFile(path.c_str(), "utf-8", kConfigReadOptions);
    if (doc == nullptr) return;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (root != nullptr) {
        xmlBufferPtr dump = xmlBufferCreate();
        xmlNodeDump(dump, doc, root, 0, 1);
        xmlBufferFree(dump);
        xmlDocPtr reply = xmlNewDoc(BAD_CAST "1.0");
        xmlNodePtr copy = xmlCopyNode(root, 1);
        if (copy != nullptr) {
            xmlDocSetRootElement(reply, copy);
            SaveToBuffer(copy);
        }
        xmlFreeDoc(reply);
    }
    xmlFreeDoc(doc);
}

// The frame the IPC thread's receive loop keeps: its receive buffer and the
// two descriptor sets for pselect, all written.
template <typename Inner>
__attribute__((noinline)) void InIpcFrame(Inner inner) {
    char receiveBuffer[4096];
    fd_set readSet;
    fd_set errorSet;
    memset(receiveBuffer, 0x3C, sizeof(receiveBuffer));
    FD_ZERO(&readSet);
    FD_ZERO(&errorSet);
    asm volatile("" : : "r"(receiveBuffer), "r"(&readSet), "r"(&errorSet) : "memory");
    inner();
    asm volatile("" : : "r"(receiveBuffer), "r"(&readSet), "r"(&errorSet) : "memory");
}

inline void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
// One log line as Korvane writes it: prefix with printf, the rest with
// vprintf, flushed under the stream lock.
inline void LogLine(const char *format, ...) {
    va_list args;
    va_start(args, format);
    flockfile(stdout);
    printf("%s: %s(): ", "Korvane", "SendToClients");
    vprintf(format, args);
    fflush(stdout);
    funlockfile(stdout);
    va_end(args);
}

inline void WriteLogLines() {
    for (unsigned i = 0; i < 4; i++) {
        LogLine("%s: %s(): Send text (%u Bytes) to %lu TCP clients\n", "Korvane", "Send", 17u + i,
                static_cast<unsigned long>(i));
        LogLine("Error %i (%s), value %.3f, pointer %p\n", ENOENT, strerror(ENOENT), 2.5 * i,
                static_cast<void *>(&i));
    }
}

// Points standard output at `fd` while the log lines are written.
inline void LogLinesTo(int fd) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved < 0) return;
    if (dup2(fd, STDOUT_FILENO) >= 0) {
        WriteLogLines();
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
    }
    close(saved);
}

inline volatile sig_atomic_t SignalsSeen = 0;
inline void NoteSignal(int) {
    SignalsSeen = SignalsSeen + 1;
}

}  // namespace internal

inline bool Workload::Prepare(std::string *why) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/korvane-stack-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        *why = "mkdtemp: " + std::string(strerror(errno));
        return false;
    }
    dir = pattern;
    config = dir + "/korvane.config.xml";
    truncated = dir + "/truncated.xml";
    garbage = dir + "/garbage.xml";
    large = dir + "/large.xml";
    deep200 = dir + "/deep200.xml";
    deep1000 = dir + "/deep1000.xml";
    foreignEncoding = dir + "/cp1252.xml";
    saved = dir + "/saved.xml";
    link = dir + "/link.xml";
    scratch = dir + "/scratch.txt";
    missing = dir + "/missing.xml";

    std::string regular = internal::ConfigText("utf-8", 0);
    std::string big = internal::ConfigText("utf-8", 13000);
    std::string foreign = internal::ConfigText("windows-1252", 0);
    foreign.insert(foreign.find("start"), "\xE4\x80\x9F ");
    if (!internal::WriteWholeFile(config, regular) ||
        !internal::WriteWholeFile(truncated, regular.substr(0, regular.size() / 2 + 7)) ||
        !internal::WriteWholeFile(garbage, internal::GarbageBytes(64 * 1024)) ||
        !internal::WriteWholeFile(large, big) ||
        !internal::WriteWholeFile(deep200, internal::NestedText(200)) ||
        !internal::WriteWholeFile(deep1000, internal::NestedText(1000)) ||
        !internal::WriteWholeFile(foreignEncoding, foreign) ||
        !internal::WriteWholeFile(scratch, "4006\n")) {
        *why = "writing the files: " + std::string(strerror(errno));
        return false;
    }
    if (symlink(config.c_str(), link.c_str()) != 0) {
        *why = "symlink: " + std::string(strerror(errno));
        return false;
    }

    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *why = "listening socket: " + std::string(strerror(errno));
        return false;
    }
    port = ntohs(address.sin_port);
    return true;
}

inline void Workload::Remove() {
    if (listener >= 0) close(listener);
    listener = -1;
    if (dir.empty()) return;
    for (const std::string *path : {&config, &truncated, &garbage, &large, &deep200, &deep1000,
                                    &foreignEncoding, &saved, &link, &scratch}) {
        unlink(path->c_str());
    }
    rmdir(dir.c_str());
    dir.clear();
}

// --- The operations ---------------------------------------------------------

inline void OpNothing(const Workload &) {}

inline void OpReadConfig(const Workload &w) {
    internal::ReadConfiguration(w.config);
}

inline void OpReadBroken(const Workload &w) {
    internal::ReadConfiguration(w.truncated);
    internal::ReadConfiguration(w.garbage);
    internal::ReadConfiguration(w.missing);
}

inline void OpReadLarge(const Workload &w) {
    internal::ReadConfiguration(w.large);
}

inline void OpReadDeep200(const Workload &w) {
    internal::ReadConfiguration(w.deep200);
}

inline void OpReadDeep1000(const Workload &w) {
    internal::ReadConfiguration(w.deep1000);
}

inline void OpReadForeignEncoding(const Workload &w) {
    internal::ReadConfiguration(w.foreignEncoding);
}

// Dump a node into an xmlBuffer, parse the text back as IPC messages are
// parsed, and save the configuration to a file.
inline void OpDumpAndSave(const Workload &w) {
    xmlDocPtr doc = xmlReadFile(w.config.c_str(), "utf-8", kConfigReadOptions);
    if (doc == nullptr) return;
    xmlBufferPtr buffer = xmlBufferCreate();
    xmlNodeDump(buffer, doc, xmlDocGetRootElement(doc), 0, 1);
    xmlDocPtr again = xmlReadMemory(reinterpret_cast<const char *>(xmlBufferContent(buffer)),
                                    xmlBufferLength(buffer), nullptr, "utf-8", kMessageReadOptions);
    internal::WalkConfiguration(again);
    xmlFreeDoc(again);
    xmlBufferFree(buffer);
    xmlSaveFormatFileEnc(w.saved.c_str(), doc, "utf-8", 1);
    xmlFreeDoc(doc);
}

// A reply document built node by node with a copy of the configuration's
// datagrams, serialized into a buffer.
inline void OpBuildReply(const Workload &w) {
    xmlDocPtr config = xmlReadFile(w.config.c_str(), "utf-8", kConfigReadOptions);
    xmlDocPtr reply = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr root = xmlNewDocNode(reply, nullptr, BAD_CAST "KorvaneReply", nullptr);
    xmlDocSetRootElement(reply, root);
    xmlNodePtr status = xmlNewChild(root, nullptr, BAD_CAST "Status", BAD_CAST "0");
    xmlNewProp(status, BAD_CAST "Text", BAD_CAST "Success");
    xmlNodePtr port = xmlNewChild(root, nullptr, BAD_CAST "Port", BAD_CAST "4006");
    xmlNewProp(port, BAD_CAST "On", BAD_CAST "true");
    if (config != nullptr) {
        xmlNodePtr configRoot = xmlDocGetRootElement(config);
        if (configRoot != nullptr) xmlAddChild(root, xmlCopyNode(configRoot, 1));
    }
    internal::SaveToBuffer(root);
    xmlFreeDoc(reply);
    xmlFreeDoc(config);
}

inline void OpCopyDeep200(const Workload &w) {
    internal::CopyAndSaveTree(w.deep200);
}

inline void OpCopyDeep1000(const Workload &w) {
    internal::CopyAndSaveTree(w.deep1000);
}

// The IPC link: resolve, connect, exchange bytes and wait with pselect.
inline void OpNetwork(const Workload &w) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo("127.0.0.1", "4006", &hints, &found) == 0) freeaddrinfo(found);

    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
    mapped.sin6_port = htons(4006);
    char host[NI_MAXHOST];
    getnameinfo(reinterpret_cast<sockaddr *>(&mapped), sizeof(mapped), host, sizeof(host), nullptr,
                0, NI_NUMERICHOST);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(w.port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (client >= 0 && connect(client, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0) {
        int server = accept(w.listener, nullptr, nullptr);
        if (server >= 0) {
            static const char kHello[] = "<Hello/>";
            send(client, kHello, sizeof(kHello), MSG_NOSIGNAL);
            send(server, kHello, sizeof(kHello), MSG_NOSIGNAL);
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(client, &readable);
            timespec timeout{1, 0};
            sigset_t mask;
            sigemptyset(&mask);
            char received[64];
            if (pselect(client + 1, &readable, nullptr, nullptr, &timeout, &mask) > 0) {
                recv(client, received, sizeof(received), 0);
            }
            recv(server, received, sizeof(received), MSG_DONTWAIT);
            close(server);
        }
    }
    if (client >= 0) close(client);
}

// Log lines on standard output while it is a pipe and while it is a file, and
// the small formatting calls.
inline void OpStdio(const Workload &w) {
    int pipeFds[2];
    if (pipe(pipeFds) == 0) {
        internal::LogLinesTo(pipeFds[1]);
        char drained[4096];
        fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
        while (read(pipeFds[0], drained, sizeof(drained)) > 0) {
        }
        close(pipeFds[0]);
        close(pipeFds[1]);
    }
    int file = open(w.scratch.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (file >= 0) {
        internal::LogLinesTo(file);
        close(file);
    }
    unsigned short port = 0;
    sscanf("4006", "%hu", &port);
    char text[128];
    snprintf(text, sizeof(text), "%s:%hu %s", "127.0.0.1", port, strerror(ECONNREFUSED));
    strerror(EINVAL);
}

// The configuration watcher's loop: its two buffers, inotify, lstat, readlink.
__attribute__((noinline)) inline void OpWatcher(const Workload &w) {
    char linkTarget[256];
    char events[320];
    memset(linkTarget, 0, sizeof(linkTarget));
    memset(events, 0, sizeof(events));
    int notify = inotify_init();
    if (notify >= 0) {
        fcntl(notify, F_SETFL, O_NONBLOCK);
        inotify_add_watch(notify, w.dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE);
        int touched = open(w.scratch.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (touched >= 0) close(touched);
        ssize_t got = read(notify, events, sizeof(events));
        asm volatile("" : : "r"(got) : "memory");
        close(notify);
    }
    struct stat status;
    if (lstat(w.link.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        ssize_t length = readlink(w.link.c_str(), linkTarget, sizeof(linkTarget) - 1);
        if (length > 0) linkTarget[length] = '\0';
    }
    asm volatile("" : : "r"(linkTarget), "r"(events) : "memory");
}

// The debounce timer and signal set-up: sigaction, timer_create with a
// signal, timer_settime armed and disarmed.
inline void OpTimer(const Workload &) {
    struct sigaction action {};
    action.sa_handler = internal::NoteSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGALRM, &action, &previous);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
        itimerspec arm{};
        arm.it_value.tv_sec = 2;
        timer_settime(timer, 0, &arm, nullptr);
        itimerspec disarm{};
        timer_settime(timer, 0, &disarm, nullptr);
        timer_delete(timer);
    }
    sigaction(SIGALRM, &previous, nullptr);
}

// A signal handled on this thread: the kernel's signal frame lands on the
// thread's stack wherever it is.
inline void OpSignal(const Workload &) {
    struct sigaction action {};
    action.sa_handler = internal::NoteSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    sigaction(SIGURG, &action, &previous);
    pthread_kill(pthread_self(), SIGURG);
    sigaction(SIGURG, &previous, nullptr);
}

inline void OpFiles(const Workload &w) {
    FILE *file = fopen(w.scratch.c_str(), "r");
    if (file == nullptr) return;
    char line[64] = "";
    if (fgets(line, sizeof(line), file) == nullptr) line[0] = '\0';
    file = freopen(w.saved.c_str(), "w", file);
    if (file != nullptr) {
        fputs(line, file);
        fclose(file);
    }
}

inline void OpPopen(const Workload &) {
    FILE *pipe = popen("echo reader-type 2>/dev/null", "r");
    if (pipe == nullptr) return;
    char line[128];
    while (fgets(line, sizeof(line), pipe) != nullptr) {
    }
    pclose(pipe);
}

// Comparison: a formatted write to an unbuffered stream (as stderr is) goes
// through a stack buffer of BUFSIZ bytes inside glibc.
inline void OpUnbufferedStream(const Workload &) {
    FILE *sink = fopen("/dev/null", "w");
    if (sink == nullptr) return;
    setvbuf(sink, nullptr, _IONBF, 0);
    fprintf(sink, "%s: %s(): Send text (%u Bytes) to %lu TCP clients\n", "Korvane", "Send", 17u,
            3ul);
    fclose(sink);
}

// Comparison: getnameinfo asked for a service name goes through NSS.
inline void OpServiceName(const Workload &) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4006);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    getnameinfo(reinterpret_cast<sockaddr *>(&address), sizeof(address), host, sizeof(host),
                service, sizeof(service), NI_NUMERICHOST);
}

inline const Operation kOperations[] = {
    {"nothing", "thread start and exit only", OpNothing, true},
    {"xml-read-config", "xmlReadFile of the configuration, walked", OpReadConfig, true},
    {"xml-read-broken", "xmlReadFile of truncated, garbage, missing files", OpReadBroken, true},
    {"xml-read-1mib", "xmlReadFile of a 1 MiB configuration", OpReadLarge, true},
    {"xml-read-deep200", "xmlReadFile, 200 nested levels", OpReadDeep200, true},
    {"xml-read-deep1000", "xmlReadFile, 1000 nested levels", OpReadDeep1000, true},
    {"xml-read-cp1252", "xmlReadFile, file declares windows-1252", OpReadForeignEncoding, true},
    {"xml-dump-save", "xmlNodeDump, xmlReadMemory, xmlSaveFormatFileEnc", OpDumpAndSave, true},
    {"xml-build-reply", "xmlNewChild/Prop, xmlCopyNode, xmlSaveTree", OpBuildReply, true},
    {"xml-copy-deep200", "xmlCopyNode + save of 200 nested levels", OpCopyDeep200, true},
    {"xml-copy-deep1000", "xmlCopyNode + save of the 1000-level file", OpCopyDeep1000, true},
    {"network", "getaddrinfo, getnameinfo, connect/send/recv/pselect", OpNetwork, true},
    {"stdio", "printf/vprintf to pipe and file, sscanf, snprintf", OpStdio, true},
    {"watcher", "inotify, read, lstat, readlink, 576 B of buffers", OpWatcher, true},
    {"timer", "sigaction, timer_create, timer_settime", OpTimer, true},
    {"signal", "a signal handled on the thread", OpSignal, true},
    {"files", "fopen, fgets, freopen", OpFiles, true},
    {"popen", "popen, fgets, pclose", OpPopen, true},
    {"unbuffered-fprintf", "(avoid) fprintf to an unbuffered stream", OpUnbufferedStream, false},
    {"getnameinfo-service", "(avoid) getnameinfo with a service name", OpServiceName, false},
};

inline const Operation *FindOperation(const char *name) {
    for (const Operation &operation : kOperations) {
        if (strcmp(operation.name, name) == 0) return &operation;
    }
    return nullptr;
}

// Every operation Korvane does, each inside the IPC thread's frame: no thread
// of Korvane's needs more than this.
inline void RunKorvaneMix(const Workload &w) {
    for (const Operation &operation : kOperations) {
        if (!operation.korvane) continue;
        internal::InIpcFrame([&] { operation.run(w); });
    }
}

// Adapters for MeasureStack and RunOnThread, whose argument is the Workload.
inline void RunKorvaneMixOn(void *workload) {
    RunKorvaneMix(*static_cast<const Workload *>(workload));
}

}  // namespace stackmeasure

#endif  // KORVANE_TOOLS_STACK_MEASURE_H
