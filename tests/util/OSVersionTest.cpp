// The OS version code: the classification of every known system, and the
// run-time bindings behind it.
#include <gtest/gtest.h>

#include "util/OSVersion.h"

namespace {

TEST(OSVersionCodeTest, ClassifiesEveryKnownSystem) {
    const DWORD nt = VER_PLATFORM_WIN32_NT, w9x = VER_PLATFORM_WIN32_WINDOWS;
    const BYTE ws = VER_NT_WORKSTATION, dc = VER_NT_DOMAIN_CONTROLLER, srv = VER_NT_SERVER;
    const struct { DWORD platform, major, minor; BYTE productType; bool hasProductType; int code; } cases[] = {
        {w9x, 4, 0, 0, false, 10},    {w9x, 4, 10, 0, false, 20},  {w9x, 4, 90, 0, false, 30},
        {w9x, 4, 50, 0, false, 149},  {w9x, 5, 0, 0, false, 149},  {nt, 3, 51, 0, false, 41},
        {nt, 4, 0, ws, true, 41},     {nt, 5, 0, srv, true, 50},   {nt, 5, 1, ws, true, 60},
        {nt, 5, 2, ws, true, 60},     {nt, 5, 2, srv, true, 70},   {nt, 5, 2, dc, true, 70},
        {nt, 5, 2, 0, true, 149},     {nt, 5, 2, 0, false, 149},   {nt, 5, 3, ws, true, 149},
        {nt, 6, 0, ws, true, 80},     {nt, 6, 0, srv, true, 90},   {nt, 6, 1, ws, true, 100},
        {nt, 6, 1, dc, true, 110},    {nt, 6, 2, ws, true, 120},   {nt, 6, 2, srv, true, 125},
        {nt, 6, 2, ws, false, 125},   {nt, 6, 3, ws, true, 127},   {nt, 6, 3, srv, true, 130},
        {nt, 6, 4, ws, true, 149},    {nt, 10, 0, ws, true, 149},  {0, 4, 0, 0, false, 149},
        {3, 10, 0, ws, true, 149},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OSVersionCodeFrom(c.platform, c.major, c.minor, c.productType, c.hasProductType), c.code)
            << "platform " << c.platform << " " << c.major << "." << c.minor << " type " << int(c.productType)
            << (c.hasProductType ? "" : " (basic record)");
    }
}

// What the platform reports (its own tests pin those facts) comes through the
// run-time bindings unchanged.
TEST(OSVersionCodeTest, AnswersAgreeWithWhatThePlatformReports) {
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)));
    EXPECT_EQ(GetOSVersionCode(),
              OSVersionCodeFrom(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.wProductType, true));
    EXPECT_EQ(IsVersionAtLeast6(), info.dwMajorVersion >= 6);
    BOOL wow64 = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(IsWow64(), wow64 != FALSE);
}

}  // namespace
