// Korvane's worker threads and its IPC thread run on small stacks. These
// tests run the heaviest mix of calls those threads make (see
// tools/stack_measure.h) on such a stack and check that it fits with room to
// spare. Each mix runs in a fresh process (a death test child), so libxml2 and
// glibc meet it cold, as the first such call in the daemon may: first calls
// need more stack than later ones.
#include <alloca.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "../../tools/stack_measure.h"
#include "core/threads.h"
#include "support/emulator.h"

namespace {

using stackmeasure::Measurement;
using stackmeasure::Workload;

// At most this share of the stack may be used, leaving a quarter for what the
// mix does not cover: a signal frame landing at the deepest point, a
// different C library build, code that grows.
constexpr double kMaxShareUsed = 0.75;

// Exit codes of the children below.
constexpr int kChildFine = 0;
constexpr int kChildSetupFailed = 3;
constexpr int kChildThreadFailed = 4;
constexpr int kChildTooLittleHeadroom = 5;

int RunMixOnKorvaneThread() {
    Workload workload;
    std::string why;
    if (!workload.Prepare(&why)) {
        fprintf(stderr, "preparing the workload: %s\n", why.c_str());
        return kChildSetupFailed;
    }
    pthread_attr_t attr;
    if (InitThreadAttributes(&attr) != 0) {
        fprintf(stderr, "InitThreadAttributes failed\n");
        return kChildSetupFailed;
    }
    int error = stackmeasure::RunOnThread(&attr, stackmeasure::RunKorvaneMixOn, &workload);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        fprintf(stderr, "thread: %s\n", strerror(error));
        return kChildThreadFailed;
    }
    return kChildFine;
}

int MeasureMixOnPaintedStack() {
    Workload workload;
    std::string why;
    if (!workload.Prepare(&why)) {
        fprintf(stderr, "preparing the workload: %s\n", why.c_str());
        return kChildSetupFailed;
    }
    const size_t size = ThreadStackSize();
    Measurement m = stackmeasure::MeasureStack(size, stackmeasure::RunKorvaneMixOn, &workload);
    if (m.error != 0) {
        fprintf(stderr, "painted stack of %zu B: %s\n", size, strerror(m.error));
        return kChildThreadFailed;
    }
    fprintf(stderr, "high-water mark %zu B of %zu B\n", m.highWater, size);
    if (static_cast<double>(m.highWater) > kMaxShareUsed * static_cast<double>(size)) {
        fprintf(stderr, "more than %.0f%% of the stack used\n", 100 * kMaxShareUsed);
        return kChildTooLittleHeadroom;
    }
    return kChildFine;
}

// Writes `*bytes` bytes of its own stack.
__attribute__((noinline)) void TouchStack(void *bytes) {
    const size_t length = *static_cast<const size_t *>(bytes);
    char *block = static_cast<char *>(alloca(length));
    memset(block, 0x11, length);
    asm volatile("" : : "r"(block) : "memory");
}

void DoNothing(void *) {}

class ThreadStackDeathTest : public ::testing::Test {
protected:
    // "threadsafe" runs the child by executing the test binary again, which an
    // emulated test binary cannot do: the build machine's kernel does not
    // exec a foreign binary. Under the emulator the child is forked instead;
    // ctest runs each test in a process of its own, so libxml2 and glibc are
    // still cold when the mix runs.
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, EmulatorWords().empty() ? "threadsafe" : "fast");
    }
};

// Stack for checking the measurement itself: room for the static TLS of any
// sanitizer runtime (ThreadSanitizer's is most of a mebibyte) and the blocks
// written below.
constexpr size_t kCheckStack = 4 * 1024 * 1024;

// Written on the stack by the checks below: deeper than anything thread start
// and exit do, even in the sanitizers' runtimes (AddressSanitizer's reach
// about 10 KiB below the thread function).
constexpr size_t kBlock = 64 * 1024;

// The measurement itself: writing 32 KiB more on the stack shows as 32 KiB
// more.
TEST(StackMeasure, SeesWhatIsWrittenOnTheStack) {
    size_t small = kBlock;
    size_t large = kBlock + 32 * 1024;
    Measurement empty = stackmeasure::MeasureStack(kCheckStack, DoNothing, nullptr);
    Measurement less = stackmeasure::MeasureStack(kCheckStack, TouchStack, &small);
    Measurement more = stackmeasure::MeasureStack(kCheckStack, TouchStack, &large);
    ASSERT_EQ(empty.error, 0) << strerror(empty.error);
    ASSERT_EQ(less.error, 0) << strerror(less.error);
    ASSERT_EQ(more.error, 0) << strerror(more.error);
    EXPECT_GT(empty.highWater, 0u);
    EXPECT_GE(less.highWater, empty.highWater + small / 2);
    EXPECT_FALSE(more.Overflowed());
    // Exact in a plain build; AddressSanitizer's memset runs frames of its
    // own below the block whose depth varies by about 1 KiB.
    EXPECT_NEAR(static_cast<double>(more.highWater - less.highWater),
                static_cast<double>(large - small), 1536.0);
}

// With a stack size that is no multiple of the page size, the painted bytes
// below the stack catch use beyond it before the inaccessible page does.
TEST(StackMeasure, ReportsUseBeyondTheStackSize) {
    const size_t page = stackmeasure::PageSize();
    const size_t size = kCheckStack + page / 2;
    size_t length = kBlock;
    Measurement within = stackmeasure::MeasureStack(size, TouchStack, &length);
    ASSERT_EQ(within.error, 0) << strerror(within.error);
    EXPECT_FALSE(within.Overflowed());
    ASSERT_GT(within.highWater, kBlock);
    // What lies above the block: thread start and TouchStack's own frame.
    const size_t above = within.highWater - kBlock;
    ASSERT_LT(above, size / 2);
    // A quarter page past the end of the stack, a quarter page short of the
    // inaccessible page.
    length = size - above + page / 4;
    Measurement over = stackmeasure::MeasureStack(size, TouchStack, &length);
    ASSERT_EQ(over.error, 0) << strerror(over.error);
    EXPECT_TRUE(over.Overflowed()) << over.highWater << " B of " << size;
    EXPECT_LT(over.highWater, size + page / 2);
}

// (a) The mix completes on a thread made with Korvane's own attributes; a
// stack overflow kills the child with SIGSEGV (or the sanitizer's report).
TEST_F(ThreadStackDeathTest, MixCompletesOnKorvaneThreadAttributes) {
    EXPECT_EXIT(
        {
            fflush(stdout);
            _exit(RunMixOnKorvaneThread());
        },
        ::testing::ExitedWithCode(kChildFine), "");
}

// (b) On a painted stack of exactly ThreadStackSize() bytes the mix leaves at
// least a quarter of the stack untouched.
TEST_F(ThreadStackDeathTest, MixLeavesAQuarterOfTheStack) {
    EXPECT_EXIT(
        {
            fflush(stdout);
            _exit(MeasureMixOnPaintedStack());
        },
        ::testing::ExitedWithCode(kChildFine), "high-water mark [0-9]+ B of [0-9]+ B");
}

// The size is what the measurement was checked against, not something that
// depends on the machine the test happens to run on.
TEST(ThreadStack, AttributesCarryThreadStackSize) {
    pthread_attr_t attr;
    ASSERT_EQ(InitThreadAttributes(&attr), 0);
    size_t size = 0;
    EXPECT_EQ(pthread_attr_getstacksize(&attr, &size), 0);
    EXPECT_EQ(size, ThreadStackSize());
    pthread_attr_destroy(&attr);
}

}  // namespace
