// stackprobe: how much stack Korvane's threads use.
//
// Every operation of the workload in stack_measure.h runs in a process of its
// own (this program again, with --child), so it meets libxml2 and glibc cold,
// as the first such call in the daemon may; it runs on a painted 1 MiB stack,
// once cold and once warm. Then the whole mix, each operation inside the IPC
// thread's frame, runs on a painted stack of the chosen size and on a thread
// glibc creates with that size attribute. Finally the smallest size attribute
// on which the mix survives is searched for, and the guard page accounting of
// glibc is looked at directly.
//
//   stackprobe [--stack-size BYTES] [--probe-stack BYTES] [--no-search]
#include <inttypes.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "stack_measure.h"

extern char **environ;

using stackmeasure::Measurement;
using stackmeasure::Operation;
using stackmeasure::Workload;

namespace {

size_t gProbeStack = 1u << 20;

[[noreturn]] void Fail(const char *what, const std::string &why) {
    fprintf(stderr, "stackprobe: %s: %s\n", what, why.c_str());
    exit(2);
}

size_t ParseSize(const char *text) {
    char *end = nullptr;
    unsigned long long value = strtoull(text, &end, 0);
    if (end != nullptr && (*end == 'k' || *end == 'K')) {
        value *= 1024;
        end++;
    }
    if (end == text || end == nullptr || *end != '\0' || value == 0) {
        Fail("bad size", text);
    }
    return static_cast<size_t>(value);
}

// --- Child side: one measurement, printed as numbers on standard output ------

struct OperationCall {
    const Operation *operation;
    const Workload *workload;
};

void RunOperation(void *call) {
    const OperationCall *c = static_cast<const OperationCall *>(call);
    c->operation->run(*c->workload);
}

Measurement Measure(size_t stackSize, void (*function)(void *), void *argument) {
    Measurement m = stackmeasure::MeasureStack(stackSize, function, argument);
    if (m.error != 0) Fail("measuring", strerror(m.error));
    return m;
}

// "--child op NAME": cold and warm high-water marks of one operation.
int ChildOperation(const char *name) {
    const Operation *operation = stackmeasure::FindOperation(name);
    if (operation == nullptr) Fail("no such operation", name);
    Workload workload;
    std::string why;
    if (!workload.Prepare(&why)) Fail("preparing", why);
    OperationCall call{operation, &workload};
    Measurement cold = Measure(gProbeStack, RunOperation, &call);
    Measurement warm = Measure(gProbeStack, RunOperation, &call);
    printf("%zu %zu\n", cold.highWater, warm.highWater);
    return 0;
}

// "--child mix-painted SIZE": the mix, cold, on a painted stack of SIZE bytes.
int ChildMixPainted(size_t size) {
    Workload workload;
    std::string why;
    if (!workload.Prepare(&why)) Fail("preparing", why);
    Measurement m = stackmeasure::MeasureStack(size, stackmeasure::RunKorvaneMixOn, &workload);
    printf("%d %zu\n", m.error, m.highWater);
    return 0;
}

// "--child mix-glibc SIZE": the mix, cold, on a thread glibc creates with the
// stack size attribute SIZE. Crashes when the stack is too small.
int ChildMixGlibc(size_t size) {
    Workload workload;
    std::string why;
    if (!workload.Prepare(&why)) Fail("preparing", why);
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    int error = stackmeasure::RunWithStackSize(size, stackmeasure::RunKorvaneMixOn, &workload);
    printf("%d\n", error);
    return 0;
}

// --- Guard page accounting ---------------------------------------------------

struct Layout {
    uintptr_t rwLow = 0, rwHigh = 0;        // the read-write mapping holding the stack
    uintptr_t guardLow = 0, guardHigh = 0;  // the inaccessible mapping right below it
    uintptr_t entrySp = 0;                  // a local of the thread function
    size_t attrStack = 0, attrGuard = 0;    // what pthread_getattr_np says
};

__attribute__((noinline)) void ReadMaps(Layout *layout) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *address = nullptr;
        pthread_attr_getstack(&attr, &address, &layout->attrStack);
        pthread_attr_getguardsize(&attr, &layout->attrGuard);
        pthread_attr_destroy(&attr);
    }
    FILE *maps = fopen("/proc/self/maps", "r");
    if (maps == nullptr) return;
    char line[512];
    uintptr_t previousLow = 0, previousHigh = 0;
    char previousPerms[8] = "";
    while (fgets(line, sizeof(line), maps) != nullptr) {
        uintptr_t low = 0, high = 0;
        char perms[8] = "";
        if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s", &low, &high, perms) != 3) continue;
        if (low <= layout->entrySp && layout->entrySp < high) {
            layout->rwLow = low;
            layout->rwHigh = high;
            if (previousHigh == low && strncmp(previousPerms, "---", 3) == 0) {
                layout->guardLow = previousLow;
                layout->guardHigh = previousHigh;
            }
        }
        previousLow = low;
        previousHigh = high;
        memcpy(previousPerms, perms, sizeof(perms));
    }
    fclose(maps);
}

// Thread function with a frame as small as DescendUntilFault's, so the two
// agree on where the thread function's first local lies.
void FindLayout(void *result) {
    Layout *layout = static_cast<Layout *>(result);
    volatile char marker = 0;
    layout->entrySp = reinterpret_cast<uintptr_t>(&marker);
    ReadMaps(layout);
}

// Shared with the child that writes below its stack pointer until it faults.
struct Descent {
    volatile size_t reached;
};

Descent *gDescent = nullptr;

// Writing below the own frame is the point here, not a bug for the sanitizers.
__attribute__((no_sanitize("address", "thread"))) void DescendUntilFault(void *) {
    volatile char marker = 0;
    volatile char *p = &marker;
    for (size_t depth = 0;; depth += 16) {
        p[-static_cast<ptrdiff_t>(depth)] = 1;
        gDescent->reached = depth;
    }
}

// How many bytes below a thread function's first local can be written before
// the fault, on a thread glibc creates with the stack size attribute `size`.
size_t MeasureDescent(size_t size) {
    gDescent = static_cast<Descent *>(
        mmap(nullptr, sizeof(Descent), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (gDescent == MAP_FAILED) Fail("mmap", strerror(errno));
    gDescent->reached = 0;
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        stackmeasure::RunWithStackSize(size, DescendUntilFault, nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    size_t reached = gDescent->reached;
    munmap(gDescent, sizeof(Descent));
    // Under the sanitizers their fault handler reports and exits instead.
    bool faulted = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
    if (!faulted) Fail("descent", "the child did not fault");
    return reached;
}

void ReportLayout(size_t size) {
    Layout layout;
    int error = stackmeasure::RunWithStackSize(size, FindLayout, &layout);
    if (error != 0) {
        printf("  stack size attribute %zu: pthread_create failed: %s\n", size, strerror(error));
        return;
    }
    size_t descent = MeasureDescent(size);
    size_t above = layout.rwHigh - layout.entrySp;
    printf("  stack size attribute %7zu: mapping %zu B read-write + %zu B guard below;\n", size,
           layout.rwHigh - layout.rwLow, layout.guardHigh - layout.guardLow);
    printf("    pthread_getattr_np: stack %zu, guard %zu\n", layout.attrStack, layout.attrGuard);
    printf(
        "    top of mapping to the thread function's first local: %zu B "
        "(descriptor, static TLS, start frame)\n",
        above);
    printf("    writable below that local until the fault: %zu B (maps say %zu B)\n", descent,
           static_cast<size_t>(layout.entrySp - layout.rwLow));
    size_t mapped = layout.rwHigh - layout.rwLow;
    if (mapped != size) {
        printf(
            "    => the stack is not the size asked for: %zu B instead of %zu B (raised by a\n"
            "       sanitizer runtime?); usable by the thread function: %zu B\n",
            mapped, size, descent);
    } else {
        printf("    => usable by the thread function: %zu of %zu B (%.1f%%)\n", descent, size,
               100.0 * static_cast<double>(descent) / static_cast<double>(size));
    }
}

// --- Parent side --------------------------------------------------------------

struct ChildResult {
    std::string output;
    int status = 0;
};

ChildResult RunChild(const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    static char self[] = "/proc/self/exe";
    argv.push_back(self);
    std::vector<std::string> copies(arguments);
    for (std::string &a : copies)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) Fail("pipe", strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    int error = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (error != 0) Fail("posix_spawn", strerror(error));
    ChildResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof(buffer))) > 0)
        result.output.append(buffer, got);
    close(out[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

std::string Describe(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "?";
}

// Log lines of the stdio operation go to the child's standard output first;
// the numbers are on its last line.
std::string LastLine(const std::string &text) {
    size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

bool MixSurvives(size_t size) {
    ChildResult r = RunChild({"--probe-stack", std::to_string(gProbeStack), "--child", "mix-glibc",
                              std::to_string(size)});
    return WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0 && LastLine(r.output) == "0";
}

int Parent(size_t stackSize, bool search) {
    printf(
        "stackprobe: libxml2 %s, page %zu B, sysconf(_SC_THREAD_STACK_MIN) %ld, "
        "PTHREAD_STACK_MIN %ld",
        xmlParserVersion, stackmeasure::PageSize(), sysconf(_SC_THREAD_STACK_MIN),
        static_cast<long>(PTHREAD_STACK_MIN));
#ifdef AT_MINSIGSTKSZ
    printf(", AT_MINSIGSTKSZ %lu", getauxval(AT_MINSIGSTKSZ));
#endif
#if defined(__SANITIZE_ADDRESS__)
    printf(", AddressSanitizer build");
#elif defined(__SANITIZE_THREAD__)
    printf(", ThreadSanitizer build");
#endif
    printf(
        "\n\nHigh-water marks (bytes from the stack top, including glibc's thread descriptor\n"
        "and static TLS), each operation in a fresh process on a painted %zu B stack:\n\n",
        gProbeStack);
    printf("  %-20s %8s %8s  %s\n", "operation", "cold", "warm", "what");
    size_t worstKorvane = 0, worstAll = 0;
    const char *worstName = "";
    for (const Operation &operation : stackmeasure::kOperations) {
        ChildResult r = RunChild(
            {"--probe-stack", std::to_string(gProbeStack), "--child", "op", operation.name});
        size_t cold = 0, warm = 0;
        if (!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 0 ||
            sscanf(LastLine(r.output).c_str(), "%zu %zu", &cold, &warm) != 2) {
            printf("  %-20s %s\n", operation.name, Describe(r.status).c_str());
            continue;
        }
        printf("  %-20s %8zu %8zu  %s\n", operation.name, cold, warm, operation.description);
        size_t worst = std::max(cold, warm);
        if (operation.korvane && worst > worstKorvane) {
            worstKorvane = worst;
            worstName = operation.name;
        }
        worstAll = std::max(worstAll, worst);
    }
    printf("\n  maximum over Korvane's operations: %zu B (%s); including the (avoid) rows: %zu B\n",
           worstKorvane, worstName, worstAll);

    printf(
        "\nThe whole mix (every Korvane operation inside the IPC thread's 4096 B buffer and\n"
        "two fd_sets), cold:\n");
    ChildResult big = RunChild({"--probe-stack", std::to_string(gProbeStack), "--child",
                                "mix-painted", std::to_string(gProbeStack)});
    int error = 0;
    size_t mix = 0;
    if (sscanf(LastLine(big.output).c_str(), "%d %zu", &error, &mix) == 2 && error == 0) {
        printf("  on a painted %zu B stack: high-water mark %zu B\n", gProbeStack, mix);
    } else {
        printf("  on a painted %zu B stack: %s, error %d\n", gProbeStack,
               Describe(big.status).c_str(), error);
    }
    ChildResult exact = RunChild({"--probe-stack", std::to_string(gProbeStack), "--child",
                                  "mix-painted", std::to_string(stackSize)});
    size_t exactMark = 0;
    if (sscanf(LastLine(exact.output).c_str(), "%d %zu", &error, &exactMark) == 2 && error == 0) {
        printf("  on a painted stack of exactly %zu B: high-water mark %zu B, headroom %.1f%%%s\n",
               stackSize, exactMark,
               100.0 * (static_cast<double>(stackSize) - static_cast<double>(exactMark)) /
                   static_cast<double>(stackSize),
               exactMark > stackSize ? " (OVERFLOW)" : "");
    } else {
        printf("  on a painted stack of exactly %zu B: %s%s%s\n", stackSize,
               Describe(exact.status).c_str(), error != 0 ? ", pthread_create: " : "",
               error != 0 ? strerror(error) : "");
    }
    ChildResult glibc = RunChild({"--probe-stack", std::to_string(gProbeStack), "--child",
                                  "mix-glibc", std::to_string(stackSize)});
    printf("  on a thread created with stack size attribute %zu: %s\n", stackSize,
           WIFEXITED(glibc.status) && LastLine(glibc.output) == "0"
               ? "completed"
               : (Describe(glibc.status) + ", output \"" + LastLine(glibc.output) + "\"").c_str());

    if (search) {
        const size_t page = stackmeasure::PageSize();
        size_t low = static_cast<size_t>(PTHREAD_STACK_MIN);
        size_t high = stackmeasure::RoundUp(std::max(gProbeStack, low), page);
        if (!MixSurvives(high)) {
            printf("\n  the mix does not even survive %zu B\n", high);
        } else if (MixSurvives(low)) {
            printf(
                "\n  smallest stack size attribute the mix survives: %zu B or less "
                "(no smaller value is accepted)\n",
                low);
        } else {
            // Invariant: low fails, high survives.
            while (high - low > 1024) {
                size_t middle = low + (high - low) / 2 / 1024 * 1024;
                if (MixSurvives(middle)) {
                    high = middle;
                } else {
                    low = middle;
                }
            }
            printf(
                "\n  smallest stack size attribute the mix survives (1 KiB steps): %zu B "
                "(%zu B crashes)\n",
                high, low);
        }
    }

#if defined(__SANITIZE_THREAD__)
    if (search) {
        printf(
            "  (ThreadSanitizer raises every stack size attribute below its static TLS plus\n"
            "  128 KiB, so in this build the search cannot go below that; see the mapping\n"
            "  size below)\n");
    }
#endif

    printf("\nglibc's accounting of the stack size attribute:\n");
    ReportLayout(static_cast<size_t>(PTHREAD_STACK_MIN));
    if (stackSize != static_cast<size_t>(PTHREAD_STACK_MIN)) ReportLayout(stackSize);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    size_t stackSize = static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN));
    bool search = true;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--stack-size" && i + 1 < argc) {
            stackSize = ParseSize(argv[++i]);
        } else if (option == "--probe-stack" && i + 1 < argc) {
            gProbeStack = ParseSize(argv[++i]);
        } else if (option == "--no-search") {
            search = false;
        } else if (option == "--child" && i + 2 < argc) {
            std::string what = argv[i + 1];
            if (what == "op") return ChildOperation(argv[i + 2]);
            if (what == "mix-painted") return ChildMixPainted(ParseSize(argv[i + 2]));
            if (what == "mix-glibc") return ChildMixGlibc(ParseSize(argv[i + 2]));
            Fail("unknown child", what);
        } else {
            fprintf(stderr,
                    "usage: stackprobe [--stack-size BYTES] [--probe-stack BYTES] [--no-search]\n"
                    "  --stack-size   size to check the mix against (default "
                    "sysconf(_SC_THREAD_STACK_MIN))\n"
                    "  --probe-stack  painted stack for the measurements (default 1 MiB)\n"
                    "  --no-search    skip the search for the smallest size that survives\n");
            return 2;
        }
    }
    return Parent(stackSize, search);
}
