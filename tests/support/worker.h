// A POSIX thread for tests, joined with a time limit so that a test never
// hangs. Header-only; includes the testkit's clock helpers it uses.
#ifndef KORVANE_TESTS_SUPPORT_WORKER_H
#define KORVANE_TESTS_SUPPORT_WORKER_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <functional>
#include <utility>

#include "testkit/clock.h"

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
