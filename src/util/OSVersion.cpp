#include "util/OSVersion.h"

#include <atomic>

#include "util/ScopedHandle.h"

namespace {
// Entry points come back as a generic function pointer; going through void*
// keeps the compiler from warning about the cast to the real signature.
template <class Fn>
Fn* ProcAs(FARPROC address) {
    return reinterpret_cast<Fn*>(reinterpret_cast<void*>(address));
}
}  // namespace

bool IsWow64() {
    typedef BOOL(WINAPI IsWow64ProcessFn)(HANDLE, PBOOL);
    ScopedLibrary kernel32(LoadLibraryA("Kernel32.dll"));
    if (!kernel32.IsValid()) {
        return false;
    }
    bool wow64 = false;
    auto isWow64Process = ProcAs<IsWow64ProcessFn>(GetProcAddress(kernel32.Get(), "IsWow64Process"));
    if (isWow64Process != nullptr) {
        BOOL result = FALSE;
        wow64 = isWow64Process(GetCurrentProcess(), &result) && result;
    }
    return wow64;
}

bool IsVersionAtLeast6() {
    typedef BOOL(WINAPI VerifyVersionInfoAFn)(LPOSVERSIONINFOEXA, DWORD, DWORDLONG);
    typedef ULONGLONG(WINAPI VerSetConditionMaskFn)(ULONGLONG, DWORD, BYTE);
    ScopedLibrary kernel32(LoadLibraryA("Kernel32.dll"));
    if (!kernel32.IsValid()) {
        return false;
    }
    auto verify = ProcAs<VerifyVersionInfoAFn>(GetProcAddress(kernel32.Get(), "VerifyVersionInfoA"));
    auto setMask = ProcAs<VerSetConditionMaskFn>(GetProcAddress(kernel32.Get(), "VerSetConditionMask"));
    bool atLeast6 = false;
    if (verify != nullptr && setMask != nullptr) {
        OSVERSIONINFOEXA info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = 6;
        info.dwMinorVersion = 0;
        DWORDLONG mask = setMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
        mask = setMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
        atLeast6 = verify(&info, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
    }
    return atLeast6;
}

int OSVersionCodeFrom(DWORD platformId, DWORD major, DWORD minor, BYTE productType, bool hasProductType) {
    const bool workstation = hasProductType && productType == VER_NT_WORKSTATION;
    if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (major == 4) {
            switch (minor) {
                case 0: return 10;
                case 10: return 20;
                case 90: return 30;
                default: break;
            }
        }
        return 149;
    }
    if (platformId != VER_PLATFORM_WIN32_NT) {
        return 149;
    }
    if (major == 6) {
        switch (minor) {
            case 0: return workstation ? 80 : 90;
            case 1: return workstation ? 100 : 110;
            case 2: return workstation ? 120 : 125;
            case 3: return workstation ? 127 : 130;
            default: return 149;
        }
    }
    if (major == 5) {
        switch (minor) {
            case 0: return 50;
            case 1: return 60;
            case 2:
                if (!hasProductType) {
                    return 149;
                }
                if (productType == VER_NT_WORKSTATION) {
                    return 60;
                }
                if (productType == VER_NT_DOMAIN_CONTROLLER || productType == VER_NT_SERVER) {
                    return 70;
                }
                return 149;
            default: return 149;
        }
    }
    if (major <= 4) {
        return 41;
    }
    return 149;
}

namespace {
// Computed once; two threads computing it at once store the same value.
std::atomic<int> cachedVersionCode{0};
}  // namespace

int GetOSVersionCode() {
    int cached = cachedVersionCode.load(std::memory_order_relaxed);
    if (cached != 0) {
        return cached;
    }
    cachedVersionCode.store(149, std::memory_order_relaxed);
    int code = 149;
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info))) {
        code = OSVersionCodeFrom(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.wProductType, true);
    } else {
        info = OSVERSIONINFOEXA{};
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info))) {
            code = OSVersionCodeFrom(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, 0, false);
        } else if (IsVersionAtLeast6()) {
            code = 80;
        }
    }
    cachedVersionCode.store(code, std::memory_order_relaxed);
    return code;
}
