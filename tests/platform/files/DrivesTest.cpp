// Drives, substitutions and volume paths configured through the registry file.
#include <gtest/gtest.h>

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

    EXPECT_EQ(QueryDevice(L"X:"), std::wstring(L"\\??\\D:\\work\0\0", 13));
    EXPECT_EQ(QueryDevice(L"Y:"), std::wstring(L"\\??\\X:\\sub\0\0", 12));
    EXPECT_EQ(QueryDevice(L"c:"), std::wstring(L"\\Device\\HarddiskVolume1\0\0", 25));
    EXPECT_EQ(QueryDevice(L"D:"), std::wstring(L"\\Device\\HarddiskVolume2\0\0", 25));
    EXPECT_FAILS_WITH(QueryDevice(L"Q:"), L"", ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(QueryDevice(L"X:\\"), L"", ERROR_FILE_NOT_FOUND);
    wchar_t small[12];
    EXPECT_FAILS_WITH(QueryDosDeviceW(L"X:", small, 12), 0u, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FAILS_WITH(QueryDosDeviceW(nullptr, small, 12), 0u, ERROR_INVALID_PARAMETER);

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
    ASSERT_TRUE(GetVolumePathNameW(L"relative\\a.kvl", root, 5));
    EXPECT_STREQ(root, L"C:\\");
    EXPECT_FAILS_WITH(GetVolumePathNameW(L"\\\\server\\share\\m\\a.kvl", root, 5), FALSE, 53u /* BAD_NETPATH */);
    EXPECT_FAILS_WITH(GetVolumePathNameW(L"D:\\x", root, 3), FALSE, ERROR_FILENAME_EXCED_RANGE);

    // Inside D:'s folder relative and rooted paths are on D:.
    std::filesystem::current_path(dir.Path() / "ddrive/work");
    ASSERT_TRUE(GetVolumePathNameW(L"a.kvl", root, 5));
    EXPECT_STREQ(root, L"D:\\");
    { FileHandle rooted(Open(L"\\rooted.txt", GENERIC_WRITE, 0, CREATE_NEW)); }
    EXPECT_TRUE(filestest::Exists(dir.File("ddrive/rooted.txt")));
    std::filesystem::current_path(dir.Path());
}

// Only the serial number is served: a stable one per real drive, which a
// substituted drive shares with the drive it lives on.
TEST_F(Drives, VolumeSerialNumbers) {
    auto serialOf = [](const char* root) {
        DWORD serial = 0;
        return GetVolumeInformationA(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) ? serial : 0;
    };
    EXPECT_NE(serialOf("C:\\"), 0u);
    EXPECT_EQ(serialOf("C:\\"), serialOf("C:\\"));
    EXPECT_NE(serialOf("D:\\"), serialOf("C:\\"));
    EXPECT_EQ(serialOf("X:\\"), serialOf("D:\\"));
    DWORD serial = 0, component = 0;
    char fileSystem[32];
    EXPECT_FAILS_WITH(GetVolumeInformationA("Q:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0), FALSE,
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(GetVolumeInformationA("C:\\", nullptr, 0, &serial, &component, nullptr, nullptr, 0), FALSE,
                      ERROR_NOT_SUPPORTED);
    EXPECT_FAILS_WITH(GetVolumeInformationA("C:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 32), FALSE,
                      ERROR_NOT_SUPPORTED);
}

}  // namespace
