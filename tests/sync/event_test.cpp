// Tests of the counting event: counts and their limits, time limits measured
// on the monotonic clock, destruction and cancellation of sleepers, and
// wake-ups that must never be lost between threads.
//
// Every wait is bounded: threads are joined with a time limit, and a thread
// still asleep when its limit passes is released by destroying its event.
#include "sync/event.h"

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/worker.h"

namespace {

const int32_t kMaxCount = 2147483647;

int64_t TotalNs(const struct timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Wakes up to one thread asleep on `event` without adding a count, as a
// spurious wake-up would. Returns the number of threads woken.
long RawWake(tEvent *event) {
    return syscall(SYS_futex, event, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Keeps waking one sleeper of `event` until one is actually woken, for at most
// `limitMs`. True if a sleeper was woken.
bool RawWakeASleeper(tEvent *event, int limitMs) {
    int64_t start = MonotonicNs();
    while (MsSince(start) < limitMs) {
        if (RawWake(event) == 1) return true;
        SleepMs(1);
    }
    return false;
}

// Joins `worker` within `ms`; if it is still asleep, fails the test and
// destroys `event` so that the worker wakes up and can be joined.
void JoinOrRelease(Worker &worker, tEvent *event, int ms, const std::string &what) {
    if (!worker.JoinWithin(ms)) {
        ADD_FAILURE() << what << ": thread still asleep after " << ms << " ms";
        EventDestroy(event);
        worker.JoinWithin(5000);
    }
}

// Polls until `done()` holds or `ms` pass. True if it held.
bool Eventually(const std::function<bool()> &done, int ms) {
    int64_t start = MonotonicNs();
    while (!done()) {
        if (MsSince(start) >= ms) return false;
        SleepMs(1);
    }
    return true;
}

TEST(EventArguments, NullEventNullTimeAndNegativeCountAreRejected) {
    // The counter holds counts throughout, so a missing check would show up
    // as a success (or a count taken) instead of -2.
    tEvent event = 7;
    struct timespec limit = {0, 0};
    struct Case {
        const char *call;
        std::function<int()> run;
    } cases[] = {
        {"EventInit(null, 1)", [] { return EventInit(nullptr, 1); }},
        {"EventInit(&e, -1)", [&] { return EventInit(&event, -1); }},
        {"EventInit(&e, INT32_MIN)", [&] { return EventInit(&event, INT32_MIN); }},
        {"EventDestroy(null)", [] { return EventDestroy(nullptr); }},
        {"EventSignal(null)", [] { return EventSignal(nullptr); }},
        {"EventWait(null)", [] { return EventWait(nullptr); }},
        {"EventWaitTimeout(null, &t)", [&] { return EventWaitTimeout(nullptr, &limit); }},
        {"EventWaitTimeout(&e, null)", [&] { return EventWaitTimeout(&event, nullptr); }},
        {"EventWaitMs(null, 10)", [] { return EventWaitMs(nullptr, 10); }},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(-2, c.run()) << c.call;
        EXPECT_EQ(7, event) << c.call << " changed the counter";
    }
}

TEST(EventCounts, InitGivesExactlyThatManyTakes) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 3));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, EventWaitMs(&event, 0)) << "take " << i;
    EXPECT_EQ(-1, EventWaitMs(&event, 0));
    EXPECT_EQ(0, event) << "a failed take changed the counter";

    // The fourth taker sleeps until someone signals, and then gets that count.
    std::atomic<int> result{99};
    Worker fourth([&] { result = EventWait(&event); });
    SleepMs(100);
    EXPECT_FALSE(fourth.Finished()) << "a fourth take succeeded on a count of 3";
    ASSERT_EQ(0, EventSignal(&event));
    JoinOrRelease(fourth, &event, 2000, "fourth taker after a signal");
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(-1, EventWaitMs(&event, 0)) << "the signal was left over after waking the taker";
}

TEST(EventCounts, SignalStopsAtTheLargestCount) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, kMaxCount - 1));
    EXPECT_EQ(0, EventSignal(&event));
    EXPECT_EQ(kMaxCount, event);
    EXPECT_EQ(0, EventSignal(&event)) << "a saturated signal still succeeds";
    EXPECT_EQ(kMaxCount, event) << "the counter wrapped";
    EXPECT_EQ(0, EventWaitMs(&event, 0));
    EXPECT_EQ(kMaxCount - 1, event);
}

TEST(EventDestroyed, RefusesEverythingUntilInitialisedAgain) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 2));
    ASSERT_EQ(0, EventDestroy(&event));
    EXPECT_EQ(-1, event);

    EXPECT_EQ(-2, EventSignal(&event));
    EXPECT_EQ(-1, event) << "a signal revived a destroyed event";
    EXPECT_EQ(-2, EventWait(&event));
    int64_t start = MonotonicNs();
    EXPECT_EQ(-2, EventWaitMs(&event, 5000));
    EXPECT_LT(MsSince(start), 100) << "a wait on a destroyed event slept";
    EXPECT_EQ(-1, event);

    ASSERT_EQ(0, EventInit(&event, 1));
    EXPECT_EQ(0, EventWaitMs(&event, 0));
    EXPECT_EQ(-1, EventWaitMs(&event, 0));
}

TEST(EventTimeLimits, LimitPassesNoEarlierAndNotMuchLaterLeavingANonPositiveRemainder) {
    // A zero limit must not sleep at all; the others get slack for loaded machines.
    const struct {
        uint32_t limitMs;
        double slackMs;
    } cases[] = {{0, 50}, {1, 850}, {20, 850}, {60, 850}, {150, 850}};
    for (const auto &c : cases) {
        tEvent event = 0;
        ASSERT_EQ(0, EventInit(&event, 0));
        int64_t start = MonotonicNs();
        EXPECT_EQ(-1, EventWaitMs(&event, c.limitMs)) << c.limitMs << " ms";
        double elapsed = MsSince(start);
        EXPECT_GE(elapsed, c.limitMs) << "EventWaitMs returned early for " << c.limitMs << " ms";
        EXPECT_LT(elapsed, c.limitMs + c.slackMs) << "EventWaitMs overslept " << c.limitMs << " ms";

        struct timespec limit = {0, static_cast<long>(c.limitMs) * 1000000L};
        start = MonotonicNs();
        EXPECT_EQ(-1, EventWaitTimeout(&event, &limit)) << c.limitMs << " ms";
        elapsed = MsSince(start);
        EXPECT_GE(elapsed, c.limitMs) << "EventWaitTimeout returned early for " << c.limitMs;
        EXPECT_LT(elapsed, c.limitMs + c.slackMs) << "EventWaitTimeout overslept " << c.limitMs;
        EXPECT_LE(TotalNs(limit), 0) << "remainder after a limit of " << c.limitMs << " ms";
        EXPECT_GT(TotalNs(limit), -500000000LL) << "remainder is not the time left";
        EXPECT_GE(limit.tv_nsec, 0);
        EXPECT_LT(limit.tv_nsec, 1000000000L);
    }
}

TEST(EventTimeLimits, WakeWithoutACountDoesNotExtendTheWait) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 0));
    struct timespec limit = {0, 300000000};
    std::atomic<int> result{99};
    std::atomic<double> elapsed{0};
    int64_t start = MonotonicNs();
    Worker waiter([&] {
        result = EventWaitTimeout(&event, &limit);
        elapsed = MsSince(start);
    });
    SleepMs(150);
    EXPECT_TRUE(RawWakeASleeper(&event, 100)) << "the waiter was not asleep on the counter";
    JoinOrRelease(waiter, &event, 2000, "waiter with a 300 ms limit");
    EXPECT_EQ(-1, result.load());
    EXPECT_GE(elapsed.load(), 300);
    // Restarting the full 300 ms after the wake would end at 450 ms or later.
    EXPECT_LT(elapsed.load(), 440) << "the spurious wake-up extended the wait";
    EXPECT_LE(TotalNs(limit), 0);
}

TEST(EventTimeLimits, RemainingTimeIsWrittenBackWhileWaiting) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 0));
    struct timespec limit = {0, 400000000};
    std::atomic<int> result{99};
    Worker waiter([&] { result = EventWaitTimeout(&event, &limit); });
    SleepMs(100);
    // Wake without a count: the waiter recomputes what is left (about 300 ms)
    // and sleeps again; the signal after that ends its wait.
    EXPECT_TRUE(RawWakeASleeper(&event, 100));
    SleepMs(50);
    ASSERT_EQ(0, EventSignal(&event));
    JoinOrRelease(waiter, &event, 2000, "waiter with a 400 ms limit");
    EXPECT_EQ(0, result.load());
    EXPECT_GT(TotalNs(limit), 0);
    EXPECT_LT(TotalNs(limit), 350000000LL) << "the remaining time was not written back";
}

// Each way of waiting, for the tables below.
struct WaitKind {
    const char *name;
    int (*wait)(tEvent *);
};
int WaitForever(tEvent *event) {
    return EventWait(event);
}
int WaitTenSeconds(tEvent *event) {
    return EventWaitMs(event, 10000);
}
const WaitKind kWaitKinds[] = {{"EventWait", &WaitForever}, {"EventWaitMs", &WaitTenSeconds}};

TEST(EventDestroyed, DestroyReleasesEverySleeperPromptly) {
    for (const WaitKind &kind : kWaitKinds) {
        tEvent event = 0;
        ASSERT_EQ(0, EventInit(&event, 0));
        std::atomic<int> released{0};
        std::atomic<int> wrongResults{0};
        std::vector<std::unique_ptr<Worker>> sleepers;
        for (int i = 0; i < 3; ++i) {
            sleepers.emplace_back(new Worker([&] {
                if (kind.wait(&event) != -2) ++wrongResults;
                ++released;
            }));
        }
        SleepMs(50);
        EXPECT_EQ(0, released.load()) << kind.name << " returned without a count";
        int64_t start = MonotonicNs();
        ASSERT_EQ(0, EventDestroy(&event));
        EXPECT_TRUE(Eventually([&] { return released.load() == 3; }, 1000))
            << kind.name << ": destroy left sleepers asleep";
        EXPECT_LT(MsSince(start), 1000);
        for (auto &sleeper : sleepers)
            EXPECT_TRUE(sleeper->JoinWithin(1000));
        EXPECT_EQ(0, wrongResults.load()) << kind.name << " did not end with -2";
    }
}

TEST(EventCounts, InitWakesAsManySleepersAsItGivesCounts) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 0));
    std::atomic<int> woken{0};
    std::vector<std::unique_ptr<Worker>> sleepers;
    for (int i = 0; i < 3; ++i) {
        sleepers.emplace_back(new Worker([&] {
            if (EventWait(&event) == 0) ++woken;
        }));
    }
    SleepMs(50);
    ASSERT_EQ(0, EventInit(&event, 2));
    EXPECT_TRUE(Eventually([&] { return woken.load() == 2; }, 1000))
        << "init with 2 woke " << woken.load() << " sleepers";
    SleepMs(50);
    EXPECT_EQ(2, woken.load()) << "more takes than counts";
    ASSERT_EQ(0, EventSignal(&event));
    EXPECT_TRUE(Eventually([&] { return woken.load() == 3; }, 1000));
    for (auto &sleeper : sleepers)
        JoinOrRelease(*sleeper, &event, 1000, "sleeper");
    EXPECT_EQ(-1, EventWaitMs(&event, 0));
}

TEST(EventCancel, WaitsRestoreTheCallersCancelType) {
    // The waits switch to asynchronous cancellation only while they sleep; a
    // thread left asynchronous could be cancelled in the middle of anything.
    enum Path { kReady, kTimedOut, kSignalled, kDestroyed };
    struct Case {
        const char *name;
        int initialType;
        Path path;
        int expected;
    } cases[] = {
        {"deferred, count ready", PTHREAD_CANCEL_DEFERRED, kReady, 0},
        {"deferred, time limit passes", PTHREAD_CANCEL_DEFERRED, kTimedOut, -1},
        {"deferred, signalled while asleep", PTHREAD_CANCEL_DEFERRED, kSignalled, 0},
        {"deferred, destroyed while asleep", PTHREAD_CANCEL_DEFERRED, kDestroyed, -2},
        {"asynchronous, time limit passes", PTHREAD_CANCEL_ASYNCHRONOUS, kTimedOut, -1},
    };
    for (const Case &c : cases) {
        tEvent event = 0;
        ASSERT_EQ(0, EventInit(&event, c.path == kReady ? 1 : 0));
        std::atomic<int> result{99};
        std::atomic<int> typeAfter{-1};
        Worker waiter([&] {
            int ignored;
            pthread_setcanceltype(c.initialType, &ignored);
            result = c.path == kTimedOut ? EventWaitMs(&event, 30) : EventWait(&event);
            int after;
            pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &after);
            typeAfter = after;
        });
        if (c.path == kSignalled || c.path == kDestroyed) {
            SleepMs(30);
            if (c.path == kSignalled) {
                EXPECT_EQ(0, EventSignal(&event));
            } else {
                EXPECT_EQ(0, EventDestroy(&event));
            }
        }
        JoinOrRelease(waiter, &event, 2000, c.name);
        EXPECT_EQ(c.expected, result.load()) << c.name;
        EXPECT_EQ(c.initialType, typeAfter.load()) << c.name << ": cancel type not restored";
    }
}

struct CancelTarget {
    tEvent *event;
    std::atomic<bool> returned{false};
};

void *WaitThenMark(void *arg) {
    CancelTarget *target = static_cast<CancelTarget *>(arg);
    EventWait(target->event);
    target->returned = true;
    return nullptr;
}

TEST(EventCancel, CancellingASleeperEndsItAndLeavesTheEventUsable) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 0));
    CancelTarget target;
    target.event = &event;
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, nullptr, &WaitThenMark, &target));
    SleepMs(50);
    ASSERT_EQ(0, pthread_cancel(thread));
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    void *exitValue = nullptr;
    int joined = pthread_timedjoin_np(thread, &exitValue, &deadline);
    if (joined != 0) {
        ADD_FAILURE() << "a cancelled sleeper did not end";
        EventDestroy(&event);
        pthread_join(thread, nullptr);
        return;
    }
    EXPECT_EQ(PTHREAD_CANCELED, exitValue);
    EXPECT_FALSE(target.returned.load());

    // The cancelled sleeper took nothing and left the shared mutex free: a
    // signal from another thread is still there to take.
    Worker signaller([&] { EXPECT_EQ(0, EventSignal(&event)); });
    EXPECT_TRUE(signaller.JoinWithin(2000)) << "signalling blocked after a cancellation";
    EXPECT_EQ(0, EventWaitMs(&event, 0));
}

TEST(EventConcurrency, EverySignalIsTakenExactlyOnce) {
    // Several producers and consumers: the consumers together must take every
    // count, and nothing more.
    const int kProducers = 3;
    const int kConsumers = 3;
    const int kPerProducer = 6000;
    const int kPerConsumer = kProducers * kPerProducer / kConsumers;
    for (const WaitKind &kind : kWaitKinds) {
        tEvent event = 0;
        ASSERT_EQ(0, EventInit(&event, 0));
        std::atomic<int> taken{0};
        std::atomic<int> failures{0};
        std::vector<std::unique_ptr<Worker>> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.emplace_back(new Worker([&] {
                for (int i = 0; i < kPerConsumer; ++i) {
                    if (kind.wait(&event) != 0) {
                        ++failures;
                        return;
                    }
                    ++taken;
                }
            }));
        }
        for (int p = 0; p < kProducers; ++p) {
            threads.emplace_back(new Worker([&] {
                for (int i = 0; i < kPerProducer; ++i) {
                    if (EventSignal(&event) != 0) ++failures;
                    if (i % 128 == 0) sched_yield();
                }
            }));
        }
        for (auto &thread : threads)
            JoinOrRelease(*thread, &event, 8000, kind.name);
        EXPECT_EQ(0, failures.load()) << kind.name;
        EXPECT_EQ(kProducers * kPerProducer, taken.load()) << kind.name;
        EXPECT_EQ(-1, EventWaitMs(&event, 0)) << kind.name << ": counts left over";
    }
}

TEST(EventConcurrency, PingPongNeverLosesAWakeUp) {
    // Each side signals the other and goes straight to sleep, so signals keep
    // landing between a failed take and the sleep that follows it.
    const int kRounds = 10000;
    for (const WaitKind &kind : kWaitKinds) {
        tEvent ping = 0;
        tEvent pong = 0;
        ASSERT_EQ(0, EventInit(&ping, 0));
        ASSERT_EQ(0, EventInit(&pong, 0));
        std::atomic<int> stuckAt{-1};
        std::atomic<int> rounds{0};
        Worker server([&] {
            for (int i = 0; i < kRounds; ++i) {
                if (kind.wait(&ping) != 0) return;
                EventSignal(&pong);
            }
        });
        Worker client([&] {
            for (int i = 0; i < kRounds; ++i) {
                EventSignal(&ping);
                if (EventWaitMs(&pong, 2000) != 0) {
                    stuckAt = i;
                    return;
                }
                ++rounds;
            }
        });
        JoinOrRelease(client, &pong, 8000, kind.name);
        if (rounds.load() != kRounds) EventDestroy(&ping);
        JoinOrRelease(server, &ping, 2000, kind.name);
        EXPECT_EQ(-1, stuckAt.load()) << kind.name << ": a wake-up was lost";
        EXPECT_EQ(kRounds, rounds.load()) << kind.name;
    }
}

TEST(EventAsLock, CriticalSectionIsExclusiveUnderContention) {
    const int kThreads = 8;
    const int kIterations = 2000;
    tEvent lock = 0;
    ASSERT_EQ(0, EventInit(&lock, 1));
    long counter = 0;  // guarded by `lock` alone
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<Worker>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(new Worker([&] {
            for (int i = 0; i < kIterations; ++i) {
                if (EventWait(&lock) != 0) {
                    ++failures;
                    return;
                }
                if (inside.fetch_add(1) != 0) ++overlaps;
                long seen = counter;
                if (i % 32 == 0) sched_yield();
                counter = seen + 1;
                inside.fetch_sub(1);
                if (EventSignal(&lock) != 0) ++failures;
            }
        }));
    }
    for (auto &thread : threads)
        JoinOrRelease(*thread, &lock, 8000, "lock user");
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, overlaps.load()) << "two threads were inside at once";
    EXPECT_EQ(static_cast<long>(kThreads) * kIterations, counter);
}

}  // namespace

TEST(EventConcurrency, ManyEventsSharingSleeperSlotsLoseNoWakeUp) {
    // More events than the sleeper table has slots, so several share one:
    // pairs of threads ping-pong on their own events while timed waits on the
    // others come and go. A sleeper forgotten by its slot would never be
    // woken; a sleeper counted twice would only cost wakes.
    const int kPairs = 4;
    const int kRounds = 3000;
    const int kEvents = 160;
    static tEvent events[kEvents];
    for (tEvent &event : events)
        ASSERT_EQ(0, EventInit(&event, 0));
    std::atomic<int> completed{0};
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Worker>> workers;
    for (int pair = 0; pair < kPairs; ++pair) {
        tEvent *ping = &events[pair * 2];
        tEvent *pong = &events[pair * 2 + 1];
        workers.push_back(std::make_unique<Worker>([ping, pong] {
            for (int i = 0; i < kRounds; ++i) {
                if (EventWait(ping) != 0) return;
                EventSignal(pong);
            }
        }));
        workers.push_back(std::make_unique<Worker>([ping, pong, &completed] {
            for (int i = 0; i < kRounds; ++i) {
                EventSignal(ping);
                if (EventWaitMs(pong, 2000) != 0) return;
            }
            ++completed;
        }));
    }
    // Timed waits that end without a count on the remaining events.
    Worker timeouts([&] {
        while (!stop.load()) {
            for (int i = kPairs * 2; i < kEvents && !stop.load(); i += 7)
                EventWaitMs(&events[i], static_cast<uint32_t>(i % 2));
        }
    });
    for (std::unique_ptr<Worker> &worker : workers) {
        if (!worker->JoinWithin(20000)) {
            ADD_FAILURE() << "a ping-pong pair is stuck";
            for (tEvent &event : events)
                EventDestroy(&event);
            worker->JoinWithin(5000);
        }
    }
    stop = true;
    EXPECT_TRUE(timeouts.JoinWithin(5000));
    EXPECT_EQ(kPairs, completed.load()) << "a wake-up was lost";
}
