#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "LogLines.h"
#include "support/TestSupport.h"
#include "util/Conversions.h"
#include "util/PathUtils.h"

namespace {

using Utils_Path::Path;

TEST(PathPartsTest, SplitsAtTheLastBackslashOnly) {
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
}

TEST(PathPartsTest, CombinePathJoinsWithExactlyOneBackslash) {
    EXPECT_EQ(CombinePath(L"C:\\mods", L"a.kvl"), L"C:\\mods\\a.kvl");
    EXPECT_EQ(CombinePath(L"C:\\mods\\", L"a.kvl"), L"C:\\mods\\a.kvl");
    EXPECT_EQ(CombinePath(L"C:\\mods", L"\\\\a\\b.kvl"), L"C:\\mods\\a\\b.kvl");
    EXPECT_EQ(CombinePath(L"", L"\\a.kvl"), L"a.kvl");
    EXPECT_EQ(CombinePath(L"C:\\mods", L"\\\\"), L"C:\\mods\\");
    EXPECT_EQ(CombinePath(L"", L""), L"");
}

TEST(AbbreviateForLogTest, KeepsBothEndsOfLongTexts) {
    const std::string exact(40, 'x');
    EXPECT_EQ(AbbreviateForLog(exact, 40), exact);
    std::string text;
    for (int i = 0; i < 45; ++i) {
        text.push_back(static_cast<char>('A' + i % 26));
    }
    std::string shortened = AbbreviateForLog(text, 40);
    EXPECT_EQ(shortened.size(), 18u + 2u + 18u);
    EXPECT_EQ(shortened, text.substr(0, 18) + ".." + text.substr(45 - 18));
    EXPECT_EQ(AbbreviateForLog(std::string(1001, 'a'), 1000).size(), 498u + 2u + 498u);
    EXPECT_EQ(AbbreviateForLog(std::string(81, 'a'), 80).size(), 38u + 2u + 38u);

    std::wstring wide(101, L'\u00e9');
    wide[0] = L'S';
    wide[100] = L'E';
    std::wstring wideShort = AbbreviateForLog(wide, 100);
    EXPECT_EQ(wideShort.size(), 48u + 2u + 48u);
    EXPECT_EQ(wideShort.front(), L'S');
    EXPECT_EQ(wideShort.back(), L'E');
    EXPECT_EQ(wideShort.substr(48, 2), L"..");
    EXPECT_EQ(AbbreviateForLog(std::wstring(L"short"), 40), L"short");
}

// A registry file that substitutes drive letters, in force for the object's
// lifetime.
class ScopedRegistry {
public:
    ScopedRegistry(const std::string& file, const std::string& content) {
        std::ofstream(file, std::ios::binary) << content;
        const char* previous = std::getenv("ZRWIN_REGISTRY");
        hadPrevious_ = previous != nullptr;
        if (hadPrevious_) {
            previous_ = previous;
        }
        setenv("ZRWIN_REGISTRY", file.c_str(), 1);
    }
    ~ScopedRegistry() {
        if (hadPrevious_) {
            setenv("ZRWIN_REGISTRY", previous_.c_str(), 1);
        } else {
            unsetenv("ZRWIN_REGISTRY");
        }
    }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

private:
    bool hadPrevious_ = false;
    std::string previous_;
};

// "/tmp/x" as the Windows path "C:\tmp\x" (C: is the root by default).
std::wstring OnDriveC(const std::filesystem::path& posix) {
    std::wstring text = L"C:" + Utils_Conversions::Conversion::toWstring(posix.string(), CP_UTF8);
    for (auto& c : text) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return text;
}

std::string RegEscaped(const std::wstring& text) {
    std::string out;
    for (char c : Utils_Conversions::Conversion::toString(text, CP_UTF8)) {
        out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return out;
}

TEST(GetFullPathTest, FollowsSubstitutedDrivesToTheRealFolder) {
    zrtest::ScopedTempDir dir;
    std::filesystem::create_directories(dir.Path() / "work" / "m");
    std::filesystem::create_directories(dir.Path() / "work" / "sub");
    const std::wstring work = OnDriveC(dir.Path() / "work");
    ScopedRegistry registry(
        dir.File("test.reg"),
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices]\r\n"
        "\"X:\"=\"\\\\??\\\\" + RegEscaped(work) + "\"\r\n"
        "\"Y:\"=\"\\\\??\\\\X:\\\\sub\"\r\n");

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

TEST(GetFullPathTest, UnknownDriveGivesAnEmptyResult) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("empty.reg"), "Windows Registry Editor Version 5.00\r\n\r\n");
    EXPECT_EQ(Path<wchar_t>::GetPathRoot(L"q:\\nowhere\\a.kvl"), L"Q:");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(L"q:\\nowhere\\a.kvl"), L"");
    EXPECT_EQ(utiltest::CountLines(utiltest::LogMessages(),
                                   "Utils_Path::Path<wchar_t>::GetFullPath: [E] Could not query real volume for path: Q:"),
              1u);
}

TEST(GetFullPathTest, PathWithoutDriveRootFallsBackAndStaysUnchanged) {
    zrtest::ScopedTempDir dir;
    const std::wstring share = L"\\\\server\\share\\m\\a.kvl";
    EXPECT_EQ(Path<wchar_t>::GetPathRoot(share), L"");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(share), share);
    auto lines = utiltest::LogMessages();
    EXPECT_EQ(utiltest::CountStartingWith(
                  lines, "Utils_Path::Path<wchar_t>::GetPathRoot: [E] GetVolumePathName(\\\\server\\share\\m\\a.kvl) failed:"),
              2u);
    EXPECT_EQ(utiltest::CountLines(
                  lines, "Utils_Path::Path<wchar_t>::GetFullPath: [W] Could not GetPathRoot, deduced path root: "),
              1u);
}

TEST(GetFullPathTest, SubstitutionLoopEndsWithAnError) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("loop.reg"),
                            "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices]\r\n"
                            "\"P:\"=\"\\\\??\\\\Q:\\\\a\"\r\n"
                            "\"Q:\"=\"\\\\??\\\\P:\\\\b\"\r\n");
    EXPECT_EQ(Path<wchar_t>::GetFullPath(L"P:\\x"), L"");
    auto lines = utiltest::LogMessages();
    EXPECT_EQ(utiltest::CountStartingWith(
                  lines, "Utils_Path::Path<wchar_t>::GetFullPath: [E] Substituted drives form a loop for path: "),
              1u);
}

}  // namespace
