// Names of libraries: GetModuleHandle by name and GetModuleFileName of a
// handle or of any address inside a library.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "kernel32/loader_state.h"
#include "kernel32/paths.h"
#include "zrwin/loader.h"
#include "zrwin/sync.h"

namespace zrwin::loader {
namespace {

std::string SelfExe() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, (size_t)n);
}

std::string ZrwinLibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ZrwinLibraryPath), &info) && info.dli_fname && *info.dli_fname)
        return Absolute(info.dli_fname);
    return SelfExe();
}

// The file of a module handle, or empty (last error set).
std::string FileOfModule(HMODULE module) {
    if (!module) return SelfExe();
    auto address = reinterpret_cast<uintptr_t>(module);
    if (SlotOfHandle(module) >= 0) return ZrwinLibraryPath();
    {
        auto& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = state.libraries.find(address);
        if (found != state.libraries.end()) return found->second.path;
    }
    if (address == MainProgramBase()) return SelfExe();
    Dl_info info{};
    if (dladdr(module, &info) && info.dli_fname) {
        if (!*info.dli_fname || reinterpret_cast<uintptr_t>(info.dli_fbase) == MainProgramBase()) return SelfExe();
        return Absolute(info.dli_fname);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return {};
}

HMODULE ModuleHandle(const std::wstring* name) {
    if (!name) return reinterpret_cast<HMODULE>(MainProgramBase());
    std::string builtin = BuiltinName(*name);
    auto& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!builtin.empty()) {
        long slot = BuiltinSlotOf(state, builtin, false);
        // kernel32 and ntdll are in every process.
        bool always = builtin == "kernel32" || builtin == "ntdll";
        if (slot >= 0 && (always || state.builtins[(size_t)slot].references > 0)) return HandleOfSlot(slot);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string wanted = Narrow(*name);
    std::string posix;
    bool hasFolder = name->find_first_of(L"\\/:") != std::wstring::npos;
    if (hasFolder && zrwin::WindowsToPosixPath(*name, posix)) posix = Absolute(posix);
    for (auto& [base, library] : state.libraries) {
        if (hasFolder) {
            if (library.path == posix) return reinterpret_cast<HMODULE>(base);
            continue;
        }
        std::string file = library.path.substr(library.path.rfind('/') + 1);
        if (file == wanted || Lower(file) == Lower(wanted)) return reinterpret_cast<HMODULE>(base);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

template <typename Char>
DWORD CopyName(const std::basic_string<Char>& name, Char* out, DWORD size) {
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() >= size) {
        std::copy(name.begin(), name.begin() + (size - 1), out);
        out[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(name.begin(), name.end(), out);
    out[name.size()] = 0;
    return (DWORD)name.size();
}

// GetModuleFileNameA/W: the module's file as a Windows path; false when the
// buffer is missing (ERROR_INVALID_PARAMETER) or the module has no file.
bool ModulePath(HMODULE module, const void* fileName, DWORD size, std::wstring& path) {
    if (!fileName && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string file = FileOfModule(module);
    if (file.empty()) return false;
    path = zrwin::PosixToWindowsPath(file);
    return true;
}

}  // namespace
}  // namespace zrwin::loader

using namespace zrwin::loader;

ZRWINAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
    if (!name) return ModuleHandle(nullptr);
    std::wstring wide(name);
    return ModuleHandle(&wide);
}

ZRWINAPI DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::wstring path;
    if (!ModulePath(module, fileName, size, path)) return 0;
    return CopyName(path, fileName, size);
}

ZRWINAPI DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    std::wstring wide;
    if (!ModulePath(module, fileName, size, wide)) return 0;
    std::string ansi;
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, "?", nullptr);
    if (bytes > 0) {
        ansi.resize((size_t)bytes);
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, ansi.data(), bytes, "?", nullptr);
        ansi.resize((size_t)bytes - 1);
    }
    return CopyName(ansi, fileName, size);
}
