// Keyboard layouts in one process: the typing thread on a FIFO with a layout of the test's own,
// and the KeyboardLayout element as SetConfigFromFile and the host's file edits treat it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "config/config.h"
#include "core/app.h"
#include "core/log.h"
#include "core/signals.h"
#include "ipc/commands.h"
#include "output/keyboard_layouts.h"
#include "support/e2e.h"
#include "support/hid_decoder.h"
#include "support/worker.h"
#include "sync/lists.h"
#include "testkit/fake_host.h"
#include "testkit/files.h"

namespace {

// US, but '^' through a dead key, '@' and '|' through AltGr, and '#', '<', '"' not at all.
const tKeyboardLayout kTestLayout = [] {
    tKeyboardLayout layout = {"tt", {}};
    for (size_t i = 0; i < kPrintableCount; i++)
        layout.chars[i].key = HidKeyTable[kFirstPrintable + i];
    layout.chars['^' - kFirstPrintable] = {{0, 0x2F}, {0, 0x2C}};
    layout.chars['@' - kFirstPrintable].key = {kHidRightAlt, 0x14};
    layout.chars['|' - kFirstPrintable].key = {kHidLeftShift | kHidRightAlt, 0x64};
    for (char c : {'#', '<', '"'})
        layout.chars[c - kFirstPrintable].key = {0, 0};
    return layout;
}();

void Queue(const std::string &text) {
    tData *data = static_cast<tData *>(malloc(sizeof(tData)));
    *data = {0, 0, static_cast<uint8_t *>(malloc(text.size())), uint32_t(text.size())};
    text.copy(reinterpret_cast<char *>(data->buffer), text.size());
    EventWait(&KeyboardLock);
    KeyboardList.PushBack(data);
    EventSignal(&KeyboardLock);
    EventSignal(&KeyboardTextEvent);
}

// Catches a wrong dead key or modifier, an untypable character typed or named more than once
// per text, a release missing between reports of one key (dead keys and texts included), and a
// layout change not applied to the next text.
TEST(KeyboardLayout, TypesEachTextWithTheLayoutInUseWhenItStarts) {
    ResetProcessState();
    TempDir dir("korvane-keyboard");
    const std::string fifo = dir.Path("hidg0"), log = "Korvane: KeyboardEmulation(): Layout tt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int host = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const char *device = HidDevicePath;
    HidDevicePath = fifo.c_str();
    KeyboardLayoutInUse.store(&kTestLayout);
    FlagSet(Verbose, 1);
    testing::internal::CaptureStdout();
    HidDecoder decoder;
    {
        Worker typist([] { KeybEmulation(nullptr); });
        Queue("a@^ [^#<|\"#");
        Queue("|\t#a#");
        EXPECT_TRUE(decoder.ReadUntil(host, 17, 5000));
        KeyboardLayoutInUse.store(FindKeyboardLayout("us"));
        Queue("a#");
        EXPECT_TRUE(decoder.ReadUntil(host, 21, 5000));
        FlagSet(ShutdownFlag, 1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              log + " cannot type \"#<\\\"\"\n" + log + " cannot type \"#\"\n");
    const std::vector<HidReportBytes> typed = {
        {0, 0, 4},    {0x40, 0, 0x14}, {0, 0, 0x2F},    {0, 0, 0x2C},
        {},           {0, 0, 0x2C},    {0, 0, 0x2F},    {},
        {0, 0, 0x2F}, {0, 0, 0x2C},    {0x42, 0, 0x64}, {},  // a@^ [^#<|"#
        {},           {0x42, 0, 0x64}, {0, 0, 0x2B},    {0, 0, 4},
        {},                                                   // |\t#a#
        {},           {0, 0, 4},       {2, 0, 0x20},    {}};  // a# with us
    EXPECT_EQ(decoder.Reports(), typed);
    close(host);
    HidDevicePath = device;
    ResetProcessState();
}

// Catches names compared with their letter case or blanks, an unknown name not typed as US,
// log lines for an absent or unchanged element, and the host's file edits dropping it.
TEST(KeyboardLayout, ElementChoosesTheLayoutAndTheHostsEditsKeepIt) {
    ResetProcessState();
    TempDir dir("korvane-layout");
    const std::string path = dir.Path("korvane.config.xml"), keep = "<KeyboardLayout>Us<",
                      us = "Typing with the keyboard layout us\n";
    const std::string root = "<KorvaneConfiguration><Port>" + std::to_string(UnusedPort()) +
                             "</Port><Datagrams><ComingText On=\"true\">c</ComingText></Datagrams>";
    const char *configPath = ConfigFilePath;
    ConfigFilePath = path.c_str();
    FlagSet(Verbose, 1);
    const std::tuple<std::string, std::string, bool> rows[] = {
        {"", "", false},
        {keep + "/KeyboardLayout>", us, true},
        {"<KeyboardLayout> uS\n</KeyboardLayout>", "", true},
        {"<KeyboardLayout/>", "No keyboard layout, typing with the US layout\n", false},
        {"<KeyboardLayout>x\"x</KeyboardLayout>",
         "Unknown keyboard layout \"x?x\", typing with the US layout\n", false},
        {"<KeyboardLayout>x\"x</KeyboardLayout>", "", false},
        {keep + "/KeyboardLayout>", us, true},
        {"\x02", "", true},  // the host's SetPort and SetDatagramResult, same sections
        {"\x05", "", true}};
    for (const auto &[element, logged, typesUs] : rows) {
        testing::internal::CaptureStdout();
        if (element.size() == 1) {
            const std::string request = element + '\0' + root + "</KorvaneConfiguration>";
            uint32_t length = 0;
            uint8_t *reply = ExecuteIpcRequest(reinterpret_cast<const uint8_t *>(request.data()),
                                               uint32_t(request.size()), &length);
            EXPECT_TRUE(reply != nullptr && reply[0] == StatusOk) << "not saved and applied";
            EXPECT_NE(ReadFile(path).find(keep), std::string::npos) << int(element[0]);
            free(reply);
        } else {
            ASSERT_TRUE(WriteFile(path, root + element + "</KorvaneConfiguration>"));
            SetConfigFromFile();
        }
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(CountOf(log, "keyboard layout"), logged.empty() ? 0u : 1u) << element << log;
        EXPECT_NE(log.find("SetConfigFromFile(): " + logged), std::string::npos) << log;
        EXPECT_EQ(KeyboardLayoutInUse.load(), typesUs ? FindKeyboardLayout("us") : nullptr);
    }
    ConfigFilePath = configPath;
    ResetProcessState();
}

}  // namespace
