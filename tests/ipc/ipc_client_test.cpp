// CIpcClient against a host that stops reading: only fault injection on the
// host's side makes a write block, which the real binary's small replies
// never do.
#include "ipc/ipc_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "support/worker.h"
#include "testkit/fake_host.h"

namespace {

// Catches: a send that blocks without bound, half a frame left on a link that
// stays open (the host would read the next frames as its rest).
TEST(IpcClient, SendToAStalledHostFailsInBoundedTimeAndNeverLeavesHalfAFrame) {
    FakeHost host;
    IpcService = host.Service();
    CIpcClient client(nullptr);
    std::atomic<bool> opened{false};
    Worker opener([&] { opened = client.Open("127.0.0.1", IpcChannel); });
    tBytes bytes;
    ASSERT_TRUE(host.Accept(2000) && host.Read(17, &bytes, 2000));
    ASSERT_TRUE(host.Write(HelloAckBytes(0xFFFFFFFF, IpcChannel)));
    ASSERT_TRUE(opener.JoinWithin(3000) && opened);

    const tBytes big(1024 * 1024, 0x33);
    int result = 0, sent = 0;
    double longestMs = 0;
    for (; sent < 200 && result == 0; sent++) {
        int64_t start = MonotonicNs();
        result = client.Send(sent, IpcChannel, big.data(), static_cast<uint32_t>(big.size()));
        longestMs = std::max(longestMs, MsSince(start));
    }
    EXPECT_EQ(result, 1) << "a host that never reads took " << sent << " MiB";
    EXPECT_LT(longestMs, 3500);
    // The frames before are whole; the failed one is cut off with the link
    // closed (a new one follows with a Hello), or was never begun.
    uint32_t token = 0, complete = 0;
    uint16_t channel = 0;
    FakeHost::tFrameRead outcome;
    while ((outcome = host.ReadFrame(&token, &channel, &bytes, 1000)) == FakeHost::kFrameRead)
        EXPECT_EQ(token, complete++);
    EXPECT_EQ(complete, static_cast<uint32_t>(sent - 1));
    if (outcome == FakeHost::kFrameCut) {
        ASSERT_TRUE(host.Accept(2000) && host.Read(17, &bytes, 1000));
        EXPECT_EQ(bytes, HelloBytes());
    } else {
        EXPECT_EQ(outcome, FakeHost::kStreamQuiet);
    }
    IpcService = "4006";
}

}  // namespace
