// The one logging call of the host: levelled, printf-style, sealed records
// appended to "kvlzrmodproc.log" in the current directory.
//
// Formats follow the C library's printf as the Windows callers use it, on
// every platform alike:
//   %d %i %u %x %X %c   int-sized values
//   %ld %lu %lx %lX     32-bit values (Windows `long` is 32-bit everywhere)
//   %lld %llu %I64d ... 64-bit values
//   %p                  a pointer
//   %s                  8-bit text (const char*), null prints "(null)"
//   %ws %ls %S          wide text (const wchar_t*)
// with flags, width and precision (%.4d, %08X, %.20s, %.50ws, %-10s, %*d).
// Log never throws and never reports a failure.
#pragma once

#include <cstdarg>

enum LogLevel {
    LOG_CRITICAL_ERROR = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 3,
    LOG_OTHER = 4,
};

// The size at which the log file is deleted and started afresh.
constexpr unsigned kLogFileSizeLimit = 150000000u;

void Log(int level, const char* format, ...);
void LogAlways(const char* format, ...);
void SetLogLevel(int level);
int GetLogLevel();

// Reads the value "debug" under HKEY_LOCAL_MACHINE\SOFTWARE\KVL\<name>.
bool ReadLogLevel(const char* name, int* level, bool announce);

// Writes one record with the given size limit; true when a record was built
// and handed to the write call.
bool LogFileCommon(const char* format, va_list args, unsigned sizeLimit);
