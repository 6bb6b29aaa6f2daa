#include "util/LoadLibrary.h"

#include <atomic>

#include "log/Log.h"

namespace {
// Entry points come back as a generic function pointer; going through void*
// keeps the compiler from warning about the cast to the real signature.
template <class Fn>
Fn* ProcAs(FARPROC address) {
    return reinterpret_cast<Fn*>(reinterpret_cast<void*>(address));
}
}  // namespace

CLoadLibrary::CLoadLibrary(const std::string& libraryName) : module_(nullptr), name_(libraryName) {
    Load(libraryName);
}

CLoadLibrary::~CLoadLibrary() {
    if (module_ != nullptr) {
        FreeLibrary(module_);
        module_ = nullptr;
    }
}

bool CLoadLibrary::Load(const std::string& libraryName) {
    name_ = libraryName;
    if (!name_.empty()) {
        HMODULE loaded = LoadLibraryA(name_.c_str());
        if (loaded == nullptr) {
            Log(LOG_ERROR, "CLoadLibrary::Load: [E] Could not load library %s, err:%d", name_.c_str(),
                static_cast<int>(GetLastError()));
        } else {
            // A second Load replaces the library held so far.
            if (module_ != nullptr) {
                FreeLibrary(module_);
            }
            module_ = loaded;
        }
    }
    return module_ != nullptr;
}

bool CLoadLibrary::LoadFunction(const char* name, void** slot) {
    if (name == nullptr || slot == nullptr) {
        Log(LOG_ERROR, "CLoadLibrary::LoadFunction: [E] Invalid params. name: '%s', pointer: %p", name,
            static_cast<void*>(slot));
        return false;
    }
    if (*slot == nullptr) {
        if (module_ == nullptr) {
            Log(LOG_ERROR, "CLoadLibrary::LoadFunction: [E] Library %s not loaded", name_.c_str());
        } else {
            FARPROC address = GetProcAddress(module_, name);
            if (address == nullptr) {
                Log(LOG_ERROR, "CLoadLibrary::LoadFunction: [E] Could not get process address for '%s' in module '%s'",
                    name, name_.c_str());
            } else {
                *slot = reinterpret_cast<void*>(address);
            }
        }
    }
    return *slot != nullptr;
}

CKernel32::CKernel32() : CLoadLibrary("Kernel32.dll") {}

DWORD CKernel32::GetThreadId(HANDLE thread) {
    if (GetOSVersionCode() < 70 || !Bind("GetThreadId", getThreadId_)) {
        return 0;
    }
    return getThreadId_(thread);
}

CPsAPI::CPsAPI() : CLoadLibrary("psapi.dll") {}

BOOL CPsAPI::EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
    if (!Bind("EnumProcesses", enumProcesses_)) {
        return FALSE;
    }
    return enumProcesses_(processIds, bytes, bytesReturned);
}

bool IsWow64() {
    typedef BOOL(WINAPI IsWow64ProcessFn)(HANDLE, PBOOL);
    HMODULE kernel32 = LoadLibraryA("Kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    bool wow64 = false;
    auto isWow64Process = ProcAs<IsWow64ProcessFn>(GetProcAddress(kernel32, "IsWow64Process"));
    if (isWow64Process != nullptr) {
        BOOL result = FALSE;
        wow64 = isWow64Process(GetCurrentProcess(), &result) && result;
    }
    FreeLibrary(kernel32);
    return wow64;
}

bool IsVersionAtLeast6() {
    typedef BOOL(WINAPI VerifyVersionInfoAFn)(LPOSVERSIONINFOEXA, DWORD, DWORDLONG);
    typedef ULONGLONG(WINAPI VerSetConditionMaskFn)(ULONGLONG, DWORD, BYTE);
    HMODULE kernel32 = LoadLibraryA("Kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    auto verify = ProcAs<VerifyVersionInfoAFn>(GetProcAddress(kernel32, "VerifyVersionInfoA"));
    auto setMask = ProcAs<VerSetConditionMaskFn>(GetProcAddress(kernel32, "VerSetConditionMask"));
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
    FreeLibrary(kernel32);
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
