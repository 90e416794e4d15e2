// Tests of the stand-in version tool rfid-version, run the way Korvane runs
// it: through popen and a shell command line.
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

#include "build_settings.h"
#include "support/emulator.h"

namespace {

struct ToolRun {
    std::string out;
    int exitCode = -1;
};

ToolRun RunShell(const std::string &command) {
    ToolRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        run.out.append(buffer, n);
    int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

const std::string kTool = EmulatorShellPrefix() + "'" + KORVANE_VERSION_TOOL + "'";
const char kDefaultType[] = "A1F04C62-7B3D-4E91-8D25-6C0E9B47F318\n";

TEST(RfidVersion, PrintsTheDefaultIdentifierWhenUnset) {
    // 2>&1: nothing may appear on stderr either.
    ToolRun run = RunShell("env -u READERSIM_DEVICE_TYPE " + kTool + " -u 2>&1");
    EXPECT_EQ(run.out, kDefaultType);
    EXPECT_EQ(run.exitCode, 0);
}

TEST(RfidVersion, PrintsTheConfiguredIdentifierVerbatim) {
    ToolRun run = RunShell("READERSIM_DEVICE_TYPE='Model X 9' " + kTool + " -u 2>&1");
    EXPECT_EQ(run.out, "Model X 9\n");
    EXPECT_EQ(run.exitCode, 0);
    run = RunShell("READERSIM_DEVICE_TYPE=0F3E8D2C-1111-4A2B-9C3D-000000000001 " + kTool + " -u");
    EXPECT_EQ(run.out, "0F3E8D2C-1111-4A2B-9C3D-000000000001\n");
}

TEST(RfidVersion, PrintsNothingWhenSetButEmpty) {
    ToolRun run = RunShell("READERSIM_DEVICE_TYPE= " + kTool + " -u 2>&1");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.exitCode, 0);
}

TEST(RfidVersion, OtherArgumentsGiveUsageOnStderrAndExitTwo) {
    for (const char *args : {"", " -x", " -u extra", " u"}) {
        ToolRun quiet = RunShell(kTool + args + " 2>/dev/null");
        EXPECT_EQ(quiet.out, "") << args;
        EXPECT_EQ(quiet.exitCode, 2) << args;
        ToolRun both = RunShell(kTool + args + " 2>&1");
        EXPECT_EQ(both.out.compare(0, 6, "usage:"), 0) << args << ": " << both.out;
        EXPECT_EQ(both.out.find('\n'), both.out.size() - 1) << "one line: " << both.out;
    }
}

TEST(RfidVersion, TheDaemonsCommandLineFindsTheTool) {
    // The command Korvane was built with must reach this very tool.
    ToolRun run = RunShell(std::string("env -u READERSIM_DEVICE_TYPE ") + KORVANE_VERSION_COMMAND);
    EXPECT_EQ(run.out, kDefaultType);
    EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
