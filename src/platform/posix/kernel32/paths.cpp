// Windows paths onto POSIX paths through the drive table, and back.
#include <unistd.h>

#include <algorithm>
#include <cwctype>

#include "core/status.h"
#include "kernel32/drive_table.h"
#include "core/text.h"
#include "kernel32/paths.h"
#include "advapi32/registry_store.h"
#include "zrwin/registry.h"
#include "zrwin/sync.h"

namespace zrwin {

const wchar_t* const kDrivesKey = L"SOFTWARE\\zrwin\\Drives";
const wchar_t* const kDosDevicesKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices";

namespace {

constexpr DWORD kErrorBadNetPath = 53;  // ERROR_BAD_NETPATH
constexpr int kMaxSubstitutionDepth = 16;

// "D:" (or "d:") names drive D; anything else is not a drive name.
bool DriveLetterOf(const std::wstring& name, wchar_t& letter) {
    if (name.size() != 2 || name[1] != L':') return false;
    wchar_t up = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(name[0])));
    if (up < L'A' || up > L'Z') return false;
    letter = up;
    return true;
}

bool IsText(const RegistryValue& value) { return value.served && value.type == REG_SZ; }

std::string TrimFolder(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

bool IsSeparator(wchar_t ch) { return ch == L'\\' || ch == L'/'; }

// The rest of a path with separators turned into slashes and leading ones dropped.
std::string RestToPosix(const std::wstring& rest) {
    size_t begin = 0;
    while (begin < rest.size() && IsSeparator(rest[begin])) ++begin;
    std::wstring converted = rest.substr(begin);
    std::replace(converted.begin(), converted.end(), L'\\', L'/');
    return WideToUtf8(converted);
}

std::string JoinFolder(const std::string& folder, const std::string& rest) {
    if (rest.empty()) return folder;
    if (folder == "/") return "/" + rest;
    return folder + "/" + rest;
}

bool HasInvalidCharacters(const std::wstring& path, size_t from) {
    for (size_t i = from; i < path.size(); ++i) {
        wchar_t ch = path[i];
        if (ch < 32 || ch == L'<' || ch == L'>' || ch == L'"' || ch == L'|' || ch == L'?' || ch == L'*' ||
            ch == L':')
            return true;
    }
    return false;
}


bool MapPath(const std::wstring& input, std::string& out, int depth) {
    if (depth > kMaxSubstitutionDepth) return FailWithError(ERROR_PATH_NOT_FOUND, false);
    if (input.empty()) return FailWithError(ERROR_INVALID_NAME, false);
    if (input[0] == L'/') {
        out = WideToUtf8(input);
        return true;
    }
    std::wstring path = input;
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\??\\", 0) == 0) {
        path = path.substr(4);
        if (path.size() >= 4 && FoldCase(path.substr(0, 4)) == L"UNC\\") return FailWithError(kErrorBadNetPath, false);
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return FailWithError(kErrorBadNetPath, false);
    wchar_t letter = 0;
    bool driveForm = path.size() >= 2 && DriveLetterOf(path.substr(0, 2), letter);
    if (HasInvalidCharacters(path, driveForm ? 2 : 0)) return FailWithError(ERROR_INVALID_NAME, false);
    if (!driveForm) {
        if (!path.empty() && IsSeparator(path[0])) {
            // Rooted on the current drive.
            return MapPath(std::wstring(1, CurrentDriveLetter()) + L":" + path, out, depth + 1);
        }
        out = RestToPosix(path);
        return true;
    }
    DriveEntry drive;
    if (!FindDrive(letter, drive)) return FailWithError(ERROR_PATH_NOT_FOUND, false);
    std::wstring rest = path.substr(2);
    if (!rest.empty() && !IsSeparator(rest[0]) && letter == CurrentDriveLetter()) {
        out = RestToPosix(rest);  // "C:name" is relative to the current directory of that drive
        return true;
    }
    if (!drive.substitution) {
        out = JoinFolder(drive.folder, RestToPosix(rest));
        return true;
    }
    std::wstring target = drive.device.substr(4);  // after "\??\"
    size_t begin = 0;
    while (begin < rest.size() && IsSeparator(rest[begin])) ++begin;
    if (begin < rest.size()) {
        if (target.empty() || !IsSeparator(target.back())) target += L'\\';
        target += rest.substr(begin);
    }
    return MapPath(target, out, depth + 1);
}

}  // namespace

std::vector<DriveEntry> CurrentDrives() {
    std::vector<DriveEntry> drives;
    auto has = [&drives](wchar_t letter) {
        return std::any_of(drives.begin(), drives.end(), [letter](const DriveEntry& d) { return d.letter == letter; });
    };
    for (const auto& value : RegistryKeyValues(kDrivesKey)) {
        wchar_t letter = 0;
        if (!DriveLetterOf(value.name, letter) || !IsText(value) || has(letter)) continue;
        std::string folder = WideToUtf8(value.text);
        if (folder.empty() || folder[0] != '/') continue;
        DriveEntry drive;
        drive.letter = letter;
        drive.folder = TrimFolder(folder);
        drives.push_back(drive);
    }
    if (!has(L'C')) {
        DriveEntry drive;
        drive.letter = L'C';
        drive.folder = "/";
        drives.push_back(drive);
    }
    std::sort(drives.begin(), drives.end(), [](const DriveEntry& a, const DriveEntry& b) { return a.letter < b.letter; });
    int volume = 1;
    for (auto& drive : drives) drive.device = L"\\Device\\HarddiskVolume" + std::to_wstring(volume++);
    for (const auto& value : RegistryKeyValues(kDosDevicesKey)) {
        wchar_t letter = 0;
        if (!DriveLetterOf(value.name, letter) || !IsText(value) || has(letter)) continue;
        wchar_t targetLetter = 0;
        if (value.text.size() < 6 || value.text.compare(0, 4, L"\\??\\") != 0 ||
            !DriveLetterOf(value.text.substr(4, 2), targetLetter))
            continue;
        DriveEntry drive;
        drive.letter = letter;
        drive.substitution = true;
        drive.device = value.text;
        drives.push_back(drive);
    }
    std::sort(drives.begin(), drives.end(), [](const DriveEntry& a, const DriveEntry& b) { return a.letter < b.letter; });
    return drives;
}

bool FindDrive(wchar_t letter, DriveEntry& drive) {
    letter = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter)));
    for (auto& entry : CurrentDrives()) {
        if (entry.letter == letter) {
            drive = entry;
            return true;
        }
    }
    return false;
}

wchar_t CurrentDriveLetter() {
    char buffer[4096];
    if (!::getcwd(buffer, sizeof buffer)) return L'C';
    std::wstring windows = PosixToWindowsPath(buffer);
    wchar_t letter = 0;
    if (windows.size() >= 2 && DriveLetterOf(windows.substr(0, 2), letter)) return letter;
    return L'C';
}

bool WindowsToPosixPath(const std::wstring& windowsPath, std::string& posixPath) {
    return MapPath(windowsPath, posixPath, 0);
}

std::wstring PosixToWindowsPath(const std::string& posixPath) {
    if (posixPath.empty() || posixPath[0] != '/') {
        std::wstring relative = Utf8ToWide(posixPath);
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        return relative;
    }
    const DriveEntry* best = nullptr;
    auto drives = CurrentDrives();
    for (const auto& drive : drives) {
        if (drive.substitution) continue;
        const std::string& folder = drive.folder;
        bool prefix = folder == "/" || (posixPath.compare(0, folder.size(), folder) == 0 &&
                                        (posixPath.size() == folder.size() || posixPath[folder.size()] == '/'));
        if (prefix && (!best || folder.size() > best->folder.size())) best = &drive;
    }
    if (!best) return Utf8ToWide(posixPath);  // outside every drive: stays a POSIX path
    std::string rest = best->folder == "/" ? posixPath.substr(1) : posixPath.substr(best->folder.size());
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    std::wstring windows = std::wstring(1, best->letter) + L":\\" + Utf8ToWide(rest);
    std::replace(windows.begin(), windows.end(), L'/', L'\\');
    return windows;
}

}  // namespace zrwin
