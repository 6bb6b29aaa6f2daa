// kernel32: handles, last error, events, mutexes, critical sections, threads,
// processes, waits and time.
#pragma once

#include <pthread.h>

#include "zrwin/types.h"
#include "zrwin/winerror.h"

// A critical section is a recursive pthread mutex.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t mutex;
    LONG recursionCount;
    DWORD owningThread;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID parameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259
#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x1F0003
#define MUTEX_ALL_ACCESS 0x1F0001

ZRWINAPI BOOL WINAPI CloseHandle(HANDLE object);
ZRWINAPI DWORD WINAPI GetLastError(void);
ZRWINAPI void WINAPI SetLastError(DWORD code);

ZRWINAPI HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
ZRWINAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
ZRWINAPI BOOL WINAPI SetEvent(HANDLE event);

// Named mutexes are shared across processes; "Global\" and "Local\" prefixes
// name the same namespace here.
ZRWINAPI HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
ZRWINAPI BOOL WINAPI ReleaseMutex(HANDLE mutex);

ZRWINAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
ZRWINAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
ZRWINAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
ZRWINAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);

ZRWINAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                   LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
ZRWINAPI HANDLE WINAPI GetCurrentThread(void);
ZRWINAPI DWORD WINAPI GetCurrentThreadId(void);
ZRWINAPI DWORD WINAPI GetThreadId(HANDLE thread);
ZRWINAPI BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Fails with ERROR_NOT_SUPPORTED: POSIX cannot end one thread of a process
// from outside safely.
ZRWINAPI BOOL WINAPI TerminateThread(HANDLE thread, DWORD exitCode);
ZRWINAPI void WINAPI ExitThread(DWORD exitCode);

ZRWINAPI HANDLE WINAPI GetCurrentProcess(void);
ZRWINAPI DWORD WINAPI GetCurrentProcessId(void);
ZRWINAPI HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
ZRWINAPI BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

ZRWINAPI DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
ZRWINAPI DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

ZRWINAPI void WINAPI Sleep(DWORD milliseconds);
ZRWINAPI DWORD WINAPI GetTickCount(void);
ZRWINAPI void WINAPI GetLocalTime(LPSYSTEMTIME time);
