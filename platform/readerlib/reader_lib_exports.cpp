// The exported reader-access functions of the simulated libReaderLib.so, and
// the hooks that run when the library is loaded and unloaded.
//
// The library's state lives in one heap-allocated Engine, created by the load
// hook and destroyed by the unload hook. It is not a static object on purpose:
// static destructors run before the unload hook, which still needs the state
// to stop the library's threads.
// Only the reader-access functions are exported; the library is built with
// hidden visibility otherwise. Their header comes first, so that its first
// inclusion (the one its include guard keeps) is the exported one.
#pragma GCC visibility push(default)
#include "reader/reader_lib.h"
#pragma GCC visibility pop

#include <atomic>

#include "sim_engine.h"

namespace {

std::atomic<readersim::Engine *> gEngine{nullptr};

readersim::Engine *TheEngine() {
    return gEngine.load(std::memory_order_acquire);
}

// Result of a call made while the library is not loaded (before the load hook
// or after the unload hook): the command is not accepted.
const uint32_t kNotLoaded = readersim::Engine::kResultNotConnected;

__attribute__((constructor)) void LoadReaderSim() {
    readersim::Engine *engine = new readersim::Engine();
    gEngine.store(engine, std::memory_order_release);
    engine->Load();
}

__attribute__((destructor)) void UnloadReaderSim() {
    readersim::Engine *engine = gEngine.exchange(nullptr, std::memory_order_acq_rel);
    if (engine == nullptr) return;
    engine->Unload();
    delete engine;
}

}  // namespace

extern "C" {

uint32_t ConnectReader(tConnectParams *params, uint32_t reserved) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->Connect(params, reserved) : 0;
}

void DisconnectReader(uint32_t handle) {
    readersim::Engine *engine = TheEngine();
    if (engine != nullptr) engine->Disconnect(handle);
}

uint32_t SetDllResultHandlerASyncGetEPCs(tStatusHandler status, tTagDataHandler data) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetCommandHandlers(readersim::kInventory, status, data)
                             : kNotLoaded;
}

uint32_t SetDllResultHandlerASyncReadDataAny(tStatusHandler status, tTagDataHandler data) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetCommandHandlers(readersim::kRead, status, data)
                             : kNotLoaded;
}

uint32_t SetDllResultHandlerASyncReadDataUntilEndOfBankAny(tStatusHandler status,
                                                           tTagDataHandler data) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetCommandHandlers(readersim::kReadUntil, status, data)
                             : kNotLoaded;
}

uint32_t SetDllResultHandlerASyncStopCommand(tStopResultHandler handler) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetStopHandler(handler) : kNotLoaded;
}

uint32_t SetDllResultHandlerGetExtendedResultFlag(tGetResultFlagHandler handler) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetGetFlagHandler(handler) : kNotLoaded;
}

uint32_t SetDllResultHandlerSetExtendedResultFlag(tSetResultFlagHandler handler) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetSetFlagHandler(handler) : kNotLoaded;
}

uint32_t ASyncGetEPCs(uint32_t handle) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->StartCommand(readersim::kInventory, handle, 0, 0, 0, 0)
                             : kNotLoaded;
}

uint32_t ASyncReadDataAny(uint32_t handle, uint32_t password, uint8_t memoryBank,
                          uint32_t wordAddress, uint8_t wordCount) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->StartCommand(readersim::kRead, handle, password, memoryBank,
                                                    wordAddress, wordCount)
                             : kNotLoaded;
}

uint32_t ASyncReadDataUntilEndOfBankAny(uint32_t handle, uint32_t password, uint8_t memoryBank,
                                        uint32_t wordAddress, uint8_t wordCount) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->StartCommand(readersim::kReadUntil, handle, password,
                                                    memoryBank, wordAddress, wordCount)
                             : kNotLoaded;
}

uint32_t ASyncStopCommand(uint32_t handle) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->StopCommand(handle) : kNotLoaded;
}

uint32_t GetExtendedResultFlag(uint32_t handle) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->GetFlag(handle) : kNotLoaded;
}

uint32_t SetExtendedResultFlag(uint32_t handle, uint8_t flags) {
    readersim::Engine *engine = TheEngine();
    return engine != nullptr ? engine->SetFlag(handle, flags) : kNotLoaded;
}

}  // extern "C"
