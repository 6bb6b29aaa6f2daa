// The loader's records, shared by the loading side (loader.cpp) and the
// naming side (module_names.cpp) of kernel32's libraries.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zrwin/windows.h"

namespace zrwin::loader {

struct BuiltinState {
    std::string name;
    long references = 0;
};

struct LoadedLibrary {
    void* dl = nullptr;
    std::string path;  // absolute POSIX path
    long references = 0;
};

struct LoaderState {
    std::mutex lock;
    std::vector<BuiltinState> builtins;  // index = slot
    std::map<uintptr_t, LoadedLibrary> libraries;  // by base address
};

// The records; `lock` guards them.
LoaderState& State();

std::string Lower(std::string text);
std::string Narrow(const std::wstring& wide);
std::wstring Widen(const char* text, UINT codePage);
// Absolute and without "." or "..", but symbolic links kept.
std::string Absolute(const std::string& path);

// The built-in base name ("kernel32") of a system DLL name, or empty when the
// name is a path or no system DLL.
std::string BuiltinName(const std::wstring& name);
// Slot index of a built-in name, creating it when asked; caller holds the lock.
long BuiltinSlotOf(LoaderState& state, const std::string& name, bool create);
// The slot of a built-in module's handle, or -1.
long SlotOfHandle(HMODULE module);
HMODULE HandleOfSlot(long slot);

// Where the program's ELF header is mapped: its HMODULE.
uintptr_t MainProgramBase();

}  // namespace zrwin::loader
