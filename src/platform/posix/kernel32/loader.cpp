// Libraries: system DLL names resolve to the layer's built-in modules; any
// other name is a path, mapped through the drive table and opened with dlopen.
//
// An HMODULE of a dlopen'ed library is its load address (where its ELF header
// is mapped), as a Windows HMODULE is the image base; GetModuleFileName and
// GetProcAddress therefore also accept the base of a library loaded some other
// way, and GetModuleFileName any address inside one.
#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/builtin_modules.h"
#include "kernel32/loader_state.h"
#include "kernel32/paths.h"
#include "zrwin/loader.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace zrwin::loader {

namespace {

// The system DLLs the product binds at run time: each gets a handle of its
// own even before any part of the layer registers exports for it.
const char* const kSystemDlls[] = {"ntdll",    "kernel32", "psapi",   "crypt32", "imagehlp", "wintrust",
                                   "advapi32", "version",  "oleaut32", "user32"};
constexpr size_t kMaxBuiltins = 32;

struct alignas(16) BuiltinSlot {
    char marker;  // only the address matters
};
BuiltinSlot g_builtinSlots[kMaxBuiltins];

}  // namespace

// Held around dlopen, dlclose and reading the loader's records, like the
// Windows loader lock: a library constructor may itself load libraries on
// the same thread, hence recursive.
std::recursive_mutex& DlLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

LoaderState& State() {
    static LoaderState* state = new LoaderState;  // used from other static destructors; never destroyed
    return *state;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return text;
}

std::string Narrow(const std::wstring& wide) {
    std::string out;
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return out;
    out.resize((size_t)size);
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), size, nullptr, nullptr);
    out.resize((size_t)size - 1);
    return out;
}

std::wstring Widen(const char* text, UINT codePage) {
    std::wstring out;
    int size = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (size <= 0) return out;
    out.resize((size_t)size);
    MultiByteToWideChar(codePage, 0, text, -1, out.data(), size);
    out.resize((size_t)size - 1);
    return out;
}

// The built-in base name ("kernel32") of a system DLL name, or empty when the
// name is a path or no system DLL.
std::string BuiltinName(const std::wstring& name) {
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) return {};
    std::string base = Lower(Narrow(name));
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) base.resize(base.size() - 4);
    if (!base.empty() && base.back() == '.') base.pop_back();
    for (const char* known : kSystemDlls)
        if (base == known) return base;
    return zrwin::IsBuiltinModule(base) ? base : std::string();
}

// Slot index of a built-in name, creating it; caller holds the lock.
long BuiltinSlotOf(LoaderState& state, const std::string& name, bool create) {
    if (state.builtins.empty()) {
        for (const char* known : kSystemDlls) state.builtins.push_back(BuiltinState{known, 0});
    }
    for (size_t i = 0; i < state.builtins.size(); ++i)
        if (state.builtins[i].name == name) return (long)i;
    if (!create || state.builtins.size() >= kMaxBuiltins) return -1;
    state.builtins.push_back(BuiltinState{name, 0});
    return (long)state.builtins.size() - 1;
}

long SlotOfHandle(HMODULE module) {
    auto address = reinterpret_cast<uintptr_t>(module);
    auto first = reinterpret_cast<uintptr_t>(&g_builtinSlots[0]);
    auto last = reinterpret_cast<uintptr_t>(&g_builtinSlots[kMaxBuiltins - 1]);
    if (address < first || address > last) return -1;
    return (long)((address - first) / sizeof(BuiltinSlot));
}

HMODULE HandleOfSlot(long slot) { return reinterpret_cast<HMODULE>(&g_builtinSlots[slot]); }

// Where a loaded object's ELF header is mapped.
struct BaseQuery {
    uintptr_t loadBias;
    uintptr_t base;
    bool mainProgram;
};

int FindBase(struct dl_phdr_info* info, size_t, void* data) {
    auto* query = static_cast<BaseQuery*>(data);
    bool wanted = query->mainProgram ? true : info->dlpi_addr == query->loadBias;
    if (!wanted) return 0;
    uintptr_t lowest = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; ++i)
        if (info->dlpi_phdr[i].p_type == PT_LOAD) lowest = std::min<uintptr_t>(lowest, info->dlpi_phdr[i].p_vaddr);
    if (lowest == UINTPTR_MAX) return 0;
    query->base = info->dlpi_addr + (lowest & ~(uintptr_t)(getpagesize() - 1));
    return 1;
}

uintptr_t BaseOfDlHandle(void* dl) {
    struct link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) return 0;
    BaseQuery query{map->l_addr, 0, false};
    dl_iterate_phdr(&FindBase, &query);
    return query.base;
}

uintptr_t MainProgramBase() {
    BaseQuery query{0, 0, true};
    dl_iterate_phdr(&FindBase, &query);  // the first object reported is the program
    return query.base;
}

// Absolute and without "." or "..", but symbolic links kept, as the name was
// given.
std::string Absolute(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return path;
    return absolute.lexically_normal().string();
}

HMODULE LoadPath(const std::wstring& name) {
    std::string path;
    if (!zrwin::WindowsToPosixPath(name, path)) {
        // An unknown drive or a malformed name: nothing to load there.
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A relative name means the current directory. dlopen is given the
    // absolute path: it searches the library path for a bare name, and it
    // takes an already loaded library whose name matches the string, so a
    // relative name would find a library of the same name loaded from
    // another directory.
    if (path.empty() || path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        path = std::string(cwd) + "/" + path;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (S_ISDIR(info.st_mode) || access(path.c_str(), R_OK) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode) || info.st_size == 0) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> dlGuard(DlLock());
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        const char* why = dlerror();
        std::string reason = why ? why : "";
        // The file exists, so a missing file named in the error is a
        // dependency (Windows: module not found), an undefined symbol is an
        // import that does not resolve (procedure not found).
        if (reason.find("cannot open shared object file") != std::string::npos)
            SetLastError(ERROR_MOD_NOT_FOUND);
        else if (reason.find("undefined symbol") != std::string::npos)
            SetLastError(ERROR_PROC_NOT_FOUND);
        else
            SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    uintptr_t base = BaseOfDlHandle(dl);
    if (!base) {
        dlclose(dl);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    auto& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto& entry = state.libraries[base];
    if (entry.references == 0) {
        entry.dl = dl;
        entry.path = Absolute(path);
    } else {
        dlclose(dl);  // the loader already holds it; one dlopen per record
    }
    ++entry.references;
    return reinterpret_cast<HMODULE>(base);
}

HMODULE Load(const std::wstring& name) {
    if (name.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string builtin = BuiltinName(name);
    if (!builtin.empty()) {
        auto& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        long slot = BuiltinSlotOf(state, builtin, true);
        if (slot < 0) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        ++state.builtins[(size_t)slot].references;
        return HandleOfSlot(slot);
    }
    return LoadPath(name);
}

}  // namespace zrwin::loader

using namespace zrwin::loader;

ZRWINAPI HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Load(name);
}

ZRWINAPI HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Load(Widen(name, CP_ACP));
}

ZRWINAPI FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    if (!name || (reinterpret_cast<uintptr_t>(name) >> 16) == 0) {
        // Exports by ordinal do not exist in the layer.
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* proc = nullptr;
    long slot = module ? SlotOfHandle(module) : -1;
    if (slot >= 0) {
        std::string builtin;
        {
            auto& state = State();
            std::lock_guard<std::mutex> guard(state.lock);
            if ((size_t)slot >= state.builtins.size()) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            builtin = state.builtins[(size_t)slot].name;
        }
        proc = zrwin::FindBuiltinExport(builtin, name);
    } else if (!module || reinterpret_cast<uintptr_t>(module) == MainProgramBase()) {
        void* self = dlopen(nullptr, RTLD_NOW);
        if (self) {
            proc = dlsym(self, name);
            dlclose(self);
        }
    } else {
        void* dl = nullptr;
        {
            auto& state = State();
            std::lock_guard<std::mutex> guard(state.lock);
            auto found = state.libraries.find(reinterpret_cast<uintptr_t>(module));
            if (found != state.libraries.end()) dl = found->second.dl;
        }
        if (dl) {
            proc = dlsym(dl, name);
        } else {
            // A library the layer did not load: found through its base address.
            Dl_info info{};
            if (!dladdr(module, &info) || info.dli_fbase != static_cast<void*>(module) || !info.dli_fname) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            void* other = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
            if (other) {
                proc = dlsym(other, name);
                dlclose(other);
            }
        }
    }
    if (!proc) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(proc);
}

namespace {

BOOL FreeBuiltin(long slot) {
    auto& state = State();
    std::string detached;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if ((size_t)slot >= state.builtins.size() || state.builtins[(size_t)slot].references <= 0) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        auto& builtin = state.builtins[(size_t)slot];
        if (--builtin.references == 0) detached = builtin.name;
    }
    if (!detached.empty())
        if (zrwin::BuiltinDetach detach = zrwin::FindBuiltinDetach(detached)) detach();
    return TRUE;
}

}  // namespace

ZRWINAPI BOOL WINAPI FreeLibrary(HMODULE module) {
    long slot = module ? SlotOfHandle(module) : -1;
    if (slot >= 0) return FreeBuiltin(slot);
    auto& state = State();
    void* toClose = nullptr;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = state.libraries.find(reinterpret_cast<uintptr_t>(module));
        if (found == state.libraries.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        if (--found->second.references == 0) {
            toClose = found->second.dl;
            state.libraries.erase(found);
        }
    }
    // Outside the state lock: the library's destructors may load or free
    // libraries.
    if (toClose) {
        std::lock_guard<std::recursive_mutex> dlGuard(DlLock());
        dlclose(toClose);
    }
    return TRUE;
}
