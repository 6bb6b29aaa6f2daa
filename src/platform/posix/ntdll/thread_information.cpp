// ntdll thread information: the basic record of a thread.
#include <sched.h>
#include <unistd.h>

#include <cstring>

#include "kernel32/threads.h"
#include "zrwin/ntstatus.h"
#include "zrwin/sysinfo.h"

namespace {

// Windows reports normal priority as 8 in the thread's basic information.
constexpr LONG kNormalPriority = 8;

// The thread's affinity as the 32-bit mask a 32-bit process sees.
DWORD AffinityMask(pid_t tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof set, &set) != 0 && sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    DWORD mask = 0;
    for (int cpu = 0; cpu < 32; ++cpu) {
        if (CPU_ISSET(cpu, &set)) mask |= 1u << cpu;
    }
    return mask ? mask : 1;
}

}  // namespace

// NtQueryInformationThread (ntdll): ThreadBasicInformation in its 32-bit
// layout only; never touches the last error.
ZRWINAPI NTSTATUS NTAPI NtQueryInformationThread(HANDLE thread, THREADINFOCLASS infoClass, PVOID info, ULONG length,
                                                PULONG returnLength) {
    // The 32-bit THREAD_BASIC_INFORMATION: every field is 32 bits wide there.
    struct BasicInformation32 {
        DWORD exitStatus;
        DWORD tebBaseAddress;
        DWORD processId;
        DWORD threadId;
        DWORD affinityMask;
        LONG priority;
        LONG basePriority;
    };
    static_assert(sizeof(BasicInformation32) == 28, "32-bit record layout");

    if (infoClass != ThreadBasicInformation) return STATUS_INVALID_INFO_CLASS;
    if (length != sizeof(BasicInformation32)) return STATUS_INFO_LENGTH_MISMATCH;
    zrwin::ThreadFacts facts;
    if (!zrwin::QueryThreadFacts(thread, facts)) return STATUS_INVALID_HANDLE;
    if (!info) return STATUS_ACCESS_VIOLATION;
    BasicInformation32 record{};
    record.exitStatus = facts.exitStatus;
    record.threadId = facts.threadId;
    record.processId = static_cast<DWORD>(getpid());
    record.affinityMask = AffinityMask(static_cast<pid_t>(record.threadId));
    record.priority = kNormalPriority;
    record.basePriority = 0;
    std::memcpy(info, &record, sizeof record);
    if (returnLength) *returnLength = sizeof record;
    return STATUS_SUCCESS;
}
