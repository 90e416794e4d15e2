// The frame parser and encoder, and CIpcClient against a host on loopback.
#include "ipc/ipc_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include "core/app.h"
#include "ipc/frame.h"
#include "support/worker.h"
#include "sync/data.h"
#include "sync/lists.h"
#include "testkit/fake_host.h"

namespace {

// Token, channel, payload, and whether the payload pointer was null.
typedef std::tuple<uint32_t, uint16_t, tBytes, bool> tFrame;
tFrame Data(uint32_t token, uint16_t channel, const tBytes &payload) {
    return tFrame{token, channel, payload, payload.empty()};
}
tFrame Received(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length) {
    return tFrame{token, channel, payload ? tBytes(payload, payload + length) : tBytes(), !payload};
}

// A header announcing `length` payload bytes (FrameOf writes its token in the same order).
tBytes HeaderClaiming(uint32_t length) {
    tBytes token = FrameOf(length, 5, {});
    return Bytes({{0x5A, 0x09, 0, 0, 0, 0x05, 0}, tBytes(&token[1], &token[5])});
}

std::vector<tFrame> ParseAll(const tBytes &bytes, size_t piece) {
    std::vector<tFrame> frames;
    tFrameParser parser;
    FrameParserInit(&parser);
    for (size_t offset = 0; offset < bytes.size();) {
        bool complete = false;
        offset += FrameParserFeed(&parser, bytes.data() + offset,
                                  std::min(piece, bytes.size() - offset), &complete);
        if (!complete) continue;
        tFrame frame = Received(parser.token, parser.channel, nullptr, 0);
        uint32_t length = parser.length;
        uint8_t *payload = FrameTakePayload(&parser);
        frames.push_back(Received(std::get<0>(frame), std::get<1>(frame), payload, length));
        free(payload);
    }
    FrameParserReset(&parser);
    return frames;
}

TEST(FrameParser, FindsTheSameFramesWhateverTheChunking) {
    const tBytes limit(kMaxFramePayload, 0x3C);
    // Noise, then a frame whose wrong end byte 0x5A, taken for a start, would make the next
    // eleven bytes a frame of token 1.
    const tBytes noise = {0x00, 0xA5, 0xFF, 0x13, 0x5A, 0x02, 0, 0,    0, 0x05, 0, 0x01, 0, 0,
                          0,    0x33, 0x5A, 0x01, 0,    0,    0, 0x05, 0, 0,    0, 0,    0, 0xA5};
    const tBytes stream =
        Bytes({noise, FrameOf(1, 5, {0x5A, 0xA5}), FrameOf(0xFFFFFFFE, 0xFFFF, {}),
               FrameOf(4, 5, {0x44}), HeaderClaiming(0xFFFFFFFF), FrameOf(5, 5, {0x55}),
               HeaderClaiming(kMaxFramePayload + 1), FrameOf(6, 5, {0x66}), FrameOf(8, 5, limit)});
    const std::vector<tFrame> expected = {Data(1, 5, {0x5A, 0xA5}), Data(0xFFFFFFFE, 0xFFFF, {}),
                                          Data(4, 5, {0x44}),       Data(5, 5, {0x55}),
                                          Data(6, 5, {0x66}),       Data(8, 5, limit)};
    for (size_t piece : {SIZE_MAX, size_t{1}, size_t{3}, size_t{7}, size_t{13}})
        EXPECT_TRUE(ParseAll(stream, piece) == expected) << "pieces of " << piece;
}

struct Recorder {  // what the data callback receives (the client passes it as context)
    std::mutex mutex;
    std::vector<tFrame> frames;
    std::vector<tFrame> Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
};
void Record(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length, void *r) {
    std::lock_guard<std::mutex> lock(static_cast<Recorder *>(r)->mutex);
    static_cast<Recorder *>(r)->frames.push_back(Received(token, channel, payload, length));
}

class IpcClientTest : public ::testing::Test {
protected:
    void SetUp() override { IpcService = host.Service(); }
    void TearDown() override { IpcService = "4006"; }

    // Opens the link, playing the host's side of the handshake on `on`.
    void Connect(CIpcClient &client, FakeHost &on) {
        std::atomic<bool> opened{false};
        int64_t start = MonotonicNs();
        Worker opener([&] { opened = client.Open("127.0.0.1", IpcChannel); });
        tBytes hello;
        ASSERT_TRUE(on.Accept(2000) && on.Read(17, &hello, 2000));
        ASSERT_EQ(HexOf(hello), HexOf(HelloBytes()));
        ASSERT_TRUE(on.Write(HelloAckBytes(0xFFFFFFFF, IpcChannel)));
        ASSERT_TRUE(opener.JoinWithin(3000) && opened);
        EXPECT_LT(MsSince(start), 1000) << "Open returns on the HelloAck";
    }
    void Connect(CIpcClient &client) { Connect(client, host); }

    FakeHost host;
    Recorder recorder;
};

TEST_F(IpcClientTest, OpenFailsWithoutHelloAckOrHostAndWithoutOwnChannel) {
    CIpcClient client(&recorder);
    EXPECT_FALSE(client.Open(nullptr, IpcChannel) || client.Open("", IpcChannel));
    EXPECT_FALSE(host.Accept(300)) << "the link stays disabled";
    EXPECT_EQ(client.Send(1, IpcChannel, nullptr, 0), 1);
    int64_t start = MonotonicNs();
    Worker opener([&] { EXPECT_FALSE(client.Open("127.0.0.1", IpcChannel)) << "no HelloAck"; });
    ASSERT_TRUE(host.Accept(2000) && opener.JoinWithin(4000));
    EXPECT_GE(MsSince(start), 1990);
    EXPECT_LT(MsSince(start), 3000);
    CIpcClient silent(&recorder);
    start = MonotonicNs();
    EXPECT_FALSE(silent.Open("127.0.0.1", kIpcNoChannel));
    EXPECT_LT(MsSince(start), 100);
    ASSERT_TRUE(host.Accept(1500)) << "enabled all the same";
    EXPECT_TRUE(host.QuietFor(300)) << "no Hello without an own channel";
    host.CloseConnection();
    host.CloseListener();
    SleepMs(250);  // the thread notices the end
    EXPECT_EQ(silent.Send(1, IpcChannel, nullptr, 0), 1) << "connection refused";
}

TEST_F(IpcClientTest, SendWritesByteExactFramesAndHostHelloRestrictsTheChannel) {
    CIpcClient client(&recorder);
    Connect(client);
    const uint8_t payload[] = {0xAA, 0xBB};
    tBytes frame;
    ASSERT_EQ(client.Send(0x01020304, IpcChannel, payload, sizeof(payload)), 0);
    ASSERT_TRUE(host.Read(14, &frame, 1000));
    EXPECT_EQ(HexOf(frame), "5A 04 03 02 01 05 00 02 00 00 00 AA BB A5");
    ASSERT_EQ(client.Send(0x0A0B0C0D, IpcChannel, nullptr, 0), 0);
    ASSERT_TRUE(host.Read(12, &frame, 1000));
    EXPECT_EQ(HexOf(frame), "5A 0D 0C 0B 0A 05 00 00 00 00 00 A5");
    EXPECT_EQ(client.Send(7, IpcChannel, nullptr, 3), 1) << "a length needs its bytes";

    ASSERT_TRUE(host.Write(FrameOf(0x12345678, 7, {0xFF, 0xFE, 0xFF, 0x00, 0x00})));
    ASSERT_TRUE(host.Read(17, &frame, 1000));
    EXPECT_EQ(HexOf(frame), HexOf(HelloAckBytes(0x12345678, 7)));
    for (uint16_t channel : {IpcChannel, uint16_t{4}, uint16_t{7}, kIpcNoChannel}) {
        bool allowed = channel == 7 || channel == kIpcNoChannel;
        EXPECT_EQ(client.Send(99, channel, payload, 1), allowed ? 0 : 1) << channel;
        if (allowed) {
            EXPECT_TRUE(host.Read(13, &frame, 1000) && frame == FrameOf(99, channel, {0xAA}));
        }
    }
    EXPECT_TRUE(host.QuietFor(100)) << "refused frames are not written";
}

TEST_F(IpcClientTest, DeliversTheDataFramesOfTheStream) {
    CIpcClient client(&recorder);
    client.SetReceiveCallback(Record);
    Connect(client);
    const tBytes split = FrameOf(0x01020304, 5, {'a', 'b', 'c'}), big(10000, 0x5A);
    auto part = [&](size_t from, size_t to) { return tBytes(&split[from], &split[0] + to); };
    // Other control codes are swallowed; pieces 20 ms apart are reassembled, a frame stalled
    // for 250 ms is dropped; a 4 GiB length would allocate or swallow what follows.
    const std::pair<int, tBytes> chunks[] = {
        {0, Bytes({HelloAckBytes(0xFFFFFFFF, 5), FrameOf(1, 5, {0x01})})},
        {0, Bytes({FrameOf(2, 5, {0xFF, 0xFE, 0xFF, 0x07, 0x00}),
                   FrameOf(3, 5, {0xFF, 0xFE, 0xFF, 0x02, 0x00, 0x61})})},
        {0, Bytes({{0x01, 0x02}, FrameOf(4, 5, {}), FrameOf(5, 5, {0xFF, 0xFE, 0xFF, 0x00})})},
        {0, Bytes({HeaderClaiming(0xFFFFFFFF), FrameOf(6, 5, big)})},
        {20, part(0, 4)},
        {20, part(4, 9)},
        {20, part(9, split.size())},
        {20, part(0, 8)},
        {250, Bytes({part(8, split.size()), FrameOf(7, 5, {0x07})})},
        {20, FrameOf(0xCAFE, 9, {'e', 'n', 'd'})}};
    for (const auto &chunk : chunks) {
        SleepMs(chunk.first);
        ASSERT_TRUE(host.Write(chunk.second));
    }
    std::vector<tFrame> expected{Data(1, 5, {0x01}), Data(4, 5, {})};
    expected.insert(expected.end(), {Data(5, 5, {0xFF, 0xFE, 0xFF, 0x00}), Data(6, 5, big)});
    expected.insert(expected.end(), {Data(0x01020304, 5, {'a', 'b', 'c'}), Data(7, 5, {0x07})});
    expected.push_back(Data(0xCAFE, 9, {'e', 'n', 'd'}));
    for (int64_t start = MonotonicNs(); recorder.Frames().size() < expected.size(); SleepMs(1))
        ASSERT_LT(MsSince(start), 3000);
    SleepMs(50);
    EXPECT_EQ(recorder.Frames(), expected);
}

TEST_F(IpcClientTest, SendConnectsAtOnceAndTheThreadOncePerSecondBothSayingHello) {
    CIpcClient client(&recorder);
    Connect(client);
    int64_t previous = host.acceptedNs;
    host.CloseConnection();
    SleepMs(250);
    const uint8_t payload[] = {0x10, 0x20};
    ASSERT_EQ(client.Send(5, IpcChannel, payload, sizeof(payload)), 0);
    tBytes bytes;
    ASSERT_TRUE(host.Accept(0) && host.Read(17 + 14, &bytes, 1000)) << "connected by Send";
    EXPECT_LT((host.acceptedNs - previous) / 1e6, 900);
    EXPECT_EQ(HexOf(bytes), HexOf(Bytes({HelloBytes(), FrameOf(5, 5, {0x10, 0x20})})));
    for (int i = 0; i < 3; i++) {
        previous = host.acceptedNs;
        host.CloseConnection();
        ASSERT_TRUE(host.Accept(2000) && host.Read(17, &bytes, 1000)) << i;
        EXPECT_EQ(bytes, HelloBytes());
        double gapMs = (host.acceptedNs - previous) / 1e6;
        EXPECT_GE(gapMs, 995) << "attempt " << i << " came too soon";  // ms rounding
        EXPECT_LT(gapMs, 1600) << "attempt " << i << " came too late";
    }
}

std::atomic<int> SlowCallbackState{0};  // 1 running, 2 returned

TEST_F(IpcClientTest, ClearingTheCallbackWaitsForARunningCallAndCloseEndsTheLink) {
    CIpcClient client(&recorder);
    client.SetReceiveCallback([](uint32_t, uint16_t, const uint8_t *, uint32_t, void *) {
        SlowCallbackState = 1;
        SleepMs(300);
        SlowCallbackState = 2;
    });
    Connect(client);
    ASSERT_TRUE(host.Write(FrameOf(1, 5, {0x00, 0x00})));
    while (SlowCallbackState == 0)
        SleepMs(1);
    client.SetReceiveCallback(nullptr);
    EXPECT_EQ(SlowCallbackState, 2) << "SetReceiveCallback returned while the callback ran";
    SlowCallbackState = 0;
    ASSERT_TRUE(host.Write(FrameOf(3, 5, {0x02})));
    SleepMs(300);
    EXPECT_EQ(SlowCallbackState, 0) << "a cleared callback is not called";
    client.Close();
    EXPECT_TRUE(host.ClosedWithin(500));
    EXPECT_FALSE(host.Accept(1500)) << "a closed link is not reconnected";
    EXPECT_EQ(client.Send(1, IpcChannel, nullptr, 0), 1);
}

// Every tenth frame is far larger than a socket buffer, so writes block midway.
tBytes SenderPayload(uint32_t sender, uint32_t sequence) {
    tBytes payload(sequence % 10 == 3 ? 300000 + sender * 1000 : (sequence * 977) % 5000);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(sender * 61 + sequence * 7 + i);
    return payload;
}

TEST_F(IpcClientTest, ConcurrentSendsAndHelloAcksNeverInterleave) {
    FakeHost slow(8192);  // a small window makes big writes block midway
    IpcService = slow.Service();
    CIpcClient client(&recorder);
    Connect(client, slow);
    const uint32_t kSenders = 4, kFramesEach = 40, kHellos = 30;
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<Worker>> workers;
    for (uint32_t sender = 0; sender < kSenders; sender++) {
        workers.emplace_back(new Worker([&, sender] {
            for (uint32_t sequence = 0; sequence < kFramesEach; sequence++) {
                tBytes payload = SenderPayload(sender, sequence);
                failures += client.Send(sender << 16 | sequence, IpcChannel, payload.data(),
                                        static_cast<uint32_t>(payload.size())) != 0;
            }
        }));
    }
    // Meanwhile each host Hello makes the thread "IPC" write a HelloAck.
    workers.emplace_back(new Worker([&] {
        for (uint32_t i = 0; i < kHellos; i++, SleepMs(3))
            slow.Write(FrameOf(0x1000 + i, IpcChannel, {0xFF, 0xFE, 0xFF, 0x00, 0x00}));
    }));
    std::vector<uint32_t> next(kSenders, 0);
    uint32_t acks = 0, token = 0;
    uint16_t channel = 0;
    for (uint32_t n = 0; n < kSenders * kFramesEach + kHellos; n++) {
        tBytes payload;
        ASSERT_EQ(slow.ReadFrame(&token, &channel, &payload, 5000), FakeHost::kFrameRead) << n;
        uint32_t sender = token >> 16, sequence = token & 0xFFFF;
        if (token >= 0x1000 && token < 0x1000 + kHellos) {
            acks += payload == tBytes({0xFF, 0xFE, 0xFF, 0x01, 0x00});
        } else {
            ASSERT_TRUE(sender < kSenders && sequence == next[sender]++) << token;
            ASSERT_TRUE(payload == SenderPayload(sender, sequence)) << token;
        }
    }
    for (auto &worker : workers)
        ASSERT_TRUE(worker->JoinWithin(20000));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(acks, kHellos);
}

TEST_F(IpcClientTest, StalledHostFailsTheSendInBoundedTimeAndGetsAFreshConnection) {
    CIpcClient client(&recorder);
    Connect(client);
    tBytes big(1024 * 1024, 0x33);
    int result = 0, sent = 0;
    double longestMs = 0;
    for (; sent < 200 && result == 0; sent++) {
        int64_t start = MonotonicNs();
        result = client.Send(sent, IpcChannel, big.data(), static_cast<uint32_t>(big.size()));
        longestMs = std::max(longestMs, MsSince(start));
    }
    EXPECT_EQ(result, 1) << "a host that never reads cannot take " << sent << " MiB";
    EXPECT_LT(longestMs, 3500) << "a blocked write is bounded";
    // The failed frame is cut off with the connection closed, or not begun.
    uint32_t token = 0, complete = 0;
    uint16_t channel = 0;
    tBytes payload;
    FakeHost::tFrameRead outcome;
    while ((outcome = host.ReadFrame(&token, &channel, &payload, 1000)) == FakeHost::kFrameRead)
        EXPECT_EQ(token, complete++);
    EXPECT_EQ(complete, static_cast<uint32_t>(sent - 1));
    if (outcome == FakeHost::kFrameCut) {
        ASSERT_TRUE(host.Accept(2000) && host.Read(17, &payload, 1000)) << "connects again";
        EXPECT_EQ(payload, HelloBytes());
    } else {
        EXPECT_EQ(outcome, FakeHost::kStreamQuiet);
    }
}

int OpenDescriptorCount() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

TEST_F(IpcClientTest, ReconnectionsRacingWithSendsLeakNoSocketAndDestructionIsPrompt) {
    int baseline = OpenDescriptorCount();
    std::unique_ptr<CIpcClient> client(new CIpcClient(&recorder));
    Connect(*client);
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    Worker sender([&] {
        for (const uint8_t byte = 1; !stop; SleepMs(2))
            delivered += client->Send(1, IpcChannel, &byte, 1) == 0;
    });
    // The host drops every connection: Send and the thread both reconnect.
    int connections = 1;
    for (int64_t start = MonotonicNs(); MsSince(start) < 2500;) {
        SleepMs(20), host.CloseConnection();
        connections += host.Accept(1500);
    }
    stop = true;
    ASSERT_TRUE(sender.JoinWithin(5000));
    EXPECT_GT(connections, 10);
    EXPECT_GT(delivered, 0);
    int64_t start = MonotonicNs();
    client.reset();
    EXPECT_LT(MsSince(start), 400) << "destruction stops the thread promptly";
    host.CloseConnection();
    EXPECT_EQ(OpenDescriptorCount(), baseline);
}

}  // namespace
