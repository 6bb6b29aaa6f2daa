#include "host/WindowRelay.h"

#include <cstring>
#include <string>

const char* RelayedMessageName(UINT message) {
    switch (message) {
    case GETSRVOPTION: return "GETSRVOPTION";
    case SETSRVOPTION: return "SETSRVOPTION";
    case WM_RUNJOB: return "WM_RUNJOB";
    default: return nullptr;
    }
}

bool BuildWindowMessageRecord(UINT message, WPARAM wParam, LPARAM lParam, WindowMessageDataMultiProcess& record) {
    if (message == WM_RUNJOB) {
        // Signed, as the module meant them; the pointer width keeps -1 as -1 on 64-bit builds.
        const std::string l = std::to_string(static_cast<long long>(static_cast<intptr_t>(lParam)));
        const std::string w = std::to_string(static_cast<long long>(static_cast<intptr_t>(wParam)));
        record.uMsg = message;
        record.SetLParam(l.data(), static_cast<int32_t>(l.size()));
        record.SetWParam(w.data(), static_cast<int32_t>(w.size()));
        return true;
    }
    if (message != GETSRVOPTION && message != SETSRVOPTION) return false;

    record.uMsg = message;
    const auto* descriptor = reinterpret_cast<const RelayBufferDescriptor*>(lParam);
    if (descriptor != nullptr && descriptor->address.data != nullptr)
        record.SetLParam(descriptor->address.data, static_cast<int32_t>(descriptor->count));
    else
        record.SetLParam(nullptr, 0);
    const auto* name = reinterpret_cast<const char*>(wParam);
    record.SetWParam(name, name != nullptr ? static_cast<int32_t>(std::strlen(name)) : 0);
    return true;
}
