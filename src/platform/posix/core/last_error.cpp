// The thread's last-error code.
#include "zrwin/sync.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

ZRWINAPI DWORD WINAPI GetLastError(void) { return t_lastError; }

ZRWINAPI void WINAPI SetLastError(DWORD code) { t_lastError = code; }
