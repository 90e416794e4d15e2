// Stack size of Korvane's threads.
//
// The platform minimum (16 KiB with glibc on x86_64 and 32-bit ARM) is not
// enough for what these threads run: measured on a painted stack, printf and
// getaddrinfo alone reach about 16.4 KB, and copying a configuration element
// for the host (libxml2 copies recursively, one frame per nesting level, up
// to the parser's 256-level limit) reaches about 50 KB on x86_64 and 34 KB on
// 32-bit ARM. 72 KiB keeps a quarter free even with a signal frame on top of
// the deepest call: tests/core/thread_stack_test.cpp checks that Korvane's own
// deepest paths run on a stack of three quarters of this size. Sanitizer
// builds need far more: the thread sanitizer alone keeps about 770 KiB of
// thread-local storage on every thread stack.
#include "core/threads.h"

#include <unistd.h>

#if KORVANE_SANITIZED_BUILD
static constexpr size_t kMeasuredStackSize = 2 * 1024 * 1024;
#else
static constexpr size_t kMeasuredStackSize = 72 * 1024;
#endif

size_t ThreadStackSize() {
    long platformMinimum = sysconf(_SC_THREAD_STACK_MIN);
    if (platformMinimum > 0 && static_cast<size_t>(platformMinimum) > kMeasuredStackSize) {
        return static_cast<size_t>(platformMinimum);
    }
    return kMeasuredStackSize;
}

int InitThreadAttributes(pthread_attr_t *attr) {
    if (pthread_attr_init(attr) != 0) return -1;
    if (pthread_attr_setstacksize(attr, ThreadStackSize()) != 0) {
        pthread_attr_destroy(attr);
        return -1;
    }
    return 0;
}
