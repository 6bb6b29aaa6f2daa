// What a call logged to the log file in the current directory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "log/LogTestUtil.h"

namespace utiltest {

inline size_t CountLines(const std::string& line) {
    const auto lines = logtest::Messages();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

inline size_t CountStartingWith(const std::string& prefix) {
    const auto lines = logtest::Messages();
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

inline std::string Hex(const void* handle) {
    char text[32];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace utiltest
