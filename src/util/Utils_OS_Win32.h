// Waits that log while they wait, and thread ids behind thread handles.
#pragma once

#include "platform/platform.h"

namespace Utils_OS_Win32 {

// Waits for any one of nEvents handles; object receives the 1-based index of
// the handle that ended the wait (0 if none). Results: 0 signalled, 128
// abandoned, 258 overall time-out, 0xFFFFFFFF failed or invalid arguments.
DWORD WaitAndLog(DWORD nEvents, const HANDLE* pEvents, DWORD* object, DWORD toLog, DWORD toQuit);

// The id of the thread behind a thread handle; 0 on failure.
DWORD GetThreadID(HANDLE thread);

// GetThreadID as it runs on the system with the given OS version code:
// through kernel32's GetThreadId from code 80 on, through the native thread
// query before. GetThreadID passes GetOSVersionCode().
DWORD GetThreadIDFor(HANDLE thread, int osVersionCode);

}  // namespace Utils_OS_Win32
