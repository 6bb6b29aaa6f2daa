// What the messaging tests logged, read back from the sealed log file of the
// test's own directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "log/LogTestUtil.h"
#include "util/LogLines.h"

namespace mptest {

using utiltest::CountLines;
using utiltest::CountStartingWith;

// Waits until another process or thread has logged the line (or, with
// prefix, lines starting with it) `times` times; for lines that follow no
// event this process can wait on.
inline bool AwaitLine(const std::string& line, size_t times = 1, bool prefix = false) {
    const auto count = [&] { return prefix ? CountStartingWith(line) : CountLines(line); };
    for (int waited = 0; waited < 30000 && count() < times; waited += 20) usleep(20000);
    return count() >= times;
}

inline std::string Hex(const void* handle, bool upper = false) {
    char text[32];
    std::snprintf(text, sizeof(text), upper ? "%llX" : "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace mptest
