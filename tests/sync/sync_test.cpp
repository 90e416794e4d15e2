// Counting events and the guarded list, alone and together as a queue.
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "support/worker.h"
#include "sync/event.h"
#include "sync/mylist.h"

namespace {

typedef std::vector<std::unique_ptr<Worker>> tWorkers;

// Joins the workers; one still asleep after `ms` fails and is freed by a destroy.
void JoinOrRelease(tWorkers &workers, tEvent *event, int ms) {
    for (auto &worker : workers) {
        for (int i = 0; i < 10 && !worker->JoinWithin(i == 0 ? ms : 500); i++) {
            ADD_FAILURE() << "a thread is still asleep after " << ms << " ms";
            EventDestroy(event);
        }
    }
}

bool Eventually(const std::function<bool()> &done, int ms) {
    for (int64_t start = MonotonicNs(); MsSince(start) < ms; SleepMs(1))
        if (done()) return true;
    return false;
}

int (*const kWaits[])(tEvent *) = {&EventWait, [](tEvent *e) { return EventWaitMs(e, 10000); }};

TEST(Event, ArgumentsCountsAndSaturation) {
    tEvent event = 7;
    struct timespec limit = {0, 0};
    for (int rejected : {EventInit(nullptr, 1), EventInit(&event, -1), EventDestroy(nullptr),
                         EventSignal(nullptr), EventWait(nullptr), EventWaitMs(nullptr, 1),
                         EventWaitTimeout(nullptr, &limit), EventWaitTimeout(&event, nullptr)})
        EXPECT_EQ(-2, rejected);
    EXPECT_EQ(7, event) << "a rejected call changed the counter";
    ASSERT_EQ(0, EventInit(&event, 3));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(0, EventWaitMs(&event, 0)) << "take " << i;
    EXPECT_EQ(-1, EventWaitMs(&event, 0)) << "a fourth take on a count of 3";
    ASSERT_EQ(0, EventInit(&event, 2147483647));
    EXPECT_EQ(0, EventSignal(&event)) << "a signal at the largest count failed";
    EXPECT_EQ(0, EventWaitMs(&event, 0));
    EXPECT_EQ(2147483646, event) << "the counter wrapped";
}

// Init wakes as many as it counts, a signal a lone sleeper, destroy all of them.
TEST(Event, SleepersAreWokenByInitSignalAndDestroy) {
    for (auto wait : kWaits) {
        tEvent event = 0;
        ASSERT_EQ(0, EventInit(&event, 0));
        std::atomic<int> taken{0}, released{0};
        tWorkers sleepers;
        auto sleep = [&] {
            for (int i = 0; i < 3; i++)
                sleepers.emplace_back(
                    new Worker([&] { ++(wait(&event) == 0 ? taken : released); }));
            SleepMs(50);
        };
        sleep();
        ASSERT_EQ(0, EventInit(&event, 2));
        for (int expected = 2; expected <= 3; expected++) {
            EXPECT_TRUE(Eventually([&] { return taken == expected; }, 2000))
                << "a count left a sleeper asleep: " << taken << " of " << expected << " taken";
            SleepMs(30);
            EXPECT_EQ(expected, taken.load()) << "more takes than counts";
            ASSERT_EQ(0, expected < 3 ? EventSignal(&event) : 0);
        }
        sleep();
        ASSERT_EQ(0, EventDestroy(&event));
        EXPECT_TRUE(Eventually([&] { return released == 3; }, 2000))
            << "destroy released " << released << " of 3 sleepers";
        EXPECT_EQ(-2, EventSignal(&event)) << "a signal revived a destroyed event";
        EXPECT_EQ(-2, EventWaitMs(&event, 5000)) << "a wait on a destroyed event slept";
        JoinOrRelease(sleepers, &event, 2000);
    }
}

// Limits end neither early nor late, nor restart after a wake without a count.
TEST(Event, TimeLimitsAreNeitherEarlyNorStretched) {
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 0));
    for (uint32_t ms : {0u, 20u, 150u, 1010u}) {
        int64_t start = MonotonicNs();
        EXPECT_EQ(-1, EventWaitMs(&event, ms));
        EXPECT_GE(MsSince(start), ms) << "EventWaitMs returned early";
        EXPECT_LT(MsSince(start), ms + (ms == 0 ? 50 : 850)) << ms << " ms overslept";
        struct timespec limit = {static_cast<time_t>(ms / 1000),
                                 static_cast<long>(ms % 1000) * 1000000L};
        start = MonotonicNs();
        EXPECT_EQ(-1, EventWaitTimeout(&event, &limit));
        EXPECT_GE(MsSince(start), ms) << "EventWaitTimeout returned early";
        EXPECT_LE(limit.tv_sec * 1000000000LL + limit.tv_nsec, 0) << "remainder after " << ms;
    }
    std::atomic<double> elapsed{0};
    int64_t start = MonotonicNs();
    Worker waiter([&] {
        EXPECT_EQ(-1, EventWaitMs(&event, 300));
        elapsed = MsSince(start);
    });
    SleepMs(150);
    EXPECT_TRUE(Eventually(
        [&] { return syscall(SYS_futex, &event, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0) == 1; },
        100))
        << "the waiter was not asleep on the counter";
    EXPECT_TRUE(waiter.JoinWithin(2000));
    EXPECT_GE(elapsed.load(), 300);
    EXPECT_LT(elapsed.load(), 440) << "the wake restarted the full limit";
}

// Ping-pong on events sharing sleeper slots: a lost wake-up leaves a pair stuck.
TEST(Event, PingPongOnSharedSleeperSlotsLosesNoWakeUp) {
    const int kPairs = 4, kRounds = 3000, kEvents = 160;
    static tEvent events[kEvents];
    for (tEvent &event : events)
        ASSERT_EQ(0, EventInit(&event, 0));
    std::atomic<int> completed{0};
    std::atomic<bool> stop{false};
    tWorkers pairs;
    for (int pair = 0; pair < kPairs; pair++) {
        tEvent *ping = &events[pair * 2], *pong = &events[pair * 2 + 1];
        pairs.emplace_back(new Worker([ping, pong] {
            for (int i = 0; i < kRounds && EventWait(ping) == 0; i++)
                EventSignal(pong);
        }));
        pairs.emplace_back(new Worker([ping, pong, &completed] {
            for (int i = 0; i < kRounds; i++)
                if (EventSignal(ping) != 0 || EventWaitMs(pong, 2000) != 0) return;
            ++completed;
        }));
    }
    Worker timeouts([&] {
        for (int i = kPairs * 2; !stop; i = i + 7 < kEvents ? i + 7 : kPairs * 2)
            EventWaitMs(&events[i], static_cast<uint32_t>(i % 2));
    });
    for (auto &worker : pairs)
        if (!worker->JoinWithin(20000))
            for (tEvent &event : events)
                EventDestroy(&event);
    stop = true;
    EXPECT_TRUE(timeouts.JoinWithin(5000));
    EXPECT_EQ(kPairs, completed.load()) << "a wake-up was lost";
}

typedef CMyList<int *> List;

// The values head to tail, checking every prev link, the tail and the count.
std::vector<int> Contents(List &list) {
    std::vector<int> values;
    List::Node *prev = nullptr;
    for (List::Node *node = list.Head(); node != nullptr; prev = node, node = node->next) {
        EXPECT_EQ(prev, node->prev) << "broken prev link at " << *node->value;
        values.push_back(*node->value);
    }
    EXPECT_EQ(prev, list.Tail()) << "tail is not the last node";
    EXPECT_EQ(values.size(), list.Count());
    return values;
}

// Links after each change; the values are the test's (a list freeing one: double free).
TEST(MyList, RemovePushPopClearKeepLinksAndValues) {
    const std::pair<int, int> cases[] = {{5, 0}, {5, 2}, {5, 4}, {1, 0}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << "remove " << c.second << " of " << c.first);
        std::vector<std::unique_ptr<int>> values;
        std::vector<int> expected;
        List list;
        for (int i = 0; i <= c.first; i++) {
            values.emplace_back(new int(i));
            if (i < c.first) list.PushBack(values.back().get());
            if (i != c.second) expected.push_back(i);
        }
        List::Node *it = list.Head();
        for (int i = 0; i < c.second; i++)
            it = it->next;
        list.Remove(it);
        EXPECT_EQ(c.second + 1 < c.first ? values[c.second + 1].get() : nullptr,
                  it != nullptr ? it->value : nullptr)
            << "iterator not on the next node";
        list.PushBack(values.back().get());
        EXPECT_EQ(expected, Contents(list));
        int *out = nullptr;
        for (size_t i = 0; i < expected.size(); i++) {
            ASSERT_EQ(0, list.PopFront(out));
            EXPECT_EQ(expected[i], *out);
            EXPECT_EQ(std::vector<int>(expected.begin() + i + 1, expected.end()), Contents(list));
        }
        EXPECT_EQ(1, list.PopFront(out)) << "emptied list still has an element";
        EXPECT_EQ(values.back().get(), out) << "an empty pop wrote its output";
        list.PushBack(values[0].get());
        list.Clear();
        EXPECT_EQ(std::vector<int>{}, Contents(list));
    }
}

// Push and signal, take and pop: each value and count once, each producer's in order.
TEST(MyList, QueueWithAnEventDeliversEachValueOnceInOrder) {
    const int kThreads = 4, kPerThread = 20000, kTotal = kThreads * kPerThread;
    static int values[kTotal];
    List list;
    tEvent event = 0;
    ASSERT_EQ(0, EventInit(&event, 0));
    std::vector<std::vector<int>> taken(kThreads);
    tWorkers threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back(new Worker([&, t] {
            int *value = nullptr;
            for (int i = 0; i < kPerThread; i++) {
                if ((t % 2 ? EventWaitMs(&event, 10000) : EventWait(&event)) != 0) return;
                taken[t].push_back(list.PopFront(value) == 0 ? *value : -1);
            }
        }));
        threads.emplace_back(new Worker([&, t] {
            for (int i = t * kPerThread; i < (t + 1) * kPerThread; i++) {
                list.PushBack(&(values[i] = i));
                EventSignal(&event);
            }
        }));
    }
    JoinOrRelease(threads, &event, 10000);
    std::vector<int> seen(kTotal, 0);
    for (const std::vector<int> &consumer : taken) {
        std::vector<int> last(kThreads, -1);
        for (int value : consumer) {
            ASSERT_GE(value, 0) << "a count without a value";
            ++seen[value];
            EXPECT_LT(last[value / kPerThread], value) << "a producer's values out of order";
            last[value / kPerThread] = value;
        }
    }
    EXPECT_EQ(std::vector<int>(kTotal, 1), seen) << "a value or its count was lost or doubled";
    EXPECT_EQ(std::vector<int>{}, Contents(list));
    EXPECT_EQ(-1, EventWaitMs(&event, 0)) << "counts left over";
}

}  // namespace
