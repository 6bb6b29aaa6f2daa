#include <gtest/gtest.h>

#include <string>

#include "LogLines.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"
#include "util/FileVersion.h"

namespace {

TEST(CVersionParserTest, ParsesFourPartTexts) {
    CVersionParser commas("1, 2, 3, 4");
    ASSERT_TRUE(commas.IsValid());
    EXPECT_EQ(commas.Text(), "1.2.3.4");
    EXPECT_EQ(commas.Value(), 0x0001000200030004ull);
    EXPECT_EQ(commas.Get(0), 1);
    EXPECT_EQ(commas.Get(3), 4);
    EXPECT_EQ(commas.Get(4), 0);
    EXPECT_EQ(commas.Get(-1), 0);

    EXPECT_FALSE(CVersionParser("1.2.3").IsValid());
    EXPECT_EQ(CVersionParser("1.2.3").Value(), 0u);
    EXPECT_EQ(CVersionParser("1.2.3").Text(), "");
    EXPECT_FALSE(CVersionParser("").IsValid());
    EXPECT_FALSE(CVersionParser(nullptr).IsValid());
    EXPECT_FALSE(CVersionParser().IsValid());

    CVersionParser five("5.6.7.8.9");
    ASSERT_TRUE(five.IsValid());
    EXPECT_EQ(five.Value(), 0x0005000600070008ull);

    EXPECT_EQ(CVersionParser("70000.1.2.3").Get(0), 4464);
    CVersionParser dots("..1...2.3..4..");
    ASSERT_TRUE(dots.IsValid());
    EXPECT_EQ(dots.Value(), 0x0001000200030004ull);
    CVersionParser loose("2a.-1.x.+7");
    ASSERT_TRUE(loose.IsValid());
    EXPECT_EQ(loose.Get(0), 2);
    EXPECT_EQ(loose.Get(1), 0xFFFF);
    EXPECT_EQ(loose.Get(2), 0);
    EXPECT_EQ(loose.Get(3), 7);

    CVersionParser numbers(0x10001, 2, 3, 65535);
    EXPECT_TRUE(numbers.IsValid());
    EXPECT_EQ(numbers.Text(), "");
    EXPECT_EQ(numbers.Get(0), 1);
    EXPECT_EQ(numbers.Get(3), 65535);
}

TEST(CVersionTest, KeepsTheLastValidVersionAndFormatsIt) {
    CVersion version;
    std::string text = "unchanged";
    EXPECT_TRUE(version.ToString(text, "."));
    EXPECT_EQ(text, "0.0.0.0");

    EXPECT_TRUE(version.SetFromText("1, 2, 3, 4"));
    EXPECT_TRUE(version.ToString(text, "."));
    EXPECT_EQ(text, "1.2.3.4");
    EXPECT_FALSE(version.SetFromText("9.9"));
    EXPECT_TRUE(version.ToString(text, "-"));
    EXPECT_EQ(text, "1-2-3-4");

    EXPECT_TRUE(version.Set(65535, 65535, 65535, 65535));
    EXPECT_TRUE(version.ToString(text, "."));
    EXPECT_EQ(text, "65535.65535.65535.65535");
}

#if defined(ZR_VERSION_FIXTURE) && defined(ZR_VERSION_FIXTURE_BARE)

std::wstring Wide(const char* text) {
    return Utils_Conversions::Conversion::toWstring(text, CP_UTF8);
}

TEST(FileVersionTest, ReadsTheFileVersionOfAFileAndOfALoadedModule) {
    zrtest::ScopedTempDir dir;
    std::wstring value = L"unchanged";
    EXPECT_TRUE(GetFileVersionElement(Wide(ZR_VERSION_FIXTURE), nullptr, L"FileVersion", value));
    EXPECT_EQ(value, L"3.1.4.15");

    std::string narrow;
    EXPECT_TRUE(GetFileVersionElement(ZR_VERSION_FIXTURE, nullptr, narrow));
    EXPECT_EQ(narrow, "3.1.4.15");

    HMODULE module = LoadLibraryA(ZR_VERSION_FIXTURE);
    ASSERT_NE(module, nullptr);
    CVersion version;
    version.LoadFromModule(module);
    std::string text;
    EXPECT_TRUE(version.ToString(text, "."));
    EXPECT_EQ(text, "3.1.4.15");
    FreeLibrary(module);
}

TEST(FileVersionTest, MissingStringOrFileIsLoggedAndChangesNothing) {
    zrtest::ScopedTempDir dir;
    const std::wstring bare = Wide(ZR_VERSION_FIXTURE_BARE);
    std::wstring value = L"unchanged";
    EXPECT_TRUE(GetFileVersionElement(bare, nullptr, L"FileVersion", value));
    EXPECT_EQ(value, L"unchanged");

    HMODULE module = LoadLibraryA(ZR_VERSION_FIXTURE_BARE);
    ASSERT_NE(module, nullptr);
    CVersion version;
    version.LoadFromModule(module);
    std::string text;
    EXPECT_TRUE(version.ToString(text, "."));
    EXPECT_EQ(text, "0.0.0.0");
    FreeLibrary(module);

    const std::wstring missing = dir.Path().wstring() + L"/no-such-file.dll";
    EXPECT_TRUE(GetFileVersionElement(missing, nullptr, L"FileVersion", value));
    EXPECT_EQ(value, L"unchanged");

    auto lines = utiltest::LogMessages();
    const std::string bareNarrow = ZR_VERSION_FIXTURE_BARE;
    EXPECT_EQ(utiltest::CountLines(lines, "GetFileVersionElement: [E] Failed VerQueryValueW(\\StringFileInfo\\040904b0"
                                          "\\FileVersion) for '" + bareNarrow + "'. err:1813"),
              1u);
    EXPECT_EQ(utiltest::CountStartingWith(lines, "GetFileVersionElement: [E] Failed VerQueryValueW("
                                                 "\\StringFileInfo\\040904b0\\FileVersion) for '"),
              2u);
    EXPECT_EQ(utiltest::CountStartingWith(
                  lines, "GetFileVersionElement: [E] Failed GetFileVersionInfoSize for '" +
                             Utils_Conversions::Conversion::toString(missing, CP_UTF8) + "'. err:"),
              1u);
}

#else

TEST(FileVersionTest, StampedFixturesAreBuilt) {
    GTEST_SKIP() << "the build has no version stamping for fixture libraries";
}

#endif

}  // namespace
