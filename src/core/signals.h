// Signals: SIGINT and SIGTERM end Korvane; SIGUSR1 turns the log on and moves
// standard output to the sender's, SIGUSR2 turns it off.
//
// The handlers only note the signal and its sender in a pipe, which is safe
// in signal context; the thread "Signals" then does the work in order: for
// SIGUSR1 and SIGUSR2 the redirection to the sender, the line, the change of
// Verbose (SIGUSR2 moves the output to /dev/null before Verbose is cleared);
// for SIGINT and SIGTERM the line and then ShutdownFlag. Doing it on a thread
// keeps the handlers away from the stdio locks an interrupted thread may hold.
//
// The configuration watcher's timer handler notes its expiries here as well
// (NoteTimerExpiry); the thread hands them to HandleConfigTimerExpiry.
#ifndef KORVANE_CORE_SIGNALS_H
#define KORVANE_CORE_SIGNALS_H

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "core/flags.h"

// 0 while running; set to 1 on SIGINT or SIGTERM and never cleared. Every
// worker thread ends its loop when it sees it.
extern tFlag ShutdownFlag;

// Starts the thread "Signals" and installs the handlers: SignalHandler with
// signal() for SIGINT and SIGTERM, VerboseSignalHandler with sigaction()
// (SA_SIGINFO | SA_RESTART, empty mask) for SIGUSR1 and SIGUSR2. 0 on success;
// -1 when the pipe or the thread cannot be made, and then no handler is
// installed.
int InstallSignalHandlers();
// Stops the thread "Signals" (the handlers stay installed). Idempotent.
void StopSignalThread();

// Notes an expiry of the timer `timerId` for the thread "Signals".
// Async-signal-safe.
void NoteTimerExpiry(int32_t timerId);

void SignalHandler(int signal);
void VerboseSignalHandler(int signal, siginfo_t *info, void *context);

// Moves standard output to /proc/<pid>/fd/1 (appending), or to /dev/null for
// pid 0. Null, with standard output left as it was, when that cannot be
// opened.
FILE *RedirectStdout(pid_t pid);

#endif  // KORVANE_CORE_SIGNALS_H
