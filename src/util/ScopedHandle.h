// One owner type for every handle the product opens: what counts as invalid
// and what closes it is decided once per kind, in its traits.
#pragma once

#include <utility>

#include "platform/platform.h"

template <class Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() = default;
    explicit ScopedHandle(Handle h) : h_(h) {}
    ScopedHandle(ScopedHandle&& o) noexcept : h_(o.Take()) {}
    ScopedHandle& operator=(ScopedHandle&& o) noexcept {
        if (this != &o) Reset(o.Take());
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { Reset(); }

    bool IsValid() const { return Traits::IsValid(h_); }
    Handle Get() const { return h_; }
    [[nodiscard]] Handle Take() { return std::exchange(h_, Traits::Null()); }
    void Reset(Handle h = Traits::Null()) {
        if (Traits::IsValid(h_)) {
            const DWORD error = GetLastError();  // closing never hides why the caller failed
            Traits::Close(h_);
            SetLastError(error);
        }
        h_ = h;
    }

private:
    Handle h_ = Traits::Null();
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Null() { return nullptr; }
    static bool IsValid(Handle h) { return h && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;

struct LibraryTraits {
    using Handle = HMODULE;
    static Handle Null() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};
using ScopedLibrary = ScopedHandle<LibraryTraits>;

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Null() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
