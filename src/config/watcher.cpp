// Configuration file watcher.
#include "config/watcher.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "config/config.h"
#include "core/log.h"
#include "core/signals.h"
#include "sync/event.h"

std::atomic<int32_t> ConfigTimer{-1};
tFlag IgnoreConfigChange{0};

static const char kLogName[] = "WatchConfigFile";
static const char kTimerLogName[] = "AdjustTimer";
// Size of the buffer the watched path is put together in.
static constexpr size_t kPathSize = 256;
// Bytes read from inotify per pass: room for one record with the longest
// name (16 + 256) and then some.
static constexpr size_t kReadSize = 320;
static constexpr long kPassNs = 100 * 1000000L;
// A burst of writes is applied this long after its last notification.
static constexpr time_t kDebounceSeconds = 2;

static timer_t ConfigTimerId(int32_t id) {
    return reinterpret_cast<timer_t>(static_cast<intptr_t>(id));
}

// Puts the file to watch into `path`: the target of ConfigFilePath if that is
// a symbolic link, else ConfigFilePath itself. A relative target is resolved
// against the link's own directory, as the file system does; taken against
// the working directory it would name another directory and the watch would
// fail, silently ending live reconfiguration. False when that leaves nothing:
// an unreadable link, a target of 256 bytes or more, or a path that does not
// fit.
static bool FindWatchedFile(char (&path)[kPathSize]) {
    const char *configured = ConfigFilePath;
    path[0] = '\0';
    if (configured == nullptr) return false;
    struct stat status;
    if (lstat(configured, &status) == 0 && S_ISLNK(status.st_mode)) {
        ssize_t length = readlink(configured, path, kPathSize);
        if (length < 0) length = 0;
        // A target that fills the buffer ends up as the empty string.
        path[static_cast<size_t>(length) % kPathSize] = '\0';
        const char *slash = strrchr(configured, '/');
        if (path[0] != '\0' && path[0] != '/' && slash != nullptr) {
            char target[kPathSize];
            memcpy(target, path, sizeof(target));
            int total = snprintf(path, kPathSize, "%.*s/%s", static_cast<int>(slash - configured),
                                 configured, target);
            if (total < 0 || static_cast<size_t>(total) >= kPathSize) path[0] = '\0';
        }
    } else {
        int length = snprintf(path, kPathSize, "%s", configured);
        // Watching a truncated path would watch some other file.
        if (length < 0 || static_cast<size_t>(length) >= kPathSize) path[0] = '\0';
    }
    return path[0] != '\0';
}

uint32_t CountRecordsNaming(const uint8_t *records, size_t length, const char *fileName) {
    uint32_t count = 0;
    size_t offset = 0;
    while (length - offset >= sizeof(struct inotify_event)) {
        struct inotify_event header;
        memcpy(&header, records + offset, sizeof(header));
        size_t nameLength = header.len;
        if (nameLength > length - offset - sizeof(header)) break;
        const char *name = reinterpret_cast<const char *>(records + offset + sizeof(header));
        // Records about the directory itself carry no name (length 0).
        if (nameLength > 0 && memchr(name, '\0', nameLength) != nullptr &&
            strcmp(name, fileName) == 0) {
            count++;
        }
        offset += sizeof(header) + nameLength;
    }
    return count;
}

// Installs the handler and (re)starts the one-shot timer, creating it first if
// there is none. A pending expiry is replaced. False on failure, logged.
static bool ArmConfigTimer() {
    struct sigaction action = {};
    action.sa_sigaction = TimerHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;
    if (sigaction(SIGRTMIN, &action, nullptr) != 0) {
        LogPrintf(kTimerLogName, "sigaction: %s\n", strerror(errno));
        return false;
    }

    if (ConfigTimer.load() == -1) {
        struct sigevent notification = {};
        notification.sigev_notify = SIGEV_SIGNAL;
        notification.sigev_signo = SIGRTMIN;
        notification.sigev_value.sival_ptr = &ConfigTimer;
        timer_t id;
        if (timer_create(CLOCK_MONOTONIC, &notification, &id) != 0) {
            LogPrintf(kTimerLogName, "timer_create: %s\n", strerror(errno));
            return false;
        }
        // glibc hands out the kernel's small integer id for signal timers.
        ConfigTimer.store(static_cast<int32_t>(reinterpret_cast<intptr_t>(id)));
    }

    struct itimerspec expiry = {};
    expiry.it_value.tv_sec = kDebounceSeconds;
    if (timer_settime(ConfigTimerId(ConfigTimer.load()), 0, &expiry, nullptr) != 0) {
        LogPrintf(kTimerLogName, "timer_settime: %s\n", strerror(errno));
        return false;
    }
    return true;
}

static void AdjustTimer() {
    bool armed = ArmConfigTimer();
    LogPrintf(kTimerLogName, "Adjust id 0x%08X: %s\n", static_cast<unsigned>(ConfigTimer.load()),
              armed ? "successful" : "fail");
}

// A read into the fixed buffer fails with EINVAL when the first queued record
// does not fit. With names of at most 255 bytes a record takes at most 272
// bytes, so Linux never does that to a 320-byte read; should it happen anyway,
// everything queued is read at once into a heap buffer of the queue's size
// (FIONREAD), which cannot fail that way, so the loop neither spins on the
// same error nor drops the record. The caller frees `*records`.
static ssize_t ReadLargeRecords(int fd, uint8_t **records) {
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) return -1;
    *records = static_cast<uint8_t *>(malloc(static_cast<size_t>(queued)));
    if (*records == nullptr) return -1;
    return read(fd, *records, static_cast<size_t>(queued));
}

static void HandleRecords(const uint8_t *records, size_t length, const char *fileName) {
    // Korvane saved the file itself: drop what was read with that.
    if (IgnoreConfigChange.exchange(0, std::memory_order_relaxed) != 0) return;
    uint32_t matches = CountRecordsNaming(records, length, fileName);
    for (uint32_t i = 0; i < matches; i++) {
        LogPuts(kLogName, "Config file was modified");
        AdjustTimer();
    }
}

static void WatchLoop(int fd, const char *fileName) {
    alignas(struct inotify_event) uint8_t buffer[kReadSize];
    while (!FlagGet(ShutdownFlag)) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timespec timeout = {0, kPassNs};
        if (pselect(fd + 1, &readable, nullptr, nullptr, &timeout, nullptr) <= 0) continue;

        const uint8_t *records = buffer;
        uint8_t *large = nullptr;
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINVAL) {
            got = ReadLargeRecords(fd, &large);
            records = large;
        }
        if (got > 0) {
            HandleRecords(records, static_cast<size_t>(got), fileName);
        } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
            // An error that stays would make every pass return at once; let
            // the pass take its 100 ms instead.
            struct timespec rest = {0, kPassNs};
            nanosleep(&rest, nullptr);
        }
        free(large);
    }
}

void *WatchConfigFile(void *) {
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) return nullptr;
    // pselect cannot take a descriptor past its set.
    if (fd >= FD_SETSIZE) {
        close(fd);
        return nullptr;
    }

    char path[kPathSize];
    if (!FindWatchedFile(path)) {
        close(fd);
        return nullptr;
    }

    // Directory and name of the file. Without a "/" the directory is empty
    // and cannot be watched; a file in "/" is watched in "/".
    const char *directory = "";
    const char *fileName = path;
    char *slash = strrchr(path, '/');
    if (slash == path) {
        directory = "/";
        fileName = slash + 1;
    } else if (slash != nullptr) {
        *slash = '\0';
        directory = path;
        fileName = slash + 1;
    }

    int watch = inotify_add_watch(fd, directory, IN_CLOSE_WRITE | IN_DELETE);
    if (watch < 0) {
        close(fd);
        return nullptr;
    }
    // A save announced before the watch existed produced no notification to
    // drop; left set, the flag would swallow the next real edit.
    FlagSet(IgnoreConfigChange, 0);

    WatchLoop(fd, fileName);

    inotify_rm_watch(fd, watch);
    close(fd);
    return nullptr;
}

void DeleteConfigTimer() {
    int32_t id = ConfigTimer.exchange(-1);
    if (id != -1) timer_delete(ConfigTimerId(id));
}

void TimerHandler(int, siginfo_t *info, void *) {
    // Only an expiry carries the pointer to the id; a SIGRTMIN sent by kill
    // or sigqueue is not ours to act on.
    if (info == nullptr || info->si_code != SI_TIMER || info->si_value.sival_ptr == nullptr) {
        return;
    }
    const auto *timer = static_cast<const std::atomic<int32_t> *>(info->si_value.sival_ptr);
    NoteTimerExpiry(timer->load());
}

void HandleConfigTimerExpiry(int32_t timerId) {
    LogPrintf("TimerHandler", "Caught signal from id 0x%08lX\n",
              static_cast<unsigned long>(timerId));
    if (timerId == ConfigTimer.load()) EventSignal(&ConfigChangedEvent);
}
