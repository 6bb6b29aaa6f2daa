// Code-page conversions with Windows rules: 1252, UTF-8, sizes and errors.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>
#include <utility>

#include "SystemTestSupport.h"

namespace {

using zrtest::FailsWith;

// Converts through a buffer, checking that the size query agrees.
std::wstring ToWide(UINT codePage, const std::string& text) {
    wchar_t out[512];
    int size = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), out, 512);
    EXPECT_EQ(MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), nullptr, 0), size);
    return size > 0 ? std::wstring(out, (size_t)size) : L"<failed>";
}

std::string ToBytes(UINT codePage, const std::wstring& text, const char* defaultChar = nullptr, BOOL* used = nullptr) {
    char out[512];
    int size = WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), out, 512, defaultChar, used);
    EXPECT_EQ(WideCharToMultiByte(codePage, 0, text.data(), (int)text.size(), nullptr, 0, defaultChar, nullptr), size);
    return size > 0 ? std::string(out, (size_t)size) : "<failed>";
}

TEST(CodePages, Windows1252ByDefaultDecodesEveryByteAndRoundTrips) {
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(ToWide(CP_THREAD_ACP, "\x80"), L"\x20AC");
    EXPECT_EQ(ToWide(1252, "\x80\x8A\x9C\x9F\xE9\xFF"), std::wstring(L"\x20AC\x0160\x0153\x0178\x00E9\x00FF"));
    // The five undefined bytes decode to the C1 control of the same value.
    EXPECT_EQ(ToWide(CP_ACP, "\x81\x8D\x8F\x90\x9D"), std::wstring(L"\x0081\x008D\x008F\x0090\x009D"));
    std::string all;
    for (int b = 1; b < 256; ++b) all += (char)b;
    std::wstring wide = ToWide(CP_ACP, all);
    ASSERT_EQ(wide.size(), 255u);
    BOOL used = TRUE;
    EXPECT_EQ(ToBytes(CP_ACP, wide, nullptr, &used), all);
    EXPECT_FALSE(used);
}

TEST(CodePages, DefaultCharacterAndOtherCodePagesThroughIconv) {
    BOOL used = FALSE;
    EXPECT_EQ(ToBytes(CP_ACP, L"\x4E2D", "#", &used), "#");
    EXPECT_TRUE(used);
    EXPECT_EQ(ToBytes(1252, L"\x20AC\x2122"), "\x80\x99");
    // Cyrillic 1251: 0xC0 is U+0410.
    EXPECT_EQ(ToWide(1251, "\xC0\xFF"), std::wstring(L"\x0410\x044F"));
    EXPECT_EQ(ToBytes(1251, L"\x0410"), "\xC0");
}

TEST(CodePages, BestFitIn1252) {
    const struct {
        wchar_t wide;
        char byte;
    } fits[] = {
        {0x0100, 'A'},     // first entry: Latin A with macron
        {0x0110, '\xD0'},  // D with stroke to Eth, a byte above 0x7F
        {0xFF5E, '~'},     // last entry: fullwidth tilde
    };
    for (const auto& fit : fits) {
        SCOPED_TRACE(testing::Message() << std::hex << "U+" << (unsigned)fit.wide);
        const std::wstring text = {L'x', fit.wide};
        BOOL used = TRUE;
        // The fit wins over a given default character, and is no use of it.
        EXPECT_EQ(ToBytes(1252, text, "#", &used), std::string("x") + fit.byte);
        EXPECT_FALSE(used);
    }
    // Past the last entry, and a character nothing fits: the default character.
    for (wchar_t none : {(wchar_t)0xFF5F, (wchar_t)0x4E2D}) {
        BOOL used = FALSE;
        EXPECT_EQ(ToBytes(1252, std::wstring(1, none), nullptr, &used), "?") << std::hex << (unsigned)none;
        EXPECT_TRUE(used);
    }
}

// UTF-8 round trips are the conversions' tests; here, the terminator, size
// queries and buffers too small.
TEST(CodePages, Utf8SizesAndSmallBuffers) {
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\x20AC", -1, nullptr, 0, nullptr, nullptr), 4);
    wchar_t wide[8];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8), 4);
    EXPECT_EQ(std::wstring(wide), L"abc");
    char narrow[3];
    EXPECT_FAILS_WITH(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 2), 0, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FAILS_WITH(WideCharToMultiByte(CP_UTF8, 0, L"\x20AC", -1, narrow, 3, nullptr, nullptr),
                      0, ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePages, InvalidUtf8) {
    // Lone continuation, overlong form, truncated sequence, encoded surrogate.
    EXPECT_EQ(ToWide(CP_UTF8, "a\x80" "b"), L"a\xFFFD" L"b");
    EXPECT_EQ(ToWide(CP_UTF8, "\xC0\xAF"), L"\xFFFD\xFFFD");
    EXPECT_EQ(ToWide(CP_UTF8, "\xE2\x82"), L"\xFFFD");
    EXPECT_EQ(ToWide(CP_UTF8, "\xED\xA0\x80"), L"\xFFFD\xFFFD\xFFFD");
    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(ToBytes(CP_UTF8, std::wstring(1, (wchar_t)0xD800)), "\xEF\xBF\xBD");
}

TEST(CodePages, RefusedArguments) {
    wchar_t wide[4];
    char narrow[4];
    BOOL used = FALSE;
    const std::pair<DWORD, std::function<int()>> cases[] = {
        {ERROR_INVALID_PARAMETER, [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 4); }},
        {ERROR_INVALID_PARAMETER, [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 4); }},
        {ERROR_INVALID_PARAMETER, [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 4); }},
        {ERROR_INVALID_FLAGS, [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 4); }},
        {ERROR_INVALID_PARAMETER,
         [&] { return WideCharToMultiByte(CP_UTF8, 0, nullptr, 3, narrow, 4, nullptr, nullptr); }},
        {ERROR_INVALID_PARAMETER, [&] { return WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, narrow, 4, "?", nullptr); }},
        {ERROR_INVALID_PARAMETER,
         [&] { return WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, narrow, 4, nullptr, &used); }},
        {ERROR_INVALID_FLAGS,
         [&] { return WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"abc", 3, narrow, 4, nullptr, nullptr); }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_TRUE(FailsWith(cases[i].first, cases[i].second)) << i;
}

TEST(CodePages, AnsiLettersAndUpperCase) {
    const char letters[] = "aZ\xAA\xB5\xBA\xC0\xDE\xDF\xE0\xFF\x8A\x8C\x8E\x9A\x9C\x9E\x9F";
    for (const char* p = letters; *p; ++p) EXPECT_TRUE(IsCharAlphaA(*p)) << (int)(unsigned char)*p;
    const char others[] = "0 !\xD7\xF7\x80\xA9\xB2";
    for (const char* p = others; *p; ++p) EXPECT_FALSE(IsCharAlphaA(*p)) << (int)(unsigned char)*p;

    char text[] = "abc\xE0\xF6\xF7\xFE\x9A\x9C\x9E\xFF\xDF\xB5z";
    EXPECT_EQ(CharUpperBuffA(text, (DWORD)(sizeof text - 1)), (DWORD)(sizeof text - 1));
    EXPECT_EQ(std::string(text), "ABC\xC0\xD6\xF7\xDE\x8A\x8C\x8E\x9F\xDF\xB5Z");
}

}  // namespace
