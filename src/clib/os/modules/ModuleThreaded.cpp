// The threaded execution strategy: the module's "Start" runs on a thread of
// its own, so a module that keeps its Start busy does not hold up the host.
#include <exception>

#include "Module.h"
#include "log/Log.h"

namespace clib::os::modules {

// Modules started on their own thread see 0 as window value.
ModuleThreaded::ModuleThreaded(HWND /*window*/) : ModuleBlocking(nullptr) {
    startedEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

ModuleThreaded::~ModuleThreaded() {
    // A thread still inside the module is neither waited for nor stopped.
    if (thread_) {
        UnloadModule();
        CloseHandle(thread_);
    }
    if (startedEvent_) CloseHandle(startedEvent_);
}

bool ModuleThreaded::IsRunning() {
    return thread_ && startedEvent_ && WaitForSingleObject(startedEvent_, 0) == WAIT_OBJECT_0;
}

int ModuleThreaded::Start(const std::string& params) {
    if (thread_) {
        Log(LOG_ERROR, "ModuleThreaded::Start: [E] Module '%ws' was already loaded.", path_.c_str());
        return Module::kAlreadyLoaded;
    }
    if (!IsLoaded()) {
        Log(LOG_ERROR, "ModuleThreaded::Start: [E] Module load failed; thread will not be created");
        return Module::kNotLoaded;
    }
    params_ = params;
    DWORD id = 0;
    thread_ = CreateThread(nullptr, 0, &ModuleThreaded::ExecuteThread, this, 0, &id);
    if (!thread_) {
        threadId_ = 0;
        Log(LOG_ERROR, "ModuleThreaded::Start: [E] Could not create thread for module='%ws', error:%d", path_.c_str(),
            (int)GetLastError());
        return Module::kThreadFailed;
    }
    threadId_ = id;
    Log(LOG_INFO, "ModuleThreaded::Start: Created thread %d", (int)threadId_);
    const DWORD wait = WaitForSingleObject(startedEvent_, threadTimeoutMs);
    if (wait == WAIT_OBJECT_0) {
        Log(LOG_INFO, "ModuleThreaded::Start: Thread %d created, mod:'%ws'", (int)threadId_, path_.c_str());
    } else {
        Log(LOG_ERROR, "ModuleThreaded::Start: [E] Wait for thread creation failed: %d, err:%d", (int)wait,
            (int)GetLastError());
    }
    return Module::kOk;
}

DWORD WINAPI ModuleThreaded::ExecuteThread(LPVOID pv) {
    int result = Module::kThreadFailed;
    try {
        auto* self = static_cast<ModuleThreaded*>(pv);
        if (!self) {
            Log(LOG_ERROR, "ModuleThreaded::ExecuteThread: [E] pointer passed (%p) could not be cast to ModuleThreaded",
                pv);
        } else {
            result = self->DoRealStart();
        }
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "ModuleThreaded::ExecuteThread: [C] Exception detected. pv = %p", pv);
        result = Module::kThreadFailed;
    }
    return static_cast<DWORD>(result);
}

int ModuleThreaded::DoRealStart() {
    Log(LOG_CRITICAL_ERROR, "ModuleThreaded::DoRealStart: Executing module '%ws'", path_.c_str());
    if (SetEvent(startedEvent_) != TRUE)
        Log(LOG_ERROR, "ModuleThreaded::DoRealStart: [E] Could not notify Start, module '%ws'", path_.c_str());
    const int result = ModuleBlocking::Start(params_);
    if (result == Module::kOk)
        Log(LOG_CRITICAL_ERROR, "ModuleThreaded::DoRealStart: Module '%ws' executed successfully", path_.c_str());
    else
        Log(LOG_ERROR, "ModuleThreaded::DoRealStart: [E] module '%ws' failed to Start. err:%d", path_.c_str(), result);
    return result;
}

int ModuleThreaded::Stop(int timeoutMs) {
    if (!IsRunning()) {
        Log(LOG_ERROR, "ModuleThreaded::Stop: [E] Module load failed; thread will not be created");
        return Module::kNotLoaded;
    }
    Log(LOG_INFO, "ModuleThreaded::Stop: Stopping module '%ws' in thread %d (to:%d ms.)", path_.c_str(),
        (int)threadId_, timeoutMs);
    const int stopped = ModuleBlocking::Stop(timeoutMs);
    if (stopped != Module::kOk) {
        Log(LOG_ERROR, "ModuleThreaded::Stop: [E] Module could not be stopped '%ws', error:%d", path_.c_str(), stopped);
        if (forceTerminate) {
            UnloadModule();
            Log(LOG_CRITICAL_ERROR, "ModuleThreaded::Stop: [C] Thread %d was forced to unload", (int)threadId_);
            // Fails on platforms that cannot end a single thread; the wait below then reports it.
            const BOOL terminated = TerminateThread(thread_, static_cast<DWORD>(Module::kThreadFailed));
            Log(LOG_CRITICAL_ERROR, "ModuleThreaded::Stop: [C] Thread %d terminated: %d", (int)threadId_,
                (int)terminated);
        }
    }
    Log(LOG_INFO, "ModuleThreaded::Stop: Waiting for thread thread %d to end (to:%d ms.)", (int)threadId_,
        (int)threadTimeoutMs);
    const DWORD wait = WaitForSingleObject(thread_, threadTimeoutMs);
    if (wait == WAIT_OBJECT_0) {
        Log(LOG_INFO, "ModuleThreaded::Stop: Thread %d ended (module:'%ws'", (int)threadId_, path_.c_str());
        return Module::kOk;
    }
    Log(LOG_CRITICAL_ERROR, "ModuleThreaded::Stop: [C] Thread %d did not end in time: %d, err:%d", (int)threadId_,
        (int)wait, (int)GetLastError());
    return wait == WAIT_TIMEOUT ? Module::kThreadTimeout : Module::kThreadFailed;
}

}  // namespace clib::os::modules
