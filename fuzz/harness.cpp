// Shared set-up of the fuzz targets.
#include "harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <libxml/parser.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/app.h"

void FuzzCheckFailed(const char *file, int line, const char *message) {
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, message);
    abort();
}

static void WriteProcFile(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size()), path);
    close(fd);
}

void EnterPrivateNetwork() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    FUZZ_CHECK(unshare(CLONE_NEWNET | (uid != 0 ? CLONE_NEWUSER : 0)) == 0,
               "cannot enter a private network namespace");
    if (uid == 0) return;
    WriteProcFile("/proc/self/setgroups", "deny");
    WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

static char Directory[] = "/tmp/korvane-fuzz.XXXXXX";

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

static void RemoveDirectory() {
    nftw(Directory, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
}

std::string MakePrivateDirectory() {
    FUZZ_CHECK(mkdtemp(Directory) != nullptr, "mkdtemp failed");
    atexit(RemoveDirectory);
    return Directory;
}

void InitKorvaneGlobals() {
    xmlInitParser();
    ResetProcessState();
}
