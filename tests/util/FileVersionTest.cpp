#include <gtest/gtest.h>

#include <string>

#include "LogLines.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"
#include "util/FileVersion.h"

namespace {

TEST(CVersionParserTest, ParsesFourPartTexts) {
    // A fifth part is ignored, empty parts are skipped, parts are 16 bits. The
    // kept text has no spaces and dots for commas; it is "" when invalid.
    const struct { const char* text; const char* kept; unsigned long long value; } cases[] = {
        {"1, 2, 3, 4", "1.2.3.4", 0x0001000200030004ull},  {"5.6.7.8.9", "5.6.7.8.9", 0x0005000600070008ull},
        {"..1...2.3..4..", "..1...2.3..4..", 0x0001000200030004ull},
        {"2a.-1.x.+7", "2a.-1.x.+7", 0x0002FFFF00000007ull}, {"70000.1.2.3", "70000.1.2.3", 0x1170000100020003ull},
        {"1.2.3", "", 0}, {"", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CVersionParser parser(c.text);
        EXPECT_EQ(parser.IsValid(), *c.kept != '\0');
        EXPECT_EQ(parser.Value(), c.value);
        EXPECT_EQ(parser.Text(), c.kept);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(parser.Get(i), static_cast<int>((c.value >> (48 - 16 * i)) & 0xFFFF));
    }
    EXPECT_FALSE(CVersionParser(nullptr).IsValid());
    EXPECT_FALSE(CVersionParser().IsValid());
    EXPECT_EQ(CVersionParser("1.2.3.4").Get(4), 0);
    EXPECT_EQ(CVersionParser("1.2.3.4").Get(-1), 0);

    CVersionParser numbers(0x10001, 2, 3, 65535);
    EXPECT_TRUE(numbers.IsValid());
    EXPECT_EQ(numbers.Text(), "");
    EXPECT_EQ(numbers.Get(0), 1);
    EXPECT_EQ(numbers.Get(3), 65535);
}

std::string Text(const CVersion& version, const char* separator = ".") {
    std::string text = "unchanged";
    EXPECT_TRUE(version.ToString(text, separator));
    return text;
}

TEST(CVersionTest, KeepsTheLastValidVersionAndFormatsIt) {
    CVersion version;
    EXPECT_EQ(Text(version), "0.0.0.0");
    EXPECT_TRUE(version.SetFromText("1, 2, 3, 4"));
    EXPECT_FALSE(version.SetFromText("9.9"));
    EXPECT_EQ(Text(version, "-"), "1-2-3-4");
    EXPECT_TRUE(version.Set(65535, 65535, 65535, 65535));
    EXPECT_EQ(Text(version), "65535.65535.65535.65535");
}

TEST(FileVersionTest, ModuleWithoutAFileIsLoggedAndTheQueryStillFailsOnItsEmptyName) {
    zrtest::ScopedTempDir dir;
    // An address no library is mapped at.
    const HMODULE unknown = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10));
    std::wstring value = L"unchanged";
    EXPECT_TRUE(GetFileVersionElement(std::wstring(), unknown, L"FileVersion", value));
    EXPECT_EQ(value, L"unchanged");
    CVersion version;
    version.Set(1, 2, 3, 4);
    version.LoadFromModule(unknown);
    EXPECT_EQ(Text(version), "1.2.3.4");
    EXPECT_EQ(utiltest::CountStartingWith("GetFileVersionElement: [E] Could not get module filename. err:"), 2u);
    EXPECT_EQ(utiltest::CountStartingWith("GetFileVersionElement: [E] Failed GetFileVersionInfoSize for ''. err:"), 2u);
}

std::wstring Wide(const char* text) {
    return Utils_Conversions::Conversion::toWstring(text, CP_UTF8);
}

std::string ModuleVersion(const char* path) {
    HMODULE module = LoadLibraryA(path);
    EXPECT_NE(module, nullptr);
    CVersion version;
    version.LoadFromModule(module);
    FreeLibrary(module);
    return Text(version);
}

TEST(FileVersionTest, ReadsTheFileVersionOfAFileAndOfALoadedModule) {
    zrtest::ScopedTempDir dir;
    std::wstring value = L"unchanged";
    EXPECT_TRUE(GetFileVersionElement(Wide(ZR_VERSION_FIXTURE), nullptr, L"FileVersion", value));
    EXPECT_EQ(value, L"3.1.4.15");
    std::string narrow;
    EXPECT_TRUE(GetFileVersionElement(ZR_VERSION_FIXTURE, nullptr, narrow));
    EXPECT_EQ(narrow, "3.1.4.15");
    EXPECT_EQ(ModuleVersion(ZR_VERSION_FIXTURE), "3.1.4.15");
}

TEST(FileVersionTest, MissingStringOrFileIsLoggedAndChangesNothing) {
    zrtest::ScopedTempDir dir;
    std::wstring value = L"unchanged";
    EXPECT_TRUE(GetFileVersionElement(Wide(ZR_VERSION_FIXTURE_BARE), nullptr, L"FileVersion", value));
    EXPECT_EQ(ModuleVersion(ZR_VERSION_FIXTURE_BARE), "0.0.0.0");
    const std::wstring missing = dir.Path().wstring() + L"/no-such-file.dll";
    EXPECT_TRUE(GetFileVersionElement(missing, nullptr, L"FileVersion", value));
    EXPECT_EQ(value, L"unchanged");

    const std::string query = "GetFileVersionElement: [E] Failed VerQueryValueW(\\StringFileInfo\\040904b0\\FileVersion) for '";
    EXPECT_EQ(utiltest::CountLines(query + ZR_VERSION_FIXTURE_BARE + "'. err:1813"), 1u);
    EXPECT_EQ(utiltest::CountStartingWith(query), 2u);
    EXPECT_EQ(utiltest::CountStartingWith("GetFileVersionElement: [E] Failed GetFileVersionInfoSize for '" +
                             Utils_Conversions::Conversion::toString(missing, CP_UTF8) + "'. err:"),
              1u);
}


}  // namespace
