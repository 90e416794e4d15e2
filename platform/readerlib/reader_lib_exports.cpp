// The exported reader-access functions of the simulated libReaderLib.so, and
// the hooks that run when the library is loaded and unloaded.
//
// The library's state lives in one heap-allocated engine, created by the load
// hook and destroyed by the unload hook. It is not a static object on purpose:
// static destructors run before the unload hook, which still needs the state
// to stop the library's threads.
// Only the reader-access functions are exported. Their header comes first, so
// that its first inclusion (the one its include guard keeps) is the exported one.
#pragma GCC visibility push(default)
#include "reader/reader_lib.h"
#pragma GCC visibility pop

#include <atomic>

#include "sim_engine.h"

namespace {

using readersim::CEngine;

std::atomic<CEngine *> gEngine{nullptr};

CEngine *TheEngine() {
    return gEngine.load(std::memory_order_acquire);
}

// Calls `method` on the library's state. A call made while the library is not
// loaded (before the load hook or after the unload hook) is not accepted.
template <typename Method, typename... Args>
uint32_t OnEngine(Method method, Args... args) {
    CEngine *engine = TheEngine();
    return engine != nullptr ? (engine->*method)(args...) : CEngine::kResultNotConnected;
}

__attribute__((constructor)) void LoadReaderSim() {
    CEngine *engine = new CEngine();
    gEngine.store(engine, std::memory_order_release);
    engine->Load();
}

__attribute__((destructor)) void UnloadReaderSim() {
    CEngine *engine = gEngine.exchange(nullptr, std::memory_order_acq_rel);
    if (engine == nullptr) return;
    engine->Unload();
    delete engine;
}

}  // namespace

extern "C" {

uint32_t ConnectReader(tConnectParams *params, uint32_t reserved) {
    CEngine *engine = TheEngine();
    return engine != nullptr ? engine->Connect(params, reserved) : 0;
}

void DisconnectReader(uint32_t handle) {
    CEngine *engine = TheEngine();
    if (engine != nullptr) engine->Disconnect(handle);
}

uint32_t SetDllResultHandlerASyncGetEPCs(tStatusHandler status, tTagDataHandler data) {
    return OnEngine(&CEngine::SetCommandHandlers, readersim::kInventory, status, data);
}

uint32_t SetDllResultHandlerASyncReadDataAny(tStatusHandler status, tTagDataHandler data) {
    return OnEngine(&CEngine::SetCommandHandlers, readersim::kRead, status, data);
}

uint32_t SetDllResultHandlerASyncReadDataUntilEndOfBankAny(tStatusHandler status,
                                                           tTagDataHandler data) {
    return OnEngine(&CEngine::SetCommandHandlers, readersim::kReadUntil, status, data);
}

uint32_t SetDllResultHandlerASyncStopCommand(tStopResultHandler handler) {
    return OnEngine(&CEngine::SetResultHandler, readersim::kFnSetHandlerStop, handler);
}

uint32_t SetDllResultHandlerGetExtendedResultFlag(tGetResultFlagHandler handler) {
    return OnEngine(&CEngine::SetResultHandler, readersim::kFnSetHandlerGetFlag, handler);
}

uint32_t SetDllResultHandlerSetExtendedResultFlag(tSetResultFlagHandler handler) {
    return OnEngine(&CEngine::SetResultHandler, readersim::kFnSetHandlerSetFlag, handler);
}

uint32_t ASyncGetEPCs(uint32_t handle) {
    return OnEngine(&CEngine::StartCommand, readersim::kInventory, handle, 0, 0, 0, 0);
}

uint32_t ASyncReadDataAny(uint32_t handle, uint32_t password, uint8_t memoryBank,
                          uint32_t wordAddress, uint8_t wordCount) {
    return OnEngine(&CEngine::StartCommand, readersim::kRead, handle, password, memoryBank,
                    wordAddress, wordCount);
}

uint32_t ASyncReadDataUntilEndOfBankAny(uint32_t handle, uint32_t password, uint8_t memoryBank,
                                        uint32_t wordAddress, uint8_t wordCount) {
    return OnEngine(&CEngine::StartCommand, readersim::kReadUntil, handle, password, memoryBank,
                    wordAddress, wordCount);
}

uint32_t ASyncStopCommand(uint32_t handle) {
    return OnEngine(&CEngine::StopCommand, handle);
}

uint32_t GetExtendedResultFlag(uint32_t handle) {
    return OnEngine(&CEngine::GetFlag, handle);
}

uint32_t SetExtendedResultFlag(uint32_t handle, uint8_t flags) {
    return OnEngine(&CEngine::SetFlag, handle, flags);
}

}  // extern "C"
