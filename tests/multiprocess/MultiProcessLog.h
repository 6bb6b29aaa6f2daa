// What the messaging tests logged, read back from the sealed log file of the
// test's own directory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "log/LogTestUtil.h"
#include "util/LogLines.h"

namespace mptest {

using utiltest::CountLines;
using utiltest::CountStartingWith;

// The first line that starts with prefix, empty when none does.
inline std::string LineStartingWith(const std::string& prefix) {
    for (const auto& l : logtest::Messages())
        if (l.rfind(prefix, 0) == 0) return l;
    return {};
}

// Waits until another process or thread has logged the line; for lines that
// follow no event this process can wait on.
inline bool AwaitLine(const std::string& line, size_t times = 1, int limitMs = 30000) {
    for (int waited = 0; waited < limitMs; waited += 20) {
        if (CountLines(line) >= times) return true;
        usleep(20000);
    }
    return CountLines(line) >= times;
}

inline bool AwaitStartingWith(const std::string& prefix, size_t times, int limitMs = 30000) {
    for (int waited = 0; waited < limitMs; waited += 20) {
        if (CountStartingWith(prefix) >= times) return true;
        usleep(20000);
    }
    return CountStartingWith(prefix) >= times;
}

inline std::string Hex(const void* handle, bool upper = false) {
    char text[32];
    std::snprintf(text, sizeof(text), upper ? "%llX" : "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace mptest
