#include <cstdarg>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "log/LogFormat.h"

namespace {

int Needed(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = LogVFormat(buffer, size, format, args);
    va_end(args);
    return n;
}

template <class... Args>
std::string Fmt(const char* format, Args... args) {
    char buffer[512];
    const int n = Needed(buffer, sizeof(buffer), format, args...);
    if (n < 0) return "<failed>";
    EXPECT_EQ(static_cast<size_t>(n), std::string(buffer).size());
    return buffer;
}

std::wstring FmtW(const wchar_t* format, ...) {
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    const int n = LogVFormatW(buffer, 512, format, args);
    va_end(args);
    if (n < 0) return L"<failed>";
    return buffer;
}

std::string Line(const char* format, ...) {
    std::string line;
    va_list args;
    va_start(args, format);
    FormatLogLine(format, args, line);
    va_end(args);
    return line;
}

TEST(LogFormat, IntegersWithFlagsWidthAndPrecision) {
    EXPECT_EQ("[0008.1234] ", Fmt("[%.4d.%.4d] ", 8, 1234));
    EXPECT_EQ("[12345.0007] ", Fmt("[%.4d.%.4d] ", 12345, 7));
    EXPECT_EQ("-42|42   |   42|+42| 42", Fmt("%d|%-5d|%5i|%+d|% d", -42, 42, 42, 42, 42));
    EXPECT_EQ("0000BEEF|beef|0xbeef|0XBEEF|0", Fmt("%08X|%x|%#x|%#X|%#x", 0xBEEFu, 0xBEEFu, 0xBEEFu, 0xBEEFu, 0u));
    EXPECT_EQ("-0042|  -0042|-0042  ", Fmt("%.4d|%7.4d|%-7.4d", -42, -42, -42));
    EXPECT_EQ("||5", Fmt("%.0d|%.0x|%.0d", 0, 0u, 5)) << "precision 0 prints no digits for zero";
    EXPECT_EQ("    7|7    ", Fmt("%*d|%-*d", 5, 7, 5, 7));
    EXPECT_EQ("7    |", Fmt("%*d|", -5, 7)) << "a negative width from * means left-aligned";
    EXPECT_EQ("17", Fmt("%o", 15u));
}

TEST(LogFormat, LengthModifiersFollowWindowsWidths) {
    // `l` is 32 bits everywhere: callers pass DWORD and LONG.
    EXPECT_EQ("4294967295|-1|ffffffff", Fmt("%lu|%ld|%lx", static_cast<uint32_t>(0xFFFFFFFFu), static_cast<int32_t>(-1),
                                            static_cast<uint32_t>(0xFFFFFFFFu)));
    EXPECT_EQ("-9000000000|18446744073709551615", Fmt("%lld|%llu", -9000000000LL, ~0ULL));
    EXPECT_EQ("9000000000|1234567890123", Fmt("%I64d|%I64u", 9000000000LL, 1234567890123ULL));
    EXPECT_EQ("123456789012|-5", Fmt("%zu|%zd", static_cast<size_t>(123456789012ULL), static_cast<ptrdiff_t>(-5)));
    EXPECT_EQ("-1|65535|-1|255", Fmt("%hd|%hu|%hhd|%hhu", 65535, 65535, 255, 255));
    // An `int` argument after a 64-bit one stays aligned.
    EXPECT_EQ("5|6", Fmt("%I64d|%d", 5LL, 6));
}

TEST(LogFormat, TextCharactersPointersAndPercent) {
    EXPECT_EQ("abc|(null)|ab|  abc|abc  |", Fmt("%s|%s|%.2s|%5s|%-5s|", "abc", static_cast<const char*>(nullptr), "abc",
                                              "abc", "abc"));
    EXPECT_EQ("wide|wi|wide|wide|(null)", Fmt("%ws|%.2ws|%ls|%S|%ws", L"wide", L"wide", L"wide", L"wide",
                                             static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ("x|100%|%", Fmt("%c|100%%|%%", 'x'));
    const std::string pointer = Fmt("%p", reinterpret_cast<void*>(static_cast<uintptr_t>(0xABCDu)));
    EXPECT_EQ(2 * sizeof(void*), pointer.size());
    EXPECT_EQ("ABCD", pointer.substr(pointer.size() - 4));
    EXPECT_EQ("%y|%", Fmt("%y|%")) << "unknown and trailing directives print as written";
    EXPECT_EQ("1.50", Fmt("%.2f", 1.5));
}

TEST(LogFormat, WideTextOutsideTheAnsiCodePageFailsTheEightBitAttempt) {
    // U+00FC and U+20AC exist in the ANSI code page; U+4E2D does not.
    EXPECT_EQ("Gr\xFC\xDF" "e \x80", Fmt("%ws", L"Gr\u00FC\u00DFe \u20AC"));
    EXPECT_EQ("<failed>", Fmt("%ws", L"\u4E2D"));
    // The wide attempt keeps %s as 8-bit text and %ws as wide text.
    EXPECT_EQ(L"caf\u00E9 \u4E2D", FmtW(L"%s %ws", "caf\xE9", L"\u4E2D"));
    EXPECT_EQ(L"  ab|cd", FmtW(L"%4.2S|%ls", L"abc", L"cd"));
}

TEST(LogFormat, ReportsTheWholeLengthWhenTheBufferIsShort) {
    char buffer[8];
    EXPECT_EQ(12, Needed(buffer, sizeof(buffer), "%s", "hello world!"));
    EXPECT_STREQ("hello w", buffer);
    EXPECT_EQ(7, Needed(buffer, sizeof(buffer), "%s", "1234567"));
    EXPECT_STREQ("1234567", buffer);
}

TEST(LogFormat, LogLineCarriesSaltPrefixAndMessage) {
    const std::string line = Line("hello %d", 5);
    ASSERT_GT(line.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_NE('\0', line[i]) << "salt bytes are never zero";
    EXPECT_EQ('[', line[4]);
    EXPECT_EQ("] hello 5", line.substr(line.find(']', 5)));  // the salt itself may hold a ']'
}

}  // namespace
