// The OS version the layer reports: Windows 10, NT 10.0 build 19045,
// workstation. The product only ever compares it with older systems.
#include <cstring>
#include <initializer_list>

#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace {

constexpr DWORD kMajor = 10;
constexpr DWORD kMinor = 0;
constexpr DWORD kBuild = 19045;
constexpr WORD kSuiteSingleUserTerminalServer = 0x0100;

// Three condition bits per version field, in the order of the field's bit.
int FieldIndex(DWORD typeBit) {
    for (int i = 0; i < 8; ++i)
        if (typeBit == (1u << i)) return i;
    return -1;
}

BYTE ConditionOf(ULONGLONG mask, DWORD typeBit) { return (BYTE)((mask >> (FieldIndex(typeBit) * 3)) & 7); }

bool Compare(ULONGLONG actual, ULONGLONG wanted, BYTE condition) {
    switch (condition) {
        case VER_EQUAL:
            return actual == wanted;
        case VER_GREATER:
            return actual > wanted;
        case VER_GREATER_EQUAL:
            return actual >= wanted;
        case VER_LESS:
            return actual < wanted;
        case VER_LESS_EQUAL:
            return actual <= wanted;
        default:
            return false;
    }
}

}  // namespace

ZRWINAPI BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = kMajor;
    info->dwMinorVersion = kMinor;
    info->dwBuildNumber = kBuild;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = kSuiteSingleUserTerminalServer;
        ex->wProductType = VER_NT_WORKSTATION;
        ex->wReserved = 0;
    }
    return TRUE;
}

ZRWINAPI DWORD WINAPI GetVersion(void) { return (kBuild << 16) | (kMinor << 8) | kMajor; }

ZRWINAPI ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) {
    if (!typeMask || !condition) return conditionMask;
    condition &= 7;
    for (int i = 0; i < 8; ++i) {
        if (!(typeMask & (1u << i))) continue;
        conditionMask &= ~((ULONGLONG)7 << (i * 3));
        conditionMask |= (ULONGLONG)condition << (i * 3);
    }
    return conditionMask;
}

// Only the major and minor version are compared, as the product asks; the
// service pack, build, platform, product type and suite are ERROR_NOT_SUPPORTED.
ZRWINAPI BOOL WINAPI VerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditionMask) {
    if (!info || !typeMask || !conditionMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (typeMask & ~(DWORD)(VER_MAJORVERSION | VER_MINORVERSION)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    for (DWORD bit : {DWORD{VER_MAJORVERSION}, DWORD{VER_MINORVERSION}}) {
        if ((typeMask & bit) && ConditionOf(conditionMask, bit) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    // Major and minor form one version: the major number decides unless it is
    // equal or not asked about.
    bool ok;
    if ((typeMask & VER_MAJORVERSION) && (kMajor != info->dwMajorVersion || !(typeMask & VER_MINORVERSION)))
        ok = Compare(kMajor, info->dwMajorVersion, ConditionOf(conditionMask, VER_MAJORVERSION));
    else
        ok = Compare(kMinor, info->dwMinorVersion, ConditionOf(conditionMask, VER_MINORVERSION));
    if (!ok) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return FALSE;
    }
    return TRUE;
}

ZRWINAPI BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64) {
    (void)process;
    if (!wow64) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    // A native 64-bit process is not running under WOW64.
    *wow64 = FALSE;
    return TRUE;
}
