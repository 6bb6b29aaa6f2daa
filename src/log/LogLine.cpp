// The line builder: salt, "[pppp.tttt] " prefix, and the message formatted in
// up to three attempts, each with its fallback.
#include <cstdint>
#include <memory>
#include <new>

#include "log/LogFormat.h"
#include "platform/platform.h"
#include "util/Conversions.h"

const char kLogAllocationError[] = " [LOG ERROR: allocation error]";
const char kLogUnicodeError[] = " [LOG ERROR: unicode sequence could not be converted]";

namespace {

int FormatToBuffer(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = LogVFormat(buffer, size, format, args);
    va_end(args);
    return n;
}

// The salt generator: the C library's classic linear congruential generator,
// kept per thread so that concurrent threads neither share nor race on it.
thread_local uint32_t t_saltState = 1;

void SeedSalt(uint32_t seed) { t_saltState = seed; }

int NextSaltRandom() {
    t_saltState = t_saltState * 214013u + 2531011u;
    return static_cast<int>((t_saltState >> 16) & 0x7fff);
}

// One attempt succeeds when the whole text fits without its terminator.
bool Fits(int length, size_t bufferSize) { return length >= 0 && static_cast<size_t>(length) <= bufferSize - 1; }

}  // namespace

// Decisions of the last attempt: the wide format keeps %s as 8-bit text, so
// one argument list serves all three attempts; its limit counts wchar_t units.
void FormatLogLine(const char* format, va_list args, std::string& line) {
    if (!format) format = "";
    SeedSalt(GetTickCount());
    for (int i = 0; i < 4; ++i) {
        int r;
        do {
            r = NextSaltRandom() & 0xff;
        } while (r == 0);
        line.push_back(static_cast<char>(r));
    }

    char prefix[64];
    const int prefixLength = FormatToBuffer(prefix, sizeof(prefix), "[%.4d.%.4d] ", static_cast<int>(GetCurrentProcessId()),
                                            static_cast<int>(GetCurrentThreadId()));
    if (Fits(prefixLength, sizeof(prefix))) line.append(prefix, prefixLength);

    char small[128];
    int n = LogVFormat(small, sizeof(small), format, args);
    if (Fits(n, sizeof(small))) {
        line.append(small, n);
        return;
    }

    constexpr size_t kLarge = kLogMessageMaxBytes + 1;
    std::unique_ptr<char[]> large(new (std::nothrow) char[kLarge]);
    if (!large) {
        line.append(format);
        line.append(kLogAllocationError);
        return;
    }
    n = LogVFormat(large.get(), kLarge, format, args);
    if (Fits(n, kLarge)) {
        line.append(large.get(), n);
        return;
    }

    constexpr size_t kWideUnits = 1024;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[kWideUnits]);
    if (wide) {
        const std::wstring wideFormat = Utils_Conversions::Conversion::toWstring(format, CP_ACP);
        n = LogVFormatW(wide.get(), kWideUnits, wideFormat.c_str(), args);
        if (!wideFormat.empty() && Fits(n, kWideUnits)) {
            line.append(Utils_Conversions::Conversion::toString(std::wstring(wide.get(), n), CP_ACP));
            return;
        }
    }
    line.append(format);
    line.append(kLogUnicodeError);
}
