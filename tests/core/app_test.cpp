// In-process checks of the process frame: device type detection and the threads' stack size.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <stdlib.h>

#include <algorithm>

#include "config/config.h"
#include "core/app.h"
#include "core/threads.h"
#include "ipc/commands.h"
#include "testkit/fake_host.h"
#include "testkit/files.h"

namespace {

// Catches a device type taken from the wrong line, compared with the letter
// case or the line end, or known when it is not.
TEST(DeviceType, FirstLineOfTheVersionToolDecides) {
    const std::pair<const char *, uint8_t> rows[] = {
        {"echo A1F04C62-7B3D-4E91-8D25-6C0E9B47F318", 4},
        {"echo b7293e05-4da1-4c6f-9e38-1f52a0c6d974", 4},
        {"printf 'C3E8157A-20F9-4B84-A6D1-9E47B2530C8F\\nsecond line'", 4},
        {"printf 'unknown\\nA1F04C62-7B3D-4E91-8D25-6C0E9B47F318\\n'", 0},
        {"echo ' A1F04C62-7B3D-4E91-8D25-6C0E9B47F318'", 0},
        {"printf 'A1F04C62-7B3D-4E91-8D25-6C0E9B47F318\\r\\n'", 0},
        {"echo A1F04C62-7B3D-4E91-8D25-6C0E9B47F31", 0},
        {"/nonexistent/version -u 2>/dev/null", 0}};
    for (const auto &row : rows)
        EXPECT_EQ(DetectCommunicationType(row.first), row.second) << row.first;
}

std::string Reply;

void *RunDeepestPaths(void *) {
    SetConfigFromFile();
    const uint8_t request[2] = {kCommandGetDatagramResult, 0};
    uint32_t length = 0;
    uint8_t *reply = ExecuteIpcRequest(request, sizeof(request), &length);
    Reply.assign(reinterpret_cast<char *>(reply), reply != nullptr ? length : 0);
    free(reply);
    return nullptr;
}

// Catches a deepest path (a configuration nested as deep as the parser allows, loaded and copied
// into the host's reply) that needs over 3/4 of the stack. The stack is painted and handed to the
// thread (glibc would reuse a larger cached one).
TEST(ThreadStack, DeepestPathsUseAtMostThreeQuartersOfTheStack) {
    xmlInitParser();
    ResetProcessState();
    TempDir dir("korvane-stack");
    std::string text = "deepest", path = dir.Path("korvane.config.xml");
    for (int i = 0; i < 250; i++)
        text = "<Nested On=\"true\">" + text + "</Nested>";
    ASSERT_TRUE(WriteFile(
        path, "<KorvaneConfiguration><Datagrams><ComingText On=\"true\">{EPC}</ComingText>" + text +
                  "</Datagrams><Port>" + std::to_string(UnusedPort()) +
                  "</Port></KorvaneConfiguration>"));
    const char *configPath = ConfigFilePath;
    ConfigFilePath = path.c_str();
    const size_t size = ThreadStackSize();
    std::vector<uint8_t> stack(size, 0xA5);
    pthread_attr_t attr;
    pthread_t thread;
    ASSERT_EQ(pthread_attr_init(&attr) + pthread_attr_setstack(&attr, stack.data(), size), 0);
    ASSERT_EQ(pthread_create(&thread, &attr, RunDeepestPaths, nullptr), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    const size_t untouched =
        std::find_if(stack.begin(), stack.end(), [](uint8_t b) { return b != 0xA5; }) -
        stack.begin();
    EXPECT_GE(untouched, size / 4) << "a quarter of the stack must stay free";
    EXPECT_LE(untouched, size - 8192) << "the paint shows no use";
    EXPECT_STREQ(ComingText, "{EPC}");
    EXPECT_NE(Reply.find(">deepest<"), std::string::npos) << "the whole section is copied";
    ResetProcessState();
    ConfigFilePath = configPath;
}

}  // namespace
