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

static void ResetEvents() {
    for (tEvent *lock : {&IntakeLock, &ClientsLock, &KeyboardLock, &DatagramLock, &ConfigLock}) {
        EventInit(lock, 1);
    }
    for (tEvent *event :
         {&IpcMessageEvent, &NewTagEvent, &ConfigChangedEvent, &KeyboardTextEvent, &StopDoneEvent,
          &InventoryStartEvent, &ReadStartEvent, &ResultFlagEvent}) {
        EventInit(event, 0);
    }
}

void InitKorvaneGlobals() {
    xmlInitParser();
    FlagSet(Verbose, 0);
    FlagSet(ShutdownFlag, 0);
    FlagSet(IntakeOpen, 1);
    // No reader: every reader command and flag call fails at once.
    ReaderHandle = 0;
    AppliedConfig = nullptr;
    InitMagicWordSlots();
    ResetEvents();
    ResetKorvaneGlobals();
}

void ResetKorvaneGlobals() {
    if (AppliedConfig != nullptr) xmlFreeDoc(AppliedConfig);
    AppliedConfig = nullptr;
    if (ListenSocket != -1) close(ListenSocket);
    ListenSocket = -1;
    CloseClientSockets();
    FreeKeyboardTexts();
    for (CMyList<tDatagramElement *> *templateList :
         {&ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate}) {
        FreeTemplateElements(*templateList);
    }
    FreeStoredTemplateTexts();
    if (EventWait(&DatagramLock) == 0) {
        FreeDatagramBuffers();
        EventSignal(&DatagramLock);
    }
    FreeMagicWordSlots();
    InitMagicWordSlots();
    tData *request = nullptr;
    while (IpcMessageList.PopFront(request) == 0)
        FreeData(request);
    tTag *tag = nullptr;
    while (TagList.PopFront(tag) == 0)
        FreeTag(tag);

    FlagSet(ClientConnected, 0);
    FlagSet(KeyboardEmulationEnabled, 0);
    FlagSet(IgnoreConfigChange, 0);
    FlagSet(ReaderCommandRunning, 0);
    FlagSet(SuppressedStopCount, 0);
    FlagSet(HostCommExtendedResultFlag, 0);
    FlagSet(SkipFirstByte, 0);
    FlagSet(SkipLastByte, 0);
    FlagSet(TemplateHasReadSettings, 0);
    ActiveReadSettings = tReadSettings{};
    PendingReadSettings = tReadSettings{};
    ResetEvents();
}

void CheckTemplateElements(CMyList<tDatagramElement *> &templateList) {
    for (CMyList<tDatagramElement *>::Node *node = templateList.Head(); node != nullptr;
         node = node->next) {
        const tDatagramElement *element = node->value;
        FUZZ_CHECK(element != nullptr, "a template holds a null element");
        if (element->Kind == 0) {
            FUZZ_CHECK(element->Content != nullptr, "a literal without text");
            const char *text = static_cast<const char *>(element->Content);
            FUZZ_CHECK(strlen(text) == element->Length, "a literal's length is not its text's");
            FUZZ_CHECK(element->Coding == 1, "a literal carries a coding other than 1");
            FUZZ_CHECK(element->Length != 0 || node->next == nullptr,
                       "an empty literal before the end of a template");
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
