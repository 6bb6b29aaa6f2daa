#include "messages/MessagesTestHelpers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "log/LogReader.h"

namespace msgtest {

std::string Hex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            digits.push_back(c);
        }
    }
    if (digits.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits");
    }
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const std::string& bytes) {
    std::string text;
    char part[4];
    for (unsigned char b : bytes) {
        std::snprintf(part, sizeof(part), "%02x", b);
        if (!text.empty()) {
            text.push_back(' ');
        }
        text += part;
    }
    return text;
}

std::vector<std::string> LoggedMessages() {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile("kvlzrmodproc.log", records, error);
    std::vector<std::string> messages;
    for (const auto& record : records) {
        messages.push_back(zrlog::MessageOf(record));
    }
    return messages;
}

bool WasLogged(const std::string& message) {
    const auto messages = LoggedMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace msgtest
