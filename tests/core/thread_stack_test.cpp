// Korvane's threads run on stacks of ThreadStackSize(). This runs their
// deepest paths through Korvane's own functions on three quarters of that
// stack: loading a configuration nested nearly as deep as the parser allows,
// the GetDatagramResult reply (libxml2 copies the nesting recursively) and
// GetMagicWords, the version tool's detection, and the IPC client connecting
// and sending. An overflow runs into the guard page and kills the test.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "config/config.h"
#include "core/app.h"
#include "core/threads.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "ipc/commands.h"
#include "ipc/ipc_client.h"
#include "output/keyboard.h"
#include "output/server.h"
#include "reader/results.h"
#include "sync/lists.h"
#include "testkit/fake_host.h"

namespace {

// Levels below Datagrams: with the root and Datagrams just under the parser's
// limit of 256.
constexpr int kNesting = 250;

struct tOutcome {
    tBytes datagrams, magicWords;
    uint8_t communicationType = 0;
    int sent = -1;
};

tBytes Reply(uint16_t code) {
    const uint8_t request[2] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)};
    uint32_t length = 0;
    uint8_t *reply = ExecuteIpcRequest(request, sizeof(request), &length);
    tBytes bytes(reply, reply + (reply != nullptr ? length : 0));
    free(reply);
    return bytes;
}

void *RunDeepestPaths(void *outcome) {
    tOutcome *out = static_cast<tOutcome *>(outcome);
    // Made first, so that its own thread idles while this one connects below.
    CIpcClient client(nullptr);
    SetConfigFromFile();
    out->datagrams = Reply(kCommandGetDatagramResult);
    out->magicWords = Reply(kCommandGetMagicWords);
    out->communicationType =
        DetectCommunicationType("printf 'A1F04C62-7B3D-4E91-8D25-6C0E9B47F318\\n'");
    // Without a channel Open does not wait for the host, and Send connects.
    client.Open("127.0.0.1", kIpcNoChannel);
    out->sent = client.Send(7, IpcChannel, out->datagrams.data(),
                            static_cast<uint32_t>(out->datagrams.size()));
    return nullptr;
}

// Runs the paths on a thread made with Korvane's attributes, resized.
void RunOnStack(size_t stackSize, tOutcome *outcome) {
    pthread_attr_t attr;
    size_t korvaneSize = 0;
    ASSERT_EQ(InitThreadAttributes(&attr), 0);
    EXPECT_TRUE(pthread_attr_getstacksize(&attr, &korvaneSize) == 0 &&
                korvaneSize == ThreadStackSize());
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stackSize), 0) << stackSize;
    // Comes on top of the stack; no frame can jump over it.
    ASSERT_EQ(pthread_attr_setguardsize(&attr, 64 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, RunDeepestPaths, outcome), 0);
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
}

// Korvane's globals as main sets them up, a host listening on loopback, and
// the nested configuration in a private file.
class ThreadStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        xmlInitParser();
        ResetProcessState();
        ASSERT_TRUE(host.Listening());
        IpcService = host.Service();
        path = "/tmp/korvane-stack-" + std::to_string(getpid()) + ".xml";
        ConfigFilePath = path.c_str();
        std::string nested = "deepest";
        for (int i = 0; i < kNesting; i++)
            nested = "<Nested On=\"true\">" + nested + "</Nested>";
        std::ofstream(path) << "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">{EPC}"
                            << "</ComingText>" << nested << "</Datagrams><Port>" << UnusedPort()
                            << "</Port></KorvaneConfiguration>\n";
    }
    void TearDown() override {
        ResetProcessState();
        IpcService = originalService;
        ConfigFilePath = originalPath;
        unlink(path.c_str());
    }

    FakeHost host;
    const char *originalService = IpcService, *originalPath = ConfigFilePath;
    std::string path;
};

TEST_F(ThreadStackTest, DeepestPathsRunOnThreeQuartersOfTheStack) {
    tOutcome out;
    RunOnStack(ThreadStackSize() / 4 * 3, &out);
    EXPECT_STREQ(ComingText, "{EPC}") << "the configuration is applied";
    EXPECT_NE(ListenSocket, -1);
    ASSERT_TRUE(out.datagrams.size() > 3 && out.magicWords.size() > 1000);
    auto head = [](const tBytes &reply) { return HexOf(tBytes(reply.begin(), reply.begin() + 3)); };
    EXPECT_EQ(head(out.datagrams) + " | " + head(out.magicWords), "00 04 80 | 00 03 80");
    const std::string text(out.datagrams.begin(), out.datagrams.end());
    EXPECT_NE(text.find(">deepest<"), std::string::npos) << "the whole section is copied";
    EXPECT_EQ(out.communicationType, 4);
    ASSERT_EQ(out.sent, 0);
    const tBytes frame = FrameOf(7, IpcChannel, out.datagrams);
    tBytes received;
    ASSERT_TRUE(host.Accept(2000));
    EXPECT_TRUE(host.Read(frame.size(), &received, 2000) && received == frame);
}

// The test can fail: a quarter of the stack is too small for the same paths.
// Sanitizer builds size their stacks for their runtimes, not for these paths.
TEST_F(ThreadStackTest, AQuarterOfTheStackOverflows) {
    if (KORVANE_SANITIZED_BUILD) GTEST_SKIP() << "sanitizer build";
    tOutcome out;
    EXPECT_DEATH((RunOnStack(ThreadStackSize() / 4, &out), _exit(0)), "");
}

}  // namespace
