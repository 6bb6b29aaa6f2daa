// BSTR strings of the platform as modules build their answers and the host
// frees them.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"

namespace {

DWORD PrefixOf(BSTR text) {
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(text) - sizeof(DWORD), sizeof(DWORD));
    return prefix;
}

TEST(Bstr, LengthPrefixSitsBeforeTheTerminatedText) {
    BSTR text = SysAllocString(L"hello");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(5u, SysStringLen(text));
    EXPECT_EQ(5u * sizeof(OLECHAR), SysStringByteLen(text));
    EXPECT_EQ(5u * sizeof(OLECHAR), PrefixOf(text));
    EXPECT_EQ(0, std::wcscmp(L"hello", text));
    EXPECT_EQ(L'\0', text[5]);
    SysFreeString(text);
}

TEST(Bstr, ExplicitLengthKeepsEmbeddedZerosAndZeroFillsWithoutText) {
    const OLECHAR source[] = {L'a', 0, L'b'};
    BSTR text = SysAllocStringLen(source, 3);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(3u, SysStringLen(text));
    EXPECT_EQ(L'b', text[2]);
    EXPECT_EQ(L'\0', text[3]);
    SysFreeString(text);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(nullptr, blank);
    EXPECT_EQ(4u, SysStringLen(blank));
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(L'\0', blank[i]);
    SysFreeString(blank);

    BSTR empty = SysAllocString(L"");
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0u, SysStringLen(empty));
    SysFreeString(empty);
}

TEST(Bstr, NullIsAcceptedEverywhere) {
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);
}

TEST(Bstr, ImpossibleLengthFailsWithoutAllocating) {
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
