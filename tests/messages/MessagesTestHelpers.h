// Byte strings written as hex and the log lines a test produced.
#pragma once

#include <string>
#include <vector>

namespace msgtest {

// "05 00 00 00 ff" -> the bytes; blanks are ignored.
std::string Hex(const std::string& text);
// The bytes as "05 00 00 00 ff", for readable failures.
std::string ToHex(const std::string& bytes);
// The messages of every record of the current directory's log file.
std::vector<std::string> LoggedMessages();
bool WasLogged(const std::string& message);

}  // namespace msgtest
