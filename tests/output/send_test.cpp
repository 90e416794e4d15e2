// Datagram delivery inside one process: SendTagData writes to loopback
// sockets the test puts on ClientList, so batches, slow clients and closed
// peers can be driven datagram by datagram and checked byte by byte.
#include "output/send.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/app.h"
#include "core/log.h"
#include "datagram/template.h"
#include "output/clients.h"
#include "output/server.h"
#include "reader/tag.h"
#include "support/e2e.h"
#include "support/worker.h"
#include "sync/data.h"
#include "sync/lists.h"
#include "testkit/tcp.h"

namespace {

const char kComing[] = "{Hex=02}{EPC}{TAB}{AntennaPort}{CR}{LF}";
const uint32_t kLine = 9;  // bytes of one coming datagram

// The coming datagrams of the tags `first` to `end` - 1 (EPC n, antenna 2).
std::string Lines(uint32_t first, uint32_t end) {
    std::string lines;
    char line[16];
    for (uint32_t n = first; n < end; n++) {
        snprintf(line, sizeof(line), "\x02%04X\t2\r\n", n & 0xFFFF);
        lines += line;
    }
    return lines;
}

// What `fd` receives until `want` bytes came or nothing came for quietMs.
std::string Read(int fd, size_t want = SIZE_MAX, int quietMs = 100) {
    std::string got;
    char buffer[65536];
    struct pollfd readable = {fd, POLLIN, 0};
    while (got.size() < want && poll(&readable, 1, quietMs) > 0) {
        ssize_t n = read(fd, buffer, std::min(sizeof(buffer), want - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

class SendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetProcessState();
        ComingText = strdup(kComing);
        ParseDatagramResultString(true, false, kComing, ComingTemplate);
        ParseDatagramResultString(false, false, "# beat{CR}{LF}", HeartbeatTemplate);
    }
    void TearDown() override {
        ResetProcessState();
        for (int fd : peers)
            close(fd);
    }
    // A loopback client on ClientList; the test reads the returned end. With
    // `buffer` > 0 both ends' socket buffers are set to it.
    int AddClient(int buffer, int *korvaneEnd = nullptr) {
        uint16_t port = 0;
        int listener = ListenLoopback(0, 1, buffer, &port);
        int end = ConnectTcp("127.0.0.1", port, 2000);
        int peer = accept(listener, nullptr, nullptr);
        close(listener);
        EXPECT_GE(peer, 0);
        if (buffer > 0) setsockopt(end, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
        EventWait(&ClientsLock);
        ClientList.PushBack(end);
        EventSignal(&ClientsLock);
        FlagSet(ClientConnected, 1);
        peers.push_back(peer);
        if (korvaneEnd != nullptr) *korvaneEnd = end;
        return peer;
    }
    void SendTag(uint32_t n) {
        tTag tag = {};
        tag.event = 0xFF;
        tag.antenna = 2;
        tag.epcLength = 1;
        tag.epc[0] = static_cast<uint16_t>(n);
        SendTagData(&tag, 0);
    }
    // A pass of the poller over the backlogs.
    void Flush() {
        EventWait(&ClientsLock);
        FlushClientBacklogs();
        EventSignal(&ClientsLock);
    }

    std::vector<int> peers;
};

// Rendering for nobody; a keyboard queue that grows without bound.
TEST_F(SendTest, NothingIsRenderedWithoutAnAudienceAndTheKeyboardQueueIsBounded) {
    int client = AddClient(0);
    FlagSet(ClientConnected, 0);
    SendTag(1);
    SendTagData(nullptr, 2);
    EXPECT_EQ(Read(client), "");
    EXPECT_EQ(KeyboardList.Count(), 0u);

    FlagSet(KeyboardEmulationEnabled, 1);
    for (uint32_t n = 0; n < kMaxKeyboardTexts + 10; n++)
        SendTag(n);
    ASSERT_EQ(KeyboardList.Count(), kMaxKeyboardTexts);
    tData *text = nullptr;
    ASSERT_EQ(KeyboardList.PopFront(text), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text->buffer), text->length), Lines(0, 1));
    FreeData(text);
}

// Events without a text that send something; an empty word reused in a
// render buffer that has no memory yet.
TEST_F(SendTest, EventsWithoutATextSendNothing) {
    int client = AddClient(0);
    FlagSet(KeyboardEmulationEnabled, 1);
    GoingText = strdup("{EPC}{EPC}{LF}");
    ParseDatagramResultString(false, false, GoingText, GoingTemplate);
    ParseDatagramResultString(false, false, "{RSSI}{RSSIDBM}", StopTemplate);
    tTag tag = {};  // an EPC of no words
    for (uint8_t event : {0x17, 0x00}) {
        tag.event = event;
        SendTagData(&tag, 0);
    }
    SendTagData(nullptr, 0);
    SendTagData(nullptr, 1);  // no StartText
    SendTagData(nullptr, 3);  // renders empty
    EXPECT_EQ(Read(client), "\n");
    EXPECT_EQ(KeyboardList.Count(), 1u);
}

// A batch held past its size, or reordered around a report of another thread.
TEST_F(SendTest, BatchIsWrittenWhenItReachesTheBatchSizeAndKeepsBytesAndOrder) {
    int client = AddClient(0);
    FlagSet(KeyboardEmulationEnabled, 1);
    const uint32_t full = (8 * 1024 + kLine - 1) / kLine;  // datagrams that reach 8 KiB
    BeginDatagramBatch();
    for (uint32_t n = 0; n + 1 < full; n++)
        SendTag(n);
    EXPECT_EQ(Read(client), "") << "written before the batch was full";
    SendTag(full - 1);
    std::string got = Read(client, full * kLine, 2000);
    ASSERT_TRUE(got == Lines(0, full)) << "got " << got.size() << " bytes";
    SendTag(full);
    SendTag(full + 1);
    {
        Worker reporter([] { SendTagData(nullptr, 2); });  // writes what the batch holds first
    }
    EXPECT_EQ(Read(client), Lines(full, full + 2) + "# beat\r\n");
    SendTag(full + 2);
    EndDatagramBatch();
    EXPECT_EQ(Read(client), Lines(full + 2, full + 3));
    EXPECT_EQ(KeyboardList.Count(), full + 4) << "every datagram is a text of its own to type";
}

// Datagrams torn or lost while templates are parsed again and reports are
// rendered on other threads.
TEST_F(SendTest, RenderingReparsingAndReportsRunConcurrently) {
    int client = AddClient(1 << 20);
    std::atomic<bool> running{true};
    std::atomic<uint32_t> beats{0};
    Worker reparser([&running] {
        while (running.load())
            ParseDatagramResultString(true, false, kComing, ComingTemplate);
    });
    Worker reporter([&running, &beats] {
        for (; running.load() && beats.load() < 2000; beats++)
            SendTagData(nullptr, 2);
    });
    for (uint32_t n = 0; n < 3000; n++)
        SendTag(n);
    running.store(false);
    ASSERT_TRUE(reparser.JoinWithin(5000) && reporter.JoinWithin(5000));
    std::string got = Read(client, 3000 * kLine + beats.load() * 8, 2000), tags;
    uint32_t seen = 0;
    for (size_t at = 0; at < got.size();) {
        if (got.compare(at, 8, "# beat\r\n") == 0) {
            seen++;
            at += 8;
        } else {
            tags += got.substr(at, kLine);
            at += kLine;
        }
    }
    EXPECT_EQ(seen, beats.load());
    EXPECT_TRUE(tags == Lines(0, 3000)) << "got " << tags.size() << " of " << 3000 * kLine;
}

// Torn or lost backlogs, an unbounded backlog, a kept closed peer, a fast
// client paying for a slow one.
TEST_F(SendTest, SlowClientGetsWholeDatagramsUntilItsBacklogIsFullAndOthersLoseNothing) {
    int fast = AddClient(1 << 20);
    int slowEnd = -1;
    int slow = AddClient(4096, &slowEnd);
    close(AddClient(0));
    peers.pop_back();
    uint32_t sent = 0;
    for (int i = 0; i < 20 && ClientList.Count() == 3; i++, usleep(10000))
        SendTag(sent++);
    EXPECT_EQ(ClientList.Count(), 2u) << "a closed peer is kept";

    // More than the socket holds: the rest waits and goes out as room is made,
    // by the poller or before the next datagram, continuing where it stopped.
    for (int i = 0; i < 5000; i++)
        SendTag(sent++);
    std::string got;
    for (int pass = 0; pass < 1000 && got.size() < sent * kLine; pass++) {
        got += Read(slow, sent * kLine - got.size(), 20);
        if (pass % 2 == 0) {
            Flush();
        } else {
            SendTag(sent++);
        }
    }
    EXPECT_TRUE(got == Lines(0, sent)) << "got " << got.size() << " of " << sent * kLine;

    // Never reading: dropped, with its log line, once its backlog is full.
    const uint32_t stalled = sent;
    FlagSet(Verbose, 1);
    testing::internal::CaptureStdout();
    while (ClientList.Count() == 2 && sent - stalled < 40000)
        SendTag(sent++);
    std::string log = testing::internal::GetCapturedStdout();
    FlagSet(Verbose, 0);
    EXPECT_GT((sent - stalled) * kLine, kMaxClientBacklog);
    EXPECT_LT((sent - stalled) * kLine, 2 * kMaxClientBacklog) << "the backlog passed its bound";
    EXPECT_EQ(CountOf(log, "Korvane: SendTagData(): Client " + std::to_string(slowEnd) +
                               " too slow, disconnected\n"),
              1u);
    got = Read(slow, SIZE_MAX, 200);
    EXPECT_TRUE(got == Lines(stalled, sent).substr(0, got.size())) << "torn before the drop";

    got.clear();
    for (int pass = 0; pass < 100 && got.size() < sent * kLine; pass++) {
        Flush();
        got += Read(fast, sent * kLine - got.size(), 20);
    }
    EXPECT_TRUE(got == Lines(0, sent)) << "got " << got.size() << " of " << sent * kLine;
}

}  // namespace
