// The read-only HKEY_LOCAL_MACHINE of the layer, loaded from a .reg export.
//
// The file is named by the environment variable ZRWIN_REGISTRY (default
// /etc/zrmodproc/registry.reg); a missing file is an empty registry. It is
// read again whenever the variable or the file's modification time changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zrwin/types.h"

namespace zrwin {

struct RegistryValue {
    std::wstring name;             // as written in the file; empty for the default value
    DWORD type = 0;                // REG_SZ or REG_DWORD when served
    bool served = true;            // false for the hex(...) forms: kept by name, never read
    std::wstring text;             // REG_SZ: the text
    std::vector<uint8_t> bytes;    // REG_DWORD: the four bytes
};

// Key paths are relative to HKEY_LOCAL_MACHINE ("SOFTWARE\\zrwin\\Drives"),
// compared without regard to case.
bool RegistryKeyExists(const std::wstring& keyPath);
bool RegistryLookupValue(const std::wstring& keyPath, const std::wstring& valueName, RegistryValue& value);
// All values of a key in file order; empty when the key is missing.
std::vector<RegistryValue> RegistryKeyValues(const std::wstring& keyPath);

}  // namespace zrwin
