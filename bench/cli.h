// The command line of the benchmark programs: long options through
// getopt_long, --help, and whole numbers checked for their range.
// Header-only.
#ifndef KORVANE_BENCH_CLI_H
#define KORVANE_BENCH_CLI_H

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <functional>

// The decimal number `text` when it is one whole number from `min` to `max`;
// false, *value untouched, for anything else (empty, trailing characters,
// out of range).
inline bool ParseWholeNumber(const char *text, long long min, long long max, long long *value) {
    char *end = nullptr;
    errno = 0;
    long long number = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || number < min || number > max)
        return false;
    *value = number;
    return true;
}

// Reads the options of `options` (ended by an all-zero entry; the one whose
// val is 'h' is --help) from the command line. `take` gets every other
// option's val and argument (nullptr without one) and returns false for a
// bad argument. Returns -1 when the program goes on, else its exit code: 0
// after --help printed `usage` on standard output, 2 after a bad option,
// argument or operand was reported with `usage` on standard error.
inline int ParseCommandLine(int argc, char **argv, const char *program,
                            const struct option *options, const char *usage,
                            const std::function<bool(int option, const char *argument)> &take) {
    int index = 0;
    for (int option; (option = getopt_long(argc, argv, "h", options, &index)) != -1;) {
        if (option == 'h') {
            fputs(usage, stdout);
            return 0;
        }
        if (option == '?') {  // getopt_long has said what was wrong
            fputs(usage, stderr);
            return 2;
        }
        if (!take(option, optarg)) {
            fprintf(stderr, "%s: bad value \"%s\" for --%s\n", program, optarg,
                    options[index].name);
            fputs(usage, stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument \"%s\"\n", program, argv[optind]);
        fputs(usage, stderr);
        return 2;
    }
    return -1;
}

#endif  // KORVANE_BENCH_CLI_H
