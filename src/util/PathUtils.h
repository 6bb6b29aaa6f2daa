// Path helpers on wide strings with the backslash as the only separator, drive
// resolution, and the abbreviation of long texts in log lines.
#pragma once

#include <string>

std::wstring GetFileNamePart(const std::wstring& path);
std::wstring GetFileNameWithoutExtension(const std::wstring& path);
std::wstring GetDirectoryPart(const std::wstring& path);
std::wstring CombinePath(const std::wstring& folder, const std::wstring& name);

// A text longer than n characters becomes its first (n-3)/2 characters, two
// full stops and its last (n-3)/2 characters.
std::string AbbreviateForLog(const std::string& text, size_t n);
std::wstring AbbreviateForLog(const std::wstring& text, size_t n);

namespace Utils_Path {

template <class CharT>
struct Path;

template <>
struct Path<wchar_t> {
    // The drive root ("C:") of the volume holding path, or empty.
    static std::wstring GetPathRoot(const std::wstring& path);
    // path with substituted drive letters resolved to the folders they stand for.
    static std::wstring GetFullPath(const std::wstring& path);
};

}  // namespace Utils_Path
