// kernel32 drives and volumes over the layer's drive table.
#include <sys/stat.h>

#include <cstring>
#include <cwctype>
#include <string>

#include "core/status.h"
#include "kernel32/drive_table.h"
#include "core/text.h"
#include "kernel32/paths.h"
#include "zrwin/fileapi.h"
#include "zrwin/sync.h"

using namespace zrwin;

namespace {


bool IsSeparator(wchar_t ch) { return ch == L'\\' || ch == L'/'; }

bool IsDriveLetter(wchar_t ch) {
    wchar_t up = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(ch)));
    return up >= L'A' && up <= L'Z';
}

wchar_t Upper(wchar_t ch) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(ch))); }

// The volume root of a path: "X:\" for drive paths and paths on the current
// drive. Folders mounted inside a drive are not volumes of their own here, and
// network shares are not served (as in every other path of the layer).
bool VolumeRootOf(const std::wstring& path, std::wstring& root) {
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;
    if (path.size() >= 2 && path[1] == L':' && IsDriveLetter(path[0])) {
        root = std::wstring(1, Upper(path[0])) + L":\\";
        return true;
    }
    if (!path.empty() && path[0] == L'/') {
        std::wstring windows = PosixToWindowsPath(WideToUtf8(path));
        if (windows.size() >= 2 && windows[1] == L':') {
            root = windows.substr(0, 2) + L"\\";
            return true;
        }
        root = L"\\";  // outside every drive: the POSIX root
        return true;
    }
    root = std::wstring(1, CurrentDriveLetter()) + L":\\";
    return true;
}

// The real drive behind a drive letter, following substitutions.
bool RealDriveOf(wchar_t letter, DriveEntry& drive) {
    for (int depth = 0; depth < 16; ++depth) {
        if (!FindDrive(letter, drive)) return false;
        if (!drive.substitution) return true;
        letter = drive.device[4];
    }
    return false;
}

}  // namespace

ZRWINAPI BOOL WINAPI GetVolumePathNameW(LPCWSTR fileName, LPWSTR volumePath, DWORD length) {
    if (!fileName || !*fileName || !volumePath) return FailWithError(ERROR_INVALID_PARAMETER, FALSE);
    std::wstring root;
    if (!VolumeRootOf(fileName, root)) return FailWithError(DWORD{53} /* ERROR_BAD_NETPATH */, FALSE);
    // A drive letter nobody mapped has no volume: Windows fails with file-not-found.
    DriveEntry drive;
    if (root.size() == 3 && root[1] == L':' && !FindDrive(root[0], drive))
        return FailWithError(ERROR_FILE_NOT_FOUND, FALSE);
    if (length < root.size() + 1) return FailWithError(ERROR_FILENAME_EXCED_RANGE, FALSE);
    std::memcpy(volumePath, root.c_str(), (root.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

ZRWINAPI DWORD WINAPI GetLogicalDriveStringsW(DWORD length, LPWSTR buffer) {
    std::wstring list;
    for (const auto& drive : CurrentDrives()) {
        list += drive.letter;
        list += L":\\";
        list += L'\0';
    }
    auto needed = static_cast<DWORD>(list.size() + 1);
    if (!buffer || length < needed) return needed;
    std::memcpy(buffer, list.c_str(), needed * sizeof(wchar_t));
    return needed - 1;
}

ZRWINAPI DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max) {
    // The list of every DOS device name (a null name) is not served.
    if (!deviceName) return FailWithError(ERROR_INVALID_PARAMETER, DWORD{0});
    std::wstring name = deviceName;
    DriveEntry drive;
    if (name.size() != 2 || name[1] != L':' || !IsDriveLetter(name[0]) || !FindDrive(name[0], drive)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::wstring answer = drive.device;
    answer += L'\0';
    answer += L'\0';
    auto needed = static_cast<DWORD>(answer.size());
    if (!targetPath || max < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(targetPath, answer.data(), needed * sizeof(wchar_t));
    return needed;
}

// Only the serial number is served: asking for the volume name, the file
// system's name, its flags or the longest name fails with ERROR_NOT_SUPPORTED.
ZRWINAPI BOOL WINAPI GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD, LPDWORD serialNumber,
                                          LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPSTR fileSystemName,
                                          DWORD) {
    if (volumeName || maxComponentLength || fileSystemFlags || fileSystemName)
        return FailWithError(ERROR_NOT_SUPPORTED, FALSE);
    std::wstring root = rootPath ? AnsiToWide(rootPath) : std::wstring(1, CurrentDriveLetter()) + L":\\";
    if (root.size() != 3 || root[1] != L':' || !IsSeparator(root[2]) || !IsDriveLetter(root[0])) {
        // Windows wants a root with its trailing backslash; shares are not served here.
        return FailWithError(root.size() == 2 && root[1] == L':' ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND, FALSE);
    }
    DriveEntry drive;
    struct stat info {};
    if (!RealDriveOf(root[0], drive) || ::stat(drive.folder.c_str(), &info) != 0)
        return FailWithError(ERROR_PATH_NOT_FOUND, FALSE);
    // A stable serial per drive: a hash of its letter and folder (FNV-1a).
    uint32_t serial = 2166136261u;
    std::string key = std::string(1, static_cast<char>(drive.letter)) + ":" + drive.folder;
    for (unsigned char ch : key) serial = (serial ^ ch) * 16777619u;
    if (serialNumber) *serialNumber = serial;
    return TRUE;
}
