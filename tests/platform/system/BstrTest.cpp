// BSTR strings of the platform as modules build their answers and the host
// frees them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

DWORD PrefixOf(BSTR text) {
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(text) - sizeof(DWORD), sizeof(DWORD));
    return prefix;
}

TEST(Bstr, LengthPrefixSitsBeforeTheTerminatedTextAndExplicitLengthsKeepZeros) {
    for (const std::wstring& source : {std::wstring(L"hello"), std::wstring(), std::wstring(L"a\0b", 3)}) {
        BSTR text = SysAllocStringLen(source.c_str(), static_cast<UINT>(source.size()));
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(source.size(), SysStringLen(text));
        EXPECT_EQ(source.size() * sizeof(OLECHAR), PrefixOf(text));
        EXPECT_EQ(std::wstring(source.c_str(), source.size() + 1), std::wstring(text, source.size() + 1));
        SysFreeString(text);
    }
    BSTR copy = SysAllocString(L"hello");
    EXPECT_EQ(5u, SysStringLen(copy));
    SysFreeString(copy);
    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(nullptr, blank);
    EXPECT_EQ(std::wstring(5, L'\0'), std::wstring(blank, 5)) << "zero-filled without text";
    SysFreeString(blank);
}

TEST(Bstr, NullIsAcceptedEverywhereAndAnImpossibleLengthFailsWithoutAllocating) {
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    SysFreeString(nullptr);
    SetLastError(0);
    EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0xFFFFFFF0u));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
}

}  // namespace
