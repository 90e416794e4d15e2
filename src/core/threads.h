// Thread creation with the small stacks Korvane's threads run on.
#ifndef KORVANE_CORE_THREADS_H
#define KORVANE_CORE_THREADS_H

#include <pthread.h>
#include <stddef.h>

// Stack size of every worker thread and of the "IPC" thread.
size_t ThreadStackSize();

// Prepares `attr` as the attribute object for Korvane's threads: default
// (joinable) with the stack size above. 0 on success.
int InitThreadAttributes(pthread_attr_t *attr);

#endif  // KORVANE_CORE_THREADS_H
