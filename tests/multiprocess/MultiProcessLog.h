// What the messaging tests logged, read back from the sealed log file of the
// test's own directory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "log/LogTestUtil.h"

namespace mptest {

inline size_t CountLines(const std::string& line) {
    const auto lines = logtest::Messages();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

inline size_t CountStartingWith(const std::string& prefix) {
    const auto lines = logtest::Messages();
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// The first line that starts with prefix, empty when none does.
inline std::string LineStartingWith(const std::string& prefix) {
    for (const auto& l : logtest::Messages())
        if (l.rfind(prefix, 0) == 0) return l;
    return {};
}

inline std::string Hex(const void* handle, bool upper = false) {
    char text[32];
    std::snprintf(text, sizeof(text), upper ? "%X" : "%x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace mptest
