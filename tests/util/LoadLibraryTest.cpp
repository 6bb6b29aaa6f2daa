#include <gtest/gtest.h>

#include "LogLines.h"
#include "log/Log.h"
#include "support/TestSupport.h"
#include "util/LoadLibrary.h"

namespace {

using utiltest::CountLines;
using utiltest::CountStartingWith;

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
    void* slot = nullptr;
    {
        CLoadLibrary missing("zr-no-such-library.dll");
        EXPECT_FALSE(missing.IsLoaded());
        EXPECT_FALSE(missing.LoadFunction("Anything", &slot));
    }
    CLoadLibrary kernel32("Kernel32.dll");
    ASSERT_TRUE(kernel32.IsLoaded());
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

}  // namespace
