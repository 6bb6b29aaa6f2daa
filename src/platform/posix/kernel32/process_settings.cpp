// Process shutdown parameters. There is no system shutdown order on POSIX and
// nothing reads them back: valid values are accepted, others refused.
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

ZRWINAPI BOOL WINAPI SetProcessShutdownParameters(DWORD level, DWORD flags) {
    constexpr DWORD kMaxLevel = 0x4FF;
    constexpr DWORD kShutdownNoRetry = 0x1;
    if (level > kMaxLevel || (flags & ~kShutdownNoRetry)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
