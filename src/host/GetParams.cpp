#include "host/GetParams.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log/Log.h"
#include "util/Conversions.h"

namespace {

// ASCII only, so the result does not depend on the C library's locale.
char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsAsciiLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The C library's base-10 string-to-long as a 32-bit long reads it, on every
// platform alike: out-of-range values saturate at the 32-bit limits.
int32_t ToLong32(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

bool FindCommandLineValue(const char* commandLine, const char* key, std::string& value) {
    value.clear();
    if (commandLine == nullptr || *commandLine == '\0' || key == nullptr || *key == '\0') return false;
    const std::string line(commandLine);
    std::string lower(line);
    for (char& c : lower) c = LowerAscii(c);
    std::string needle(key);
    for (char& c : needle) c = LowerAscii(c);
    needle += '(';

    size_t at = lower.find(needle);
    while (at != std::string::npos && at > 0 && IsAsciiLetterOrDigit(lower[at - 1])) at = lower.find(needle, at + 1);
    if (at == std::string::npos) return false;

    const size_t begin = at + needle.size();
    const size_t close = line.find(')', begin);
    value = line.substr(begin, close == std::string::npos ? std::string::npos : close - begin);
    return !value.empty();
}

bool GetParams(const char* commandLine, ModuleStartParams& params) {
    std::string value;
    params.notifyPid = FindCommandLineValue(commandLine, "PID", value) ? static_cast<DWORD>(ToLong32(value)) : 0;

    if (FindCommandLineValue(commandLine, "LPCNAME", value)) {
        Log(LOG_INFO, "GetParams: LPCName found in cmdline: %s", value.c_str());
        params.groupName = Utils_Conversions::CommandLineW(value.c_str()).c_str();
    } else {
        params.groupName = L"CModule";
    }
    return false;
}
