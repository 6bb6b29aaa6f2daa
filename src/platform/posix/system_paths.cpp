// Path mapping for the loader and the version reader.
#include "internal/system_paths.h"

#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace zrwin {

bool MapToPosix(const std::wstring& windowsPath, std::string& posixPath) {
    if (&WindowsToPosixPath) return WindowsToPosixPath(windowsPath, posixPath);
    std::wstring path = windowsPath;
    if (path.size() >= 2 && path[1] == L':') {
        if (path[0] != L'C' && path[0] != L'c') {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        path = path.substr(2);
        if (path.empty()) path = L"\\";
    }
    for (wchar_t& c : path)
        if (c == L'\\') c = L'/';
    int size = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    posixPath.assign((size_t)size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, posixPath.data(), size, nullptr, nullptr);
    posixPath.resize((size_t)size - 1);
    return !posixPath.empty();
}

std::wstring MapToWindows(const std::string& posixPath) {
    if (&PosixToWindowsPath) return PosixToWindowsPath(posixPath);
    std::wstring wide;
    int size = MultiByteToWideChar(CP_UTF8, 0, posixPath.c_str(), -1, nullptr, 0);
    if (size > 0) {
        wide.assign((size_t)size, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, posixPath.c_str(), -1, wide.data(), size);
        wide.resize((size_t)size - 1);
    }
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    if (!wide.empty() && wide[0] == L'\\') wide = L"C:" + wide;
    return wide;
}

}  // namespace zrwin
