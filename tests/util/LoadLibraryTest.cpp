#include <gtest/gtest.h>

#include <vector>

#include "LogLines.h"
#include "log/Log.h"
#include "support/TestSupport.h"
#include "util/LoadLibrary.h"

namespace {

using utiltest::CountLines;
using utiltest::CountStartingWith;

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

TEST(OSVersionCodeTest, ThisSystemIsNewerThanTheTable) {
    EXPECT_EQ(GetOSVersionCode(), 149);
    EXPECT_TRUE(IsVersionAtLeast6());
    EXPECT_FALSE(IsWow64());
}

TEST(CLoadLibraryTest, EmptyNameHoldsNothingAndReportsEveryLookup) {
    zrtest::ScopedTempDir dir;
    SetLogLevel(LOG_WARNING);
    CLoadLibrary library("");
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_TRUE(logtest::Messages().empty()) << "construction with an empty name logs nothing";

    void* slot = nullptr;
    EXPECT_FALSE(library.LoadFunction("GetThreadId", &slot));
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(CountLines("CLoadLibrary::LoadFunction: [E] Library  not loaded"), 1u);

    // A bound slot is kept without looking it up again.
    int marker = 0;
    void* bound = &marker;
    EXPECT_TRUE(library.LoadFunction("Anything", &bound));
    EXPECT_EQ(bound, &marker);
    EXPECT_EQ(logtest::Messages().size(), 1u);

    EXPECT_FALSE(library.LoadFunction(nullptr, &slot));
    EXPECT_FALSE(library.LoadFunction("GetThreadId", nullptr));
    EXPECT_EQ(CountStartingWith("CLoadLibrary::LoadFunction: [E] Invalid params. name: '(null)', pointer: "), 1u);
    EXPECT_EQ(CountStartingWith("CLoadLibrary::LoadFunction: [E] Invalid params. name: 'GetThreadId', pointer: "),
              1u);
}

TEST(CLoadLibraryTest, MissingLibraryAndMissingExportAreLogged) {
    zrtest::ScopedTempDir dir;
    {
        CLoadLibrary missing("zr-no-such-library.dll");
        EXPECT_FALSE(missing.IsLoaded());
        void* slot = nullptr;
        EXPECT_FALSE(missing.LoadFunction("Anything", &slot));
    }
    CLoadLibrary kernel32("Kernel32.dll");
    ASSERT_TRUE(kernel32.IsLoaded());
    void* slot = nullptr;
    EXPECT_FALSE(kernel32.LoadFunction("NoSuchExportAnywhere", &slot));
    EXPECT_EQ(slot, nullptr);
    EXPECT_TRUE(kernel32.LoadFunction("GetThreadId", &slot));
    EXPECT_NE(slot, nullptr);

    EXPECT_EQ(CountLines("CLoadLibrary::Load: [E] Could not load library zr-no-such-library.dll, err:126"), 1u);
    EXPECT_EQ(CountLines("CLoadLibrary::LoadFunction: [E] Library zr-no-such-library.dll not loaded"), 1u);
    EXPECT_EQ(CountLines("CLoadLibrary::LoadFunction: [E] Could not get process address for "
                                "'NoSuchExportAnywhere' in module 'Kernel32.dll'"),
              1u);
}

TEST(CLoadLibraryTest, BindingsCallThroughToTheSystem) {
    CKernel32 kernel32;
    EXPECT_EQ(kernel32.GetThreadId(GetCurrentThread()), GetCurrentThreadId());

    CPsAPI psapi;
    std::vector<DWORD> ids(4096);
    DWORD returned = 0;
    ASSERT_TRUE(psapi.EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &returned));
    ids.resize(returned / sizeof(DWORD));
    EXPECT_NE(std::find(ids.begin(), ids.end(), GetCurrentProcessId()), ids.end());
}

}  // namespace
