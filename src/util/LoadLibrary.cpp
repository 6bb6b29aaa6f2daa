#include "util/LoadLibrary.h"

#include "log/Log.h"


CLoadLibrary::CLoadLibrary(const std::string& libraryName) : name_(libraryName) {
    Load(libraryName);
}

CLoadLibrary::~CLoadLibrary() = default;

bool CLoadLibrary::Load(const std::string& libraryName) {
    name_ = libraryName;
    if (!name_.empty()) {
        HMODULE loaded = LoadLibraryA(name_.c_str());
        if (loaded == nullptr) {
            Log(LOG_ERROR, "CLoadLibrary::Load: [E] Could not load library %s, err:%d", name_.c_str(),
                static_cast<int>(GetLastError()));
        } else {
            // A second Load replaces the library held so far.
            module_.Reset(loaded);
        }
    }
    return module_.IsValid();
}

bool CLoadLibrary::LoadFunction(const char* name, void** slot) {
    if (name == nullptr || slot == nullptr) {
        Log(LOG_ERROR, "CLoadLibrary::LoadFunction: [E] Invalid params. name: '%s', pointer: %p", name,
            static_cast<void*>(slot));
        return false;
    }
    if (*slot == nullptr) {
        if (!module_.IsValid()) {
            Log(LOG_ERROR, "CLoadLibrary::LoadFunction: [E] Library %s not loaded", name_.c_str());
        } else {
            FARPROC address = GetProcAddress(module_.Get(), name);
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
