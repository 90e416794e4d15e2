// Signal handling: the async-signal-safe handlers and the thread "Signals"
// that acts on what they note.
#include "core/signals.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "config/watcher.h"
#include "core/log.h"
#include "core/threads.h"

tFlag ShutdownFlag{0};

// One caught signal as the handlers write it into the pipe. Writes of this
// size to a pipe are atomic, so notes from concurrent handlers never mix.
struct tSignalNote {
    int32_t signal;
    int32_t senderPid;  // 0 when unknown (SIGINT and SIGTERM); the timer id for SIGRTMIN
};
static_assert(sizeof(tSignalNote) <= PIPE_BUF, "signal notes must be written atomically");

// Read end and write end; never closed, so a late signal can never write into
// a descriptor that was reused for something else.
static int SignalPipe[2] = {-1, -1};
static pthread_t SignalThread;
static bool SignalThreadStarted = false;
static std::atomic<bool> SignalThreadStop{false};
// The note StopSignalThread writes to wake the thread at once rather than at
// its next 100 ms poll; no signal has the number 0.
static constexpr int32_t kStopNote = 0;

static void NoteSignal(int signal, pid_t senderPid) {
    int savedErrno = errno;
    tSignalNote note{signal, static_cast<int32_t>(senderPid)};
    ssize_t written = write(SignalPipe[1], &note, sizeof(note));
    // Without the note (pipe full) a termination request must still end the
    // process: set the flag here, which is safe in signal context.
    if (written != static_cast<ssize_t>(sizeof(note)) && (signal == SIGINT || signal == SIGTERM)) {
        FlagSet(ShutdownFlag, 1);
    }
    errno = savedErrno;
}

void NoteTimerExpiry(int32_t timerId) {
    NoteSignal(SIGRTMIN, timerId);
}

void SignalHandler(int signal) {
    NoteSignal(signal, 0);
}

void VerboseSignalHandler(int signal, siginfo_t *info, void *) {
    NoteSignal(signal, info != nullptr ? info->si_pid : 0);
}

FILE *RedirectStdout(pid_t pid) {
    char path[32];
    if (pid == 0) {
        snprintf(path, sizeof(path), "/dev/null");
    } else {
        snprintf(path, sizeof(path), "/proc/%i/fd/1", static_cast<int>(pid));
    }
    fflush(stdout);
    // The target is opened before standard output is given up: when it
    // cannot be opened (the sender's output is a socket, or the sender has
    // gone), the log stays where it was instead of going nowhere. Appending
    // keeps what the sender's file already holds.
    int target = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (target < 0) return nullptr;
    int moved = dup2(target, STDOUT_FILENO);
    close(target);
    return moved < 0 ? nullptr : stdout;
}

static void HandleSignalNote(const tSignalNote &note) {
    // SIGRTMIN is no constant, so it cannot be a case below.
    if (note.signal == SIGRTMIN) {
        HandleConfigTimerExpiry(note.senderPid);
        return;
    }
    switch (note.signal) {
        case SIGUSR1:
            if (note.senderPid > 0) RedirectStdout(note.senderPid);
            LogPrintfAlways("VerboseSignalHandler",
                            "Signal catched (%i): Verbose mode on from PID %i\n", note.signal,
                            note.senderPid);
            FlagSet(Verbose, 1);
            break;
        case SIGUSR2:
            if (note.senderPid > 0) RedirectStdout(note.senderPid);
            LogPrintfAlways("VerboseSignalHandler",
                            "Signal catched (%i): Verbose mode off from PID %i\n", note.signal,
                            note.senderPid);
            RedirectStdout(0);
            FlagSet(Verbose, 0);
            break;
        default:
            LogPrintf("SignalHandler", "Signal catched (%i): Shutting down application\n",
                      note.signal);
            FlagSet(ShutdownFlag, 1);
            break;
    }
}

// Drains the pipe; false when nothing more can be read right now.
static bool ReadSignalNotes() {
    tSignalNote notes[16];
    ssize_t got = read(SignalPipe[0], notes, sizeof(notes));
    if (got <= 0) return false;
    for (size_t i = 0; i < static_cast<size_t>(got) / sizeof(tSignalNote); i++) {
        if (notes[i].signal != kStopNote) HandleSignalNote(notes[i]);
    }
    return true;
}

static void *SignalLoop(void *) {
    while (!SignalThreadStop.load(std::memory_order_relaxed)) {
        struct pollfd readable = {SignalPipe[0], POLLIN, 0};
        if (poll(&readable, 1, 100) > 0) {
            while (ReadSignalNotes()) {
            }
        }
    }
    // Signals that arrived before the stop are still acted upon.
    while (ReadSignalNotes()) {
    }
    return nullptr;
}

int InstallSignalHandlers() {
    if (SignalPipe[0] == -1 && pipe2(SignalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return -1;

    pthread_attr_t attr;
    if (InitThreadAttributes(&attr) != 0) return -1;
    SignalThreadStop.store(false, std::memory_order_relaxed);
    int created = pthread_create(&SignalThread, &attr, SignalLoop, nullptr);
    pthread_attr_destroy(&attr);
    if (created != 0) return -1;
    SignalThreadStarted = true;
    pthread_setname_np(SignalThread, "Signals");

    signal(SIGINT, SignalHandler);
    signal(SIGTERM, SignalHandler);
    // The log may go to a pipe whose reader goes away (the sender of
    // SIGUSR1, or `korvane -v | head`): the write then fails with EPIPE
    // instead of killing the daemon. Sockets are written with MSG_NOSIGNAL
    // anyway.
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action = {};
    action.sa_sigaction = VerboseSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);
    return 0;
}

void StopSignalThread() {
    if (!SignalThreadStarted) return;
    SignalThreadStop.store(true, std::memory_order_relaxed);
    NoteSignal(kStopNote, 0);
    pthread_join(SignalThread, nullptr);
    SignalThreadStarted = false;
}
