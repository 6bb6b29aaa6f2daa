// Run-time binding of optional system entry points by name.
#pragma once

#include <string>

#include "platform/platform.h"
#include "util/OSVersion.h"
#include "util/ScopedHandle.h"

class CLoadLibrary {
public:
    explicit CLoadLibrary(const std::string& libraryName);
    virtual ~CLoadLibrary();
    CLoadLibrary(const CLoadLibrary&) = delete;
    CLoadLibrary& operator=(const CLoadLibrary&) = delete;

    bool Load(const std::string& libraryName);
    // Binds one entry point into its slot once; true when the slot is set.
    bool LoadFunction(const char* name, void** slot);
    bool IsLoaded() const { return module_.IsValid(); }
    HMODULE Module() const { return module_.Get(); }
    const std::string& Name() const { return name_; }

    // Typed convenience over LoadFunction.
    template <class Fn>
    bool Bind(const char* name, Fn*& slot) {
        void* raw = reinterpret_cast<void*>(slot);
        bool ok = LoadFunction(name, &raw);
        slot = reinterpret_cast<Fn*>(raw);
        return ok;
    }

protected:
    ScopedLibrary module_;
    std::string name_;
};

class CKernel32 : public CLoadLibrary {
public:
    CKernel32();
    // 0 when the OS version code is below 70 or the entry point is missing.
    DWORD GetThreadId(HANDLE thread);

private:
    typedef DWORD(WINAPI GetThreadIdFn)(HANDLE);
    GetThreadIdFn* getThreadId_ = nullptr;
    void* reserved_[17] = {};
};

class CPsAPI : public CLoadLibrary {
public:
    CPsAPI();
    // FALSE without calling when the entry point cannot be bound.
    BOOL EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);

private:
    typedef BOOL(WINAPI EnumProcessesFn)(DWORD*, DWORD, DWORD*);
    EnumProcessesFn* enumProcesses_ = nullptr;
};
