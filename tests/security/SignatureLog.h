// The signature check's log lines, as the security tests read them back.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "log/LogTestUtil.h"

namespace sigtest {

// The log holds `count` messages, with the given ones at their positions.
inline testing::AssertionResult Logged(size_t count, const std::map<size_t, std::string>& expected) {
    const auto messages = logtest::Messages();
    if (messages.size() != count) return testing::AssertionFailure() << messages.size() << " messages";
    for (const auto& [index, message] : expected)
        if (messages[index] != message) return testing::AssertionFailure() << index << ": " << messages[index];
    return testing::AssertionSuccess();
}

}  // namespace sigtest
