// Child process harness for the korvane binary.
#include "testkit/korvane_process.h"

#include <dirent.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "testkit/clock.h"
#include "testkit/files.h"

KorvaneProcess::~KorvaneProcess() {
    if (pid > 0 && exitStatus == -1) {
        kill(pid, SIGKILL);
        WaitExit(5000);
    }
    if (outputReader.joinable()) outputReader.join();
    if (errorReader.joinable()) errorReader.join();
}

void KorvaneProcess::Collect(int fd, std::string *into) {
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        std::lock_guard<std::mutex> lock(mutex);
        into->append(buffer, static_cast<size_t>(got));
        changed.notify_all();
    }
    close(fd);
}

const char *KorvaneProcess::BinaryPath() {
    return KORVANE_BINARY;
}

bool KorvaneProcess::Start(const std::vector<std::string> &args,
                           const std::vector<std::pair<std::string, std::string>> &env) {
    // KORVANE_TEST_WRAPPER runs the daemon under another program, e.g.
    // valgrind (scripts/memcheck.sh): its words go before the binary.
    std::vector<std::string> command;
    if (const char *wrapper = getenv("KORVANE_TEST_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string word; words >> word;)
            command.push_back(word);
    }
    command.push_back(BinaryPath());
    command.insert(command.end(), args.begin(), args.end());
    return StartProgram(command, env);
}

// True when `path` is an ELF program built for the machine this test program
// was built for: in a cross build such a program runs under the emulator.
static bool IsTargetProgram(const std::string &path) {
#if defined(__arm__)
    constexpr uint16_t kOwnMachine = EM_ARM;
#elif defined(__aarch64__)
    constexpr uint16_t kOwnMachine = EM_AARCH64;
#else
    constexpr uint16_t kOwnMachine = EM_X86_64;
#endif
    unsigned char header[20] = {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool read20 = read(fd, header, sizeof(header)) == static_cast<ssize_t>(sizeof(header));
    close(fd);
    uint16_t machine = static_cast<uint16_t>(header[18] | header[19] << 8);  // little endian
    return read20 && memcmp(header, ELFMAG, SELFMAG) == 0 && machine == kOwnMachine;
}

bool KorvaneProcess::StartProgram(const std::vector<std::string> &given,
                                  const std::vector<std::pair<std::string, std::string>> &env) {
    if (given.empty()) return false;
    // A cross-built test runs under an emulator (KORVANE_TEST_EMULATOR), and
    // the machine's kernel cannot exec a target program by itself (no
    // binfmt_misc): such a program is started through the same emulator.
    std::vector<std::string> command;
    std::istringstream emulator(KORVANE_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        command.push_back(word);
    if (command.empty() || !IsTargetProgram(given[0])) command.clear();
    command.insert(command.end(), given.begin(), given.end());
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<std::string> argStrings = command;
    std::vector<char *> argv;
    for (std::string &arg : argStrings)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, STDIN_FILENO);
        for (const auto &variable : env)
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        // The daemon must not inherit a blocked signal mask from the test.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    outputReader = std::thread(&KorvaneProcess::Collect, this, out[0], &output);
    errorReader = std::thread(&KorvaneProcess::Collect, this, err[0], &errors);
    return true;
}

bool KorvaneProcess::WaitForOutput(const std::string &text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return output.find(text) != std::string::npos; });
}

std::string KorvaneProcess::Output() {
    std::lock_guard<std::mutex> lock(mutex);
    return output;
}

std::string KorvaneProcess::Errors() {
    std::lock_guard<std::mutex> lock(mutex);
    return errors;
}

void KorvaneProcess::Signal(int signal) {
    if (pid > 0 && exitStatus == -1) kill(pid, signal);
}

int KorvaneProcess::WaitExit(int timeoutMs) {
    if (pid <= 0) return -1;
    long long deadline = MonotonicMs() + timeoutMs;
    while (exitStatus == -1) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (MonotonicMs() >= deadline) return -1;
        SleepMs(2);
    }
    // The output is complete once the pipes are closed by the exit.
    if (outputReader.joinable()) outputReader.join();
    if (errorReader.joinable()) errorReader.join();
    return exitStatus;
}

bool KorvaneProcess::Running() {
    if (pid <= 0 || exitStatus != -1) return false;
    return WaitExit(0) == -1;
}

std::vector<std::string> ThreadNames(pid_t pid) {
    std::vector<std::string> names;
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(taskDir.c_str());
    if (tasks == nullptr) return names;
    while (struct dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::string name = ReadFile(taskDir + "/" + entry->d_name + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    closedir(tasks);
    return names;
}
