// The check of NtQueryInformationThread shared by the direct call and the
// call through GetProcAddress.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace synctest {

// The 32-bit basic-information record, field by field.
struct BasicInformation {
    DWORD exitStatus;
    DWORD teb;
    DWORD processId;
    DWORD threadId;
    DWORD affinity;
    LONG priority;
    LONG basePriority;
};
static_assert(sizeof(BasicInformation) == 28);

typedef NTSTATUS(NTAPI* QueryThread)(HANDLE, THREADINFOCLASS, PVOID, ULONG, PULONG);

inline DWORD WINAPI ReturnAfterEvent(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), 10000);
    return 42;
}

// Checks a thread's basic information while it runs and after it ended, and
// the NT status of each wrong argument.
inline void CheckQueryThread(QueryThread query) {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, ReturnAfterEvent, release, 0, &id);
    ASSERT_NE(thread, nullptr);

    BasicInformation info{};
    ULONG length = 0;
    ASSERT_EQ(query(thread, ThreadBasicInformation, &info, sizeof info, &length), 0);
    EXPECT_EQ(length, 28u);
    EXPECT_EQ(info.exitStatus, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(info.threadId, id);
    EXPECT_EQ(info.processId, GetCurrentProcessId());
    EXPECT_NE(info.affinity, 0u);

    SetEvent(release);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(query(thread, ThreadBasicInformation, &info, sizeof info, &length), 0);
    EXPECT_EQ(info.exitStatus, 42u);
    EXPECT_EQ(info.threadId, id);

    ASSERT_EQ(query(GetCurrentThread(), ThreadBasicInformation, &info, sizeof info, nullptr), 0);
    EXPECT_EQ(info.threadId, GetCurrentThreadId());

    EXPECT_EQ(static_cast<uint32_t>(query(thread, static_cast<THREADINFOCLASS>(5), &info, sizeof info, &length)),
              0xC0000003u);
    EXPECT_EQ(static_cast<uint32_t>(query(thread, ThreadBasicInformation, &info, 24, &length)), 0xC0000004u);
    EXPECT_EQ(static_cast<uint32_t>(query(thread, ThreadBasicInformation, &info, 32, &length)), 0xC0000004u);
    CloseHandle(thread);
    CloseHandle(release);
    EXPECT_EQ(static_cast<uint32_t>(query(thread, ThreadBasicInformation, &info, sizeof info, &length)),
              0xC0000008u);
}

}  // namespace synctest
