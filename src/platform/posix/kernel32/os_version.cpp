// The OS version the layer reports: Windows 10, NT 10.0 build 19045,
// workstation. The product only ever compares it with older systems.
#include <cstring>

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

ZRWINAPI BOOL WINAPI VerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditionMask) {
    if (!info || !typeMask || !conditionMask || (typeMask & ~0xFFu)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (int i = 0; i < 8; ++i) {
        if ((typeMask & (1u << i)) && ((conditionMask >> (i * 3)) & 7) == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    bool ok = true;
    // Major, minor and service-pack numbers form one version: the most
    // significant field asked about that differs decides, with its condition.
    struct Field {
        DWORD bit;
        ULONGLONG actual;
        ULONGLONG wanted;
    };
    const Field hierarchy[] = {
        {VER_MAJORVERSION, kMajor, info->dwMajorVersion},
        {VER_MINORVERSION, kMinor, info->dwMinorVersion},
        {VER_SERVICEPACKMAJOR, 0, info->wServicePackMajor},
        {VER_SERVICEPACKMINOR, 0, info->wServicePackMinor},
    };
    const Field* last = nullptr;
    bool decided = false;
    for (const Field& field : hierarchy) {
        if (!(typeMask & field.bit)) continue;
        last = &field;
        if (field.actual != field.wanted) {
            ok = Compare(field.actual, field.wanted, ConditionOf(conditionMask, field.bit));
            decided = true;
            break;
        }
    }
    // All equal: the least significant field asked about decides.
    if (last && !decided) ok = Compare(last->actual, last->wanted, ConditionOf(conditionMask, last->bit));
    if (ok && (typeMask & VER_BUILDNUMBER))
        ok = Compare(kBuild, info->dwBuildNumber, ConditionOf(conditionMask, VER_BUILDNUMBER));
    if (ok && (typeMask & VER_PLATFORMID))
        ok = Compare(VER_PLATFORM_WIN32_NT, info->dwPlatformId, ConditionOf(conditionMask, VER_PLATFORMID));
    if (ok && (typeMask & VER_PRODUCT_TYPE))
        ok = Compare(VER_NT_WORKSTATION, info->wProductType, ConditionOf(conditionMask, VER_PRODUCT_TYPE));
    if (ok && (typeMask & VER_SUITENAME)) {
        BYTE condition = ConditionOf(conditionMask, VER_SUITENAME);
        WORD have = kSuiteSingleUserTerminalServer;
        if (condition == VER_AND)
            ok = (have & info->wSuiteMask) == info->wSuiteMask;
        else if (condition == VER_OR)
            ok = (have & info->wSuiteMask) != 0 || info->wSuiteMask == 0;
        else
            ok = false;
    }
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
