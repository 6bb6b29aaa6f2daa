// The layer's run-time-bound exports, reached as product code reaches them:
// LoadLibraryA of the system DLL name and GetProcAddress.
#include <gtest/gtest.h>

#include "QueryThreadCheck.h"
#include "platform/platform.h"

namespace {

TEST(SyncThreads, RunTimeBoundExportsAreFoundByName) {
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    auto query = reinterpret_cast<synctest::QueryThread>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationThread")));
    ASSERT_NE(query, nullptr);
    synctest::CheckQueryThread(query);
    FreeLibrary(ntdll);

    HMODULE kernel32 = LoadLibraryA("Kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    typedef DWORD(WINAPI * GetThreadIdProc)(HANDLE);
    auto getThreadId = reinterpret_cast<GetThreadIdProc>(reinterpret_cast<void*>(GetProcAddress(kernel32, "GetThreadId")));
    ASSERT_NE(getThreadId, nullptr);
    EXPECT_EQ(getThreadId(GetCurrentThread()), GetCurrentThreadId());
    FreeLibrary(kernel32);

    HMODULE psapi = LoadLibraryA("psapi.dll");
    ASSERT_NE(psapi, nullptr);
    EXPECT_NE(GetProcAddress(psapi, "EnumProcesses"), nullptr);
    FreeLibrary(psapi);
}

}  // namespace
