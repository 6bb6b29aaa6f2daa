// Byte strings written as hex, and the log lines a test produced.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
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

// The bytes as "05 00 00 00 ff", for readable failures.
inline std::string ToHex(const std::string& bytes) {
    std::string text;
    char part[4];
    for (unsigned char b : bytes) {
        std::snprintf(part, sizeof(part), text.empty() ? "%02x" : " %02x", b);
        text += part;
    }
    return text;
}

inline bool WasLogged(const std::string& message) {
    const auto lines = logtest::Messages();
    return std::find(lines.begin(), lines.end(), message) != lines.end();
}

}  // namespace msgtest
