#include "util/Utils_OS_Win32.h"

#include <cstdint>

#include "log/Log.h"
#include "util/LoadLibrary.h"

namespace Utils_OS_Win32 {

namespace {
constexpr DWORD kMaxHandles = 64;  // the platform wait takes fewer than this

void LogWaitEnd(DWORD result, DWORD object) {
    Log(LOG_OTHER, "Utils_OS_Win32::WaitAndLog: WaitResult:%d,  object:%d ", static_cast<int>(result),
        static_cast<int>(object));
}
}  // namespace

DWORD WaitAndLog(DWORD nEvents, const HANDLE* pEvents, DWORD* object, DWORD toLog, DWORD toQuit) {
    if (nEvents >= kMaxHandles || pEvents == nullptr || toLog > toQuit) {
        Log(LOG_ERROR, "Utils_OS_Win32::WaitAndLog: [E] Invalid params. nEvents:%u, pEvents:%p, toLog:%u, toQuit:%u",
            static_cast<unsigned>(nEvents), static_cast<const void*>(pEvents), static_cast<unsigned>(toLog),
            static_cast<unsigned>(toQuit));
        LogWaitEnd(WAIT_FAILED, 0);
        return WAIT_FAILED;
    }
    Log(LOG_OTHER, "Utils_OS_Win32::WaitAndLog: waiting for nEvents(%u),Events(%x), toLog(%u), toQuit(%u)",
        static_cast<unsigned>(nEvents), static_cast<unsigned>(reinterpret_cast<uintptr_t>(pEvents)),
        static_cast<unsigned>(toLog), static_cast<unsigned>(toQuit));

    const DWORD start = GetTickCount();
    DWORD result = WAIT_FAILED;
    DWORD index = 0;
    for (;;) {
        DWORD waited = WaitForMultipleObjects(nEvents, pEvents, FALSE, toLog);
        if (waited == WAIT_TIMEOUT) {
            Log(LOG_INFO, "Utils_OS_Win32::WaitAndLog: Timeout, still waiting for %u events",
                static_cast<unsigned>(nEvents));
            // Unsigned subtraction keeps the elapsed time right across the
            // tick counter's wrap-around.
            const DWORD elapsed = GetTickCount() - start;
            if (toQuit == INFINITE || elapsed < toQuit) {
                continue;
            }
            Log(LOG_ERROR, "Utils_OS_Win32::WaitAndLog: [E] Wait timed out (%u ms)", static_cast<unsigned>(toQuit));
            result = WAIT_TIMEOUT;
            break;
        }
        if (waited == WAIT_FAILED) {
            Log(LOG_ERROR, "Utils_OS_Win32::WaitAndLog: [E] Wait failed. err:%u", static_cast<unsigned>(GetLastError()));
            result = WAIT_FAILED;
        } else if (waited >= WAIT_ABANDONED_0 && waited < WAIT_ABANDONED_0 + nEvents) {
            index = waited - WAIT_ABANDONED_0 + 1;
            Log(LOG_ERROR, "Utils_OS_Win32::WaitAndLog: [E] Wait for object %u (%x) was abandoned",
                static_cast<unsigned>(index), static_cast<unsigned>(reinterpret_cast<uintptr_t>(pEvents[index - 1])));
            result = WAIT_ABANDONED_0;
        } else if (waited < WAIT_OBJECT_0 + nEvents) {
            index = waited - WAIT_OBJECT_0 + 1;
            Log(LOG_OTHER, "Utils_OS_Win32::WaitAndLog: Object %u (%x) signaled", static_cast<unsigned>(index),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(pEvents[index - 1])));
            result = WAIT_OBJECT_0;
        } else {
            Log(LOG_ERROR, "Utils_OS_Win32::WaitAndLog: [E] Wait returned: %u, err:%d", static_cast<unsigned>(waited),
                static_cast<int>(GetLastError()));
            result = waited;
        }
        break;
    }
    if (object != nullptr) {
        *object = index;
    }
    LogWaitEnd(result, index);
    return result;
}

namespace {

// The basic thread information record of the 32-bit native query.
struct ThreadBasicInformation32 {
    DWORD exitStatus;
    DWORD tebBaseAddress;
    DWORD processId;
    DWORD threadId;
    DWORD affinityMask;
    DWORD priority;
    DWORD basePriority;
};
static_assert(sizeof(ThreadBasicInformation32) == 28, "the native record is 28 bytes");

DWORD ThreadIdThroughNtdll(HANDLE thread) {
    typedef NTSTATUS(NTAPI NtQueryInformationThreadFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);  // class 0: basic information
    ScopedLibrary ntdll(LoadLibraryA("ntdll.dll"));
    if (!ntdll.IsValid()) {
        Log(LOG_ERROR, "Utils_OS_Win32::GetThreadID: [E] Could not load ntdll.dll. err:%ld",
            static_cast<LONG>(GetLastError()));
        return 0;
    }
    DWORD id = 0;
    auto query = reinterpret_cast<NtQueryInformationThreadFn*>(
        reinterpret_cast<void*>(GetProcAddress(ntdll.Get(), "NtQueryInformationThread")));
    if (query == nullptr) {
        Log(LOG_ERROR,
            "Utils_OS_Win32::GetThreadID: [E] Could not find function NtQueryInformationThread in ntdll.dll. er:%ld",
            static_cast<LONG>(GetLastError()));
    } else {
        ThreadBasicInformation32 info = {};
        ULONG returned = 0;
        NTSTATUS status = query(thread, 0, &info, sizeof(info), &returned);
        if (status == 0) {
            id = info.threadId;
        } else {
            Log(LOG_ERROR, "Utils_OS_Win32::GetThreadID: [E] NtQueryInformationThread(0x%X, 0, %p, %d,[out] %d) =  0x%X",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(thread)), static_cast<void*>(&info),
                static_cast<int>(sizeof(info)), static_cast<int>(returned), static_cast<unsigned>(status));
        }
    }
    return id;
}

}  // namespace

DWORD GetThreadIDFor(HANDLE thread, int osVersionCode) {
    if (osVersionCode >= 80) {
        CKernel32 kernel32;
        return kernel32.GetThreadId(thread);
    }
    return ThreadIdThroughNtdll(thread);
}

DWORD GetThreadID(HANDLE thread) {
    return GetThreadIDFor(thread, GetOSVersionCode());
}

}  // namespace Utils_OS_Win32
