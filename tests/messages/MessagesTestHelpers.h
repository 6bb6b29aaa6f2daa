// Byte strings written as hex, and the log lines a test produced.
#pragma once

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

#include "log/LogTestUtil.h"

namespace msgtest {

// "05 00 00 00 ff" -> the bytes; blanks are ignored.
inline std::string Hex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits.push_back(c);
    if (digits.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits");
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline bool WasLogged(const std::string& message) {
    const auto lines = logtest::Messages();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
}

}  // namespace msgtest
