// The messages of the log file in the current directory, for assertions on
// what a call logged.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "log/LogReader.h"

namespace utiltest {

inline std::vector<std::string> LogMessages() {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile("kvlzrmodproc.log", records, error);
    std::vector<std::string> messages;
    for (const auto& record : records) {
        messages.push_back(zrlog::MessageOf(record));
    }
    return messages;
}

inline size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

inline size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.compare(0, prefix.size(), prefix) == 0;
    }));
}

inline std::string Hex(const void* handle) {
    char text[32];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace utiltest
