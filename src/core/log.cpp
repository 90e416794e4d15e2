// Log line formatting.
#include "core/log.h"

#include <stdarg.h>
#include <stdio.h>

tFlag Verbose{0};

static const char kProgramName[] = "Korvane";

static void WriteLine(const char *routine, const char *format, va_list args, bool addNewline) {
    flockfile(stdout);
    printf("%s: %s(): ", kProgramName, routine);
    vprintf(format, args);
    if (addNewline) putchar('\n');
    fflush(stdout);
    funlockfile(stdout);
}

static void WriteText(const char *routine, const char *format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(routine, format, args, true);
    va_end(args);
}

void LogPuts(const char *routine, const char *text) {
    if (!FlagGet(Verbose)) return;
    WriteText(routine, "%s", text);
}

void LogPrintf(const char *routine, const char *format, ...) {
    if (!FlagGet(Verbose)) return;
    va_list args;
    va_start(args, format);
    WriteLine(routine, format, args, false);
    va_end(args);
}

void LogPrintfAlways(const char *routine, const char *format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(routine, format, args, false);
    va_end(args);
}
