// oleaut32: BSTR allocation with the length prefix before the text.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

#include "zrwin/oleauto.h"
#include "zrwin/sync.h"

namespace {

constexpr size_t kPrefix = sizeof(DWORD);

static_assert(kPrefix % alignof(OLECHAR) == 0, "text after the prefix must stay aligned");

BSTR Allocate(const OLECHAR* text, size_t length) {
    // The prefix holds a 32-bit byte count, so longer texts cannot be represented.
    if (length > (std::numeric_limits<DWORD>::max() - kPrefix) / sizeof(OLECHAR) - 1) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const size_t bytes = length * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const DWORD prefix = static_cast<DWORD>(bytes);
    std::memcpy(block, &prefix, kPrefix);
    BSTR result = reinterpret_cast<BSTR>(block + kPrefix);
    if (text)
        std::memcpy(result, text, bytes);
    else
        std::memset(result, 0, bytes);
    result[length] = 0;
    return result;
}

DWORD Prefix(BSTR text) {
    DWORD bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - kPrefix, kPrefix);
    return bytes;
}

}  // namespace

ZRWINAPI BSTR WINAPI SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    return Allocate(text, std::wcslen(text));
}

ZRWINAPI BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) { return Allocate(text, length); }

ZRWINAPI UINT WINAPI SysStringLen(BSTR text) { return text ? Prefix(text) / sizeof(OLECHAR) : 0; }

ZRWINAPI void WINAPI SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}
