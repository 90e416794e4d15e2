// Shared set-up, reset and checks of the fuzz targets.
#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <libxml/parser.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>
#include <vector>

#include "config/config.h"
#include "config/watcher.h"
#include "core/app.h"
#include "core/log.h"
#include "core/signals.h"
#include "datagram/codings.h"
#include "datagram/magic_words.h"
#include "ipc/ipc_client.h"
#include "output/keyboard.h"
#include "output/send.h"
#include "output/server.h"
#include "reader/results.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

void FuzzCheckFailed(const char *file, int line, const char *condition, const char *message) {
    fprintf(stderr, "%s:%d: check failed: %s: %s\n", file, line, condition, message);
    abort();
}

static bool WriteProcFile(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

void EnterPrivateNetwork() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWNET;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) {
        fprintf(stderr, "fuzz: cannot enter a private network namespace: %s\n", strerror(errno));
        abort();
    }
    if (uid != 0 && (!WriteProcFile("/proc/self/setgroups", "deny") ||
                     !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                     !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
        fprintf(stderr, "fuzz: cannot map the user namespace: %s\n", strerror(errno));
        abort();
    }
}

static std::vector<std::string> &PrivateDirectories() {
    static std::vector<std::string> *directories = new std::vector<std::string>();
    return *directories;
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

static void RemovePrivateDirectories() {
    for (const std::string &directory : PrivateDirectories())
        nftw(directory.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string MakePrivateDirectory(const char *name) {
    std::string pattern = std::string("/tmp/korvane-fuzz-") + name + ".XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        fprintf(stderr, "fuzz: mkdtemp: %s\n", strerror(errno));
        abort();
    }
    if (PrivateDirectories().empty()) atexit(RemovePrivateDirectories);
    PrivateDirectories().push_back(pattern);
    return pattern;
}

void WriteWholeFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr, "the private file cannot be opened");
    bool written = size == 0 || fwrite(data, 1, size, file) == size;
    written = fclose(file) == 0 && written;
    FUZZ_CHECK(written, "the private file cannot be written");
}

void WriteWholeFile(const std::string &path, const std::string &text) {
    WriteWholeFile(path, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

void InitKorvaneGlobals() {
    xmlInitParser();
    AppliedConfig = nullptr;
    ResetKorvaneGlobals();
}

void ResetKorvaneGlobals() {
    // No reader: every reader command and flag call fails at once.
    ResetProcessState();
}

void CheckTemplateElements(CMyList<tDatagramElement *> &templateList) {
    for (CMyList<tDatagramElement *>::Node *node = templateList.Head(); node != nullptr;
         node = node->next) {
        const tDatagramElement *element = node->value;
        FUZZ_CHECK(element != nullptr, "a template holds a null element");
        if (element->Kind == 0) {
            FUZZ_CHECK(element->Content != nullptr, "a literal without text");
            const char *text = static_cast<const char *>(element->Content);
            // A "Hex=" block's bytes may hold NULs; the copy is terminated.
            FUZZ_CHECK(text[element->Length] == '\0', "a literal's copy is not terminated");
            FUZZ_CHECK(element->Coding == 1, "a literal carries a coding other than 1");
        } else {
            FUZZ_CHECK(element->Kind == 1, "an element is neither literal nor word");
            const tMagicWordSlot *slot = static_cast<const tMagicWordSlot *>(element->Content);
            FUZZ_CHECK(slot >= MagicWordSlots && slot < MagicWordSlots + kMagicWordCount,
                       "a word element does not point at a slot");
            FUZZ_CHECK(slot->Word == &MagicWordTable[slot - MagicWordSlots],
                       "a slot is not tied to its table row");
            FUZZ_CHECK(element->Coding <= kCodingLast, "a word with an unknown coding");
            FUZZ_CHECK(node->next != nullptr, "a template does not end with its literal tail");
        }
    }
}
