// The loader: built-in system DLLs, real libraries by path, failures.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "SystemTestSupport.h"
#include "support/TestSupport.h"

namespace {

using zrtest::FailsWith;
using systemtest::WindowsPath;

std::string FixtureName() {
    std::string path = ZR_SYSTEM_FIXTURE;
    return path.substr(path.rfind('/') + 1);
}

TEST(Loader, SystemDllsResolveInAnyCaseAndCountTheirReferences) {
    HMODULE a = LoadLibraryA("Kernel32.dll"), ntdll = LoadLibraryA("ntdll.dll"), imagehlp = LoadLibraryA("Imagehlp");
    ASSERT_TRUE(a && ntdll && imagehlp);
    EXPECT_EQ(LoadLibraryA("KERNEL32"), a);
    EXPECT_EQ(LoadLibraryW(L"kernel32.DLL"), a);
    EXPECT_EQ(std::set<HMODULE>({a, ntdll, imagehlp}).size(), 3u);  // three distinct libraries
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(a, "GetVersionExA")), reinterpret_cast<void*>(&GetVersionExA));
    EXPECT_FAILS_WITH(GetProcAddress(a, "NoSuchExportAnywhere"), nullptr, ERROR_PROC_NOT_FOUND);
    for (HMODULE module : {a, a, a, ntdll, imagehlp}) EXPECT_TRUE(FreeLibrary(module));
    EXPECT_NE(GetModuleHandleW(L"kernel32.dll"), nullptr) << "kernel32 is in every process";

    EXPECT_FAILS_WITH(GetModuleHandleW(L"version.dll"), nullptr, ERROR_MOD_NOT_FOUND);
    HMODULE first = LoadLibraryA("Version.dll"), second = LoadLibraryA("version");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"VERSION.DLL"), first);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleW(L"version"), first);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(GetModuleHandleW(L"version.dll"), nullptr);
    EXPECT_FAILS_WITH(FreeLibrary(second), FALSE, ERROR_MOD_NOT_FOUND);
}

TEST(Loader, RealLibraryByWindowsPathAndByRelativePath) {
    HMODULE module = LoadLibraryW(WindowsPath(ZR_SYSTEM_FIXTURE).c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "ZrFixtureAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_FAILS_WITH(GetProcAddress(module, "ZrFixtureMissing"), nullptr, ERROR_PROC_NOT_FOUND);
    wchar_t name[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
    EXPECT_EQ(std::wstring(name, length), WindowsPath(ZR_SYSTEM_FIXTURE));
    const std::string fixture = FixtureName();
    EXPECT_EQ(GetModuleHandleW(std::wstring(fixture.begin(), fixture.end()).c_str()), module);

    // A bare name is opened in the current directory, not searched for.
    std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(ZR_SYSTEM_FIXTURE_DIR);
    HMODULE relative = LoadLibraryA(FixtureName().c_str());
    std::filesystem::current_path(previous);
    ASSERT_NE(relative, nullptr) << GetLastError();
    EXPECT_EQ(relative, module);

    EXPECT_TRUE(FreeLibrary(relative));
    EXPECT_NE(GetProcAddress(module, "ZrFixtureDouble"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FAILS_WITH(FreeLibrary(module), FALSE, ERROR_MOD_NOT_FOUND);
}

// The host loads "0.kvl" relative to wherever the module lives; a library of
// the same name already loaded from another folder must not be handed back.
TEST(Loader, SameRelativeNameInAnotherFolderIsAnotherLibrary) {
    zrtest::ScopedTempDir first;
    std::filesystem::copy_file(ZR_SYSTEM_FIXTURE, first.File("0.kvl"));
    HMODULE a = LoadLibraryW(L"0.kvl");
    ASSERT_NE(a, nullptr) << GetLastError();
    {
        zrtest::ScopedTempDir second;
        std::filesystem::copy_file(ZR_SYSTEM_FIXTURE, second.File("0.kvl"));
        HMODULE b = LoadLibraryW(L"0.kvl");
        ASSERT_NE(b, nullptr) << GetLastError();
        EXPECT_NE(a, b);
        EXPECT_TRUE(FreeLibrary(b));
    }
    EXPECT_TRUE(FreeLibrary(a));
}

TEST(Loader, MissingAndMalformedFiles) {
    zrtest::ScopedTempDir dir;
    std::ofstream("empty.dll").close();
    std::ofstream("text.dll") << "this is not a library\n";
    const struct {
        const wchar_t* name;
        DWORD error;
    } cases[] = {
        {L"nodir\\missing.dll", ERROR_MOD_NOT_FOUND},
        {L"Q:\\unmapped\\drive.dll", ERROR_MOD_NOT_FOUND},
        {L"libc.so.6", ERROR_MOD_NOT_FOUND},  // on the library path, but not in this folder
        {L"empty.dll", ERROR_BAD_EXE_FORMAT},
        {L".\\text.dll", ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        std::string narrow(c.name, c.name + std::wcslen(c.name));
        EXPECT_TRUE(FailsWith(c.error, [&] { return LoadLibraryW(c.name); })) << narrow;
        EXPECT_TRUE(FailsWith(c.error, [&] { return LoadLibraryA(narrow.c_str()); })) << narrow;
    }
}

TEST(Loader, ModuleFileNameOfProgramAndTruncation) {
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, full, MAX_PATH);
    ASSERT_GT(length, 3u);
    EXPECT_EQ(full[length], L'\0');
    EXPECT_EQ(std::wstring(full).substr(0, 3), L"C:\\");
    EXPECT_NE(std::wstring(full).find(L"platform_system_tests"), std::wstring::npos);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);

    wchar_t small[8];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 8), 8u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::wstring(small), std::wstring(full, 7));
    char narrow[MAX_PATH] = {};
    EXPECT_EQ(GetModuleFileNameA(nullptr, narrow, MAX_PATH), length);
}

TEST(Loader, FileNameFromAnAddressInsideALibraryLoadedElsewhere) {
    void* dl = dlopen(ZR_SYSTEM_FIXTURE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(dl, nullptr);
    void* symbol = dlsym(dl, "ZrFixtureAnswer");
    ASSERT_NE(symbol, nullptr);
    wchar_t name[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(symbol), name, MAX_PATH);
    EXPECT_EQ(std::wstring(name, length), WindowsPath(ZR_SYSTEM_FIXTURE));
    // Its load address works as a module handle for exports too.
    Dl_info info{};
    ASSERT_NE(dladdr(symbol, &info), 0);
    auto twice = reinterpret_cast<int (*)(int)>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(info.dli_fbase), "ZrFixtureDouble")));
    ASSERT_NE(twice, nullptr);
    EXPECT_EQ(twice(21), 42);
    dlclose(dl);
}

}  // namespace
