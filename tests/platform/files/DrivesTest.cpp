// Drives, substitutions and volume paths configured through the registry file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "FilesTestSupport.h"
#include "support/TestSupport.h"
#include "support/FailsWith.h"

using filestest::FileHandle;
using filestest::Open;

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\\' || ch == '"') out += '\\';
        out += ch;
    }
    return out;
}

// D: is a folder of the test directory; X: substitutes D:\work and Y: substitutes X:\sub.
std::string DriveRegistry(const zrtest::ScopedTempDir& dir, const std::string& extraDevices = "") {
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\zrwin\\Drives]\r\n"
           "\"D:\"=\"" + Escape(dir.File("ddrive")) + "\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices]\r\n"
           "\"AUX\"=\"\\\\DosDevices\\\\COM1\"\r\n"
           "\"X:\"=\"\\\\??\\\\D:\\\\work\"\r\n"
           "\"y:\"=\"\\\\??\\\\X:\\\\sub\"\r\n" + extraDevices;
}

// Each test runs in a fresh directory whose registry file maps the drives above (ddrive/work/sub made).
class Drives : public ::testing::Test {
protected:
    Drives() { std::filesystem::create_directories(dir.Path() / "ddrive/work/sub"); }
    zrtest::ScopedTempDir dir;
    filestest::ScopedRegistry registry{dir.File("drives.reg"), DriveRegistry(dir)};
};

// The characters QueryDosDeviceW reports, as many as it says it wrote.
std::wstring QueryDevice(const wchar_t* name) {
    std::vector<wchar_t> buffer(260, L'#');
    return std::wstring(buffer.data(), QueryDosDeviceW(name, buffer.data(), static_cast<DWORD>(buffer.size())));
}

TEST_F(Drives, SubstitutionsResolveThroughChains) {
    filestest::Put(L"y:\\a.kvl", "chain");
    EXPECT_EQ(filestest::ReadAll(dir.File("ddrive/work/sub/a.kvl")), "chain");
    EXPECT_NE(GetFileAttributesW(L"X:\\sub\\a.kvl"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(L"D:\\work\\sub\\a.kvl"), INVALID_FILE_ATTRIBUTES);

    EXPECT_EQ(QueryDevice(L"X:"), std::wstring(L"\\??\\D:\\work\0\0", 13));
    EXPECT_EQ(QueryDevice(L"Y:"), std::wstring(L"\\??\\X:\\sub\0\0", 12));
    EXPECT_EQ(QueryDevice(L"c:"), std::wstring(L"\\Device\\HarddiskVolume1\0\0", 25));
    EXPECT_EQ(QueryDevice(L"D:"), std::wstring(L"\\Device\\HarddiskVolume2\0\0", 25));
    EXPECT_FAILS_WITH(QueryDevice(L"Q:"), L"", ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(QueryDevice(L"X:\\"), L"", ERROR_FILE_NOT_FOUND);
    wchar_t small[12];
    EXPECT_FAILS_WITH(QueryDosDeviceW(L"X:", small, 12), 0u, ERROR_INSUFFICIENT_BUFFER);

    // The device entries that are not drives are not listed as drives.
    wchar_t drives[109];
    DWORD length = GetLogicalDriveStringsW(109, drives);
    EXPECT_EQ(std::wstring(drives, length + 1), std::wstring(L"C:\\\0D:\\\0X:\\\0Y:\\\0\0", 17));
    EXPECT_EQ(GetLogicalDriveStringsW(4, drives), 17u);

    // An unknown drive is a missing path; a loop of substitutions too.
    EXPECT_FAILS_WITH(Open(L"Q:\\a.kvl", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    filestest::ScopedRegistry loop(dir.File("loop.reg"),
                                   DriveRegistry(dir, "\"L:\"=\"\\\\??\\\\M:\\\\a\"\r\n\"M:\"=\"\\\\??\\\\L:\\\\b\"\r\n"));
    EXPECT_FAILS_WITH(Open(L"L:\\a.kvl", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
}

TEST_F(Drives, VolumePathNamesAndTheFiveCharacterBuffer) {
    wchar_t root[5];
    ASSERT_TRUE(GetVolumePathNameW(L"x:\\m\\a.kvl", root, 5));
    EXPECT_STREQ(root, L"X:\\");
    ASSERT_TRUE(GetVolumePathNameW(L"relative\\a.kvl", root, 5));
    EXPECT_STREQ(root, L"C:\\");
    EXPECT_FAILS_WITH(GetVolumePathNameW(L"\\\\server\\share\\m\\a.kvl", root, 5), FALSE, ERROR_FILENAME_EXCED_RANGE);
    wchar_t wide[64];
    ASSERT_TRUE(GetVolumePathNameW(L"\\\\server\\share\\m\\a.kvl", wide, 64));
    EXPECT_STREQ(wide, L"\\\\server\\share\\");
    EXPECT_FAILS_WITH(GetVolumePathNameW(L"D:\\x", root, 3), FALSE, ERROR_FILENAME_EXCED_RANGE);

    // Inside D:'s folder the current directory and relative paths are on D:.
    std::filesystem::current_path(dir.Path() / "ddrive/work");
    ASSERT_TRUE(GetVolumePathNameW(L"a.kvl", root, 5));
    EXPECT_STREQ(root, L"D:\\");
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    EXPECT_STREQ(current, L"D:\\work");
    { FileHandle rooted(Open(L"\\rooted.txt", GENERIC_WRITE, 0, CREATE_NEW)); }
    EXPECT_TRUE(filestest::Exists(dir.File("ddrive/rooted.txt")));
    std::filesystem::current_path(dir.Path());
}

TEST_F(Drives, VolumeInformation) {
    DWORD serial = 0, again = 1, component = 0, flags = 0;
    char fileSystem[32] = {};
    ASSERT_TRUE(GetVolumeInformationA("C:\\", nullptr, 0, &serial, &component, &flags, fileSystem, sizeof fileSystem));
    ASSERT_TRUE(GetVolumeInformationA("C:\\", nullptr, 0, &again, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(serial, again);
    EXPECT_GT(component, 0u);
    EXPECT_GT(std::strlen(fileSystem), 0u);
    DWORD other = 0, substituted = 0;
    ASSERT_TRUE(GetVolumeInformationA("D:\\", nullptr, 0, &other, nullptr, nullptr, nullptr, 0));
    EXPECT_NE(other, serial);
    // A substituted drive reports the volume it lives on.
    ASSERT_TRUE(GetVolumeInformationA("X:\\", nullptr, 0, &substituted, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(substituted, other);
    EXPECT_FAILS_WITH(GetVolumeInformationA("Q:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0), FALSE,
                      ERROR_PATH_NOT_FOUND);
}

}  // namespace
