// "This call fails with error X", the one way the tests say it. The last
// error is set to a sentinel first, so a call that forgets to set it is
// caught, and so is an NT function that touches it.
#pragma once

#include <gtest/gtest.h>

#include <type_traits>

#include "platform/platform.h"

namespace zrtest {

constexpr DWORD kLastErrorSentinel = 0xDEADBEEF;

// The call returns `expected` (its type's zero unless given) and leaves
// `error` as the last error.
template <class Call>
testing::AssertionResult FailsWith(DWORD error, Call call,
                                   std::type_identity_t<std::invoke_result_t<Call>> expected = {}) {
    SetLastError(kLastErrorSentinel);
    const auto result = call();
    const DWORD actual = GetLastError();
    if (result == expected && actual == error) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "result " << result << " (wanted " << expected << "), last error 0x"
                                       << std::hex << actual << " (wanted 0x" << error << ")";
}

}  // namespace zrtest

#define EXPECT_FAILS_WITH(call, result, error) \
    EXPECT_TRUE(::zrtest::FailsWith(static_cast<DWORD>(error), [&] { return (call); }, result)) << #call

// An NT function answers `status` and leaves the last error as it was.
#define EXPECT_NT_STATUS(call, status) \
    EXPECT_TRUE(::zrtest::FailsWith(::zrtest::kLastErrorSentinel, [&] { return (call); }, status)) << #call
