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

TEST(Bstr, LengthPrefixSitsBeforeTheTerminatedText) {
    for (const std::wstring source : {L"hello", L""}) {
        BSTR text = SysAllocString(source.c_str());
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(source.size(), SysStringLen(text));
        EXPECT_EQ(source.size() * sizeof(OLECHAR), SysStringByteLen(text));
        EXPECT_EQ(source.size() * sizeof(OLECHAR), PrefixOf(text));
        EXPECT_EQ(std::wstring(source.c_str(), source.size() + 1), std::wstring(text, source.size() + 1));
        SysFreeString(text);
    }
}

TEST(Bstr, ExplicitLengthKeepsEmbeddedZerosAndZeroFillsWithoutText) {
    const OLECHAR source[] = {L'a', 0, L'b'};
    BSTR text = SysAllocStringLen(source, 3);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(3u, SysStringLen(text));
    EXPECT_EQ(std::wstring(L"a\0b\0", 4), std::wstring(text, 4));
    SysFreeString(text);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(nullptr, blank);
    EXPECT_EQ(4u, SysStringLen(blank));
    EXPECT_EQ(std::wstring(5, L'\0'), std::wstring(blank, 5));
    SysFreeString(blank);
}

TEST(Bstr, NullIsAcceptedEverywhereAndAnImpossibleLengthFailsWithoutAllocating) {
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);
    SetLastError(0);
    EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0xFFFFFFF0u));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
}

TEST(Bstr, ExportedByTheBuiltInOleaut32) {
    HMODULE oleaut = LoadLibraryA("OleAut32.dll");
    ASSERT_NE(nullptr, oleaut);
    EXPECT_EQ(reinterpret_cast<void*>(&SysFreeString), reinterpret_cast<void*>(GetProcAddress(oleaut, "SysFreeString")));
    EXPECT_EQ(reinterpret_cast<void*>(&SysAllocStringLen),
              reinterpret_cast<void*>(GetProcAddress(oleaut, "SysAllocStringLen")));
    FreeLibrary(oleaut);
}

}  // namespace
