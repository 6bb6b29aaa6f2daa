// Limits and small helpers shared by the synchronisation tests.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/FailsWith.h"
#include "support/TestSupport.h"

namespace synctest {

// Generous limit for things that must happen; short probe for things that
// must not have happened yet.
constexpr DWORD kLongWait = 10000;
constexpr DWORD kProbe = 100;
constexpr DWORD kTimeout = WAIT_TIMEOUT;
constexpr DWORD kNoCode = 0xDEADC0DE;  // no exit code could be had

// Runs start(argument) on a new thread to its end: its exit code, or kNoCode.
inline DWORD RunThread(LPTHREAD_START_ROUTINE start, LPVOID argument, SIZE_T stackSize = 0) {
    HANDLE thread = CreateThread(nullptr, stackSize, start, argument, 0, nullptr);
    if (!thread) return kNoCode;
    DWORD code = kNoCode;
    if (WaitForSingleObject(thread, kLongWait) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &code)) code = kNoCode;
    CloseHandle(thread);
    return code;
}

inline DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = kNoCode;
    return GetExitCodeThread(thread, &code) ? code : kNoCode;
}

}  // namespace synctest
