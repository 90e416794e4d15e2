// The process frame of Korvane.
//
// Start-up, in this order: initial values and the parent's pid; the XML
// parser; the signal handlers; the options; the magic word slots; the
// communication type from the platform's version tool; the reader connection;
// the intake lock; the six result handlers; the IPC client (thread "IPC");
// the events and locks; the configuration file; the IPC link; the seven
// worker threads; the signal to the parent (-s).
//
// Then main waits for the workers, which end by themselves once ShutdownFlag
// is set, and tears everything down: listening socket, IPC link, reader stop,
// intake, handlers, timer, every queue and list, slots, texts, events, IPC
// client, reader connection, configuration document, XML parser.
#include "core/app.h"

#include <getopt.h>
#include <libxml/parser.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <initializer_list>

#include "build_settings.h"
#include "config/config.h"
#include "config/watcher.h"
#include "core/log.h"
#include "core/signals.h"
#include "core/threads.h"
#include "datagram/magic_words.h"
#include "datagram/template.h"
#include "ipc/commands.h"
#include "ipc/ipc_client.h"
#include "ipc/version.h"
#include "output/keyboard.h"
#include "output/send.h"
#include "output/server.h"
#include "reader/results.h"
#include "reader/tag.h"
#include "sync/data.h"
#include "sync/lists.h"

uint32_t ReaderHandle = 0;
tFlag IntakeOpen{1};
tEvent IntakeLock;

const tDeviceType DeviceTypeTable[kDeviceTypeCount] = {
    {"A1F04C62-7B3D-4E91-8D25-6C0E9B47F318", 4},
    {"B7293E05-4DA1-4C6F-9E38-1F52A0C6D974", 4},
    {"C3E8157A-20F9-4B84-A6D1-9E47B2530C8F", 4},
};

static const char kLogName[] = "main";
static const char kIpcHost[] = "127.0.0.1";
static constexpr uint32_t kConnectTimeout = 2000;

static pid_t ParentPid = 0;
static tConnectParams ConnectParams;

struct tOptions {
    bool signalParent;  // -s
};

// The worker threads in creation (and join) order.
struct tWorker {
    const char *name;
    void *(*body)(void *);
    tEvent *release;  // destroyed before the join: the worker waits on it without time limit
    pthread_t thread;
    bool started;
};
static tWorker Workers[] = {
    {"WaitForData", WaitForData, nullptr, {}, false},
    {"HandleNewTags", HandleNewTags, nullptr, {}, false},
    {"WatchConfigFile", WatchConfigFile, nullptr, {}, false},
    {"CfgFileChanged", ConfigFileChanged, &ConfigChangedEvent, {}, false},
    {"WaitForClients", WaitForClients, nullptr, {}, false},
    {"PollClients", PollClients, nullptr, {}, false},
    {"KeybEmulation", KeybEmulation, nullptr, {}, false},
};
static_assert(sizeof(Workers) / sizeof(Workers[0]) == 7, "Korvane runs seven worker threads");

uint8_t CommunicationTypeFromLine(const char *line) {
    char identifier[128];
    snprintf(identifier, sizeof(identifier), "%s", line);
    identifier[strcspn(identifier, "\n")] = '\0';
    for (const tDeviceType &row : DeviceTypeTable) {
        if (strcasecmp(identifier, row.Identifier) == 0) return row.CommunicationType;
    }
    return 0;
}

uint8_t DetectCommunicationType(const char *command) {
    FILE *tool = popen(command, "r");
    if (tool == nullptr) return 0;
    char line[128];
    uint8_t communicationType = 0;
    if (fgets(line, sizeof(line), tool) != nullptr) {
        communicationType = CommunicationTypeFromLine(line);
    }
    pclose(tool);
    return communicationType;
}

void FillConnectParams(tConnectParams *params, uint8_t communicationType) {
    memset(params, 0, sizeof(*params));
    params->commType = communicationType;
    memcpy(params->address, kIpcHost, sizeof(kIpcHost));
    // The record is little-endian on the wire; store the bytes explicitly.
    uint8_t *timeout = reinterpret_cast<uint8_t *>(&params->timeout);
    for (int i = 0; i < 4; i++)
        timeout[i] = static_cast<uint8_t>(kConnectTimeout >> (8 * i));
}

static void SetInitialValues() {
    FlagSet(ShutdownFlag, 0);
    FlagSet(Verbose, 0);
    FlagSet(IntakeOpen, 1);
    FlagSet(SuppressedStopCount, 0);
    FlagSet(InventoryStartError, 0x80);
    FlagSet(ReadStartError, 0x80);
    FlagSet(SkipFirstByte, 0);
    FlagSet(SkipLastByte, 0);
    FlagSet(KeyboardEmulationEnabled, 0);
    FlagSet(IgnoreConfigChange, 0);
    KeyboardLayoutInUse.store(nullptr, std::memory_order_relaxed);
}

static void PrintVersion() {
    uint16_t major = 0, minor = 0, patch = 0;
    const char *hash = nullptr;
    ParseVersion(BuiltInVersion, &major, &minor, &patch, &hash);
    LogPrintfAlways(kLogName, "Version: %u.%u.%u%s%s\n", major, minor, patch,
                    hash != nullptr ? "-" : "", hash != nullptr ? hash : "");
}

static tOptions ReadOptions(int argc, char **argv) {
    tOptions options = {false};
    int option;
    while ((option = getopt(argc, argv, "ivs")) != -1) {
        switch (option) {
            case 'i':
                PrintVersion();
                break;
            case 'v':
                FlagSet(Verbose, 1);
                break;
            case 's':
                options.signalParent = true;
                break;
            default:
                // getopt has written its diagnostic; parsing goes on.
                break;
        }
    }
    return options;
}

static void SetValuesAfterOptions() {
    InitMagicWordSlots();
    AppliedConfig = nullptr;
    FlagSet(ClientConnected, 0);
    ActiveReadSettings.MemoryBankSet = 0;
    ActiveReadSettings.PasswordSet = 0;
    ActiveReadSettings.PointerSet = 0;
    ActiveReadSettings.LengthSet = 0;
    FlagSet(ReaderCommandRunning, 0);
}

// Registers (or, with remove set, removes) the six result handlers in their
// fixed order; stops at the first registration that fails. 0 on success.
static uint32_t RegisterResultHandlers(bool remove) {
    uint32_t result = SetDllResultHandlerASyncGetEPCs(remove ? nullptr : InventoryStatusHandler,
                                                      remove ? nullptr : TagDataHandler);
    if (result == 0) {
        result = SetDllResultHandlerASyncReadDataAny(remove ? nullptr : ReadStatusHandler,
                                                     remove ? nullptr : TagDataHandler);
    }
    if (result == 0) {
        result = SetDllResultHandlerASyncReadDataUntilEndOfBankAny(
            remove ? nullptr : ReadStatusHandler, remove ? nullptr : TagDataHandler);
    }
    if (result == 0) {
        result = SetDllResultHandlerASyncStopCommand(remove ? nullptr : StopResultHandler);
    }
    if (result == 0) {
        result = SetDllResultHandlerGetExtendedResultFlag(remove ? nullptr : GetResultFlagHandler);
    }
    if (result == 0) {
        result = SetDllResultHandlerSetExtendedResultFlag(remove ? nullptr : SetResultFlagHandler);
    }
    return result;
}

static void InitEvents() {
    EventInit(&IpcMessageEvent, 0);
    EventInit(&NewTagEvent, 0);
    EventInit(&ConfigChangedEvent, 0);
    EventInit(&ClientsLock, 1);
    EventInit(&KeyboardLock, 1);
    EventInit(&KeyboardTextEvent, 0);
    EventInit(&DatagramLock, 1);
    EventInit(&ConfigLock, 1);
}

static void StartWorkers() {
    pthread_attr_t attr;
    bool haveAttr = InitThreadAttributes(&attr) == 0;
    for (tWorker &worker : Workers) {
        worker.started =
            pthread_create(&worker.thread, haveAttr ? &attr : nullptr, worker.body, nullptr) == 0;
        if (worker.started) pthread_setname_np(worker.thread, worker.name);
    }
    if (haveAttr) pthread_attr_destroy(&attr);
}

static void JoinWorkers() {
    for (tWorker &worker : Workers) {
        if (worker.release != nullptr) EventDestroy(worker.release);
        // A thread that failed to start has nothing to join.
        if (worker.started) pthread_join(worker.thread, nullptr);
        worker.started = false;
    }
}

static void FreeQueuedRequests() {
    tData *request = nullptr;
    while (IpcMessageList.PopFront(request) == 0)
        FreeData(request);
}

static void FreeQueuedTags() {
    tTag *tag = nullptr;
    while (TagList.PopFront(tag) == 0)
        FreeTag(tag);
}

// Frees the keyboard texts, the templates and their texts, the slots' texts
// and the rendering buffers. Caller holds DatagramLock and KeyboardLock.
static void FreeDatagramState() {
    FreeKeyboardTexts();
    for (CMyList<tDatagramElement *> *templateList :
         {&ComingTemplate, &GoingTemplate, &StartTemplate, &HeartbeatTemplate, &StopTemplate}) {
        FreeTemplateElements(*templateList);
    }
    FreeMagicWordSlots();
    FreeStoredTemplateTexts();
    FreeDatagramBuffers();
}

void ResetProcessState() {
    if (AppliedConfig != nullptr) xmlFreeDoc(AppliedConfig);
    if (ListenSocket != -1) close(ListenSocket);
    ListenSocket = -1;
    CloseClientSockets();
    FreeDatagramState();
    FreeQueuedRequests();
    FreeQueuedTags();

    SetInitialValues();
    SetValuesAfterOptions();
    InitEvents();
    EventInit(&IntakeLock, 1);
    for (tEvent *event : {&InventoryStartEvent, &ReadStartEvent, &StopDoneEvent, &ResultFlagEvent})
        EventInit(event, 0);
    ActiveReadSettings = tReadSettings{};
    PendingReadSettings = tReadSettings{};
    FlagSet(TemplateHasReadSettings, 0);
    FlagSet(HostCommExtendedResultFlag, 0);
    ReaderHandle = 0;
}

// Tear-down, the steps of start-up in reverse. The workers have ended.

static void CloseServerAndIpcLink() {
    if (ListenSocket != -1) {
        close(ListenSocket);
        ListenSocket = -1;
    }
    IpcClient->SetReceiveCallback(nullptr);
    IpcClient->Close();
}

// Stops the reader, then closes the intake under its lock so that no
// callback is half-way through a push, and only then removes the handlers.
static void StopReaderAndCloseIntake() {
    ASyncStopCommand(ReaderHandle);
    EventWait(&IntakeLock);
    FlagSet(IntakeOpen, 0);
    EventSignal(&IntakeLock);
    RegisterResultHandlers(true);
}

// The configuration's products: clients, keyboard texts, templates, slots.
// A stop report may still be rendering on a library thread: it holds
// DatagramLock and then wants ClientsLock. Taking DatagramLock first keeps
// the lock order and lets that datagram finish instead of deadlocking; the
// lists are still emptied clients, keyboard, templates.
static void FreeOutput() {
    EventWait(&DatagramLock);
    EventWait(&ClientsLock);
    CloseClientSockets();
    EventWait(&KeyboardLock);
    FreeDatagramState();
}

// Every event and lock, those InitEvents made and those of the reader's
// acknowledgements and the intake.
static void DestroyEvents() {
    for (tEvent *event :
         {&IpcMessageEvent, &NewTagEvent, &ConfigChangedEvent, &ClientsLock, &KeyboardLock,
          &KeyboardTextEvent, &DatagramLock, &ConfigLock, &InventoryStartEvent, &ReadStartEvent,
          &StopDoneEvent, &ResultFlagEvent, &IntakeLock}) {
        EventDestroy(event);
    }
}

static void TearDown() {
    CloseServerAndIpcLink();
    LogPuts(kLogName, "Clean up");
    StopReaderAndCloseIntake();
    DeleteConfigTimer();
    FreeQueuedRequests();
    FreeQueuedTags();
    FreeOutput();
    DestroyEvents();
    delete IpcClient;
    IpcClient = nullptr;
    DisconnectReader(ReaderHandle);
}

// The common end of every exit path.
static int Finish(int exitCode) {
    if (AppliedConfig != nullptr) {
        xmlFreeDoc(AppliedConfig);
        AppliedConfig = nullptr;
    }
    xmlCleanupParser();
    StopSignalThread();
    LogPuts(kLogName, "Exited normally\n");
    return exitCode;
}

int RunKorvane(int argc, char **argv) {
    SetInitialValues();
    ParentPid = getppid();
    xmlInitParser();
    bool signalsHandled = InstallSignalHandlers() == 0;
    tOptions options = ReadOptions(argc, argv);
    // Checked once -v has been read, so the reason is logged.
    if (!signalsHandled) {
        LogPuts(kLogName, "Can't set up the signal handling");
        return Finish(kExitNoSignalHandling);
    }
    SetValuesAfterOptions();

    uint8_t communicationType = DetectCommunicationType(KORVANE_VERSION_COMMAND);
    if (communicationType == 0) {
        LogPuts(kLogName, "Could not determine communication type");
        return Finish(kExitNoDeviceType);
    }
    FillConnectParams(&ConnectParams, communicationType);
    ReaderHandle = ConnectReader(&ConnectParams, 0);
    if (ReaderHandle == 0) {
        LogPuts(kLogName, "Reader connect error");
        return Finish(kExitConnectFailed);
    }
    EventInit(&IntakeLock, 1);
    if (RegisterResultHandlers(false) != 0) {
        LogPuts(kLogName, "Can't set result handlers for ASync functions");
        DisconnectReader(ReaderHandle);
        return Finish(kExitHandlersFailed);
    }

    IpcClient = new CIpcClient(nullptr);
    InitEvents();
    SetConfigFromFile();
    if (ListenSocket == -1) LogPuts(kLogName, "Can't create TCP client");
    IpcClient->SetReceiveCallback(IpcReceive);
    if (!IpcClient->Open(kIpcHost, IpcChannel)) {
        LogPuts(kLogName, "Timeout reached, couldn't connect the IPC");
    }

    StartWorkers();
    if (options.signalParent) {
        LogPuts(kLogName, "Sending signal to parent");
        kill(ParentPid, SIGUSR1);
    }
    JoinWorkers();
    TearDown();
    return Finish(kExitNormal);
}
