// Critical sections: recursive pthread mutexes. The owner and recursion
// fields mirror what Windows keeps in the structure, for debugging.
#include <sys/syscall.h>
#include <unistd.h>

#include "zrwin/sync.h"

ZRWINAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    section->recursionCount = 0;
    section->owningThread = 0;
}

ZRWINAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->mutex); }

ZRWINAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_lock(&section->mutex);
    section->owningThread = GetCurrentThreadId();
    ++section->recursionCount;
}

ZRWINAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (--section->recursionCount == 0) section->owningThread = 0;
    pthread_mutex_unlock(&section->mutex);
}

