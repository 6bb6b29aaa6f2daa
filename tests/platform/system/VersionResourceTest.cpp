// The version resource stamped by the build, read back like Windows' own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "zrwin/windows.h"

namespace {

std::wstring WindowsPath(const std::string& posixPath) {
    std::wstring wide = L"C:" + std::wstring(posixPath.begin(), posixPath.end());
    for (auto& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

class VersionBlock {
public:
    explicit VersionBlock(const std::wstring& file) {
        DWORD handle = 1;
        DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
        error_ = GetLastError();
        EXPECT_EQ(handle, 0u);
        if (size == 0) return;
        data_.resize(size);
        ok_ = GetFileVersionInfoW(file.c_str(), 0, size, data_.data()) != FALSE;
    }
    bool ok() const { return ok_; }
    DWORD error() const { return error_; }
    std::wstring String(const std::wstring& query) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), query.c_str(), &value, &length)) return L"<missing>";
        auto* text = static_cast<const wchar_t*>(value);
        EXPECT_EQ(length, std::wstring(text).size() + 1);
        return text;
    }
    std::vector<BYTE> Raw(const std::wstring& query) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), query.c_str(), &value, &length)) return {};
        auto* bytes = static_cast<const BYTE*>(value);
        return std::vector<BYTE>(bytes, bytes + length);
    }

private:
    std::vector<BYTE> data_;
    bool ok_ = false;
    DWORD error_ = 0;
};

TEST(VersionResource, StampedLibrary) {
    VersionBlock block(WindowsPath(ZR_SYSTEM_FIXTURE));
    ASSERT_TRUE(block.ok());
    std::vector<BYTE> translation = block.Raw(L"\\VarFileInfo\\Translation");
    ASSERT_EQ(translation.size(), 4u);
    EXPECT_EQ(translation, (std::vector<BYTE>{0x09, 0x04, 0xB0, 0x04}));
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\FileVersion"), L"1.2.3.4");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904B0\\productversion"), L"1.2.3.4");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\ProductName"), L"zrmodproc");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\NoSuchValue"), L"<missing>");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040704b0\\FileVersion"), L"<missing>");

    std::vector<BYTE> raw = block.Raw(L"\\");
    ASSERT_EQ(raw.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, raw.data(), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010002u);
}

#ifdef ZR_SYSTEM_FIXTURE_NOFV
TEST(VersionResource, StampWithoutFileVersionString) {
    VersionBlock block(WindowsPath(ZR_SYSTEM_FIXTURE_NOFV));
    ASSERT_TRUE(block.ok());
    EXPECT_EQ(block.Raw(L"\\VarFileInfo\\Translation").size(), 4u);
    SetLastError(0);
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\FileVersion"), L"<missing>");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\ProductVersion"), L"5.6.7.8");
}
#endif

TEST(VersionResource, TheLayerItselfCarriesTheProjectVersion) {
    // Built-in system DLLs live in the layer's library.
    wchar_t file[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(GetModuleHandleA("kernel32.dll"), file, MAX_PATH), 0u);
    VersionBlock block(file);
    ASSERT_TRUE(block.ok()) << block.error();
    std::wstring version = block.String(L"\\StringFileInfo\\040904b0\\FileVersion");
    EXPECT_NE(version, L"<missing>");
    EXPECT_EQ(std::count(version.begin(), version.end(), L'.'), 3);
}

TEST(VersionResource, FilesWithoutAStamp) {
    zrtest::ScopedTempDir dir;
    { std::ofstream text("plain.txt"); text << "no version here\n"; }
    VersionBlock text(L"plain.txt");
    EXPECT_FALSE(text.ok());
    EXPECT_EQ(text.error(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);

    // A real ELF program that nobody stamped: this test program.
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    VersionBlock program(self);
    EXPECT_FALSE(program.ok());
    EXPECT_EQ(program.error(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);

    VersionBlock missing(L"missing.dll");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), (DWORD)ERROR_FILE_NOT_FOUND);

    BYTE small[8] = {};
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoW(WindowsPath(ZR_SYSTEM_FIXTURE).c_str(), 0, sizeof small, small));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace
