#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/Environment.h"
#include "log/Log.h"
#include "log/LogTestUtil.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"

namespace {

using Utils_Conversions::Conversion;

// Each pair converts both ways (the strings go through the heap functions).
TEST(ConversionsTest, KnownPairsConvertBothWaysAndUtf8RoundTrips) {
    const struct { const wchar_t* wide; UINT codePage; const char* narrow; } cases[] = {
        {L"\u00e9\u4e2d", CP_UTF8, "\xC3\xA9\xE4\xB8\xAD"},
        {L"caf\u00e9", CP_ACP, "caf\xE9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.narrow);
        EXPECT_EQ(Conversion::toString(c.wide, c.codePage), c.narrow);
        EXPECT_EQ(Conversion::toWstring(c.narrow, c.codePage), c.wide);
    }
    EXPECT_EQ(Conversion::toString(L"a\u4e2db", CP_ACP), "a?b") << "unmappable in the ANSI code page";

    // UTF-8 round trips, above the basic plane and past any fixed buffer too.
    const std::wstring emoji = sizeof(wchar_t) > 2 ? std::wstring(1, static_cast<wchar_t>(0x1F600))
                                                   : std::wstring({static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)});
    for (const std::wstring& text : {L"\u4e2d\u6587 \u0440\u0443\u0441 " + emoji, std::wstring(5000, L'\u00e9')})
        EXPECT_EQ(Conversion::toWstring(Conversion::toString(text, CP_UTF8), CP_UTF8), text);

    EXPECT_EQ(Conversion::toWstring("", CP_UTF8), L"");
    EXPECT_EQ(Conversion::toWstring(static_cast<const char*>(nullptr), CP_ACP), L"");
    EXPECT_EQ(Conversion::toString(L"", CP_UTF8), "");
    EXPECT_EQ(Conversion::toString(static_cast<const wchar_t*>(nullptr), CP_ACP), "");
    EXPECT_EQ(MultiByteToWideAlloc(nullptr, CP_UTF8), nullptr);
    EXPECT_EQ(WideToMultiByteAlloc(nullptr, CP_UTF8), nullptr);
    EXPECT_EQ(WideToMultiByteAlloc(L"", CP_UTF8), nullptr);
}

// A trailing incomplete sequence converts to fewer units than asked for; the
// result is built from the returned length (ASan catches a read past it).
TEST(ConversionsTest, TrailingLeadByteNeverReadsPastTheResult) {
    const std::wstring converted = Conversion::toWstring("ab\xC3", CP_UTF8);
    EXPECT_EQ(converted.substr(0, 2), L"ab");
    EXPECT_LE(converted.size(), 3u);
}

// The product under a UTF-8 system code page, in a fresh process (the ANSI
// code page is read once per process).
TEST(ConversionsTest, Utf8AnsiCodePageConvertsEverything) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_TRUE(zrtest::SetEnv("ZRWIN_ACP", "65001"));
    EXPECT_EXIT(
        {
            zrtest::ScopedTempDir dir;
            const bool narrow = Conversion::toString(L"h\u00e9llo \u20ac\u4e2d", CP_ACP) == "h\xC3\xA9llo \xE2\x82\xAC\xE4\xB8\xAD";
            const bool wide = Conversion::toWstring("\xC3\xA9", CP_ACP) == L"\u00e9";
            char buffer[16];
            const bool buffered = WideToMultiByteBuffer(buffer, L"\u00e9", 16, CP_ACP) != nullptr &&
                                  std::string(buffer) == "\xC3\xA9";
            SetLogLevel(LOG_WARNING);
            Log(LOG_ERROR, "wide %ws text", L"\u00e9\u4e2d");
            const bool logged =
                logtest::Messages() == std::vector<std::string>{"wide \xC3\xA9\xE4\xB8\xAD text"};
            std::fprintf(stderr, "narrow %d wide %d buffered %d logged %d\n", narrow, wide, buffered, logged);
            std::exit(narrow && wide && buffered && logged ? 0 : 1);
        },
        testing::ExitedWithCode(0), "narrow 1 wide 1 buffered 1 logged 1");
    ASSERT_TRUE(zrtest::SetEnv("ZRWIN_ACP", "frob"));
    EXPECT_EXIT(std::exit(GetACP() == 1252 ? 0 : 1), testing::ExitedWithCode(0),
                "ZRWIN_ACP=frob is not an ANSI code page this system can convert");
    zrtest::UnsetEnv("ZRWIN_ACP");
}

TEST(ConversionsTest, BufferConversionsRefuseShortBuffersAndNulls) {
    wchar_t wideBuffer[8];
    EXPECT_EQ(MultiByteToWideBuffer(wideBuffer, "abc", 8, CP_UTF8), wideBuffer);
    EXPECT_EQ(std::wstring(wideBuffer), L"abc");
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
    for (const std::string& text : {std::string("PID(42) LPCNAME(Group)"), std::string(),
                                   "LPCNAME(" + std::string(300, 'g') + ") PID(7)"}) {
        Utils_Conversions::CommandLineW line(text.c_str());
        EXPECT_EQ(Conversion::toString(line.c_str(), CP_UTF8), text);
    }
}

TEST(SystemErrorTextTest, KnownCodeHasItsTextAndUnknownCodeNone) {
    EXPECT_EQ(GetSystemErrorText(5), "{err:0x5, msg:Access is denied. }");
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
    ASSERT_EQ(decoded.size(), sizeof(wchar_t) > 2 ? 1u : 2u);
    EXPECT_EQ(static_cast<unsigned>(decoded[0]), sizeof(wchar_t) > 2 ? 0x1F600u : 0xD83Du);
    EXPECT_EQ(ToUtf16LE(decoded), pairBytes);

    const std::string lone("\x00\xD8\x41\x00", 4);  // high surrogate then 'A'
    EXPECT_EQ(FromUtf16LE(lone.data(), lone.size()), std::wstring({static_cast<wchar_t>(0xD800), L'A'}));
    EXPECT_EQ(ToUtf16LE(FromUtf16LE(lone.data(), lone.size())), lone);
}

}  // namespace
