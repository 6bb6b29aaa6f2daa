// Shared helpers of the log tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "log/Log.h"
#include "log/LogReader.h"
#include "support/Environment.h"
#include "support/TestSupport.h"

namespace logtest {

constexpr char kLogFile[] = "kvlzrmodproc.log";

inline std::vector<std::string> Messages(const std::string& path = kLogFile) {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile(path, records, error);
    std::vector<std::string> messages;
    for (const auto& r : records) messages.push_back(zrlog::MessageOf(r));
    return messages;
}

// The log holds `count` messages, with the given ones at their positions.
inline testing::AssertionResult Logged(size_t count, const std::map<size_t, std::string>& expected) {
    const auto messages = Messages();
    if (messages.size() != count) return testing::AssertionFailure() << messages.size() << " messages";
    for (const auto& [index, message] : expected)
        if (messages[index] != message) return testing::AssertionFailure() << index << ": " << messages[index];
    return testing::AssertionSuccess();
}

// "05 00 00 00 ff" -> the bytes; blanks are ignored.
inline std::string Hex(const std::string& text) {
    std::string digits, bytes;
    for (char c : text)
        if (c != ' ' && c != '\n') digits.push_back(c);
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The layer's registry file with these values under a key of
// HKEY_LOCAL_MACHINE, the product's by default, in force until ZRWIN_REGISTRY
// is unset.
inline void UseRegistry(const std::string& path, const std::string& values,
                        const std::string& key = "SOFTWARE\\KVL\\zrmodproc") {
    WriteBytes(path,
               "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\" + key + "]\r\n" + values + "\r\n");
    zrtest::SetEnv("ZRWIN_REGISTRY", path);
}

inline bool LogWithLimit(unsigned limit, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = LogFileCommon(format, args, limit);
    va_end(args);
    return written;
}

// Records of a file split at CR LF, each without it.
inline std::vector<std::string> RecordTexts(const std::string& bytes) {
    std::vector<std::string> texts;
    size_t position = 0, end;
    while ((end = bytes.find("\r\n", position)) != std::string::npos) {
        texts.push_back(bytes.substr(position, end - position));
        position = end + 2;
    }
    return texts;
}

inline std::string Join(const std::vector<std::string>& texts) {
    std::string bytes;
    for (const auto& t : texts) bytes += t + "\r\n";
    return bytes;
}

inline std::string ZrlogPath() { return zrtest::BinaryDir() + "/tools/zrlog/zrlog"; }

// A log of five records in a fresh folder; tests damage or read copies of it.
class FiveRecordLog : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_WARNING);
        for (int i = 1; i <= 5; ++i)
            Log(LOG_ERROR, "record %d with a message long enough for several cipher blocks of text", i);
        bytes_ = ReadBytes(kLogFile);
        texts_ = RecordTexts(bytes_);
        ASSERT_EQ(5u, texts_.size());
    }

    zrtest::ScopedTempDir dir_;
    std::string bytes_;
    std::vector<std::string> texts_;
};

}  // namespace logtest
