// The version resource stamped by the build, read back like Windows' own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "SystemTestSupport.h"
#include "support/TestSupport.h"

namespace {

using systemtest::WindowsPath;

struct VersionBlock {
    explicit VersionBlock(const std::wstring& file) {
        DWORD handle = 1;
        DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
        error = GetLastError();
        EXPECT_EQ(handle, 0u);
        data.resize(size);
        ok = size && GetFileVersionInfoW(file.c_str(), 0, size, data.data());
    }
    std::wstring String(const std::wstring& query) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data.data(), query.c_str(), &value, &length)) return L"<missing>";
        std::wstring text(static_cast<const wchar_t*>(value));
        EXPECT_EQ(length, text.size() + 1);
        return text;
    }
    std::vector<BYTE> Raw(const std::wstring& query) {
        LPVOID value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data.data(), query.c_str(), &value, &length)) return {};
        return std::vector<BYTE>(static_cast<const BYTE*>(value), static_cast<const BYTE*>(value) + length);
    }
    std::vector<BYTE> data;
    bool ok = false;
    DWORD error = 0;
};

TEST(VersionResource, StampedLibrary) {
    VersionBlock block(WindowsPath(ZR_SYSTEM_FIXTURE));
    ASSERT_TRUE(block.ok);
    EXPECT_EQ(block.Raw(L"\\VarFileInfo\\Translation"), (std::vector<BYTE>{0x09, 0x04, 0xB0, 0x04}));
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904B0\\productversion"), L"1.2.3.4");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\ProductName"), L"zrmodproc");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040904b0\\NoSuchValue"), L"<missing>");
    EXPECT_EQ(block.String(L"\\StringFileInfo\\040704b0\\FileVersion"), L"<missing>");

    std::vector<BYTE> raw = block.Raw(L"\\");
    ASSERT_EQ(raw.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, raw.data(), sizeof fixed);
    EXPECT_EQ(std::tuple(fixed.dwSignature, fixed.dwFileVersionMS, fixed.dwFileVersionLS, fixed.dwProductVersionMS),
              std::tuple(0xFEEF04BDu, 0x00010002u, 0x00030004u, 0x00010002u));
}

TEST(VersionResource, TheLayerItselfCarriesTheProjectVersion) {
    // Built-in system DLLs live in the layer's library.
    wchar_t file[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(GetModuleHandleW(L"kernel32.dll"), file, MAX_PATH), 0u);
    VersionBlock block(file);
    ASSERT_TRUE(block.ok) << block.error;
    std::wstring version = block.String(L"\\StringFileInfo\\040904b0\\FileVersion");
    EXPECT_NE(version, L"<missing>");
    EXPECT_EQ(std::count(version.begin(), version.end(), L'.'), 3);
}

TEST(VersionResource, FilesWithoutAStamp) {
    zrtest::ScopedTempDir dir;
    std::ofstream("plain.txt") << "no version here\n";
    wchar_t self[MAX_PATH] = {};  // a real ELF program that nobody stamped: this test program
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::pair<std::wstring, DWORD> cases[] = {
        {L"plain.txt", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {self, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {L"missing.dll", ERROR_FILE_NOT_FOUND},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        VersionBlock block(cases[i].first);
        EXPECT_FALSE(block.ok) << "case " << i;
        EXPECT_EQ(block.error, cases[i].second) << "case " << i;
    }
    BYTE small[8] = {};
    EXPECT_FAILS_WITH(GetFileVersionInfoW(WindowsPath(ZR_SYSTEM_FIXTURE).c_str(), 0, sizeof small, small),
                      FALSE, ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace
