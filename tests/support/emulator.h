// Starting a target program from a test. A native build runs it directly; a
// cross build runs it through the emulator the tests themselves run under
// (KORVANE_TEST_EMULATOR, set by tests/CMakeLists.txt), because the build
// machine's kernel cannot exec a foreign binary without binfmt_misc.
#ifndef KORVANE_TESTS_SUPPORT_EMULATOR_H
#define KORVANE_TESTS_SUPPORT_EMULATOR_H

#include <limits.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

// The emulator command split into words; empty in a native build.
inline std::vector<std::string> EmulatorWords() {
    std::vector<std::string> words;
    std::istringstream in(KORVANE_TEST_EMULATOR);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// The emulator as a shell command prefix, each word quoted and followed by a
// space; "" in a native build.
inline std::string EmulatorShellPrefix() {
    std::string prefix;
    for (const std::string &word : EmulatorWords())
        prefix += "'" + word + "' ";
    return prefix;
}

// The argument vector that runs this test binary again: /proc/self/exe
// natively; under the emulator its path, which the emulator reports for
// /proc/self/exe, behind the emulator's words.
inline std::vector<std::string> SelfCommand() {
    std::vector<std::string> argv = EmulatorWords();
    if (argv.empty()) return {"/proc/self/exe"};
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    argv.push_back(length > 0 ? std::string(path, static_cast<size_t>(length)) : "/proc/self/exe");
    return argv;
}

#endif  // KORVANE_TESTS_SUPPORT_EMULATOR_H
