#include "util/PathUtils.h"

#include <cwchar>

#include "log/Log.h"
#include "platform/platform.h"

namespace {
constexpr wchar_t kSeparator = L'\\';

template <class Text>
Text Abbreviate(const Text& text, size_t n) {
    if (text.size() <= n) {
        return text;
    }
    const size_t half = n >= 3 ? (n - 3) / 2 : 0;
    Text result = text.substr(0, half);
    result.push_back('.');
    result.push_back('.');
    result.append(text, text.size() - half, half);
    return result;
}
}  // namespace

std::wstring GetFileNamePart(const std::wstring& path) {
    const size_t slash = path.rfind(kSeparator);
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring GetFileNameWithoutExtension(const std::wstring& path) {
    std::wstring name = GetFileNamePart(path);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring GetDirectoryPart(const std::wstring& path) {
    const size_t slash = path.rfind(kSeparator);
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring CombinePath(const std::wstring& folder, const std::wstring& name) {
    std::wstring result = folder;
    if (!result.empty() && result.back() != kSeparator) {
        result.push_back(kSeparator);
    }
    const size_t first = name.find_first_not_of(kSeparator);
    if (first != std::wstring::npos) {
        result.append(name, first, std::wstring::npos);
    }
    return result;
}

std::string AbbreviateForLog(const std::string& text, size_t n) {
    return Abbreviate(text, n);
}

std::wstring AbbreviateForLog(const std::wstring& text, size_t n) {
    return Abbreviate(text, n);
}

namespace Utils_Path {

namespace {

// "X:..." : the first ':' of the text is its second character.
bool IsDriveForm(const std::wstring& text) {
    return text.find(L':') == 1;
}

std::wstring DriveRootOf(const std::wstring& text) {
    std::wstring root = text.substr(0, 2);
    if (root[0] >= L'a' && root[0] <= L'z') {
        root[0] = static_cast<wchar_t>(root[0] - L'a' + L'A');
    }
    return root;
}

// Each step of a chain of substituted drives names another drive; more steps
// than there are drive letters means the substitutions form a loop.
constexpr int kMaxSubstitutionDepth = 26;

std::wstring FullPath(const std::wstring& path, int depth) {
    std::wstring root = Path<wchar_t>::GetPathRoot(path);
    if (root.empty()) {
        wchar_t drives[109] = {};
        DWORD length = GetLogicalDriveStringsW(109, drives);
        if (IsDriveForm(path)) {
            const std::wstring own = DriveRootOf(path);
            if (length > 0 && length < 109) {
                for (const wchar_t* drive = drives; *drive != L'\0'; drive += std::wcslen(drive) + 1) {
                    if (std::wstring(drive).compare(0, 2, own) == 0) {
                        root = own;
                        break;
                    }
                }
            }
        }
        Log(LOG_WARNING, "Utils_Path::Path<wchar_t>::GetFullPath: [W] Could not GetPathRoot, deduced path root: %ws",
            root.c_str());
    }
    if (!IsDriveForm(root)) {
        return path;
    }
    wchar_t device[260] = {};
    if (QueryDosDeviceW(root.c_str(), device, 260) == 0) {
        Log(LOG_ERROR, "Utils_Path::Path<wchar_t>::GetFullPath: [E] Could not query real volume for path: %ws",
            root.c_str());
        return std::wstring();
    }
    const std::wstring deviceName(device);
    const std::wstring marker = L"\\??\\";
    const size_t at = deviceName.find(marker);
    if (at == std::wstring::npos) {
        return path;  // an ordinary volume
    }
    if (depth >= kMaxSubstitutionDepth) {
        Log(LOG_ERROR, "Utils_Path::Path<wchar_t>::GetFullPath: [E] Substituted drives form a loop for path: %ws",
            path.c_str());
        return std::wstring();
    }
    const std::wstring target = deviceName.substr(at + marker.size());
    const std::wstring rest = path.size() > 3 ? path.substr(3) : std::wstring();
    return FullPath(CombinePath(target, rest), depth + 1);
}

}  // namespace

std::wstring Path<wchar_t>::GetPathRoot(const std::wstring& path) {
    wchar_t volume[5] = {};
    if (!GetVolumePathNameW(path.c_str(), volume, 5)) {
        Log(LOG_ERROR, "Utils_Path::Path<wchar_t>::GetPathRoot: [E] GetVolumePathName(%ws) failed:%d", path.c_str(),
            static_cast<int>(GetLastError()));
        return std::wstring();
    }
    const std::wstring volumePath(volume);
    return IsDriveForm(volumePath) ? DriveRootOf(volumePath) : std::wstring();
}

std::wstring Path<wchar_t>::GetFullPath(const std::wstring& path) {
    return FullPath(path, 0);
}

}  // namespace Utils_Path
