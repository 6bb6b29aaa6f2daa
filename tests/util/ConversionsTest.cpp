#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "util/Conversions.h"

namespace {

using Utils_Conversions::Conversion;

TEST(ConversionsTest, EmptyAndNullTextsGiveEmptyResults) {
    EXPECT_EQ(Conversion::toWstring("", CP_UTF8), L"");
    EXPECT_EQ(Conversion::toWstring(static_cast<const char*>(nullptr), CP_ACP), L"");
    EXPECT_EQ(Conversion::toString(L"", CP_UTF8), "");
    EXPECT_EQ(Conversion::toString(static_cast<const wchar_t*>(nullptr), CP_ACP), "");
    EXPECT_EQ(MultiByteToWideAlloc(nullptr, CP_UTF8), nullptr);
    EXPECT_EQ(WideToMultiByteAlloc(nullptr, CP_UTF8), nullptr);
    EXPECT_EQ(WideToMultiByteAlloc(L"", CP_UTF8), nullptr);
}

TEST(ConversionsTest, Utf8RoundTripsAnyText) {
    const std::wstring texts[] = {
        L"plain ascii",
        L"caf\u00e9 \u00fcber \u20ac",
        L"\u4e2d\u6587 \u65e5\u672c\u8a9e \u0440\u0443\u0441",
        std::wstring(L"emoji ") + static_cast<wchar_t>(sizeof(wchar_t) > 2 ? 0x1F600 : 0xD83D) +
            (sizeof(wchar_t) > 2 ? std::wstring() : std::wstring(1, static_cast<wchar_t>(0xDE00))),
        std::wstring(5000, L'\u00e9'),
    };
    for (const auto& text : texts) {
        std::string utf8 = Conversion::toString(text, CP_UTF8);
        EXPECT_FALSE(utf8.empty());
        EXPECT_EQ(Conversion::toWstring(utf8, CP_UTF8), text);
    }
    EXPECT_EQ(Conversion::toString(L"\u00e9\u4e2d", CP_UTF8), "\xC3\xA9\xE4\xB8\xAD");
    EXPECT_EQ(Conversion::toWstring("\xC3\xA9\xE4\xB8\xAD", CP_UTF8), L"\u00e9\u4e2d");
}

TEST(ConversionsTest, AnsiCodePageReplacesUnmappableCharacters) {
    EXPECT_EQ(Conversion::toString(L"a\u4e2db", CP_ACP), "a?b");
    EXPECT_EQ(Conversion::toString(L"caf\u00e9", CP_ACP), "caf\xE9");
    EXPECT_EQ(Conversion::toWstring("caf\xE9", CP_ACP), L"caf\u00e9");
}

TEST(ConversionsTest, HeapAndBufferConversions) {
    std::unique_ptr<wchar_t[]> wide(MultiByteToWideAlloc("h\xC3\xA9llo", CP_UTF8));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::wstring(wide.get()), L"h\u00e9llo");
    std::unique_ptr<char[]> narrow(WideToMultiByteAlloc(L"h\u00e9llo", CP_UTF8));
    ASSERT_NE(narrow, nullptr);
    EXPECT_EQ(std::string(narrow.get()), "h\xC3\xA9llo");

    wchar_t wideBuffer[8];
    EXPECT_EQ(MultiByteToWideBuffer(wideBuffer, "abc", 8, CP_UTF8), wideBuffer);
    EXPECT_EQ(std::wstring(wideBuffer), L"abc");
    wideBuffer[0] = L'x';
    EXPECT_EQ(MultiByteToWideBuffer(wideBuffer, "far too long for it", 8, CP_UTF8), nullptr);
    EXPECT_EQ(MultiByteToWideBuffer(nullptr, "abc", 8, CP_UTF8), nullptr);
    EXPECT_EQ(MultiByteToWideBuffer(wideBuffer, nullptr, 8, CP_UTF8), nullptr);

    char narrowBuffer[8];
    EXPECT_EQ(WideToMultiByteBuffer(narrowBuffer, L"\u00e9t\u00e9", 8, CP_UTF8), narrowBuffer);
    EXPECT_EQ(std::string(narrowBuffer), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(WideToMultiByteBuffer(narrowBuffer, L"far too long for it", 8, CP_UTF8), nullptr);
    EXPECT_EQ(WideToMultiByteBuffer(narrowBuffer, nullptr, 8, CP_UTF8), nullptr);
}

TEST(ConversionsTest, CommandLineConvertsInPlaceAndOnTheHeap) {
    EXPECT_EQ(Utils_Conversions::CommandLineCodePage(), static_cast<UINT>(CP_THREAD_ACP));
    Utils_Conversions::CommandLineW shortLine("PID(42) LPCNAME(Group)");
    EXPECT_EQ(std::wstring(shortLine.c_str()), L"PID(42) LPCNAME(Group)");
    Utils_Conversions::CommandLineW emptyLine("");
    EXPECT_EQ(std::wstring(emptyLine.c_str()), L"");

    std::string longText = "LPCNAME(" + std::string(300, 'g') + ") PID(7)";
    Utils_Conversions::CommandLineW longLine(longText.c_str());
    EXPECT_EQ(Conversion::toString(longLine.c_str(), CP_UTF8), longText);
}

TEST(SystemErrorTextTest, KnownCodeHasItsTextAndUnknownCodeNone) {
    EXPECT_EQ(GetSystemErrorText(5), "{err:0x5, msg:Access is denied. }");
    std::string notFound = GetSystemErrorText(2);
    EXPECT_EQ(notFound.rfind("{err:0x2, msg:", 0), 0u) << notFound;
    EXPECT_EQ(notFound.back(), '}');
    EXPECT_EQ(GetSystemErrorText(0x2ABCDEF1), "");
}

TEST(Utf16LETest, EncodesAndDecodesSurrogatesAndKeepsUnpairedOnes) {
    EXPECT_EQ(ToUtf16LE(L"A\u00e9"), std::string("A\0\xE9\0", 4));
    EXPECT_EQ(FromUtf16LE("A\0\xE9\0", 4), L"A\u00e9");
    EXPECT_EQ(FromUtf16LE("A\0\xE9", 3), L"A") << "an odd last byte is ignored";
    EXPECT_EQ(ToUtf16LE(std::wstring()), "");
    EXPECT_EQ(FromUtf16LE(nullptr, 0), L"");

    const std::string pairBytes("\x3D\xD8\x00\xDE", 4);  // U+1F600
    std::wstring decoded = FromUtf16LE(pairBytes.data(), pairBytes.size());
    if (sizeof(wchar_t) > 2) {
        ASSERT_EQ(decoded.size(), 1u);
        EXPECT_EQ(static_cast<unsigned>(decoded[0]), 0x1F600u);
    } else {
        EXPECT_EQ(decoded.size(), 2u);
    }
    EXPECT_EQ(ToUtf16LE(decoded), pairBytes);

    const std::string lone("\x00\xD8\x41\x00", 4);  // high surrogate then 'A'
    std::wstring loneDecoded = FromUtf16LE(lone.data(), lone.size());
    ASSERT_EQ(loneDecoded.size(), 2u);
    EXPECT_EQ(static_cast<unsigned>(loneDecoded[0]), 0xD800u);
    EXPECT_EQ(ToUtf16LE(loneDecoded), lone);
}

}  // namespace
