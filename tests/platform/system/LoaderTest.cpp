// The loader: built-in system DLLs, real libraries by path, failures.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/TestSupport.h"
#include "zrwin/windows.h"

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string FixtureName() {
    std::string path = ZR_SYSTEM_FIXTURE;
    return path.substr(path.rfind('/') + 1);
}

// "/a/b" in the Windows form of the default drive table.
std::wstring WindowsFormOf(const std::string& posixPath) {
    std::wstring wide = L"C:" + Wide(posixPath);
    for (auto& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

TEST(Loader, SystemDllNamesResolveInAnyCaseWithOrWithoutExtension) {
    HMODULE a = LoadLibraryA("Kernel32.dll");
    HMODULE b = LoadLibraryA("KERNEL32");
    HMODULE c = LoadLibraryW(L"kernel32.DLL");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    HMODULE ntdll = LoadLibraryA("ntdll.dll");
    HMODULE imagehlp = LoadLibraryA("Imagehlp");
    ASSERT_NE(ntdll, nullptr);
    ASSERT_NE(imagehlp, nullptr);
    EXPECT_NE(ntdll, a);
    EXPECT_NE(imagehlp, a);
    EXPECT_NE(imagehlp, ntdll);

    FARPROC proc = GetProcAddress(a, "GetVersionExA");
    EXPECT_EQ(reinterpret_cast<void*>(proc), reinterpret_cast<void*>(&GetVersionExA));
    EXPECT_NE(GetProcAddress(a, "IsWow64Process"), nullptr);
    EXPECT_NE(GetProcAddress(a, "VerifyVersionInfoA"), nullptr);
    EXPECT_NE(GetProcAddress(a, "VerSetConditionMask"), nullptr);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(a, "NoSuchExportAnywhere"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_TRUE(FreeLibrary(c));
    EXPECT_TRUE(FreeLibrary(ntdll));
    EXPECT_TRUE(FreeLibrary(imagehlp));
}

TEST(Loader, BuiltinReferenceCountingAndModuleHandle) {
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("version.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    HMODULE first = LoadLibraryA("Version.dll");
    HMODULE second = LoadLibraryA("version");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetModuleHandleA("VERSION.DLL"), first);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleW(L"version"), first);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(GetModuleHandleA("version.dll"), nullptr);
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(second));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    // kernel32 is in every process.
    EXPECT_NE(GetModuleHandleA("kernel32.dll"), nullptr);
}

TEST(Loader, RealLibraryByWindowsPathAndByRelativePath) {
    HMODULE module = LoadLibraryW(WindowsFormOf(ZR_SYSTEM_FIXTURE).c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "ZrFixtureAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, "ZrFixtureMissing"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    wchar_t name[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
    EXPECT_EQ(std::wstring(name, length), WindowsFormOf(ZR_SYSTEM_FIXTURE));
    EXPECT_EQ(GetModuleHandleA(FixtureName().c_str()), module);

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
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST(Loader, BareNameIsNotSearchedOnTheLibraryPath) {
    zrtest::ScopedTempDir dir;
    // libc is on the library path, but not in this folder.
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("libc.so.6"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
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
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("nodir\\missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("Q:\\unmapped\\drive.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);

    { std::ofstream empty("empty.dll"); }
    { std::ofstream text("text.dll"); text << "this is not a library\n"; }
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("empty.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_EXE_FORMAT);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L".\\text.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_EXE_FORMAT);
}

TEST(Loader, ModuleFileNameOfProgramAndTruncation) {
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, full, MAX_PATH);
    ASSERT_GT(length, 3u);
    EXPECT_EQ(full[length], L'\0');
    EXPECT_EQ(std::wstring(full).substr(0, 3), L"C:\\");
    EXPECT_NE(std::wstring(full).find(L"platform_system_tests"), std::wstring::npos);
    EXPECT_EQ(GetModuleHandleW(nullptr), GetModuleHandleA(nullptr));

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
    EXPECT_EQ(std::wstring(name, length), WindowsFormOf(ZR_SYSTEM_FIXTURE));
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
