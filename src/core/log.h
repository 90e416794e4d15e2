// Logging: one line per event on standard output, each behind the prefix
// "Korvane: <routine>(): ", written only while Verbose is set.
//
// A line is written under the stream's lock and flushed at once, so lines of
// different threads never mix and a reader of the output sees them promptly.
#ifndef KORVANE_CORE_LOG_H
#define KORVANE_CORE_LOG_H

#include "core/flags.h"

// 1 while log lines are written. Set by -v and SIGUSR1, cleared by SIGUSR2.
extern tFlag Verbose;

// The prefix and then `text` with puts (which adds a newline).
void LogPuts(const char *routine, const char *text);
// The prefix and then `format` with printf; the caller ends the line.
void LogPrintf(const char *routine, const char *format, ...) __attribute__((format(printf, 2, 3)));
// As LogPrintf, whatever Verbose is.
void LogPrintfAlways(const char *routine, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // KORVANE_CORE_LOG_H
