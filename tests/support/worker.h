// A POSIX thread for tests, joined with a time limit so that a test never
// hangs, and the monotonic-clock helpers it uses. Header-only.
#ifndef KORVANE_TESTS_SUPPORT_WORKER_H
#define KORVANE_TESTS_SUPPORT_WORKER_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <utility>

// Nanoseconds on CLOCK_MONOTONIC.
inline int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline double MsSince(int64_t startNs) {
    return (MonotonicNs() - startNs) / 1e6;
}

inline void SleepMs(int ms) {
    struct timespec t = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

// A POSIX thread running `body`. Owns the thread; not copyable. The destructor
// gives a thread that has not been joined 5 s and aborts the test program if
// it is still running then.
class Worker {
public:
    explicit Worker(std::function<void()> body) : body_(std::move(body)) {
        if (pthread_create(&thread_, nullptr, &Worker::Run, this) != 0) {
            fprintf(stderr, "pthread_create failed\n");
            abort();
        }
    }
    ~Worker() {
        if (!JoinWithin(5000)) {
            fprintf(stderr, "a worker thread is still blocked; aborting\n");
            abort();
        }
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    bool Finished() const { return finished_.load(); }

    // Joins the thread if its body ends within `ms`. True once joined.
    bool JoinWithin(int ms) {
        if (joined_) return true;
        int64_t start = MonotonicNs();
        while (!Finished()) {
            if (MsSince(start) >= ms) return false;
            SleepMs(1);
        }
        pthread_join(thread_, nullptr);
        joined_ = true;
        return true;
    }

private:
    static void *Run(void *arg) {
        Worker *self = static_cast<Worker *>(arg);
        self->body_();
        self->finished_.store(true);
        return nullptr;
    }

    std::function<void()> body_;
    pthread_t thread_;
    std::atomic<bool> finished_{false};
    bool joined_ = false;
};

#endif  // KORVANE_TESTS_SUPPORT_WORKER_H
