// The reader's result handlers: copying tag chains into the queue, the
// intake, start/stop bookkeeping and the handle check.
#include "reader/results.h"

#include <gtest/gtest.h>
#include <string.h>

#include <thread>
#include <vector>

#include "core/app.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "reader/tag.h"
#include "sync/lists.h"

namespace {

const uint32_t kHandle = 0x4B56;

class ResultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ReaderHandle = kHandle;
        FlagSet(ShutdownFlag, 0);
        FlagSet(IntakeOpen, 1);
        FlagSet(SuppressedStopCount, 0);
        EventInit(&IntakeLock, 1);
        EventInit(&NewTagEvent, 0);
    }
    void TearDown() override {
        tTag *tag = nullptr;
        while (TagList.PopFront(tag) == 0)
            FreeTag(tag);
    }

    std::vector<tTag *> TakeAll() {
        std::vector<tTag *> tags;
        tTag *tag = nullptr;
        while (TagList.PopFront(tag) == 0)
            tags.push_back(tag);
        return tags;
    }

    // Counts available on NewTagEvent, taken without sleeping.
    int Signals() {
        int count = 0;
        while (EventWaitMs(&NewTagEvent, 0) == 0)
            count++;
        return count;
    }
};

ReaderTagRecord MakeRecord(uint16_t firstWord) {
    ReaderTagRecord record;
    memset(&record, 0, sizeof(record));
    record.antenna = 0x21;
    record.rssi = 200;
    record.rssiDbm = -57;
    record.pc = 0x3000;
    record.xpcW1 = 0x1234;
    record.xpcW2 = 0xABCD;
    record.epcLength = 6;
    for (int i = 0; i < 6; i++)
        record.epc[i] = static_cast<uint16_t>(firstWord + i);
    record.readResult = 3;
    record.timestampMs = 0x0123456789ABCDEFull;
    return record;
}

TEST_F(ResultsTest, ChainBecomesQueuedRecordsInChainOrder) {
    ReaderTagRecord records[3] = {MakeRecord(0x100), MakeRecord(0x200), MakeRecord(0x300)};
    records[0].next = &records[1];
    records[1].next = &records[2];
    uint16_t words[2] = {0xBEEF, 0x0042};
    records[1].data = words;
    records[1].dataLength = 2;

    TagDataHandler(0x1FF, 0, &records[0]);  // only the low byte is the event

    EXPECT_EQ(Signals(), 3);
    std::vector<tTag *> tags = TakeAll();
    ASSERT_EQ(tags.size(), 3u);
    for (int i = 0; i < 3; i++) {
        tTag *tag = tags[i];
        EXPECT_EQ(tag->event, 0xFF);
        EXPECT_EQ(tag->antenna, 0x21);
        EXPECT_EQ(tag->rssi, 200);
        EXPECT_EQ(tag->rssiDbm, -57);
        EXPECT_EQ(tag->pc, 0x3000);
        EXPECT_EQ(tag->xpcW1, 0x1234);
        EXPECT_EQ(tag->xpcW2, 0xABCD);
        EXPECT_EQ(tag->epcLength, 6);
        EXPECT_EQ(tag->epc[0], 0x100 * (i + 1));
        EXPECT_EQ(tag->epc[5], 0x100 * (i + 1) + 5);
        EXPECT_EQ(tag->epc[6], 0) << "words beyond the length stay zero";
        EXPECT_EQ(tag->readResult, 3);
        EXPECT_EQ(tag->timestampMs, 0x0123456789ABCDEFull);
        EXPECT_NE(tag->seenAt, 0u);
    }
    EXPECT_EQ(tags[0]->memoryData, nullptr);
    EXPECT_EQ(tags[0]->dataLength, 0);
    ASSERT_NE(tags[1]->memoryData, nullptr);
    EXPECT_NE(tags[1]->memoryData, words) << "the words are copied, not borrowed";
    EXPECT_EQ(tags[1]->dataLength, 2);
    EXPECT_EQ(tags[1]->memoryData[0], 0xBEEF);
    EXPECT_EQ(tags[1]->memoryData[1], 0x0042);
    for (tTag *tag : tags)
        FreeTag(tag);
}

TEST_F(ResultsTest, NothingIsQueuedForNullChainShutdownOrClosedIntake) {
    TagDataHandler(0xFF, 0, nullptr);
    EXPECT_EQ(TagList.Count(), 0u);

    ReaderTagRecord record = MakeRecord(1);
    FlagSet(ShutdownFlag, 1);
    TagDataHandler(0xFF, 0, &record);
    EXPECT_EQ(TagList.Count(), 0u);
    FlagSet(ShutdownFlag, 0);

    // After the intake was closed at tear-down, results are freed at once
    // (a leak here shows under AddressSanitizer).
    uint16_t words[1] = {7};
    record.data = words;
    record.dataLength = 1;
    FlagSet(IntakeOpen, 0);
    TagDataHandler(0x00, 0, &record);
    EXPECT_EQ(TagList.Count(), 0u);
    EXPECT_EQ(Signals(), 0);
}

TEST_F(ResultsTest, RecordClaimingMoreThan31EpcWordsIsCutToWhatItHolds) {
    ReaderTagRecord record = MakeRecord(0x10);
    record.epcLength = 200;
    for (int i = 0; i < 31; i++)
        record.epc[i] = static_cast<uint16_t>(i);
    TagDataHandler(0xFF, 0, &record);
    std::vector<tTag *> tags = TakeAll();
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0]->epcLength, 31);
    EXPECT_EQ(tags[0]->epc[30], 30);
    FreeTag(tags[0]);
}

TEST_F(ResultsTest, StartReportStoresErrorAndWakesWaiterOnlyForOwnHandle) {
    struct Case {
        void (*handler)(uint32_t, uint32_t, uint32_t);
        tFlag *error;
        tEvent *event;
    } const cases[] = {
        {InventoryStatusHandler, &InventoryStartError, &InventoryStartEvent},
        {ReadStatusHandler, &ReadStartError, &ReadStartEvent},
    };
    for (const Case &c : cases) {
        EventInit(c.event, 0);
        FlagSet(*c.error, 0x80);
        c.handler(0, 255, kHandle + 1);
        EXPECT_EQ(FlagGet(*c.error), 0x80) << "a foreign handle is ignored";
        EXPECT_EQ(EventWaitMs(c.event, 0), -1);

        c.handler(0x105, 255, kHandle);  // the low byte is the start error
        EXPECT_EQ(FlagGet(*c.error), 5);
        EXPECT_EQ(EventWaitMs(c.event, 0), 0);

        c.handler(0, 255, kHandle);
        EXPECT_EQ(FlagGet(*c.error), 0);
        EXPECT_EQ(EventWaitMs(c.event, 0), 0);

        for (uint32_t status : {1u, 64u, 254u, 128u}) {
            c.handler(9, status, kHandle);
            EXPECT_EQ(FlagGet(*c.error), 0) << status;
            EXPECT_EQ(EventWaitMs(c.event, 0), -1) << status;
        }
    }
}

TEST_F(ResultsTest, EachStopReportSwallowsOneSuppressedStop) {
    FlagSet(SuppressedStopCount, 2);
    InventoryStatusHandler(0, 0, kHandle + 1);
    EXPECT_EQ(FlagGet(SuppressedStopCount), 2) << "a foreign stop changes nothing";
    InventoryStatusHandler(0, 0, kHandle);
    EXPECT_EQ(FlagGet(SuppressedStopCount), 1);
    ReadStatusHandler(0, 0, kHandle);
    EXPECT_EQ(FlagGet(SuppressedStopCount), 0);
    ReadStatusHandler(0, 0, kHandle);
    EXPECT_EQ(FlagGet(SuppressedStopCount), 0) << "never below zero";
}

TEST_F(ResultsTest, SuppressedStopsAreCountedExactlyUnderConcurrency) {
    // Stoppers raise the count while the library's threads report the stops.
    const int kStops = 200;
    FlagSet(SuppressedStopCount, 0);
    std::thread reporter([] {
        for (int i = 0; i < kStops; i++) {
            while (FlagGet(SuppressedStopCount) == 0)
                std::this_thread::yield();
            InventoryStatusHandler(0, 0, kHandle);
        }
    });
    for (int i = 0; i < kStops; i++) {
        SuppressedStopCount.fetch_add(1, std::memory_order_relaxed);
        while (FlagGet(SuppressedStopCount) > 100)
            std::this_thread::yield();
    }
    reporter.join();
    EXPECT_EQ(FlagGet(SuppressedStopCount), 0);
}

TEST_F(ResultsTest, AcknowledgementHandlersCheckTheHandle) {
    EventInit(&StopDoneEvent, 0);
    StopResultHandler(7, kHandle + 1);
    EXPECT_EQ(EventWaitMs(&StopDoneEvent, 0), -1);
    StopResultHandler(0x307, kHandle);
    EXPECT_EQ(EventWaitMs(&StopDoneEvent, 0), 0);
    EXPECT_EQ(FlagGet(StopResult), 7);

    EventInit(&ResultFlagEvent, 0);
    FlagSet(HostCommExtendedResultFlag, 0);
    GetResultFlagHandler(0x45, kHandle + 1);
    SetResultFlagHandler(0, kHandle + 1);
    EXPECT_EQ(EventWaitMs(&ResultFlagEvent, 0), -1);
    EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), 0);
    GetResultFlagHandler(0x45, kHandle);
    EXPECT_EQ(FlagGet(HostCommExtendedResultFlag), 0x45);
    EXPECT_EQ(EventWaitMs(&ResultFlagEvent, 0), 0);
    SetResultFlagHandler(0, kHandle);
    EXPECT_EQ(EventWaitMs(&ResultFlagEvent, 0), 0);
}

TEST_F(ResultsTest, ConsumerDrainsQueueFedFromAnotherThreadAndEndsOnShutdown) {
    pthread_t consumer;
    ASSERT_EQ(pthread_create(&consumer, nullptr, HandleNewTags, nullptr), 0);
    const int kChains = 500;
    std::thread producer([] {
        for (int i = 0; i < kChains; i++) {
            ReaderTagRecord pair[2] = {MakeRecord(1), MakeRecord(2)};
            pair[0].next = &pair[1];
            TagDataHandler(i % 2 ? 0xFF : 0x00, 0, &pair[0]);
        }
    });
    producer.join();
    // Every record is taken off the queue within a few passes.
    for (int i = 0; i < 200 && TagList.Count() != 0; i++)
        usleep(10000);
    EXPECT_EQ(TagList.Count(), 0u);
    FlagSet(ShutdownFlag, 1);
    // The consumer sees the flag within its 100 ms wait.
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pthread_join(consumer, nullptr);
    clock_gettime(CLOCK_MONOTONIC, &end);
    long elapsedMs = (end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000;
    EXPECT_LT(elapsedMs, 400);
}

}  // namespace
