// The module runner: the facade through which the host starts, feeds and
// stops its one plug-in module, and the execution strategies behind it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "util/ScopedHandle.h"

namespace clib::os::modules {

// The signatures of a plug-in module's exports.
typedef int(__stdcall* ModuleStartProc)(DWORD token, const char* params, DWORD window);
typedef int(__stdcall* ModuleStopProc)(void);
typedef BSTR(__stdcall* ModuleDataProc)(int option, const wchar_t* args);

// The 32-bit value handed to a module's "Start", fresh at every call.
DWORD MakeStartToken();
// How the token is folded from its parts; haveSerial is false when the volume
// "C:\" could not be queried.
DWORD StartTokenFrom(bool haveSerial, DWORD volumeSerial, DWORD versionWord, DWORD tickCount);

class Module {
public:
    // Result codes left in lastResult.
    enum Result {
        kOk = 0,
        kNotFound = -1,
        kCannotOpen = -2,
        kBadSignature = -3,
        kNoStrategy = -4,
        kNotLoaded = -5,
        kStarting = -6,
        kNoExport = -6,
        kThreadFailed = -7,
        kEmpty = -8,
        kAlreadyLoaded = -9,
        kThreadTimeout = -10,
        kException = -11,
    };

    // Option bits of Start.
    static constexpr int kOptionStopAfterStart = 1;
    static constexpr int kOptionThreaded = 4;

    // What one strategy does with the loaded library; the facade owns one.
    class ModuleBase {
    public:
        virtual ~ModuleBase() = default;
        virtual int Start(const std::string& params) = 0;
        virtual int Data(int option, const std::wstring& args);
        virtual int Data(int option, const std::wstring& args, std::wstring& result) = 0;
        virtual int Stop(int timeoutMs) = 0;
        virtual int Reserved(DWORD a, DWORD b, DWORD c) = 0;
        virtual int LoadModule(const std::wstring& path) = 0;
        virtual int UnloadModule() = 0;
        virtual bool IsLoaded() = 0;
        virtual bool IsRunning() = 0;
    };

    // The attribute data compared before and after the copy is reopened.
    typedef WIN32_FILE_ATTRIBUTE_DATA Snapshot;

    // Seams of GetModuleCopy for tests: a step run before every reopen
    // attempt of a written copy (attempt 1 to 5), and the unit of the waits
    // between attempts (attempt k waits k units).
    struct CopyHooks {
        std::function<void(const std::wstring& copyPath, int attempt)> beforeReopen;
        DWORD reopenWaitUnitMs = 1000;
    };
    void SetCopyHooks(CopyHooks hooks) { copyHooks_ = std::move(hooks); }

    Module();
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool Start(const std::wstring& module, int options, const std::string& params);
    bool Stop(int timeoutMs);
    bool Data(int option, const std::wstring& args, std::wstring& result);
    bool IsRunning();
    int GetLastResult() const { return lastResult_; }
    void SetCheckCertificate(bool check) { checkCertificate_ = check; }
    void SetWindow(HWND window) { window_ = window; }

    virtual bool CreateStrategy();
    virtual bool InitializeModule();
    virtual void ClearModuleCopy();

    // Writes a private copy of the open source file into folder, reopens it
    // for reading and returns that handle (INVALID_HANDLE_VALUE on failure).
    HANDLE GetModuleCopy(HANDLE source, const std::wstring& folder);
    // True, with two warnings, when the snapshots differ in anything but the
    // last-access time.
    static bool FileHasBeenModified(const Snapshot& before, const Snapshot& after);
    static bool FileExists(const std::wstring& path);

    const std::wstring& Name() const { return name_; }
    const std::wstring& FullPath() const { return fullPath_; }
    const std::wstring& CopyPath() const { return copyPath_; }
    int Options() const { return options_; }
    int64_t StartTime() const { return startTime_; }

protected:
    // Lets a derived facade put in a strategy of its own from CreateStrategy.
    std::unique_ptr<ModuleBase>& Strategy() { return strategy_; }

private:
    bool DoStart(const std::wstring& module, int options, const std::string& params);
    bool DoInitializeModule();
    int DoStop(int timeoutMs);
    int DoData(int option, const std::wstring& args, std::wstring& result);
    ScopedKernelHandle CopyInto(HANDLE source, const std::wstring& folder, DWORD flags, int number);

    std::wstring name_;
    std::wstring fullPath_;
    std::wstring copyPath_;
    ScopedKernelHandle copyHandle_;
    std::string params_;
    int options_ = 0;
    // Data calls run on several worker threads; whichever ends last leaves its code.
    std::atomic<int> lastResult_{0};
    std::unique_ptr<ModuleBase> strategy_;
    bool checkCertificate_ = true;
    HWND window_ = nullptr;
    int64_t startTime_ = 0;
    CopyHooks copyHooks_;
};

// Runs the module's "Start" on the caller's thread.
class ModuleBlocking : public Module::ModuleBase {
public:
    explicit ModuleBlocking(HWND window);
    ~ModuleBlocking() override;
    ModuleBlocking(const ModuleBlocking&) = delete;
    ModuleBlocking& operator=(const ModuleBlocking&) = delete;

    int Start(const std::string& params) override;
    using ModuleBase::Data;
    int Data(int option, const std::wstring& args, std::wstring& result) override;
    int Stop(int timeoutMs) override;
    int Reserved(DWORD a, DWORD b, DWORD c) override;
    int LoadModule(const std::wstring& path) override;
    int UnloadModule() override;
    bool IsLoaded() override;
    bool IsRunning() override;

protected:
    std::wstring path_;
    HMODULE library_ = nullptr;
    // Written by the thread on which "Start" returns, read by any.
    std::atomic<bool> running_{false};
    DWORD window_ = 0;
    ModuleStartProc start_ = nullptr;
    ModuleStopProc stop_ = nullptr;
    ModuleDataProc data_ = nullptr;
    FARPROC dataExt_ = nullptr;
    FARPROC event_ = nullptr;
    FARPROC eventEx_ = nullptr;
};

// Runs the module's "Start" on a thread of its own; the caller waits only
// until that thread has begun.
class ModuleThreaded : public ModuleBlocking {
public:
    explicit ModuleThreaded(HWND window);
    ~ModuleThreaded() override;

    int Start(const std::string& params) override;
    int Stop(int timeoutMs) override;
    bool IsRunning() override;

    bool forceTerminate = false;
    DWORD threadTimeoutMs = 5000;

private:
    static DWORD WINAPI ExecuteThread(LPVOID pv);
    int DoRealStart();

    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HANDLE startedEvent_ = nullptr;
    std::string params_;
};

}  // namespace clib::os::modules
