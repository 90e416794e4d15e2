// Tests of the guarded list: its links after every kind of change, that it
// never frees the values it holds, and that concurrent PushBack and PopFront
// deliver each value exactly once and in order.
#include "sync/mylist.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "support/worker.h"
#include "sync/lists.h"

namespace {

typedef CMyList<int> IntList;

// The values from head to tail, checking on the way that every node's `prev`
// points at the node before it and that the last node is `tail`.
std::vector<int> Forward(IntList &list) {
    std::vector<int> values;
    IntList::Node *prev = nullptr;
    for (IntList::Node *node = list.Head(); node != nullptr; node = node->next) {
        EXPECT_EQ(prev, node->prev) << "broken prev link at value " << node->value;
        values.push_back(node->value);
        prev = node;
    }
    EXPECT_EQ(prev, list.tail) << "tail is not the last node";
    return values;
}

// The values from tail to head, following `prev`.
std::vector<int> Backward(IntList &list) {
    std::vector<int> values;
    for (IntList::Node *node = list.tail; node != nullptr; node = node->prev) {
        values.push_back(node->value);
    }
    return values;
}

void Fill(IntList &list, int n) {
    for (int i = 0; i < n; ++i)
        list.PushBack(i);
}

// Counts the live instances, to see that the list never frees its values.
struct Record {
    static std::atomic<int> live;
    int id;
    explicit Record(int i) : id(i) { ++live; }
    ~Record() { --live; }
};
std::atomic<int> Record::live{0};

TEST(MyList, PopFrontReturnsValuesInPushOrderAndNothingWhenEmpty) {
    IntList list;
    int out = 42;
    EXPECT_EQ(1, list.PopFront(out));
    EXPECT_EQ(42, out) << "PopFront on an empty list wrote its output";

    Fill(list, 5);
    EXPECT_EQ(5u, list.Count());
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), Forward(list));
    EXPECT_EQ((std::vector<int>{4, 3, 2, 1, 0}), Backward(list));
    for (int expected = 0; expected < 5; ++expected) {
        ASSERT_EQ(0, list.PopFront(out));
        EXPECT_EQ(expected, out);
        EXPECT_EQ(static_cast<uint32_t>(4 - expected), list.Count());
        if (list.head != nullptr) {
            EXPECT_EQ(nullptr, list.head->prev);
        }
    }
    out = 42;
    EXPECT_EQ(1, list.PopFront(out)) << "emptied list still has an element";
    EXPECT_EQ(42, out);
    EXPECT_EQ(nullptr, list.head);
    EXPECT_EQ(nullptr, list.tail);

    // Pushing after the list ran empty must start a fresh head and tail.
    list.PushBack(9);
    EXPECT_EQ((std::vector<int>{9}), Forward(list));
    EXPECT_EQ(list.head, list.tail);
}

TEST(MyList, RemoveRelinksNeighboursAndAdvancesTheIterator) {
    struct Case {
        const char *name;
        int size;
        int index;
    } cases[] = {
        {"head", 5, 0},
        {"middle", 5, 2},
        {"tail", 5, 4},
        {"only element", 1, 0},
    };
    for (const Case &c : cases) {
        IntList list;
        Fill(list, c.size);
        IntList::Node *it = list.Head();
        for (int i = 0; i < c.index; ++i)
            it = it->next;
        list.Remove(it);

        if (c.index + 1 < c.size) {
            ASSERT_NE(nullptr, it) << c.name;
            EXPECT_EQ(c.index + 1, it->value) << c.name << ": iterator not on the next node";
        } else {
            EXPECT_EQ(nullptr, it) << c.name << ": iterator past the end is not null";
        }
        std::vector<int> expected;
        for (int i = 0; i < c.size; ++i) {
            if (i != c.index) expected.push_back(i);
        }
        EXPECT_EQ(expected, Forward(list)) << c.name;
        EXPECT_EQ(std::vector<int>(expected.rbegin(), expected.rend()), Backward(list)) << c.name;
        EXPECT_EQ(static_cast<uint32_t>(c.size - 1), list.Count()) << c.name;

        // A later push must hang off the right tail.
        list.PushBack(99);
        expected.push_back(99);
        EXPECT_EQ(expected, Forward(list)) << c.name << ", then PushBack";
        EXPECT_EQ(99, Backward(list).front()) << c.name << ", then PushBack";
    }
}

TEST(MyList, ClearAndDestructorFreeNodesButNotTheRecords) {
    std::vector<Record *> records;
    for (int i = 0; i < 3; ++i)
        records.push_back(new Record(i));
    ASSERT_EQ(3, Record::live.load());
    {
        CMyList<Record *> list;
        for (Record *r : records)
            list.PushBack(r);
        list.Clear();
        EXPECT_EQ(3, Record::live.load()) << "Clear freed the records";
        EXPECT_EQ(0u, list.Count());
        EXPECT_EQ(nullptr, list.Head());
        EXPECT_EQ(nullptr, list.tail);

        // Still usable after Clear; then the destructor runs with elements in.
        list.PushBack(records[1]);
        list.PushBack(records[2]);
        Record *out = nullptr;
        ASSERT_EQ(0, list.PopFront(out));
        EXPECT_EQ(records[1], out);
    }
    EXPECT_EQ(3, Record::live.load()) << "the destructor freed the records";
    for (Record *r : records)
        EXPECT_GE(r->id, 0);  // still readable (ASan checks)
    for (Record *r : records)
        delete r;
    EXPECT_EQ(0, Record::live.load());
}

TEST(MyList, CountStopsAtItsLargestValueAndNeverGoesBelowZero) {
    IntList list;
    list.count = 0xFFFFFFFEu;  // as if that many were in; nothing else runs
    list.PushBack(1);
    list.PushBack(2);
    EXPECT_EQ(0xFFFFFFFFu, list.Count()) << "the count wrapped";

    list.count = 0;
    IntList::Node *it = list.Head();
    list.Remove(it);
    EXPECT_EQ(0u, list.Count()) << "the count went below zero";
    EXPECT_EQ((std::vector<int>{2}), Forward(list));
}

TEST(MyList, ConcurrentPushAndPopDeliverEachValueOnceInOrder) {
    const int kProducers = 4;
    const int kConsumers = 4;
    const int kPerProducer = 20000;
    const int kTotal = kProducers * kPerProducer;
    IntList list;
    std::atomic<int> popped{0};
    std::atomic<bool> gaveUp{false};
    std::vector<std::vector<int>> taken(kConsumers);
    std::vector<std::unique_ptr<Worker>> threads;

    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back(new Worker([&, c] {
            int64_t start = MonotonicNs();
            while (popped.load() < kTotal) {
                int value;
                if (list.PopFront(value) == 0) {
                    taken[c].push_back(value);
                    ++popped;
                } else if (MsSince(start) > 8000) {
                    gaveUp = true;
                    return;
                } else {
                    sched_yield();
                }
            }
        }));
    }
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back(new Worker([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                list.PushBack(p * kPerProducer + i);
        }));
    }
    // Readers of the count and head run alongside; the guard must cover them.
    threads.emplace_back(new Worker([&] {
        while (popped.load() < kTotal && !gaveUp.load()) {
            EXPECT_LE(list.Count(), static_cast<uint32_t>(kTotal));
            list.Head();
        }
    }));
    for (auto &thread : threads)
        EXPECT_TRUE(thread->JoinWithin(10000));

    ASSERT_FALSE(gaveUp.load()) << "values went missing: only " << popped.load() << " arrived";
    std::vector<int> seen(kTotal, 0);
    for (int c = 0; c < kConsumers; ++c) {
        // A consumer's pops are in list order, so each producer's values reach
        // it in the order they were pushed.
        std::vector<int> last(kProducers, -1);
        for (int value : taken[c]) {
            ASSERT_GE(value, 0);
            ASSERT_LT(value, kTotal);
            ++seen[value];
            int producer = value / kPerProducer;
            EXPECT_LT(last[producer], value) << "consumer " << c << " got values out of order";
            last[producer] = value;
        }
    }
    int missing = 0;
    int duplicated = 0;
    for (int n : seen) {
        if (n == 0) ++missing;
        if (n > 1) ++duplicated;
    }
    EXPECT_EQ(0, missing);
    EXPECT_EQ(0, duplicated);
    EXPECT_EQ(0u, list.Count());
    EXPECT_EQ(nullptr, list.Head());
}

TEST(SharedLists, AreConstructedBeforeMainAndUsable) {
    // A list whose semaphore was never initialised would block its first
    // user forever, so each round trip runs on a thread with a time limit.
    struct Case {
        const char *name;
        std::function<bool()> roundTrip;
    } cases[] = {
        {"IpcMessageList", [] { return IpcMessageList.Count() == 0; }},
        {"TagList", [] { return TagList.Count() == 0; }},
        {"KeyboardList", [] { return KeyboardList.Count() == 0; }},
        {"ClientList",
         [] {
             ClientList.PushBack(5);
             int fd = -1;
             return ClientList.PopFront(fd) == 0 && fd == 5 && ClientList.Count() == 0;
         }},
        {"ComingTemplate", [] { return ComingTemplate.Count() == 0; }},
        {"GoingTemplate", [] { return GoingTemplate.Count() == 0; }},
        {"StartTemplate", [] { return StartTemplate.Count() == 0; }},
        {"HeartbeatTemplate", [] { return HeartbeatTemplate.Count() == 0; }},
        {"StopTemplate", [] { return StopTemplate.Count() == 0; }},
    };
    for (const Case &c : cases) {
        std::atomic<bool> ok{false};
        Worker user([&] { ok = c.roundTrip(); });
        EXPECT_TRUE(user.JoinWithin(2000)) << c.name << " blocked";
        EXPECT_TRUE(ok.load()) << c.name << " is not an empty, working list";
    }
}

}  // namespace
