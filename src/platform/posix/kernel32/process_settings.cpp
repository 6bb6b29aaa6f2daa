// Process shutdown parameters: kept per process. There is no system shutdown
// order on POSIX; the values are stored and reported back.
#include <mutex>

#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace {

constexpr DWORD kDefaultLevel = 0x280;
constexpr DWORD kMaxLevel = 0x4FF;
constexpr DWORD kShutdownNoRetry = 0x1;

struct ShutdownParameters {
    std::mutex lock;
    DWORD level = kDefaultLevel;
    DWORD flags = 0;
};

ShutdownParameters& Parameters() {
    static ShutdownParameters parameters;
    return parameters;
}

}  // namespace

ZRWINAPI BOOL WINAPI SetProcessShutdownParameters(DWORD level, DWORD flags) {
    if (level > kMaxLevel || (flags & ~kShutdownNoRetry)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& parameters = Parameters();
    std::lock_guard<std::mutex> guard(parameters.lock);
    parameters.level = level;
    parameters.flags = flags;
    return TRUE;
}

ZRWINAPI BOOL WINAPI GetProcessShutdownParameters(LPDWORD level, LPDWORD flags) {
    if (!level || !flags) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto& parameters = Parameters();
    std::lock_guard<std::mutex> guard(parameters.lock);
    *level = parameters.level;
    *flags = parameters.flags;
    return TRUE;
}
