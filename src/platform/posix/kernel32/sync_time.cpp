// Sleep and the clocks.
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "zrwin/sync.h"

namespace {

ULONGLONG MillisecondsSinceBoot() {
    timespec now{};
    // CLOCK_BOOTTIME keeps counting through suspend, as the Windows tick does.
    if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

}  // namespace

ZRWINAPI void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            timespec day{86400, 0};
            nanosleep(&day, nullptr);
        }
    }
    timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

ZRWINAPI DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(MillisecondsSinceBoot()); }

ZRWINAPI void WINAPI GetLocalTime(LPSYSTEMTIME time) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000L);
}

