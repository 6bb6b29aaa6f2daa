// Windows paths to POSIX paths and back, through the drive table.
//
// "X:\a\b" maps through the drive table (C: is "/" unless configured; a
// substituted drive maps to its target folder); backslashes become slashes; a
// relative path stays relative to the current directory; a path that already
// begins with '/' is taken as a POSIX path. File-system names are UTF-8.
#pragma once

#include <string>

namespace zrwin {

// False, with the last error set (ERROR_PATH_NOT_FOUND for an unknown drive,
// ERROR_INVALID_NAME for an empty or malformed path), when it cannot map.
bool WindowsToPosixPath(const std::wstring& windowsPath, std::string& posixPath);

// The Windows form of a POSIX path ("/srv/x" -> "C:\srv\x" with the default
// table): the configured drive whose folder is the longest prefix.
std::wstring PosixToWindowsPath(const std::string& posixPath);

}  // namespace zrwin
