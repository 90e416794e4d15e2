// Reader results (tag chains, closed intake, foreign handles, own stops) and command starts.
#include "reader/results.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "core/app.h"
#include "core/signals.h"
#include "datagram/template.h"
#include "output/send.h"
#include "reader/tag.h"
#include "sync/lists.h"
#include "testkit/clock.h"
#include "testkit/files.h"
#include "testkit/readersim_client.h"

namespace {

const uint32_t kHandle = 0x4B56;

// The datagrams queued for the keyboard since the last call.
std::vector<std::string> Typed() {
    std::vector<std::string> texts;
    tData *data = nullptr;
    for (; KeyboardList.PopFront(data) == 0; FreeData(data))
        texts.emplace_back(reinterpret_cast<char *>(data->buffer), data->length);
    return texts;
}

// Counts available on `event`, taken without sleeping.
int Signals(tEvent *event) {
    int count = 0;
    while (EventWaitMs(event, 0) == 0)
        count++;
    return count;
}

// A record whose 31 EPC words are all `word`.
ReaderTagRecord Record(uint8_t epcLength, uint16_t word) {
    ReaderTagRecord record = {};
    record.epcLength = epcLength;
    for (uint16_t &epcWord : record.epc)
        epcWord = word;
    return record;
}

class ResultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        ReaderHandle = kHandle;
        FlagSet(KeyboardEmulationEnabled, 1);
        char *texts[kTemplateCount] = {
            strdup("+{EPC};{AntennaPort};{AntennaProperty};{RSSIDBM};{PC};{TimestampMS};"
                   "{MemoryBank=3,Pointer=0,Length=4}{CR}{LF}"),
            strdup("-{EPC}{LF}"), strdup("start{CR}"), strdup("beat{CR}"), strdup("stop{CR}")};
        ParseTemplateSet(texts, false);
    }
    void TearDown() override { ResetProcessState(); }
};

// Each record copied (EPC cut to 31 words, memory words), queued in order, signalled.
TEST_F(ResultsTest, ChainIsCopiedQueuedAndRenderedInOrder) {
    uint16_t words[2] = {0xBEEF, 0x0042};
    ReaderTagRecord records[3] = {Record(2, 0x1000), Record(31, 0x3333), Record(200, 0x2222)};
    records[0].epc[1] = 0x1001, records[0].antenna = 0x21, records[0].rssiDbm = -57;
    records[0].pc = 0x3000, records[0].timestampMs = 1704096309123ull, records[0].data = words;
    records[0].dataLength = 2, records[1].antenna = 0xF3, records[2].readResult = 0x0B;
    records[0].next = &records[1], records[1].next = &records[2];
    TagDataHandler(0x1FF, 0, &records[0]);  // only the low byte is the event
    words[0] = 0;                           // the tag has words of its own

    EXPECT_EQ(3, Signals(&NewTagEvent));
    const std::string expected[] = {"+10011000;1;2;-57;3000;1704096309123;BEEF0042\r\n",
                                    "+" + std::string(124, '3') + ";3;15;0;0000;0;\r\n",
                                    "+" + std::string(124, '2') + ";0;0;0;0000;0;Error 0x0B\r\n"};
    for (const std::string &text : expected) {
        tTag *tag = nullptr;
        ASSERT_EQ(0, TagList.PopFront(tag)) << "missing: " << text;
        EXPECT_NE(0u, tag->seenAt);
        SendTagData(tag, 0);
        FreeTag(tag);
        EXPECT_EQ(std::vector<std::string>{text}, Typed());
    }
    EXPECT_EQ(0u, TagList.Count());
}

// Null chain, shutdown, closed intake: nothing queued, records freed (no leak).
TEST_F(ResultsTest, NothingIsQueuedOnceTheIntakeIsClosed) {
    uint16_t words[1] = {7};
    ReaderTagRecord records[2] = {Record(1, 1), Record(1, 2)};
    records[0].data = words, records[0].dataLength = 1, records[0].next = &records[1];
    TagDataHandler(0xFF, 0, nullptr);
    FlagSet(ShutdownFlag, 1);
    TagDataHandler(0xFF, 0, &records[0]);
    FlagSet(ShutdownFlag, 0);
    FlagSet(IntakeOpen, 0);
    TagDataHandler(0x00, 0, &records[0]);
    EXPECT_EQ(0u, TagList.Count());
    EXPECT_EQ(0, Signals(&NewTagEvent));
}

// Reports in sequence: foreign ones ignored, each own stop swallows one StopText.
TEST_F(ResultsTest, ReportsOfTheOwnReaderAndSuppressedStops) {
    const auto kInventory = InventoryStatusHandler, kRead = ReadStatusHandler;
    FlagSet(SuppressedStopCount, 2);
    const struct {
        void (*handler)(uint32_t, uint32_t, uint32_t);
        uint32_t code, status, handle;
        std::vector<std::string> typed;
        int suppressed, inventoryError, readError, inventoryStarts, readStarts;
    } steps[] = {
        {kInventory, 0, 255, kHandle + 1, {}, 2, 0x80, 0x80, 0, 0},
        {kRead, 0, 0, kHandle + 1, {}, 2, 0x80, 0x80, 0, 0},
        {kInventory, 0x105, 255, kHandle, {"start\r"}, 2, 5, 0x80, 1, 0},
        {kRead, 0, 255, kHandle, {"start\r"}, 2, 5, 0, 0, 1},
        {kRead, 9, 128, kHandle, {"beat\r"}, 2, 5, 0, 0, 0},
        {kInventory, 0, 0, kHandle, {}, 1, 5, 0, 0, 0},
        {kRead, 0, 0, kHandle, {}, 0, 5, 0, 0, 0},
        {kInventory, 0, 0, kHandle, {"stop\r"}, 0, 5, 0, 0, 0},
        {kRead, 0, 0, kHandle, {"stop\r"}, 0, 5, 0, 0, 0},
        {kRead, 9, 254, kHandle, {}, 0, 5, 0, 0, 0},
    };
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); i++) {
        const auto &s = steps[i];
        s.handler(s.code, s.status, s.handle);
        EXPECT_EQ(s.typed, Typed()) << "step " << i;
        EXPECT_EQ(s.suppressed, FlagGet(SuppressedStopCount)) << "step " << i;
        EXPECT_EQ(s.inventoryError, FlagGet(InventoryStartError)) << "step " << i;
        EXPECT_EQ(s.readError, FlagGet(ReadStartError)) << "step " << i;
        EXPECT_EQ(s.inventoryStarts, Signals(&InventoryStartEvent)) << "step " << i;
        EXPECT_EQ(s.readStarts, Signals(&ReadStartEvent)) << "step " << i;
    }
}

// Stop and flag acknowledgements count only for the own handle (value: low byte).
TEST_F(ResultsTest, AcknowledgementsOfForeignHandlesAreIgnored) {
    for (uint32_t handle : {kHandle + 1, kHandle}) {
        const int own = handle == kHandle;
        FlagSet(HostCommExtendedResultFlag, 0x55);
        FlagSet(StopResult, 0x55);
        StopResultHandler(0x307, handle);
        EXPECT_EQ(own, Signals(&StopDoneEvent));
        EXPECT_EQ(own ? 7 : 0x55, FlagGet(StopResult));
        GetResultFlagHandler(0x309, handle);
        EXPECT_EQ(own ? 9 : 0x55, FlagGet(HostCommExtendedResultFlag));
        SetResultFlagHandler(0x355, handle);
        EXPECT_EQ(own ? 9 : 0x55, FlagGet(HostCommExtendedResultFlag));
        EXPECT_EQ(own ? 2 : 0, Signals(&ResultFlagEvent));
    }
}

// Wrong reader calls, flags, dropped bytes; failed or unacknowledged starts; starts for nobody.
TEST_F(ResultsTest, TemplatesStartTheReaderCommandOnlyWhenAcknowledged) {
    TempDir temp("korvane-start");
    setenv("READERSIM_SOCKET", temp.Path("sim.sock").c_str(), 1);
    tConnectParams params = {};
    ReaderHandle = ConnectReader(&params, 0);
    SetDllResultHandlerASyncGetEPCs(InventoryStatusHandler, TagDataHandler);
    SetDllResultHandlerASyncReadDataAny(ReadStatusHandler, TagDataHandler);
    SetDllResultHandlerASyncReadDataUntilEndOfBankAny(ReadStatusHandler, TagDataHandler);
    SetDllResultHandlerGetExtendedResultFlag(GetResultFlagHandler);
    SetDllResultHandlerSetExtendedResultFlag(SetResultFlagHandler);
    ReaderSimClient sim;
    EXPECT_TRUE(sim.Connect(temp.Path("sim.sock"), 5000));
    const char *inventory = "{Hex=02}{EPC}{LF}", *read = "{MemoryBank=3,Pointer=0,Length=4}{LF}";
    const struct {
        const char *setup, *coming;
        int listening, running, waitMs;
        const char *calls;               // after GetExtendedResultFlag
        std::vector<std::string> typed;  // a tag read and a failed read
    } rows[] = {
        // clang-format off
        {"starterror 5", inventory, 1, 0, 0, ";ASyncGetEPCs(19286)", {}},
        {"flags 0x90", "{EPC}{TAB}{AntennaPort}{CR}{LF}", 1, 1, 0,
         ";ASyncGetEPCs(19286);SetExtendedResultFlag(19286,145)", {"AAAA0001\t2\r\n", "\t0\r\n"}},
        {"flags 0", "{MemoryBank=2,Pointer=6,Length=0xFFFFFFFF}{CR}{LF}", 1, 1, 0,
         ";ASyncReadDataUntilEndOfBankAny(19286,0,2,3,255)", {"AABBCCDD\r\n", "Error 0x0B\r\n"}},
        {"flags 0", "{MemoryBank=3,Pointer=2,Length=4}{CR}{LF}", 1, 1, 0,
         ";ASyncReadDataAny(19286,0,3,1,2)", {"AABBCCDD\r\n", "Error 0x0B\r\n"}},
        {"flags 0", "{MemoryBank=1,Pointer=1,Length=2,Password=0x1234}{CR}{LF}", 1, 1, 0,
         ";ASyncReadDataAny(19286,4660,1,0,2)", {"BBCC\r\n", "Error 0x0B\r\n"}},
        {"withhold ASyncGetEPCs", inventory, 1, 0, 5000, ";ASyncGetEPCs(19286)", {}},
        {"fail ASyncGetEPCs 9", inventory, 1, 0, 0, ";ASyncGetEPCs(19286)", {}},
        {"starterror 4", read, 1, 0, 0, ";ASyncReadDataAny(19286,0,3,0,2)", {}},
        {"fail ASyncReadDataAny 2", read, 1, 0, 0, ";ASyncReadDataAny(19286,0,3,0,2)", {}},
        {"ok ASyncGetEPCs", inventory, 0, 0, 0, "", {}},
        // clang-format on
    };
    for (const auto &row : rows) {
        EXPECT_EQ("OK", sim.Command(row.setup));
        EXPECT_EQ("OK", sim.Command("calls clear"));
        FlagSet(KeyboardEmulationEnabled, row.listening);
        FlagSet(ReaderCommandRunning, 0);
        char *texts[kTemplateCount] = {strdup(row.coming), strdup("-{EPC}{TAB}{CR}{LF}")};
        long long started = MonotonicMs();
        ParseTemplateSet(texts);
        EXPECT_NEAR(MonotonicMs() - started, row.waitMs + 700, 800) << row.setup;
        EXPECT_EQ("OK GetExtendedResultFlag(19286)" + std::string(row.calls), sim.Command("calls"));
        EXPECT_EQ(row.running, FlagGet(ReaderCommandRunning)) << row.setup;
        if (!row.running) continue;
        EXPECT_EQ("OK", sim.Command("tags came epc=0001AAAA antenna=2 data=AABBCCDD | result=11"));
        for (tTag *tag = nullptr; TagList.PopFront(tag) == 0; FreeTag(tag))
            SendTagData(tag, 0);
        EXPECT_EQ(row.typed, Typed()) << row.setup;
    }
    DisconnectReader(ReaderHandle);  // no handler runs once it returns
}

}  // namespace
