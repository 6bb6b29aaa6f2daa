// Built-in system DLLs of the POSIX layer. LoadLibrary of a system DLL name
// ("Kernel32.dll", "ntdll", "Crypt32.dll", ...) returns a built-in module whose
// exports GetProcAddress finds by name. Each DLL folder of the layer keeps the
// one list of its exports in its exports.cpp, the way a DLL's .def file would:
//
//   const zrwin::BuiltinExport kExports[] = {
//       ZRWIN_EXPORT(GetThreadId),
//       ZRWIN_EXPORT_AS("K32EnumProcesses", EnumProcesses),
//   };
//   ZRWIN_REGISTER_BUILTIN("kernel32", kExports);
#pragma once

#include <cstddef>
#include <string>

namespace zrwin {

struct BuiltinExport {
    const char* name;
    void* proc;
};

// dllBaseName: the lower-case name without ".dll" ("kernel32", "ntdll",
// "crypt32", "imagehlp", "wintrust", "psapi", "oleaut32", "advapi32",
// "version", "user32"). Registering the same name twice adds to its exports.
bool RegisterBuiltinModule(const char* dllBaseName, const BuiltinExport* exports, size_t count);

// Whether a module of that base name has registered exports.
bool IsBuiltinModule(const std::string& dllBaseName);

// The registered export, or nullptr.
void* FindBuiltinExport(const std::string& dllBaseName, const std::string& exportName);

// What FreeLibrary does when the last reference to a built-in module goes, the
// way a DLL's detach gives back what it held. Runs outside the loader's lock;
// must be safe to run while other threads still call the module's exports
// (they may have their own reference to a second name, or none at all).
using BuiltinDetach = void (*)();
bool RegisterBuiltinDetach(const char* dllBaseName, BuiltinDetach detach);
BuiltinDetach FindBuiltinDetach(const std::string& dllBaseName);

}  // namespace zrwin

#define ZRWIN_EXPORT_AS(name, function) ::zrwin::BuiltinExport{name, reinterpret_cast<void*>(&function)}
#define ZRWIN_EXPORT(function) ZRWIN_EXPORT_AS(#function, function)

#define ZRWIN_REGISTER_BUILTIN_CAT2(a, b) a##b
#define ZRWIN_REGISTER_BUILTIN_CAT(a, b) ZRWIN_REGISTER_BUILTIN_CAT2(a, b)
#define ZRWIN_REGISTER_BUILTIN_DETACH(dll, detach)                                               \
    static const bool ZRWIN_REGISTER_BUILTIN_CAT(zrwin_builtin_detach_registered_, __LINE__) = \
        ::zrwin::RegisterBuiltinDetach(dll, detach)
#define ZRWIN_REGISTER_BUILTIN(dll, exports)                                              \
    static const bool ZRWIN_REGISTER_BUILTIN_CAT(zrwin_builtin_registered_, __LINE__) = \
        ::zrwin::RegisterBuiltinModule(dll, exports, sizeof(exports) / sizeof((exports)[0]))
