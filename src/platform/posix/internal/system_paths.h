// Path mapping as the loader and the version reader use it: through the
// drive table (internal/paths.h), with a plain fallback (C: is "/",
// backslashes become slashes) while no drive table is linked into the layer.
#pragma once

#include <string>

#include "internal/paths.h"

namespace zrwin {
bool WindowsToPosixPath(const std::wstring& windowsPath, std::string& posixPath) __attribute__((weak));
std::wstring PosixToWindowsPath(const std::string& posixPath) __attribute__((weak));

// False with the last error set when the path cannot be mapped.
bool MapToPosix(const std::wstring& windowsPath, std::string& posixPath);
std::wstring MapToWindows(const std::string& posixPath);
}  // namespace zrwin
