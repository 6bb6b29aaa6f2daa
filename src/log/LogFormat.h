// The log's own printf-style formatter and the line builder.
//
// The formatter understands the formats as Windows callers write them on
// every platform: %s is 8-bit text, %ws/%ls/%S wide text (wchar_t), `l` is
// 32-bit, `ll`/`I64` 64-bit. Flags "-+ #0", width and precision (also `*`),
// length modifiers hh h l ll I64 I32 z, conversions d i u o x X c p s S f e g %.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Formats into buffer (bufferSize units, always terminated when bufferSize > 0)
// and returns the length of the whole formatted text, which may exceed what
// fits. The 8-bit form returns -1 when a wide argument has characters the ANSI
// code page cannot represent. In the wide form %s still takes 8-bit text
// (converted from the ANSI code page): callers pass the same arguments to both.
int LogVFormat(char* buffer, size_t bufferSize, const char* format, va_list args);
int LogVFormatW(wchar_t* buffer, size_t bufferSize, const wchar_t* format, va_list args);

// Appends the salt, the "[pppp.tttt] " prefix and the formatted message to
// line (see LogLine.cpp for the three attempts and their fallbacks).
void FormatLogLine(const char* format, va_list args, std::string& line);

// The longest message, in bytes after formatting, that is logged as it is;
// a longer one ends in a fallback suffix instead.
constexpr size_t kLogMessageMaxBytes = 2047;

// The fallback suffixes.
extern const char kLogAllocationError[];
extern const char kLogUnicodeError[];
