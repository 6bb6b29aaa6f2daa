// The .reg export file behind the layer's registry: its parsed form and the
// parser ("Windows Registry Editor Version 5.00", [HKEY_LOCAL_MACHINE\...]
// sections, "name"=value lines with continuations).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "advapi32/registry_store.h"
#include "core/text.h"

namespace zrwin {

struct KeyData {
    std::vector<RegistryValue> values;
    std::unordered_map<std::wstring, size_t> index;  // folded name -> values[i]

    void Set(RegistryValue value) {
        std::wstring folded = FoldCase(value.name);
        auto found = index.find(folded);
        if (found != index.end()) {
            values[found->second] = std::move(value);
        } else {
            index.emplace(std::move(folded), values.size());
            values.push_back(std::move(value));
        }
    }
    const RegistryValue* Find(const std::wstring& name) const {
        auto found = index.find(FoldCase(name));
        return found == index.end() ? nullptr : &values[found->second];
    }
};

struct RegistryData {
    std::unordered_map<std::wstring, KeyData> keys;  // folded path relative to HKLM; L"" is the root

    const KeyData* Find(const std::wstring& foldedPath) const {
        auto found = keys.find(foldedPath);
        return found == keys.end() ? nullptr : &found->second;
    }
};

// Drops empty components and folds case, so "A\\B\\" and "a\\\\b" name the same key.
std::wstring NormalizeKeyPath(const std::wstring& path);

// Adds the keys and values of a .reg file's bytes (UTF-16LE or UTF-8, with or
// without a byte-order mark) to `out`; lines it cannot read are reported on
// stderr with `fileName` and skipped.
void ParseRegistryFile(std::string bytes, const std::string& fileName, RegistryData& out);

}  // namespace zrwin
