// The IPC transport: the frame parser driven directly, and CIpcClient with
// its thread "IPC" against a host played by the test on a loopback port.
#include "ipc/ipc_client.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "ipc/fake_host.h"
#include "ipc/frame.h"
#include "support/worker.h"
#include "sync/data.h"
#include "sync/lists.h"

namespace {

struct tFrame {
    uint32_t token;
    uint16_t channel;
    tBytes payload;
    bool nullPayload;  // the callback got a null pointer
    bool operator==(const tFrame &other) const {
        return token == other.token && channel == other.channel && payload == other.payload &&
               nullPayload == other.nullPayload;
    }
};

std::ostream &operator<<(std::ostream &out, const tFrame &frame) {
    return out << "{token " << frame.token << ", channel " << frame.channel << ", ["
               << HexOf(frame.payload) << "]" << (frame.nullPayload ? " null" : "") << "}";
}

tFrame Data(uint32_t token, uint16_t channel, const tBytes &payload) {
    return tFrame{token, channel, payload, payload.empty()};
}

// ---------------------------------------------------------------- the parser

// Feeds `bytes` in pieces of `piece` bytes (0: all at once) and collects the
// completed frames.
std::vector<tFrame> ParseAll(const tBytes &bytes, size_t piece) {
    std::vector<tFrame> frames;
    tFrameParser parser;
    FrameParserInit(&parser);
    size_t offset = 0;
    while (offset < bytes.size()) {
        size_t count = piece == 0 ? bytes.size() - offset : std::min(piece, bytes.size() - offset);
        size_t used = 0;
        while (used < count) {
            bool complete = false;
            used += FrameParserFeed(&parser, bytes.data() + offset + used, count - used, &complete);
            if (complete) {
                tFrame frame{parser.token, parser.channel, {}, false};
                uint32_t length = parser.length;
                uint8_t *payload = FrameTakePayload(&parser);
                frame.nullPayload = payload == nullptr;
                if (payload != nullptr) frame.payload.assign(payload, payload + length);
                free(payload);
                frames.push_back(frame);
            }
        }
        offset += count;
    }
    FrameParserReset(&parser);
    return frames;
}

struct ParserCase {
    const char *name;
    tBytes input;
    std::vector<tFrame> expected;
};

// A frame header announcing `length` payload bytes.
tBytes HeaderClaiming(uint32_t length) {
    return {0x5A,
            0x09,
            0x00,
            0x00,
            0x00,
            0x05,
            0x00,
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 24)};
}

const tBytes kGetPortRequest = {0x5A, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00,
                                0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0xA5};

void PrintTo(const ParserCase &c, std::ostream *out) {
    *out << c.name;
}

class FrameParserTest : public ::testing::TestWithParam<ParserCase> {};

TEST_P(FrameParserTest, FindsTheSameFramesWhateverTheChunking) {
    const ParserCase &c = GetParam();
    for (size_t piece : {0, 1, 2, 3, 5, 7, 13}) {
        EXPECT_EQ(ParseAll(c.input, piece), c.expected) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameParserTest,
    ::testing::Values(
        ParserCase{"GetPortRequest", kGetPortRequest, {Data(1, 5, {0x01, 0x00})}},
        ParserCase{"NoiseBeforeTheStart",
                   Bytes({{0x00, 0xA5, 0xFF, 0x13}, kGetPortRequest}),
                   {Data(1, 5, {0x01, 0x00})}},
        ParserCase{"TwoFramesBackToBack",
                   Bytes({FrameOf(0x01020304, 5, {0xAA}), FrameOf(0xFFFFFFFE, 0xFFFF, {0xBB})}),
                   {Data(0x01020304, 5, {0xAA}), Data(0xFFFFFFFE, 0xFFFF, {0xBB})}},
        ParserCase{"EmptyPayloadHasNoBuffer", FrameOf(7, 5, {}), {Data(7, 5, {})}},
        ParserCase{"MarkersInsideThePayloadAreData",
                   FrameOf(3, 5, {0x5A, 0xA5, 0x5A, 0x00}),
                   {Data(3, 5, {0x5A, 0xA5, 0x5A, 0x00})}},
        // The wrong end byte is 0x5A; taken for a start it would make the
        // next eleven bytes an empty frame with token 1.
        ParserCase{
            "WrongEndMarkerDropsTheFrameAndIsNoStart",
            Bytes({{0x5A, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00, 0x33, 0x5A},
                   {0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA5},
                   FrameOf(4, 5, {0x44})}),
            {Data(4, 5, {0x44})}},
        // A length field of 4 GiB - 1 is noise: the frame is dropped at once
        // and the frame right behind it is found.
        ParserCase{"HugeLengthIsDroppedAndTheNextFrameFound",
                   Bytes({HeaderClaiming(0xFFFFFFFF), FrameOf(5, 5, {0x55})}),
                   {Data(5, 5, {0x55})}},
        ParserCase{"LengthJustPastTheLimitIsDropped",
                   Bytes({HeaderClaiming(kMaxFramePayload + 1), FrameOf(6, 5, {0x66})}),
                   {Data(6, 5, {0x66})}}),
    [](const ::testing::TestParamInfo<ParserCase> &info) { return info.param.name; });

TEST(FrameParser, AcceptsAPayloadOfExactlyTheLimit) {
    tBytes payload(kMaxFramePayload);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(i * 7);
    std::vector<tFrame> frames = ParseAll(FrameOf(8, 5, payload), 4096);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].payload == payload);
}

TEST(FrameParser, ReportsAFrameInProgressUntilResetAndKeepsItAcrossChunks) {
    tFrameParser parser;
    FrameParserInit(&parser);
    bool complete = true;
    const uint8_t noise[] = {0x00, 0x11};
    EXPECT_EQ(FrameParserFeed(&parser, noise, sizeof(noise), &complete), 2u);
    EXPECT_FALSE(complete);
    EXPECT_FALSE(FrameInProgress(&parser));
    // Header and part of the payload; the rest comes in the next chunk.
    tBytes frame = FrameOf(9, 5, {1, 2, 3, 4});
    EXPECT_EQ(FrameParserFeed(&parser, frame.data(), 13, &complete), 13u);
    EXPECT_FALSE(complete);
    EXPECT_TRUE(FrameInProgress(&parser));
    // The frame completes in the middle of the chunk; the rest is left.
    tBytes rest(frame.begin() + 13, frame.end());
    rest.push_back(0x5A);
    EXPECT_EQ(FrameParserFeed(&parser, rest.data(), rest.size(), &complete), rest.size() - 1);
    ASSERT_TRUE(complete);
    uint8_t *payload = FrameTakePayload(&parser);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(tBytes(payload, payload + 4), tBytes({1, 2, 3, 4}));
    free(payload);
    EXPECT_FALSE(FrameInProgress(&parser));
    // A reset drops a partial frame with its payload (ASan checks the free).
    EXPECT_EQ(FrameParserFeed(&parser, frame.data(), 12, &complete), 12u);
    EXPECT_TRUE(FrameInProgress(&parser));
    FrameParserReset(&parser);
    EXPECT_FALSE(FrameInProgress(&parser));
}

TEST(FrameEncoding, HelloIsTheSeventeenBytesKorvaneAnnouncesItselfWith) {
    uint8_t hello[kControlHeaderSize];
    EncodeControlPayload(hello, kControlHello);
    uint8_t frame[kFrameOverhead + kControlHeaderSize];
    EncodeFrame(frame, 0xFFFFFFFF, 5, hello, sizeof(hello));
    EXPECT_EQ(tBytes(frame, frame + sizeof(frame)), HelloBytes());
}

TEST(FrameEncoding, EmptyFrameIsTwelveBytes) {
    uint8_t frame[kFrameOverhead];
    EncodeFrame(frame, 0x0A0B0C0D, 0x1234, nullptr, 0);
    EXPECT_EQ(tBytes(frame, frame + sizeof(frame)),
              tBytes({0x5A, 0x0D, 0x0C, 0x0B, 0x0A, 0x34, 0x12, 0, 0, 0, 0, 0xA5}));
}

TEST(FrameEncoding, ControlPayloadsAreRecognisedByMarkerAndLength) {
    struct Case {
        tBytes payload;
        bool control;
        uint16_t code;
    };
    const Case cases[] = {
        {{0xFF, 0xFE, 0xFF, 0x00, 0x00}, true, 0},
        {{0xFF, 0xFE, 0xFF, 0x01, 0x00}, true, 1},
        {{0xFF, 0xFE, 0xFF, 0x02, 0x00, 0x41}, true, 2},
        {{0xFF, 0xFE, 0xFF, 0x07, 0x01}, true, 0x0107},
        {{0xFF, 0xFE, 0xFF, 0x00}, false, 0},  // too short for a code
        {{0xFF, 0xFE, 0xFE, 0x00, 0x00}, false, 0},
        {{0xFE, 0xFE, 0xFF, 0x00, 0x00}, false, 0},
        {{}, false, 0},
    };
    for (const Case &c : cases) {
        uint16_t code = 0xEEEE;
        bool control = IsControlPayload(c.payload.empty() ? nullptr : c.payload.data(),
                                        static_cast<uint32_t>(c.payload.size()), &code);
        EXPECT_EQ(control, c.control) << HexOf(c.payload);
        if (c.control) {
            EXPECT_EQ(code, c.code) << HexOf(c.payload);
        }
    }
}

// ---------------------------------------------------------------- the client

// Collects what the data callback receives; the client passes it as context.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<tFrame> frames;

    bool WaitForCount(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return frames.size() >= count; });
    }
    std::vector<tFrame> Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }
};

void Record(uint32_t token, uint16_t channel, const uint8_t *payload, uint32_t length,
            void *context) {
    Recorder *recorder = static_cast<Recorder *>(context);
    tFrame frame{token, channel, {}, payload == nullptr};
    if (payload != nullptr) frame.payload.assign(payload, payload + length);
    std::lock_guard<std::mutex> lock(recorder->mutex);
    recorder->frames.push_back(frame);
    recorder->changed.notify_all();
}

const char kLoopback[] = "127.0.0.1";

class IpcClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.Listening());
        IpcService = host.Service();
    }
    void TearDown() override { IpcService = "4006"; }

    // Opens the link and plays the host's side of the handshake; the Hello
    // must be byte-exact.
    void Connect(CIpcClient &client) {
        std::atomic<bool> opened{false};
        Worker opener([&] { opened = client.Open(kLoopback, IpcChannel); });
        ASSERT_TRUE(host.Accept(2000));
        tBytes hello;
        ASSERT_TRUE(host.Read(17, &hello, 2000));
        ASSERT_EQ(HexOf(hello), HexOf(HelloBytes()));
        ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, IpcChannel)));
        ASSERT_TRUE(opener.JoinWithin(3000));
        ASSERT_TRUE(opened);
    }

    FakeHost host;
    Recorder recorder;
};

TEST_F(IpcClientTest, OpenSendsTheHelloAndReturnsOnTheHelloAck) {
    CIpcClient client(&recorder);
    int64_t start = MonotonicNs();
    Connect(client);
    EXPECT_LT(MsSince(start), 1000) << "Open returns as soon as the HelloAck arrives";
}

TEST_F(IpcClientTest, OpenReturnsFalseAfterTwoSecondsWithoutHelloAck) {
    CIpcClient client(&recorder);
    std::atomic<bool> opened{true};
    int64_t start = MonotonicNs();
    Worker opener([&] { opened = client.Open(kLoopback, IpcChannel); });
    ASSERT_TRUE(host.Accept(2000));
    tBytes hello;
    ASSERT_TRUE(host.Read(17, &hello, 2000));
    ASSERT_TRUE(opener.JoinWithin(4000));
    EXPECT_FALSE(opened);
    EXPECT_GE(MsSince(start), 1990);
    EXPECT_LT(MsSince(start), 3000);
}

TEST_F(IpcClientTest, OpenReturnsFalseWhenNobodyListens) {
    host.CloseListener();
    CIpcClient client(&recorder);
    int64_t start = MonotonicNs();
    EXPECT_FALSE(client.Open(kLoopback, IpcChannel));
    EXPECT_GE(MsSince(start), 1990);
    EXPECT_LT(MsSince(start), 3000);
}

TEST_F(IpcClientTest, OpenWithoutOwnChannelConnectsSilentlyAndReturnsFalseAtOnce) {
    CIpcClient client(&recorder);
    int64_t start = MonotonicNs();
    EXPECT_FALSE(client.Open(kLoopback, kIpcNoChannel));
    EXPECT_LT(MsSince(start), 100);
    ASSERT_TRUE(host.Accept(1000)) << "the link is enabled all the same";
    EXPECT_TRUE(host.QuietFor(300)) << "no Hello without an own channel";
}

TEST_F(IpcClientTest, OpenWithoutHostChangesNothing) {
    CIpcClient client(&recorder);
    EXPECT_FALSE(client.Open(nullptr, IpcChannel));
    EXPECT_FALSE(client.Open("", IpcChannel));
    EXPECT_FALSE(host.Accept(400)) << "the link stays disabled";
    EXPECT_EQ(client.Send(1, IpcChannel, nullptr, 0), 1);
}

TEST_F(IpcClientTest, SendWritesOneByteExactFrame) {
    CIpcClient client(&recorder);
    Connect(client);
    const uint8_t payload[] = {0xAA, 0xBB};
    ASSERT_EQ(client.Send(0x01020304, IpcChannel, payload, sizeof(payload)), 0);
    tBytes frame;
    ASSERT_TRUE(host.Read(14, &frame, 1000));
    EXPECT_EQ(HexOf(frame), "5A 04 03 02 01 05 00 02 00 00 00 AA BB A5");
    ASSERT_EQ(client.Send(7, IpcChannel, nullptr, 0), 0);
    ASSERT_TRUE(host.Read(12, &frame, 1000));
    EXPECT_EQ(HexOf(frame), "5A 07 00 00 00 05 00 00 00 00 00 A5");
    EXPECT_EQ(client.Send(7, IpcChannel, nullptr, 3), 1) << "a length needs its bytes";
    EXPECT_TRUE(host.QuietFor(100));
}

TEST_F(IpcClientTest, HostHelloIsAnsweredAndItsChannelRestrictsSending) {
    CIpcClient client(&recorder);
    Connect(client);
    ASSERT_TRUE(host.Write(FrameOf(0x12345678, 7, {0xFF, 0xFE, 0xFF, 0x00, 0x00})));
    tBytes ack;
    ASSERT_TRUE(host.Read(17, &ack, 1000));
    EXPECT_EQ(HexOf(ack), HexOf(HelloAckBytes(0x12345678, 7)));

    const uint8_t payload[] = {0x42};
    struct Case {
        uint16_t channel;
        int result;
    };
    for (const Case &c : {Case{IpcChannel, 1}, Case{4, 1}, Case{7, 0}, Case{kIpcNoChannel, 0}}) {
        EXPECT_EQ(client.Send(99, c.channel, payload, 1), c.result) << "channel " << c.channel;
        if (c.result == 0) {
            tBytes frame;
            ASSERT_TRUE(host.Read(13, &frame, 1000));
            EXPECT_EQ(frame, FrameOf(99, c.channel, {0x42}));
        }
    }
    EXPECT_TRUE(host.QuietFor(100)) << "refused frames are not written";
    EXPECT_TRUE(recorder.Frames().empty()) << "a Hello is no data";
}

TEST_F(IpcClientTest, HelloAcksAfterOpenAreAbsorbed) {
    CIpcClient client(&recorder);
    client.SetReceiveCallback(Record);
    Connect(client);
    ASSERT_TRUE(host.Write(Concat(HelloAckBytes(0xFFFFFFFF, 5), FrameOf(3, 5, {0x01, 0x02}))));
    ASSERT_TRUE(recorder.WaitForCount(1, 2000));
    EXPECT_EQ(recorder.Frames(), std::vector<tFrame>({Data(3, 5, {0x01, 0x02})}));
}

// One piece of the byte stream the host writes, after a pause.
struct Chunk {
    int pauseMs;
    tBytes bytes;
};

struct ReceiveCase {
    const char *name;
    std::vector<Chunk> chunks;
    std::vector<tFrame> expected;
};

void PrintTo(const ReceiveCase &c, std::ostream *out) {
    *out << c.name;
}

class IpcReceiveTest : public IpcClientTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(IpcReceiveTest, DeliversTheDataFramesTheStreamHolds) {
    CIpcClient client(&recorder);
    client.SetReceiveCallback(Record);
    Connect(client);
    for (const Chunk &chunk : GetParam().chunks) {
        SleepMs(chunk.pauseMs);
        ASSERT_TRUE(host.Write(chunk.bytes));
    }
    // A last frame shows that everything before it has been parsed.
    const tFrame sentinel = Data(0xCAFE, 9, {'e', 'n', 'd'});
    SleepMs(20);
    ASSERT_TRUE(host.Write(FrameOf(sentinel.token, sentinel.channel, sentinel.payload)));
    std::vector<tFrame> expected = GetParam().expected;
    expected.push_back(sentinel);
    ASSERT_TRUE(recorder.WaitForCount(expected.size(), 3000));
    SleepMs(50);
    EXPECT_EQ(recorder.Frames(), expected);
}

const tBytes kSplitFrame = FrameOf(0x01020304, 5, {'a', 'b', 'c'});
tBytes Part(const tBytes &bytes, size_t from, size_t to) {
    return tBytes(bytes.begin() + from, bytes.begin() + to);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, IpcReceiveTest,
    ::testing::Values(
        ReceiveCase{"TwoFramesInOneChunkAreBothDelivered",
                    {{0, Concat(FrameOf(1, 5, {0x00, 0x00}), FrameOf(2, 5, {0x01, 0x00}))}},
                    {Data(1, 5, {0x00, 0x00}), Data(2, 5, {0x01, 0x00})}},
        ReceiveCase{"FrameSplitWithinTheLimitIsReassembled",
                    {{0, Part(kSplitFrame, 0, 3)},
                     {20, Part(kSplitFrame, 3, 9)},
                     {20, Part(kSplitFrame, 9, kSplitFrame.size())}},
                    {Data(0x01020304, 5, {'a', 'b', 'c'})}},
        // The rest of the stalled frame (no 0x5A in it) is skipped; the frame
        // after it in the same chunk is found.
        ReceiveCase{
            "StalledFrameIsDroppedAndTheNextOneFound",
            {{0, Part(kSplitFrame, 0, 8)},
             {250, Concat(Part(kSplitFrame, 8, kSplitFrame.size()), FrameOf(2, 5, {0x04, 0x00}))}},
            {Data(2, 5, {0x04, 0x00})}},
        ReceiveCase{"EmptyFrameReachesTheCallbackWithoutBuffer",
                    {{0, FrameOf(3, 5, {})}},
                    {Data(3, 5, {})}},
        ReceiveCase{"FourByteControlMarkerIsData",
                    {{0, FrameOf(4, 5, {0xFF, 0xFE, 0xFF, 0x00})}},
                    {Data(4, 5, {0xFF, 0xFE, 0xFF, 0x00})}},
        ReceiveCase{"UnassignedControlCodeIsSwallowed",
                    {{0, FrameOf(5, 5, {0xFF, 0xFE, 0xFF, 0x07, 0x00})}},
                    {}},
        ReceiveCase{"ControlDataWithoutHandlerIsSwallowed",
                    {{0, FrameOf(6, 5, {0xFF, 0xFE, 0xFF, 0x02, 0x00, 0x61})}},
                    {}},
        ReceiveCase{"NoiseAndAWrongEndMarkerAreSkipped",
                    {{0, Bytes({{0x01, 0x02},
                                Part(kSplitFrame, 0, kSplitFrame.size() - 1),
                                {0x00},
                                FrameOf(7, 5, {0x07, 0x00})})}},
                    {Data(7, 5, {0x07, 0x00})}},
        // Without a bound the client would allocate 4 GiB (ASan aborts) or
        // swallow everything after it as payload.
        ReceiveCase{"HugeLengthIsDroppedAndTheNextFrameFound",
                    {{0, Concat(HeaderClaiming(0xFFFFFFFF), FrameOf(8, 5, {0x08, 0x00}))}},
                    {Data(8, 5, {0x08, 0x00})}},
        ReceiveCase{"FrameLongerThanAChunkIsReassembled",
                    {{0, FrameOf(9, 5, tBytes(10000, 0x5A))}},
                    {Data(9, 5, tBytes(10000, 0x5A))}}),
    [](const ::testing::TestParamInfo<ReceiveCase> &info) { return info.param.name; });

TEST_F(IpcClientTest, SendWhileDisconnectedConnectsAtOnceAndSaysHelloFirst) {
    CIpcClient client(&recorder);
    Connect(client);
    int64_t attempt = host.acceptedNs;
    host.CloseConnection();
    SleepMs(250);  // the thread notices the end within one pass
    const uint8_t payload[] = {0x10, 0x20};
    ASSERT_EQ(client.Send(5, IpcChannel, payload, sizeof(payload)), 0);
    ASSERT_TRUE(host.Accept(0)) << "the connection was made by Send";
    EXPECT_LT((host.acceptedNs - attempt) / 1e6, 900) << "no waiting for the reconnection interval";
    tBytes bytes;
    ASSERT_TRUE(host.Read(17 + 14, &bytes, 1000));
    EXPECT_EQ(HexOf(bytes), HexOf(Concat(HelloBytes(), FrameOf(5, 5, {0x10, 0x20}))));
}

TEST_F(IpcClientTest, SendFailsWhenTheHostIsGone) {
    CIpcClient client(&recorder);
    EXPECT_EQ(client.Send(1, IpcChannel, nullptr, 0), 1) << "not enabled";
    host.CloseListener();
    EXPECT_FALSE(client.Open(kLoopback, kIpcNoChannel));
    EXPECT_EQ(client.Send(1, IpcChannel, nullptr, 0), 1) << "connection refused";
}

TEST_F(IpcClientTest, ReconnectsOncePerSecondAndSaysHelloEachTime) {
    CIpcClient client(&recorder);
    Connect(client);
    std::vector<int64_t> accepted{host.acceptedNs};
    for (int i = 0; i < 3; i++) {
        host.CloseConnection();
        ASSERT_TRUE(host.Accept(2000)) << "reconnection " << i;
        accepted.push_back(host.acceptedNs);
        tBytes hello;
        ASSERT_TRUE(host.Read(17, &hello, 1000));
        EXPECT_EQ(hello, HelloBytes());
    }
    for (size_t i = 1; i < accepted.size(); i++) {
        double gapMs = (accepted[i] - accepted[i - 1]) / 1e6;
        // The attempt starts before the connection is accepted; a few ms
        // cover the accept and the millisecond rounding.
        EXPECT_GE(gapMs, 995) << "attempt " << i << " came too soon";
        EXPECT_LT(gapMs, 1600) << "attempt " << i << " came too late";
    }
}

TEST_F(IpcClientTest, CloseEndsTheConnectionAndNoAttemptFollows) {
    CIpcClient client(&recorder);
    Connect(client);
    client.Close();
    EXPECT_TRUE(host.ClosedWithin(500));
    EXPECT_FALSE(host.Accept(1500)) << "a closed link is not reconnected";
    EXPECT_EQ(client.Send(1, IpcChannel, nullptr, 0), 1);
}

TEST_F(IpcClientTest, DestructionStopsTheThreadPromptly) {
    std::unique_ptr<CIpcClient> client(new CIpcClient(&recorder));
    Connect(*client);
    int64_t start = MonotonicNs();
    client.reset();
    EXPECT_LT(MsSince(start), 400);
    EXPECT_TRUE(host.ClosedWithin(500));
}

// A data callback that takes its time, to see SetReceiveCallback wait for it.
std::atomic<int> SlowCallbackState{0};  // 1 running, 2 returned
void SlowCallback(uint32_t, uint16_t, const uint8_t *, uint32_t, void *) {
    SlowCallbackState = 1;
    SleepMs(300);
    SlowCallbackState = 2;
}

TEST_F(IpcClientTest, ClearingTheCallbackWaitsForARunningCallAndStopsDelivery) {
    CIpcClient client(&recorder);
    client.SetReceiveCallback(SlowCallback);
    Connect(client);
    SlowCallbackState = 0;
    ASSERT_TRUE(host.Write(FrameOf(1, 5, {0x00, 0x00})));
    int64_t start = MonotonicNs();
    while (SlowCallbackState == 0 && MsSince(start) < 2000)
        SleepMs(1);
    ASSERT_EQ(SlowCallbackState, 1);
    client.SetReceiveCallback(nullptr);
    EXPECT_EQ(SlowCallbackState, 2) << "SetReceiveCallback returned while the callback ran";

    client.SetReceiveCallback(Record);
    ASSERT_TRUE(host.Write(FrameOf(2, 5, {0x01, 0x00})));
    ASSERT_TRUE(recorder.WaitForCount(1, 2000));
    client.SetReceiveCallback(nullptr);
    ASSERT_TRUE(host.Write(FrameOf(3, 5, {0x02, 0x00})));
    SleepMs(300);
    EXPECT_EQ(recorder.Frames(), std::vector<tFrame>({Data(2, 5, {0x01, 0x00})}));
}

// Payload of frame `sequence` of sender `sender`: a length and bytes that
// identify it. Some frames are far larger than a socket buffer, so writes
// block part-way through.
tBytes SenderPayload(uint32_t sender, uint32_t sequence) {
    size_t length = (sequence % 10 == 3) ? 300000 + sender * 1000 : (sequence * 977) % 5000;
    tBytes payload(length);
    for (size_t i = 0; i < length; i++)
        payload[i] = static_cast<uint8_t>(sender * 61 + sequence * 7 + i);
    return payload;
}

TEST_F(IpcClientTest, ConcurrentSendsAndHelloAcksNeverInterleave) {
    // A host with a small receive window makes the big frames block in
    // the middle of their write, where another writer could slip in.
    FakeHost slow(8192);
    ASSERT_TRUE(slow.Listening());
    IpcService = slow.Service();
    CIpcClient client(&recorder);
    std::atomic<bool> opened{false};
    Worker opener([&] { opened = client.Open(kLoopback, IpcChannel); });
    ASSERT_TRUE(slow.Accept(2000));
    tBytes hello;
    ASSERT_TRUE(slow.Read(17, &hello, 2000));
    ASSERT_TRUE(slow.Write(HelloAckBytes(0xFFFFFFFF, IpcChannel)));
    ASSERT_TRUE(opener.JoinWithin(3000));
    ASSERT_TRUE(opened);
    const uint32_t kSenders = 4;
    const uint32_t kFramesEach = 40;
    const int kHellos = 30;

    // The host reads and checks the stream while the frames are written.
    std::vector<uint32_t> nextSequence(kSenders, 0);
    std::atomic<int> acks{0};
    std::atomic<bool> corrupt{false};
    std::string problem;
    uint32_t expectedFrames = kSenders * kFramesEach;
    Worker reader([&] {
        uint32_t dataFrames = 0;
        while (dataFrames < expectedFrames || acks < kHellos) {
            uint32_t token = 0;
            uint16_t channel = 0;
            tBytes payload;
            if (!slow.ReadFrame(&token, &channel, &payload, 5000)) {
                problem = "a frame is malformed or missing";
                corrupt = true;
                return;
            }
            if (token >= 0x1000 && token < 0x1000 + kHellos) {
                if (channel != IpcChannel || payload != tBytes({0xFF, 0xFE, 0xFF, 0x01, 0x00})) {
                    problem = "bad HelloAck";
                    corrupt = true;
                    return;
                }
                acks++;
                continue;
            }
            uint32_t sender = token >> 16;
            uint32_t sequence = token & 0xFFFF;
            if (sender >= kSenders || sequence != nextSequence[sender] ||
                payload != SenderPayload(sender, sequence)) {
                problem = "unexpected frame " + std::to_string(token);
                corrupt = true;
                return;
            }
            nextSequence[sender]++;
            dataFrames++;
        }
    });
    std::vector<std::unique_ptr<Worker>> senders;
    std::atomic<int> failures{0};
    for (uint32_t sender = 0; sender < kSenders; sender++) {
        senders.emplace_back(new Worker([&, sender] {
            for (uint32_t sequence = 0; sequence < kFramesEach; sequence++) {
                tBytes payload = SenderPayload(sender, sequence);
                if (client.Send(sender << 16 | sequence, IpcChannel, payload.data(),
                                static_cast<uint32_t>(payload.size())) != 0) {
                    failures++;
                }
            }
        }));
    }
    // Meanwhile the host says Hello again and again; the thread "IPC"
    // answers each with a HelloAck of its own.
    for (int i = 0; i < kHellos; i++) {
        ASSERT_TRUE(slow.Write(FrameOf(0x1000 + i, IpcChannel, {0xFF, 0xFE, 0xFF, 0x00, 0x00})));
        SleepMs(3);
    }
    for (auto &sender : senders)
        ASSERT_TRUE(sender->JoinWithin(20000));
    ASSERT_TRUE(reader.JoinWithin(20000));
    EXPECT_FALSE(corrupt) << problem;
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(acks, kHellos);
}

TEST_F(IpcClientTest, StalledHostFailsTheSendInBoundedTimeAndGetsAFreshConnection) {
    CIpcClient client(&recorder);
    Connect(client);
    // The host stops reading: the socket buffers fill up.
    tBytes big(1024 * 1024, 0x33);
    int result = 0;
    double longestMs = 0;
    int sent = 0;
    for (; sent < 200 && result == 0; sent++) {
        int64_t start = MonotonicNs();
        result = client.Send(sent, IpcChannel, big.data(), static_cast<uint32_t>(big.size()));
        longestMs = std::max(longestMs, MsSince(start));
    }
    EXPECT_EQ(result, 1) << "a host that never reads cannot take " << sent << " MiB";
    EXPECT_LT(longestMs, 3500) << "a blocked write is bounded";
    // After the complete frames the host finds either the failed frame cut
    // off and the connection closed (so the host starts afresh), or, when
    // not a byte of it had been written, the connection still usable; never
    // part of a frame on a connection that goes on.
    uint32_t token = 0;
    uint16_t channel = 0;
    tBytes payload;
    int complete = 0;
    FakeHost::tFrameRead outcome;
    while ((outcome = host.ReadFrameResult(&token, &channel, &payload, 1000)) ==
           FakeHost::kFrameRead) {
        EXPECT_EQ(token, static_cast<uint32_t>(complete));
        complete++;
    }
    EXPECT_EQ(complete, sent - 1);
    if (outcome == FakeHost::kFrameCut) {
        ASSERT_TRUE(host.Accept(2000)) << "the thread connects again";
        tBytes hello;
        ASSERT_TRUE(host.Read(17, &hello, 1000));
        EXPECT_EQ(hello, HelloBytes());
    } else {
        ASSERT_EQ(outcome, FakeHost::kStreamQuiet);
        const uint8_t small[] = {0x44};
        ASSERT_EQ(client.Send(0x77, IpcChannel, small, 1), 0);
        ASSERT_EQ(host.ReadFrameResult(&token, &channel, &payload, 1000), FakeHost::kFrameRead);
        EXPECT_EQ(token, 0x77u);
        EXPECT_EQ(payload, tBytes({0x44}));
    }
}

TEST_F(IpcClientTest, ReconnectionsRacingWithSendsLeakNoSocket) {
    int baseline = OpenDescriptorCount();
    {
        CIpcClient client(&recorder);
        client.SetReceiveCallback(Record);
        Connect(client);
        std::atomic<bool> stop{false};
        std::atomic<int> delivered{0};
        Worker sender([&] {
            const uint8_t payload[] = {0x01};
            while (!stop) {
                if (client.Send(1, IpcChannel, payload, 1) == 0) delivered++;
                SleepMs(2);
            }
        });
        // The host drops every connection shortly after accepting it, so
        // Send and the thread both keep reconnecting.
        int64_t start = MonotonicNs();
        int connections = 1;
        while (MsSince(start) < 2500) {
            SleepMs(20);
            host.CloseConnection();
            if (host.Accept(1500)) connections++;
        }
        stop = true;
        ASSERT_TRUE(sender.JoinWithin(5000));
        EXPECT_GT(connections, 10);
        EXPECT_GT(delivered, 0);
    }
    host.CloseConnection();
    EXPECT_EQ(OpenDescriptorCount(), baseline);
}

// ---------------------------------------------------------------- IpcReceive

class IpcReceiveCallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        EventInit(&IntakeLock, 1);
        EventInit(&IpcMessageEvent, 0);
        FlagSet(IntakeOpen, 1);
    }
    void TearDown() override {
        tData *request = nullptr;
        while (IpcMessageList.PopFront(request) == 0)
            FreeData(request);
        FlagSet(IntakeOpen, 1);
    }
};

TEST_F(IpcReceiveCallbackTest, QueuesOnlyRequestsOnChannelFiveWithTokenAndCode) {
    struct Case {
        const char *name;
        uint32_t token;
        uint16_t channel;
        tBytes payload;
        bool queued;
    };
    const Case cases[] = {
        {"GetPort", 1, 5, {0x01, 0x00}, true},
        {"WithArgument", 0xFFFFFFFF, 5, {0x02, 0x00, '<', 'a', '/', '>'}, true},
        {"ChannelFour", 1, 4, {0x01, 0x00}, false},
        {"ChannelNone", 1, 0xFFFF, {0x01, 0x00}, false},
        {"TokenZero", 0, 5, {0x01, 0x00}, false},
        {"OneByte", 1, 5, {0x01}, false},
        {"Empty", 1, 5, {}, false},
    };
    for (const Case &c : cases) {
        IpcReceive(c.token, c.channel, c.payload.empty() ? nullptr : c.payload.data(),
                   static_cast<uint32_t>(c.payload.size()), nullptr);
        tData *request = nullptr;
        int popped = IpcMessageList.PopFront(request);
        EXPECT_EQ(EventTryTake(&IpcMessageEvent), c.queued ? 0 : -3) << c.name;
        if (!c.queued) {
            EXPECT_EQ(popped, 1) << c.name;
            continue;
        }
        ASSERT_EQ(popped, 0) << c.name;
        EXPECT_EQ(request->token, c.token) << c.name;
        EXPECT_EQ(request->channel, IpcChannel) << c.name;
        EXPECT_EQ(tBytes(request->buffer, request->buffer + request->length), c.payload) << c.name;
        FreeData(request);
    }
}

TEST_F(IpcReceiveCallbackTest, ClosedIntakeDropsTheRequestButStillSignals) {
    FlagSet(IntakeOpen, 0);
    const uint8_t payload[] = {0x00, 0x00};
    IpcReceive(1, 5, payload, 2, nullptr);
    EXPECT_EQ(IpcMessageList.Count(), 0u);
    EXPECT_EQ(EventTryTake(&IpcMessageEvent), 0);
}

TEST_F(IpcReceiveCallbackTest, RequestsKeepTheirOrder) {
    for (uint8_t i = 1; i <= 5; i++) {
        const uint8_t payload[] = {i, 0x00};
        IpcReceive(i, 5, payload, 2, nullptr);
    }
    for (uint32_t i = 1; i <= 5; i++) {
        tData *request = nullptr;
        ASSERT_EQ(IpcMessageList.PopFront(request), 0);
        EXPECT_EQ(request->token, i);
        EXPECT_EQ(request->buffer[0], i);
        FreeData(request);
    }
}

}  // namespace
