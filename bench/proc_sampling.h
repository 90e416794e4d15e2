// What the benchmark and the soak run read about a process and the machine
// from /proc: CPU time and wake-ups per thread, status fields such as the
// RSS, open descriptors, and a line describing the machine.
#ifndef KORVANE_BENCH_PROC_SAMPLING_H
#define KORVANE_BENCH_PROC_SAMPLING_H

#include <stdint.h>
#include <sys/types.h>

#include <string>

// The CPU time and sleeps of a process's threads, summed.
struct ThreadTimes {
    uint64_t korvaneNs = 0;    // every thread but the stand-in's tag generator
    uint64_t generatorNs = 0;  // the stand-in's flood thread
    uint64_t switches = 0;     // voluntary context switches
};

// The threads' times now (/proc/<pid>/task/*/schedstat and status); all zero
// when the process is gone.
ThreadTimes ReadThreadTimes(pid_t pid);

// The number of a "<field>: <n>" line of /proc/<pid>/status (VmRSS and VmHWM
// in kB, Threads); -1 when the process or the field is missing.
long long StatusValue(pid_t pid, const char *field);
// StatusValue of a field in kB, 0 when it is missing.
uint64_t StatusKiB(pid_t pid, const char *field);

// The process's open file descriptors (/proc/<pid>/fd); -1 when it is gone.
int OpenDescriptors(pid_t pid);

// "<CPU model>, <n> CPUs, <kernel name> <release> <machine>".
std::string MachineLine();

#endif  // KORVANE_BENCH_PROC_SAMPLING_H
