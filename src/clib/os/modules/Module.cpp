// The module facade: module name to started module, data requests, stop.
#include "Module.h"

#include <ctime>
#include <exception>

#include "log/Log.h"
#include "security/Signature.h"
#include "util/Conversions.h"
#include "util/PathUtils.h"

namespace clib::os::modules {

Module::Module() = default;

Module::~Module() {
    ClearModuleCopy();
    strategy_.reset();
}

bool Module::IsRunning() { return strategy_ && strategy_->IsRunning(); }

bool Module::Start(const std::wstring& module, int options, const std::string& params) {
    lastResult_ = kStarting;
    Log(LOG_OTHER, "clib::os::modules::Module::Start: options=[%d], module='%ws', params='%s'", options,
        module.c_str(), params.c_str());
    try {
        return DoStart(module, options, params);
    } catch (const std::exception& e) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Start: [C] Exception detected. lastE:%d, module:'%ws', exc:%s",
            lastResult_.load(), copyPath_.c_str(), e.what());
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Start: [C] Exception detected.");
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Start: [C] lastE:%d, module: '%ws'", lastResult_.load(),
            copyPath_.c_str());
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Start: [C] impl:%p, hWnd:0x%X, StartTime:%ld",
            static_cast<void*>(strategy_.get()), (unsigned)(uintptr_t)window_, (LONG)startTime_);
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Start: [C] options:%d, args: '%s'", options_,
            params_.c_str());
    }
    lastResult_ = kException;
    return false;
}

bool Module::DoStart(const std::wstring& module, int options, const std::string& params) {
    if (module.empty()) {
        lastResult_ = kEmpty;
        Log(LOG_ERROR, "clib::os::modules::Module::Start: [E] Module is empty");
        return false;
    }
    // A start on a facade whose module runs is refused before anything of the
    // running module is replaced: its name, path and options stay for the
    // Stop, Data and exception lines that follow, and its copy and library
    // stay where the running code needs them.
    if (copyHandle_.IsValid() && IsRunning()) {
        InitializeModule();
        Log(LOG_ERROR, "clib::os::modules::Module::Start: [E] Could not initialize module '%ws'", name_.c_str());
        return false;
    }
    if (module.find(L'.') != std::wstring::npos) {
        fullPath_ = Utils_Path::Path<wchar_t>::GetFullPath(module);
        name_ = GetFileNameWithoutExtension(fullPath_);
    } else {
        name_ = GetFileNamePart(module);
        fullPath_ = CombinePath(std::wstring(), name_ + L".kvl");
    }
    options_ = options;

    if (!InitializeModule()) {
        ClearModuleCopy();
        Log(LOG_ERROR, "clib::os::modules::Module::Start: [E] Could not initialize module '%ws'", name_.c_str());
        return false;
    }

    params_ = params;
    if (!CreateStrategy()) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Start: [C] Could not create the implementation module");
        lastResult_ = kNoStrategy;
        return false;
    }

    lastResult_ = strategy_->LoadModule(copyPath_);
    if (lastResult_ != kOk) {
        ClearModuleCopy();
        Log(LOG_ERROR, "clib::os::modules::Module::Start: [E] Could not load module '%ws' options:%d, err:%d",
            name_.c_str(), options_, lastResult_.load());
        return false;
    }

    lastResult_ = strategy_->Start(params_);
    if (lastResult_ != kOk) {
        ClearModuleCopy();
        Log(LOG_ERROR, "clib::os::modules::Module::Start: [E] Call to Start failed; err:%d, module:%ws",
            lastResult_.load(), name_.c_str());
        return false;
    }

    startTime_ = static_cast<int64_t>(std::time(nullptr));
    lastResult_ = kOk;
    Log(LOG_CRITICAL_ERROR,
        "clib::os::modules::Module::Start: Module '%ws' started. options:%d, params: '%s', copy: '%ws'",
        name_.c_str(), options_, params_.c_str(), copyPath_.c_str());

    if (options_ & kOptionStopAfterStart) strategy_->Stop(5000);
    return true;
}

bool Module::InitializeModule() {
    try {
        return DoInitializeModule();
    } catch (const std::exception& e) {
        Log(LOG_CRITICAL_ERROR,
            "clib::os::modules::Module::InitializeModule: [C] Exception detected. lastE:%d, module:'%ws', exc:%s",
            lastResult_.load(), fullPath_.c_str(), e.what());
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::InitializeModule: [C] Exception detected.");
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::InitializeModule: [C] lastE:%d, module: '%ws'",
            lastResult_.load(), fullPath_.c_str());
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::InitializeModule: [C] hModuleCopy:%X, module copy: '%ws'",
            (unsigned)(uintptr_t)(copyHandle_.IsValid() ? copyHandle_.Get() : INVALID_HANDLE_VALUE), copyPath_.c_str());
    }
    lastResult_ = kException;
    return false;
}

bool Module::DoInitializeModule() {
    Log(LOG_OTHER, "clib::os::modules::Module::InitializeModule: Initializing module: '%ws'", fullPath_.c_str());
    if (copyHandle_.IsValid()) {
        lastResult_ = kAlreadyLoaded;
        Log(LOG_ERROR, "clib::os::modules::Module::InitializeModule: [E] Module file '%ws' was already loaded",
            fullPath_.c_str());
        return false;
    }
    // Held open without write sharing so nobody rewrites the file while it is
    // verified and copied.
    ScopedKernelHandle file(CreateFileW(fullPath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        const DWORD error = GetLastError();
        lastResult_ = error == ERROR_FILE_NOT_FOUND ? kNotFound : kCannotOpen;
        Log(LOG_ERROR, "clib::os::modules::Module::InitializeModule: [E] Could not open module file '%ws'. err:%d",
            fullPath_.c_str(), (int)error);
        return false;
    }
    if (checkCertificate_) {
        const std::string ansiPath = Utils_Conversions::Conversion::toString(fullPath_, CP_ACP);
        // The signature check opens the file by its ANSI code page name: a
        // path that leaves the code page cannot be checked, which the
        // refusal below would otherwise hide behind "not signed".
        if (Utils_Conversions::Conversion::toWstring(ansiPath, CP_ACP) != fullPath_)
            Log(LOG_ERROR,
                "clib::os::modules::Module::InitializeModule: [E] Module path '%ws' has characters outside the ANSI "
                "code page %u; the signature check cannot open it.",
                fullPath_.c_str(), GetACP());
        if (!CheckSignature(ansiPath.c_str())) {
            lastResult_ = kBadSignature;
            Log(LOG_ERROR,
                "clib::os::modules::Module::InitializeModule: [E] Module '%ws' is not signed with a valid certificate.",
                fullPath_.c_str());
            return false;
        }
    }
    copyHandle_.Reset(GetModuleCopy(file.Get(), GetDirectoryPart(fullPath_)));
    const bool copied = copyHandle_.IsValid();
    if (!copied) {
        lastResult_ = kNotLoaded;
        Log(LOG_ERROR, "clib::os::modules::Module::InitializeModule: [E] Could not open a temporary file for module '%ws'",
            name_.c_str());
    } else {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::InitializeModule: Module initialized: '%ws'",
            fullPath_.c_str());
    }
    file.Reset();
    return copied;
}

bool Module::CreateStrategy() {
    std::unique_ptr<ModuleBase> created;
    if (options_ & kOptionThreaded) {
        auto threaded = std::make_unique<ModuleThreaded>(window_);
        threaded->forceTerminate = true;
        threaded->threadTimeoutMs = 10000;
        created = std::move(threaded);
    } else {
        created = std::make_unique<ModuleBlocking>(window_);
    }
    strategy_ = std::move(created);
    return strategy_ != nullptr;
}

bool Module::Stop(int timeoutMs) {
    try {
        lastResult_ = DoStop(timeoutMs);
        return lastResult_ == kOk;
    } catch (const std::exception& e) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Stop: [C] Exception detected. lastE:%d, exc:'%s'",
            lastResult_.load(), e.what());
    } catch (...) {
        const DWORD error = GetLastError();
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Stop: [C] Exception detected.");
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Stop: [C] err:%d, lastE:%d, impl:%p, to::%d", (int)error,
            lastResult_.load(), static_cast<void*>(strategy_.get()), timeoutMs);
    }
    lastResult_ = kException;
    return false;
}

int Module::DoStop(int timeoutMs) {
    int result;
    if (!strategy_ || !strategy_->IsLoaded()) {
        Log(LOG_ERROR, "clib::os::modules::Module::Stop: [E] Module '%ws' was not previously loaded", name_.c_str());
        result = kNotLoaded;
    } else if (!strategy_->IsRunning()) {
        Log(LOG_WARNING, "clib::os::modules::Module::Stop: [W] Module '%ws' was already stopped", name_.c_str());
        result = kOk;
    } else {
        Log(LOG_INFO, "clib::os::modules::Module::Stop: Stopping module '%ws' (to:%d)", name_.c_str(), timeoutMs);
        result = strategy_->Stop(timeoutMs);
    }
    if (result == kOk) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Stop: Module '%ws' stopped.", name_.c_str());
        ClearModuleCopy();
    }
    return result;
}

bool Module::Data(int option, const std::wstring& args, std::wstring& result) {
    try {
        const int code = DoData(option, args, result);
        lastResult_ = code;
        return code == kOk;
    } catch (const std::exception& e) {
        Log(LOG_CRITICAL_ERROR,
            "clib::os::modules::Module::Data: [C] Exception detected. lastE:%d, option:%d, exc:%s, args:'%ws'",
            lastResult_.load(), option, e.what(), args.c_str());
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Data: [C] Exception detected.");
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Data: [C] lastE:%d, option:%d, args:'%ws'",
            lastResult_.load(), option, args.c_str());
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::Data: [C] impl:%p, result:'%ws'",
            static_cast<void*>(strategy_.get()), result.c_str());
    }
    lastResult_ = kException;
    return false;
}

int Module::DoData(int option, const std::wstring& args, std::wstring& result) {
    if (strategy_ && strategy_->IsRunning()) return strategy_->Data(option, args, result);
    if (!strategy_) {
        Log(LOG_ERROR, "clib::os::modules::Module::Data: [E] Module '%ws' was not previously loaded. ", name_.c_str());
    } else {
        Log(LOG_ERROR, "clib::os::modules::Module::Data: [E] Module '%ws' is loaded but not running.", name_.c_str());
    }
    return kNotLoaded;
}

}  // namespace clib::os::modules
