// kernel32 drives and volumes over the layer's drive table.
#include <sys/statfs.h>
#include <sys/statvfs.h>

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
// drive, "\\server\share\" for UNC paths. Folders mounted inside a drive are
// not volumes of their own here.
bool VolumeRootOf(const std::wstring& input, std::wstring& root) {
    std::wstring path = input;
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        path = path.substr(4);
        if (path.size() >= 4 && FoldCase(path.substr(0, 4)) == L"UNC\\") path = L"\\\\" + path.substr(4);
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        size_t server = path.find_first_of(L"\\/", 2);
        if (server == std::wstring::npos || server == 2) return false;
        size_t share = path.find_first_of(L"\\/", server + 1);
        std::wstring shareName = path.substr(server + 1, share == std::wstring::npos ? std::wstring::npos
                                                                                     : share - server - 1);
        if (shareName.empty()) return false;
        root = L"\\\\" + path.substr(2, server - 2) + L"\\" + shareName + L"\\";
        return true;
    }
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

const char* FileSystemName(const std::string& folder) {
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0) return "unknown";
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0xEF53: return "ext4";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        case 0x01021994: return "tmpfs";
        case 0x794C7630: return "overlay";
        case 0x6969: return "nfs";
        case 0x65735546: return "fuse";
        case 0x2FC12FC1: return "zfs";
        case 0x4D44: return "vfat";
        case 0x5346544E: return "ntfs";
        default: return "unknown";
    }
}

bool CopyText(const std::string& text, LPSTR buffer, DWORD size) {
    if (!buffer) return true;
    if (size < text.size() + 1) return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

ZRWINAPI BOOL WINAPI GetVolumePathNameW(LPCWSTR fileName, LPWSTR volumePath, DWORD length) {
    if (!fileName || !*fileName || !volumePath) return FailWithError(ERROR_INVALID_PARAMETER, FALSE);
    std::wstring root;
    if (!VolumeRootOf(fileName, root)) return FailWithError(ERROR_INVALID_NAME, FALSE);
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
    std::wstring answer;
    if (!deviceName) {
        // Without a name: every DOS device name, as a list.
        for (const auto& drive : CurrentDrives()) {
            answer += drive.letter;
            answer += L":";
            answer += L'\0';
        }
    } else {
        std::wstring name = deviceName;
        DriveEntry drive;
        if (name.size() != 2 || name[1] != L':' || !IsDriveLetter(name[0]) || !FindDrive(name[0], drive)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        answer = drive.device;
        answer += L'\0';
    }
    answer += L'\0';
    auto needed = static_cast<DWORD>(answer.size());
    if (!targetPath || max < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(targetPath, answer.data(), needed * sizeof(wchar_t));
    return needed;
}

ZRWINAPI BOOL WINAPI GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                                          LPDWORD serialNumber, LPDWORD maxComponentLength, LPDWORD fileSystemFlags,
                                          LPSTR fileSystemName, DWORD fileSystemNameSize) {
    std::wstring root = rootPath ? AnsiToWide(rootPath) : std::wstring(1, CurrentDriveLetter()) + L":\\";
    if (root.size() != 3 || root[1] != L':' || !IsSeparator(root[2]) || !IsDriveLetter(root[0])) {
        // Windows wants a root with its trailing backslash; shares are not served here.
        return FailWithError(root.size() == 2 && root[1] == L':' ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND, FALSE);
    }
    DriveEntry drive;
    if (!RealDriveOf(root[0], drive)) return FailWithError(ERROR_PATH_NOT_FOUND, FALSE);
    struct statvfs vfs {};
    if (::statvfs(drive.folder.c_str(), &vfs) != 0) return FailWithError(ERROR_PATH_NOT_FOUND, FALSE);
    // A stable serial per drive: a hash of its letter and folder (FNV-1a).
    uint32_t serial = 2166136261u;
    std::string key = std::string(1, static_cast<char>(drive.letter)) + ":" + drive.folder;
    for (unsigned char ch : key) serial = (serial ^ ch) * 16777619u;
    if (!CopyText("", volumeName, volumeNameSize)) return FailWithError(ERROR_MORE_DATA, FALSE);
    if (!CopyText(FileSystemName(drive.folder), fileSystemName, fileSystemNameSize)) return FailWithError(ERROR_MORE_DATA, FALSE);
    if (serialNumber) *serialNumber = serial;
    if (maxComponentLength) *maxComponentLength = static_cast<DWORD>(vfs.f_namemax);
    // Case-sensitive search, case-preserved and Unicode names.
    if (fileSystemFlags) *fileSystemFlags = 0x00000007;
    return TRUE;
}
