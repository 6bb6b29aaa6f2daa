// The start token handed to a module's "Start".
#include "Module.h"

namespace clib::os::modules {

namespace {
constexpr DWORD kTokenMask = 0x5A3C96E1u;
}

DWORD StartTokenFrom(bool haveSerial, DWORD volumeSerial, DWORD versionWord, DWORD tickCount) {
    DWORD token = kTokenMask;
    if (haveSerial) token ^= volumeSerial;
    return token ^ versionWord ^ (tickCount & 0xFFFF0000u);
}

DWORD MakeStartToken() {
    DWORD serial = 0;
    const bool haveSerial = GetVolumeInformationA("C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) != FALSE;
    return StartTokenFrom(haveSerial, serial, GetVersion(), GetTickCount());
}

}  // namespace clib::os::modules
