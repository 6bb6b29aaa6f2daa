#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Environment.h"
#include "LogLines.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"
#include "util/PathUtils.h"

namespace {

using Utils_Path::Path;

TEST(PathPartsTest, SplitsAtTheLastBackslashOnlyAndJoinsWithOne) {
    EXPECT_EQ(GetFileNamePart(L"C:\\mods\\agent.dll"), L"agent.dll");
    EXPECT_EQ(GetFileNamePart(L"agent.dll"), L"agent.dll");
    EXPECT_EQ(GetFileNamePart(L"C:\\mods\\"), L"");
    EXPECT_EQ(GetFileNamePart(L"C:/mods/agent.dll"), L"C:/mods/agent.dll");

    EXPECT_EQ(GetFileNameWithoutExtension(L"C:\\m.d\\agent.v2.dll"), L"agent.v2");
    EXPECT_EQ(GetFileNameWithoutExtension(L"C:\\m.d\\agent"), L"agent");
    EXPECT_EQ(GetFileNameWithoutExtension(L".hidden"), L"");

    EXPECT_EQ(GetDirectoryPart(L"C:\\mods\\agent.dll"), L"C:\\mods\\");
    EXPECT_EQ(GetDirectoryPart(L"agent.dll"), L"");
    EXPECT_EQ(GetDirectoryPart(L"\\"), L"\\");

    // Joined with exactly one backslash.
    EXPECT_EQ(CombinePath(L"C:\\mods", L"a.kvl"), L"C:\\mods\\a.kvl");
    EXPECT_EQ(CombinePath(L"C:\\mods\\", L"a.kvl"), L"C:\\mods\\a.kvl");
    EXPECT_EQ(CombinePath(L"C:\\mods", L"\\\\a\\b.kvl"), L"C:\\mods\\a\\b.kvl");
    EXPECT_EQ(CombinePath(L"", L"\\a.kvl"), L"a.kvl");
    EXPECT_EQ(CombinePath(L"C:\\mods", L"\\\\"), L"C:\\mods\\");
    EXPECT_EQ(CombinePath(L"", L""), L"");
}

TEST(AbbreviateForLogTest, KeepsBothEndsOfLongTexts) {
    const std::string exact(40, 'x'), text = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs";
    EXPECT_EQ(AbbreviateForLog(exact, 40), exact);
    EXPECT_EQ(AbbreviateForLog(text, 40), text.substr(0, 18) + ".." + text.substr(45 - 18));
    EXPECT_EQ(AbbreviateForLog(std::string(81, 'a'), 80).size(), 38u + 2u + 38u);

    const std::wstring middle(47, L'\u00e9');
    EXPECT_EQ(AbbreviateForLog(L"S" + std::wstring(99, L'\u00e9') + L"E", 100), L"S" + middle + L".." + middle + L"E");
    EXPECT_EQ(AbbreviateForLog(std::wstring(L"short"), 40), L"short");
}

// A registry file of substituted drives, in force for the object's lifetime.
struct ScopedRegistry {
    explicit ScopedRegistry(const std::string& drives) {
        logtest::UseRegistry((std::filesystem::current_path() / "test.reg").string(), drives,
                             "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices");
    }
    ~ScopedRegistry() { zrtest::UnsetEnv("ZRWIN_REGISTRY"); }
};

TEST(GetFullPathTest, FollowsSubstitutedDrivesToTheRealFolder) {
    zrtest::ScopedTempDir dir;
    std::filesystem::create_directories(dir.Path() / "work" / "m");
    std::filesystem::create_directories(dir.Path() / "work" / "sub");
    // The folder as the Windows path "C:\...\work" (C: is the root by default).
    std::string posix = (dir.Path() / "work").string(), escaped;
    std::replace(posix.begin(), posix.end(), '/', '\\');
    for (char c : posix) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const std::wstring work = L"C:" + Utils_Conversions::Conversion::toWstring(posix, CP_UTF8);
    ScopedRegistry registry("\"X:\"=\"\\\\??\\\\C:" + escaped + "\"\r\n\"Y:\"=\"\\\\??\\\\X:\\\\sub\"");

    EXPECT_EQ(Path<wchar_t>::GetPathRoot(L"x:\\m\\a.kvl"), L"X:");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(L"X:\\m\\a.kvl"), work + L"\\m\\a.kvl");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(L"Y:\\a.kvl"), work + L"\\sub\\a.kvl");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(L"Y:\\"), work + L"\\sub\\");

    // An ordinary volume and a relative path come back unchanged.
    const std::wstring onC = work + L"\\m\\a.kvl";
    EXPECT_EQ(Path<wchar_t>::GetPathRoot(onC), L"C:");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(onC), onC);
    EXPECT_EQ(Path<wchar_t>::GetFullPath(L"m\\a.kvl"), L"m\\a.kvl");
}

TEST(GetFullPathTest, UnknownDriveLoopOrMissingRootAreLogged) {
    zrtest::ScopedTempDir dir;
    const std::wstring share = L"\\\\server\\share\\m\\a.kvl";
    EXPECT_EQ(Path<wchar_t>::GetPathRoot(share), L"");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(share), share) << "no drive root: falls back and stays unchanged";
    {
        ScopedRegistry registry("\"P:\"=\"\\\\??\\\\Q:\\\\a\"\r\n\"Q:\"=\"\\\\??\\\\P:\\\\b\"");
        EXPECT_EQ(Path<wchar_t>::GetFullPath(L"P:\\x"), L"") << "substitution loop";
        // A drive nobody mapped has no volume, as on Windows: the path stays as given.
        EXPECT_EQ(Path<wchar_t>::GetPathRoot(L"r:\\nowhere\\a.kvl"), L"");
        EXPECT_EQ(Path<wchar_t>::GetFullPath(L"r:\\nowhere\\a.kvl"), L"r:\\nowhere\\a.kvl") << "unknown drive";
    }
    EXPECT_EQ(utiltest::CountStartingWith("Utils_Path::Path<wchar_t>::GetPathRoot: [E] GetVolumePathName(\\\\server\\share\\m\\a.kvl) failed:"),
              2u);
    EXPECT_EQ(utiltest::CountLines("Utils_Path::Path<wchar_t>::GetFullPath: [W] Could not GetPathRoot, deduced path root: "),
              2u);
    EXPECT_EQ(utiltest::CountStartingWith("Utils_Path::Path<wchar_t>::GetFullPath: [E] Substituted drives form a loop for path: "),
              1u);
    EXPECT_EQ(utiltest::CountStartingWith("Utils_Path::Path<wchar_t>::GetPathRoot: [E] GetVolumePathName(r:\\nowhere\\a.kvl) failed:2"),
              2u);
}

}  // namespace
