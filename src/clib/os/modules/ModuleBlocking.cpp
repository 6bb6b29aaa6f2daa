// The blocking execution strategy: every export runs on its caller's thread.
#include "Module.h"
#include "log/Log.h"

namespace clib::os::modules {

namespace {

// Through void(*)(void), the one function type that converts to any other.
template <class Proc>
Proc Resolve(HMODULE library, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)(void)>(GetProcAddress(library, name)));
}

}  // namespace

int Module::ModuleBase::Data(int option, const std::wstring& args) {
    std::wstring ignored;
    return Data(option, args, ignored);
}

ModuleBlocking::ModuleBlocking(HWND window) : window_(static_cast<DWORD>(reinterpret_cast<uintptr_t>(window))) {}

ModuleBlocking::~ModuleBlocking() {
    if (IsLoaded()) UnloadModule();
}

int ModuleBlocking::LoadModule(const std::wstring& path) {
    path_ = path;
    if (path.empty()) {
        Log(LOG_ERROR, "ModuleBlocking::LoadModule: [E] Module is empty. res:%d", Module::kEmpty);
        return Module::kEmpty;
    }
    library_ = LoadLibraryW(path.c_str());
    if (!library_) {
        const DWORD error = GetLastError();
        Log(LOG_ERROR, "ModuleBlocking::LoadModule: [E] Failed to load the module. err:%d, res:%d", (int)error,
            Module::kNotLoaded);
        return Module::kNotLoaded;
    }
    start_ = Resolve<ModuleStartProc>(library_, "Start");
    if (start_) stop_ = Resolve<ModuleStopProc>(library_, "Stop");
    if (!start_ || !stop_) {
        const DWORD error = GetLastError();
        // The library stays mapped until UnloadModule.
        Log(LOG_ERROR,
            "ModuleBlocking::LoadModule: [E] Could not load module functions; (Start:%p, Stop:%p) err:%d, res:%d, "
            "module:'%ws'",
            reinterpret_cast<void*>(start_), reinterpret_cast<void*>(stop_), (int)error, Module::kNoStrategy,
            path.c_str());
        return Module::kNoStrategy;
    }
    data_ = Resolve<ModuleDataProc>(library_, "Data");
    dataExt_ = GetProcAddress(library_, "DataExt");
    event_ = GetProcAddress(library_, "Event");
    eventEx_ = GetProcAddress(library_, "EventEx");
    Log(LOG_INFO,
        "ModuleBlocking::LoadModule: Module initialized successfully (supported Data:%d, DataExt:%d, Event:%d, "
        "EventEx:%d): %ws",
        data_ ? 1 : 0, dataExt_ ? 1 : 0, event_ ? 1 : 0, eventEx_ ? 1 : 0, path.c_str());
    return Module::kOk;
}

int ModuleBlocking::UnloadModule() {
    if (!library_) return Module::kNotLoaded;
    start_ = nullptr;
    stop_ = nullptr;
    data_ = nullptr;
    dataExt_ = nullptr;
    event_ = nullptr;
    eventEx_ = nullptr;
    FreeLibrary(library_);
    library_ = nullptr;
    return Module::kOk;
}

bool ModuleBlocking::IsLoaded() { return library_ && start_ && stop_; }

bool ModuleBlocking::IsRunning() { return running_; }

int ModuleBlocking::Start(const std::string& params) {
    if (!start_) return Module::kNoExport;
    if (!running_) start_(MakeStartToken(), params.c_str(), window_);
    running_ = true;
    return Module::kOk;
}

int ModuleBlocking::Stop(int /*timeoutMs*/) {
    if (!stop_) return Module::kNoExport;
    if (running_) stop_();
    running_ = false;
    return Module::kOk;
}

int ModuleBlocking::Data(int option, const std::wstring& args, std::wstring& result) {
    if (!data_) return Module::kNoExport;
    if (!running_) return Module::kOk;
    BSTR answer = data_(option, args.c_str());
    if (answer) {
        // The text ends at the first zero, whatever length the BSTR claims.
        result.assign(answer);
        SysFreeString(answer);
    } else {
        result.clear();
    }
    return Module::kOk;
}

int ModuleBlocking::Reserved(DWORD, DWORD, DWORD) { return Module::kNoStrategy; }

}  // namespace clib::os::modules
