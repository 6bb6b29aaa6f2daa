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
    DWORD type = 0;                // REG_*
    std::wstring text;             // REG_SZ / REG_EXPAND_SZ: the text; REG_MULTI_SZ: each string followed by L'\0'
    std::vector<uint8_t> bytes;    // every other type: the raw data
};

// Key paths are relative to HKEY_LOCAL_MACHINE ("SOFTWARE\\zrwin\\Drives"),
// compared without regard to case.
bool RegistryKeyExists(const std::wstring& keyPath);
bool RegistryLookupValue(const std::wstring& keyPath, const std::wstring& valueName, RegistryValue& value);
// All values of a key in file order; empty when the key is missing.
std::vector<RegistryValue> RegistryKeyValues(const std::wstring& keyPath);

}  // namespace zrwin
