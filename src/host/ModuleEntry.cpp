#include "host/ModuleEntry.h"

#include <string>

#include "host/GetParams.h"
#include "host/LibraryHandle.h"
#include "host/ZRModProc.h"
#include "log/Log.h"
#include "util/FileVersion.h"
#include "util/LoadLibrary.h"

namespace {

constexpr DWORD kShutdownLevel = 0x100;
// Worker threads may still be sending replies when the loop ends.
constexpr DWORD kDrainMs = 1000;

void RunMessageLoop(DWORD notifyPid) {
    Log(LOG_CRITICAL_ERROR, "Module: Entering the Message loop");
    MSG message{};
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (got == -1)
        Log(LOG_ERROR, "Module: [E] Exited GetMessage with error.  HWND:%p, pid:%d, err:%d", message.hwnd, notifyPid,
            GetLastError());
    else
        Log(LOG_CRITICAL_ERROR, "Module: GetMessage exited due to WM_QUIT");
    Log(LOG_INFO, "Module: Waiting to finish responses...");
    Sleep(kDrainMs);
}

// Start-up, loop and tear-down; exceptions pass to the caller.
void RunHost(const char* commandLine) {
    int level = LOG_WARNING;
    const bool fromSettings = ReadLogLevel("zrmodproc", &level, true);
    SetLogLevel(level);

    CVersion version;
    version.LoadFromModule(HostModuleHandle());
    std::string versionText;
    version.ToString(versionText, ".");
    Log(LOG_CRITICAL_ERROR, "Module: Starting ZRModProc module ... {v:%s, debug:%d(%s), reg:SOFTWARE\\KVL\\%s}",
        versionText.c_str(), level, fromSettings ? "settings" : "default", "zrmodproc");

    Log(LOG_INFO, "Module: Setting Shutdown level to 0x%X", kShutdownLevel);
    if (!SetProcessShutdownParameters(kShutdownLevel, SHUTDOWN_NORETRY))
        Log(LOG_ERROR, "Module: [E] Could not set shutdown level to 0x%X", kShutdownLevel);

    ModuleStartParams params;
    GetParams(commandLine, params);
    Log(LOG_CRITICAL_ERROR, "Module: LPCName: %ws, 64 OS: %ld, Notify PID: %ld, My PID: %ld", params.groupName.c_str(),
        IsWow64() ? 1 : 0, params.notifyPid, GetCurrentProcessId());

    {
        ZRModProc controller(params.groupName.c_str(), params.notifyPid, HostModuleHandle());
        if (!controller.IsInitialized())
            Log(LOG_ERROR, "Module: [E] Initialization failed.  name:%ws, pid:%d, hInst:%p", params.groupName.c_str(),
                params.notifyPid, HostModuleHandle());
        else
            RunMessageLoop(params.notifyPid);
        Log(LOG_CRITICAL_ERROR, "Module: Destroying ZRModProc...");
    }
}

}  // namespace

extern "C" void WINAPI Module(HWND, HINSTANCE, LPSTR commandLine, int) {
    try {
        RunHost(commandLine);
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "Module: [C] Exception detected.");
    }
    Log(LOG_CRITICAL_ERROR, "Module: Exiting ZRModProc module...");
}
