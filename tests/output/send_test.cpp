// Datagrams end to end inside one process: the simulated reader delivers tags
// and reports to Korvane's result handlers, HandleNewTags renders them, and
// the test reads the bytes from real sockets on ClientList.
#include "output/send.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "config/config.h"
#include "core/app.h"
#include "core/signals.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "output/clients.h"
#include "output/keyboard.h"
#include "output/server.h"
#include "reader/results.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"
#include "testkit/files.h"
#include "testkit/korvane_process.h"
#include "testkit/readersim_client.h"

namespace {

// Reads what arrives on `fd` until `length` bytes came or `timeoutMs` passed.
std::string ReadBytes(int fd, size_t length, int timeoutMs) {
    std::string received;
    char buffer[65536];
    while (received.size() < length) {
        struct pollfd readable = {fd, POLLIN, 0};
        if (poll(&readable, 1, timeoutMs) <= 0) break;
        ssize_t got = read(fd, buffer, std::min(sizeof(buffer), length - received.size()));
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

// Everything that arrives within `quietMs` of silence.
std::string ReadAll(int fd, int quietMs) {
    return ReadBytes(fd, SIZE_MAX, quietMs);
}

class DatagramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(temp.Error(), "");
        dir = temp.Dir();
        setenv("READERSIM_SOCKET", (dir + "/sim.sock").c_str(), 1);

        ResetProcessState();
        tConnectParams params;
        FillConnectParams(&params, 4);
        ReaderHandle = ConnectReader(&params, 0);
        ASSERT_NE(ReaderHandle, 0u);
        ASSERT_EQ(SetDllResultHandlerASyncGetEPCs(InventoryStatusHandler, TagDataHandler), 0u);
        ASSERT_EQ(SetDllResultHandlerASyncReadDataAny(ReadStatusHandler, TagDataHandler), 0u);
        ASSERT_EQ(
            SetDllResultHandlerASyncReadDataUntilEndOfBankAny(ReadStatusHandler, TagDataHandler),
            0u);
        ASSERT_EQ(SetDllResultHandlerASyncStopCommand(StopResultHandler), 0u);
        ASSERT_EQ(SetDllResultHandlerGetExtendedResultFlag(GetResultFlagHandler), 0u);
        ASSERT_EQ(SetDllResultHandlerSetExtendedResultFlag(SetResultFlagHandler), 0u);
        ASSERT_TRUE(reader.Connect(dir + "/sim.sock", 5000));
        ASSERT_EQ(pthread_create(&consumer, nullptr, HandleNewTags, nullptr), 0);
        consumerStarted = true;
    }

    void TearDown() override {
        FlagSet(ShutdownFlag, 1);
        if (consumerStarted) pthread_join(consumer, nullptr);
        reader.Close();
        SetDllResultHandlerASyncGetEPCs(nullptr, nullptr);
        SetDllResultHandlerASyncReadDataAny(nullptr, nullptr);
        SetDllResultHandlerASyncReadDataUntilEndOfBankAny(nullptr, nullptr);
        SetDllResultHandlerASyncStopCommand(nullptr);
        SetDllResultHandlerGetExtendedResultFlag(nullptr);
        SetDllResultHandlerSetExtendedResultFlag(nullptr);
        DisconnectReader(ReaderHandle);
        FlagSet(ClientConnected, 0);
        EventWait(&ClientsLock);
        CloseClientSockets();
        EventSignal(&ClientsLock);
        for (int fd : peers)
            close(fd);
        ResetProcessState();
    }

    // Stores and parses the five templates as the configuration would.
    void SetTemplates(const char *coming, const char *going, const char *start = nullptr,
                      const char *heartbeat = nullptr, const char *stop = nullptr) {
        FreeStoredTemplateTexts();
        char **texts[] = {&ComingText, &GoingText, &StartText, &HeartbeatText, &StopText};
        const char *values[] = {coming, going, start, heartbeat, stop};
        CMyList<tDatagramElement *> *lists[] = {&ComingTemplate, &GoingTemplate, &StartTemplate,
                                                &HeartbeatTemplate, &StopTemplate};
        bool reset = true;
        for (int i = 0; i < 5; i++) {
            EventWait(&DatagramLock);
            *texts[i] = values[i] != nullptr ? strdup(values[i]) : nullptr;
            EventSignal(&DatagramLock);
            ParseDatagramResultString(reset && values[i] != nullptr, false, values[i], *lists[i]);
            if (values[i] != nullptr) reset = false;
        }
    }

    // A TCP client over loopback: Korvane's end goes on ClientList, the test
    // keeps the other. A small buffer makes a slow client.
    int AddClient(int buffer = 0) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
        int peer = socket(AF_INET, SOCK_STREAM, 0);
        if (buffer > 0) setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        EXPECT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&address), length), 0);
        int client = accept(listener, nullptr, nullptr);
        close(listener);
        fcntl(client, F_SETFL, O_NONBLOCK);
        if (buffer > 0) setsockopt(client, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
        EventWait(&ClientsLock);
        ClientList.PushBack(client);
        EventSignal(&ClientsLock);
        FlagSet(ClientConnected, 1);
        peers.push_back(peer);
        return peer;
    }

    // What the poller does every pass.
    void Flush() {
        EventWait(&ClientsLock);
        FlushClientBacklogs();
        EventSignal(&ClientsLock);
    }

    TempDir temp{"korvane-send"};
    std::string dir;
    ReaderSimClient reader;
    pthread_t consumer;
    bool consumerStarted = false;
    std::vector<int> peers;
};

TEST_F(DatagramTest, ChainOfThreeBecomesThreeDatagramsInChainOrder) {
    SetTemplates("+{EPC};{AntennaPort};{RSSIDBM}{CR}{LF}", "-{EPC}{LF}");
    int client = AddClient();
    ASSERT_EQ(reader.Command("tags came epc=0001AAAA antenna=0x21 rssidbm=-61 | "
                             "epc=0002BBBB antenna=3 rssidbm=-7 | epc=0003CCCC rssidbm=0"),
              "OK");
    // The EPC goes out from the record's last word to its first.
    std::string expected = "+AAAA0001;1;-61\r\n+BBBB0002;3;-7\r\n+CCCC0003;0;0\r\n";
    EXPECT_EQ(ReadBytes(client, expected.size(), 5000), expected);
    ASSERT_EQ(reader.Command("tags left epc=1234"), "OK");
    EXPECT_EQ(ReadBytes(client, 6, 5000), "-1234\n");
}

TEST_F(DatagramTest, ReaderReportsSendTheirTextsExceptStopsKorvaneCaused) {
    SetTemplates("{EPC}", nullptr, "start{CR}", "beat", "stop");
    int client = AddClient();
    ASSERT_EQ(reader.Command("report start"), "OK");
    EXPECT_EQ(ReadBytes(client, 6, 5000), "start\r");
    ASSERT_EQ(reader.Command("report heartbeat"), "OK");
    EXPECT_EQ(ReadBytes(client, 4, 5000), "beat");
    ASSERT_EQ(reader.Command("report stop"), "OK");
    EXPECT_EQ(ReadBytes(client, 4, 5000), "stop");

    // A stop Korvane asks for itself is acknowledged and swallowed.
    EventInit(&StopDoneEvent, 0);
    SuppressedStopCount.fetch_add(1);
    ASSERT_EQ(ASyncStopCommand(ReaderHandle), 0u);
    EXPECT_EQ(EventWaitMs(&StopDoneEvent, 5000), 0);
    // Reports of another reader are ignored.
    ASSERT_EQ(reader.Command("report start handle=77"), "OK");
    ASSERT_EQ(reader.Command("report stop handle=77"), "OK");
    ASSERT_EQ(reader.Command("report heartbeat"), "OK");
    EXPECT_EQ(ReadAll(client, 300), "beat") << "nothing but the heartbeat after the own stop";
    EXPECT_EQ(FlagGet(SuppressedStopCount), 0);
}

TEST_F(DatagramTest, NothingIsRenderedWhileNobodyListens) {
    SetTemplates("{EPC}", "{EPC}", "start", "beat", "stop");
    int client = AddClient();
    FlagSet(ClientConnected, 0);
    ASSERT_EQ(reader.Command("tags came epc=1111"), "OK");
    ASSERT_EQ(reader.Command("report start"), "OK");
    EXPECT_EQ(ReadAll(client, 300), "");
    EXPECT_EQ(KeyboardList.Count(), 0u);

    // Keyboard emulation alone is an audience: the text is queued to type.
    FlagSet(KeyboardEmulationEnabled, 1);
    ASSERT_EQ(reader.Command("report heartbeat"), "OK");
    ASSERT_EQ(KeyboardList.Count(), 1u);
    tData *text = nullptr;
    ASSERT_EQ(KeyboardList.PopFront(text), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text->buffer), text->length), "beat");
    FreeData(text);
}

TEST_F(DatagramTest, RenderingDetails) {
    // A coming tag without ComingText sends nothing; going is unaffected.
    SetTemplates(nullptr, "g{EPC}{NUL}");
    int client = AddClient();
    tTag tag = {};
    tag.epcLength = 1;
    tag.epc[0] = 0xABCD;
    tag.event = 0xFF;
    SendTagData(&tag, 0);
    tag.event = 0x17;
    SendTagData(&tag, 0);
    tag.event = 0x00;
    SendTagData(&tag, 0);
    EXPECT_EQ(ReadAll(client, 200), std::string("gABCD\0", 6)) << "the NUL byte is sent";

    // Control bytes in a binary block go out with every datagram, not only
    // the first.
    SetTemplates("{EPC,Coding=0,CR,LF}|", nullptr);
    tag.event = 0xFF;
    SendTagData(&tag, 0);
    SendTagData(&tag, 0);
    EXPECT_EQ(ReadAll(client, 200), "\xAB\xCD\r\n|\xAB\xCD\r\n|");

    // A template that renders nothing sends nothing and queues nothing.
    FlagSet(KeyboardEmulationEnabled, 1);
    SetTemplates("{RSSI}", nullptr);
    SendTagData(nullptr, 0);
    SendTagData(&tag, 1);  // an absent StartText renders no text
    EXPECT_EQ(ReadAll(client, 200), "");
    EXPECT_EQ(KeyboardList.Count(), 0u);
}

TEST_F(DatagramTest, EmptyWordTextRenderedTwiceFirstInTheBufferIsNoFault) {
    // An EPC of no words renders an empty text; the second {EPC} reuses it.
    // As the very first bytes of the kept render buffer (before it has any
    // memory) that appended zero bytes from a null buffer.
    FreeDatagramBuffers();
    SetTemplates("{EPC}{EPC}", nullptr);
    FlagSet(KeyboardEmulationEnabled, 1);
    FlagSet(ClientConnected, 1);
    tTag tag = {};
    tag.event = 0xFF;
    SendTagData(&tag, 0);
    EXPECT_EQ(KeyboardList.Count(), 0u) << "an empty datagram is not queued";
    SetTemplates("{EPC}{EPC}|", nullptr);
    FreeDatagramBuffers();
    SendTagData(&tag, 0);
    ASSERT_EQ(KeyboardList.Count(), 1u);
    tData *text = nullptr;
    ASSERT_EQ(KeyboardList.PopFront(text), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text->buffer), text->length), "|");
    FreeData(text);
}

TEST_F(DatagramTest, BatchedDatagramsKeepTheirBytesAndOrderAroundReports) {
    SetTemplates("t{EPC}{LF}", nullptr, nullptr, "beat{LF}");
    int client = AddClient();
    FlagSet(KeyboardEmulationEnabled, 1);
    tTag tag = {};
    tag.epcLength = 1;
    tag.event = 0xFF;
    auto send = [&tag](uint16_t epc) {
        tag.epc[0] = epc;
        SendTagData(&tag, 0);
    };

    BeginDatagramBatch();
    send(0x0001);
    send(0x0002);
    EXPECT_EQ(ReadAll(client, 100), "") << "a batch is written at its end, not per datagram";
    // A report rendered on another thread writes the batch before itself.
    std::thread([] { SendTagData(nullptr, 2); }).join();
    EXPECT_EQ(ReadAll(client, 200), "t0001\nt0002\nbeat\n");
    send(0x0003);
    EndDatagramBatch();
    EXPECT_EQ(ReadAll(client, 200), "t0003\n");
    // Every datagram is still its own text to type.
    EXPECT_EQ(KeyboardList.Count(), 4u);
    FreeKeyboardTexts();
    FlagSet(KeyboardEmulationEnabled, 0);

    // A large batch is written as it fills, whole datagrams in order.
    BeginDatagramBatch();
    std::string expected;
    for (uint32_t i = 0; i < 3000; i++) {
        send(static_cast<uint16_t>(i));
        char text[16];
        snprintf(text, sizeof(text), "t%04X\n", i);
        expected += text;
    }
    std::string early = ReadAll(client, 100);
    EXPECT_GE(early.size(), 8u * 1024) << "a full batch waited for the end";
    EXPECT_LT(early.size(), expected.size());
    EndDatagramBatch();
    EXPECT_EQ(early + ReadAll(client, 200), expected);

    // Outside a batch every datagram goes out at once.
    send(0x0BCD);
    EXPECT_EQ(ReadAll(client, 100), "t0BCD\n");
}

TEST_F(DatagramTest, ClosedPeerIsDroppedAndTheOthersStillReceive) {
    SetTemplates(nullptr, nullptr, "S");
    int first = AddClient();
    int gone = AddClient();
    int last = AddClient();
    close(gone);
    peers.erase(std::find(peers.begin(), peers.end(), gone));
    // Over TCP the first write after the peer closed still succeeds; the
    // peer's reset makes a later one fail, and the client is dropped then.
    std::string sentText;
    for (int i = 0; i < 20 && ClientList.Count() == 3; i++) {
        SendTagData(nullptr, 1);
        sentText += "S";
        usleep(10000);
    }
    EXPECT_EQ(ClientList.Count(), 2u);
    EXPECT_EQ(ReadBytes(first, sentText.size(), 2000), sentText);
    EXPECT_EQ(ReadBytes(last, sentText.size(), 2000), sentText);
}

size_t FirstDifference(const std::string &a, const std::string &b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        i++;
    return i;
}

// Datagram `i` of the slow client test: 14 bytes, all alike in length.
std::string Numbered(uint64_t i) {
    return std::to_string(1000000000000ull + i) + "\n";
}

TEST_F(DatagramTest, SlowClientGetsWholeDatagramsInOrderUntilItFallsTooFarBehind) {
    SetTemplates(nullptr, "{TimestampMS}\n");
    int slow = AddClient(4096);
    int fast = AddClient();
    std::atomic<bool> done{false};
    std::string fastReceived;
    std::atomic<size_t> fastReceivedSize{0};
    std::thread drainFast([&] {
        while (!done.load()) {
            fastReceived += ReadAll(fast, 20);
            fastReceivedSize.store(fastReceived.size());
        }
        fastReceived += ReadAll(fast, 50);
    });
    tTag tag = {};
    tag.event = 0x00;
    uint64_t sent = 0;
    auto sendNext = [&] {
        tag.timestampMs = 1000000000000ull + sent++;
        SendTagData(&tag, 0);
    };

    // Fill the slow client's socket and part of its backlog without reading.
    for (int i = 0; i < 2000; i++)
        sendNext();
    ASSERT_EQ(ClientList.Count(), 2u) << "28 KB fit in the socket plus the backlog";
    std::string expected;
    for (uint64_t i = 0; i < sent; i++)
        expected += Numbered(i);
    // Reading makes room; what waits goes out on the next flush (the poller
    // flushes every pass) or before the next datagram.
    std::string slowReceived;
    for (int pass = 0; pass < 1000 && slowReceived.size() < expected.size(); pass++) {
        slowReceived += ReadBytes(slow, expected.size() - slowReceived.size(), 20);
        if (pass % 2 == 0) {
            Flush();
        } else {
            expected += Numbered(sent);
            sendNext();
        }
    }
    EXPECT_TRUE(slowReceived == expected)
        << "whole datagrams, in order, nothing lost: got " << slowReceived.size() << " of "
        << expected.size() << " bytes, first difference at "
        << FirstDifference(slowReceived, expected);

    // Not reading at all: once its backlog is full the client is dropped,
    // and what it received up to then is whole datagrams in order.
    uint64_t first = sent;
    for (int i = 0; i < 20000 && ClientList.Count() == 2; i++)
        sendNext();
    EXPECT_EQ(ClientList.Count(), 1u) << "the slow client is dropped";
    std::string tail = ReadAll(slow, 200);
    std::string stream;
    for (uint64_t i = first; stream.size() < tail.size(); i++)
        stream += Numbered(i);
    EXPECT_TRUE(tail == stream.substr(0, tail.size()))
        << "the stream is never torn while connected; first difference at "
        << FirstDifference(tail, stream);

    // What still waits for the fast client goes out with the next flushes.
    std::string all;
    for (uint64_t i = 0; i < sent; i++)
        all += Numbered(i);
    for (int pass = 0; pass < 100 && fastReceivedSize.load() < all.size(); pass++) {
        Flush();
        usleep(10000);
    }
    done.store(true);
    drainFast.join();
    EXPECT_TRUE(fastReceived == all)
        << "the fast client gets everything: got " << fastReceived.size() << " of " << all.size()
        << " bytes, first difference at " << FirstDifference(fastReceived, all);
}

TEST_F(DatagramTest, KeyboardQueueIsBounded) {
    SetTemplates(nullptr, nullptr, "k");
    FlagSet(KeyboardEmulationEnabled, 1);
    for (uint32_t i = 0; i < kMaxKeyboardTexts + 10; i++)
        SendTagData(nullptr, 1);
    EXPECT_EQ(KeyboardList.Count(), kMaxKeyboardTexts);
}

}  // namespace

namespace {

// Feeds `count` tags with EPCs 0 to count-1 (one word each) through the data
// handler, in chains of `chain`, as the reader library's threads would.
void FeedTags(uint32_t count, uint32_t chain) {
    std::vector<ReaderTagRecord> records(chain);
    for (uint32_t first = 0; first < count; first += chain) {
        uint32_t n = std::min(chain, count - first);
        for (uint32_t i = 0; i < n; i++) {
            memset(&records[i], 0, sizeof(ReaderTagRecord));
            records[i].epcLength = 2;
            records[i].epc[0] = static_cast<uint16_t>(first + i);
            records[i].epc[1] = static_cast<uint16_t>((first + i) >> 16);
            records[i].next = i + 1 < n ? &records[i + 1] : nullptr;
        }
        TagDataHandler(0xFF, 0, &records[0]);
        // Keep the queue short, as a reader reporting at its own pace would.
        while (TagList.Count() > 20000)
            usleep(1000);
    }
}

// Reads until `length` bytes came or the sender has been quiet for a second.
size_t Drain(int fd, size_t length, std::string *keep) {
    size_t total = 0;
    char buffer[65536];
    while (total < length) {
        struct pollfd readable = {fd, POLLIN, 0};
        if (poll(&readable, 1, 1000) <= 0) break;
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got <= 0) break;
        if (keep != nullptr) keep->append(buffer, static_cast<size_t>(got));
        total += static_cast<size_t>(got);
    }
    return total;
}

}  // namespace

TEST_F(DatagramTest, RenderingReparsingAndReportsRunConcurrently) {
    SetTemplates("<{EPC}|{RSSI}>\n", nullptr, nullptr, "<beat>\n");
    int client = AddClient();
    const uint32_t kTags = 20000;
    std::atomic<bool> feeding{true};
    std::thread reparser([&] {
        while (feeding.load()) {
            ParseDatagramResultString(true, false, ComingText, ComingTemplate);
            ParseDatagramResultString(false, false, HeartbeatText, HeartbeatTemplate);
        }
    });
    std::atomic<int> beats{0};
    std::thread reporter([&] {
        ReaderSimClient control;
        if (!control.Connect(dir + "/sim.sock", 5000)) return;
        while (feeding.load()) {
            if (control.Command("report heartbeat") == "OK") beats++;
        }
    });
    std::string received;
    std::thread reading([&] { Drain(client, SIZE_MAX, &received); });
    FeedTags(kTags, 50);
    for (int i = 0; i < 500 && TagList.Count() != 0; i++)
        usleep(10000);
    feeding.store(false);
    reparser.join();
    reporter.join();
    reading.join();

    // Every datagram is whole, and every tag went out exactly once, in order.
    size_t tagLines = 0, beatLines = 0, bad = 0;
    uint32_t expectedEpc = 0;
    size_t start = 0;
    for (size_t end = received.find('\n'); end != std::string::npos;
         start = end + 1, end = received.find('\n', start)) {
        std::string line = received.substr(start, end - start);
        if (line == "<beat>") {
            beatLines++;
            continue;
        }
        char expected[32];
        snprintf(expected, sizeof(expected), "<%04X%04X|0>", expectedEpc >> 16,
                 expectedEpc & 0xFFFF);
        if (line == expected) {
            tagLines++;
            expectedEpc++;
        } else {
            if (bad++ < 3) ADD_FAILURE() << "unexpected line: " << line << " wanted " << expected;
        }
    }
    EXPECT_EQ(start, received.size()) << "no torn datagram at the end";
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(tagLines, kTags);
    EXPECT_EQ(beatLines, static_cast<size_t>(beats.load()));
}

TEST_F(DatagramTest, MillionTagsPassWithoutLeaksOrLoss) {
#if defined(__SANITIZE_THREAD__)
    const uint32_t kTags = 100000;  // the thread sanitizer is too slow for more
#else
    const uint32_t kTags = 1000000;
#endif
    SetTemplates("{EPC}{CR}{LF}", nullptr);
    int client = AddClient();
    size_t received = 0;
    std::thread reading([&] { received = Drain(client, size_t{kTags} * 10, nullptr); });
    FeedTags(kTags, 1000);
    reading.join();
    EXPECT_EQ(received, size_t{kTags} * 10);
    EXPECT_EQ(TagList.Count(), 0u);
}

TEST_F(DatagramTest, TemplatesChooseTheReaderCommandAndItsFlags) {
    FlagSet(ClientConnected, 1);
    struct Case {
        const char *coming;
        const char *going;
        const char *readerFlags;  // what GetExtendedResultFlag reports
        const char *calls;        // the reader calls of the set, after the flag fetch
        uint8_t skipFirst, skipLast;
    } const cases[] = {
        {"{EPC}", "{EPC}", "0", "ASyncGetEPCs(19286)", 0, 0},
        {"{MemoryBank=3,Pointer=0,Length=8}", "{MemoryBank=3,Pointer=0,Length=8}", "0",
         "ASyncReadDataAny(19286,0,3,0,4)", 0, 0},
        {"{MemoryBank=1,Pointer=1,Length=3,Password=0x1234}", "{EPC}", "0",
         "ASyncReadDataAny(19286,4660,1,0,2)", 1, 0},
        {"{MemoryBank=2,Pointer=6,Length=0xFFFFFFFF}", "-", "0",
         "ASyncReadDataUntilEndOfBankAny(19286,0,2,3,255)", 0, 0},
        // The reader's own flags are kept and the words' bits added.
        {"{EPC}{RSSI}", "{TimestampMS}", "0x10",
         "ASyncGetEPCs(19286);SetExtendedResultFlag(19286,82)", 0, 0},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(reader.Command(std::string("flags ") + c.readerFlags), "OK");
        ASSERT_EQ(reader.Command("calls clear"), "OK");
        FlagSet(ReaderCommandRunning, 0);
        ParseDatagramResultString(true, false, c.coming, ComingTemplate);
        ParseDatagramResultString(false, true, c.going, GoingTemplate);
        EXPECT_EQ(reader.Command("calls"),
                  std::string("OK GetExtendedResultFlag(19286);") + c.calls)
            << c.coming;
        EXPECT_EQ(FlagGet(ReaderCommandRunning), 1) << c.coming;
        EXPECT_EQ(FlagGet(SkipFirstByte), c.skipFirst) << c.coming;
        EXPECT_EQ(FlagGet(SkipLastByte), c.skipLast) << c.coming;
    }

    // A memory read renders the bytes the template asked for: pointer 1,
    // length 3 of the words AABB CCDD.
    SetTemplates("{MemoryBank=3,Pointer=1,Length=3}{LF}", "{MemoryBank=3,Pointer=1,Length=3}");
    ParseDatagramResultString(false, true, GoingText, GoingTemplate);
    int client = AddClient();
    ASSERT_EQ(reader.Command("tags via=read came data=AABBCCDD | result=11"), "OK");
    EXPECT_EQ(ReadBytes(client, 18, 5000), "BBCCDD\nError 0x0B\n");
}

TEST_F(DatagramTest, UnacknowledgedOrFailedStartsLeaveTheReaderIdle) {
    FlagSet(ClientConnected, 1);
    ASSERT_EQ(reader.Command("starterror 5"), "OK");
    ParseDatagramResultString(true, true, "{EPC}", GoingTemplate);
    EXPECT_EQ(FlagGet(ReaderCommandRunning), 0) << "a start error is a failed start";

    ASSERT_EQ(reader.Command("fail ASyncGetEPCs 9"), "OK");
    ParseDatagramResultString(true, true, "{EPC}", GoingTemplate);
    EXPECT_EQ(FlagGet(ReaderCommandRunning), 0);
    ASSERT_EQ(reader.Command("ok ASyncGetEPCs"), "OK");

    // Nobody listens: no command is started at all.
    FlagSet(ClientConnected, 0);
    ASSERT_EQ(reader.Command("calls clear"), "OK");
    ParseDatagramResultString(false, true, "{EPC}", GoingTemplate);
    EXPECT_EQ(reader.Command("calls"), "OK");

    // An unacknowledged start is given up after 5000 ms.
    FlagSet(ClientConnected, 1);
    ASSERT_EQ(reader.Command("withhold ASyncGetEPCs"), "OK");
    long long started = MonotonicMs();
    ParseDatagramResultString(false, true, "{EPC}", GoingTemplate);
    long long waited = MonotonicMs() - started;
    EXPECT_EQ(FlagGet(ReaderCommandRunning), 0);
    EXPECT_GE(waited, 4900);
    EXPECT_LT(waited, 6500);
}
