// The drive table behind the layer's Windows paths, read from the registry:
// real drives under HKEY_LOCAL_MACHINE\SOFTWARE\zrwin\Drives ("D:"="/srv/data")
// and substitutions under the persistent DOS devices key HKEY_LOCAL_MACHINE\SYSTEM
// \CurrentControlSet\Control\Session Manager\DOS Devices ("X:"="\\??\\C:\\work").
// C: is "/" unless configured.
#pragma once

#include <string>
#include <vector>

namespace zrwin {

struct DriveEntry {
    wchar_t letter = L'C';       // upper case
    bool substitution = false;
    std::string folder;          // real drive: its POSIX folder, without a trailing slash except "/"
    std::wstring device;         // what QueryDosDeviceW answers ("\\??\\C:\\work" or "\\Device\\HarddiskVolumeN")
};

// All drives, sorted by letter; real drives take precedence over a
// substitution of the same letter.
std::vector<DriveEntry> CurrentDrives();
bool FindDrive(wchar_t letter, DriveEntry& drive);
// The drive of the current directory (C: when no drive holds it).
wchar_t CurrentDriveLetter();

// The registry keys the table is read from, relative to HKEY_LOCAL_MACHINE.
extern const wchar_t* const kDrivesKey;
extern const wchar_t* const kDosDevicesKey;

}  // namespace zrwin
