// The exports of the built-in kernel32: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    // handles
    ZRWIN_EXPORT(CloseHandle),
    // waits
    ZRWIN_EXPORT(WaitForSingleObject),
    ZRWIN_EXPORT(WaitForMultipleObjects),
    // code pages
    ZRWIN_EXPORT(GetACP),
    ZRWIN_EXPORT(GetOEMCP),
    ZRWIN_EXPORT(MultiByteToWideChar),
    ZRWIN_EXPORT(WideCharToMultiByte),
    // debug output
    ZRWIN_EXPORT(OutputDebugStringA),
    ZRWIN_EXPORT(OutputDebugStringW),
    // system messages
    ZRWIN_EXPORT(FormatMessageA),
    // the loader
    ZRWIN_EXPORT(LoadLibraryA),
    ZRWIN_EXPORT(LoadLibraryW),
    ZRWIN_EXPORT(GetProcAddress),
    ZRWIN_EXPORT(FreeLibrary),
    ZRWIN_EXPORT(GetModuleHandleW),
    ZRWIN_EXPORT(GetModuleFileNameA),
    ZRWIN_EXPORT(GetModuleFileNameW),
    // the OS version
    ZRWIN_EXPORT(IsWow64Process),
    ZRWIN_EXPORT(VerifyVersionInfoA),
    ZRWIN_EXPORT(VerSetConditionMask),
    ZRWIN_EXPORT(GetVersionExA),
    ZRWIN_EXPORT(GetVersion),
    // process settings
    ZRWIN_EXPORT(SetProcessShutdownParameters),
    // processes
    ZRWIN_EXPORT(GetCurrentProcess),
    ZRWIN_EXPORT(GetCurrentProcessId),
    ZRWIN_EXPORT(OpenProcess),
    ZRWIN_EXPORT(GetExitCodeProcess),
    // critical sections
    ZRWIN_EXPORT(InitializeCriticalSection),
    ZRWIN_EXPORT(DeleteCriticalSection),
    ZRWIN_EXPORT(EnterCriticalSection),
    ZRWIN_EXPORT(LeaveCriticalSection),
    // events
    ZRWIN_EXPORT(CreateEventA),
    ZRWIN_EXPORT(CreateEventW),
    ZRWIN_EXPORT(SetEvent),
    // mutexes
    ZRWIN_EXPORT(CreateMutexA),
    ZRWIN_EXPORT(ReleaseMutex),
    // time
    ZRWIN_EXPORT(Sleep),
    ZRWIN_EXPORT(GetTickCount),
    ZRWIN_EXPORT(GetLocalTime),
    // threads
    ZRWIN_EXPORT(CreateThread),
    ZRWIN_EXPORT(GetCurrentThread),
    ZRWIN_EXPORT(GetCurrentThreadId),
    ZRWIN_EXPORT(GetThreadId),
    ZRWIN_EXPORT(GetExitCodeThread),
    ZRWIN_EXPORT(TerminateThread),
    ZRWIN_EXPORT(ExitThread),
    // the psapi functions kernel32 carries too
    ZRWIN_EXPORT_AS("K32EnumProcesses", EnumProcesses),
};
ZRWIN_REGISTER_BUILTIN("kernel32", kExports);

}  // namespace
