// The relay module: talks to the parent through the host's window. Started
// with the host's window (a start request with a window), each data request
// becomes one window message that the host relays to its parent:
//   ZR_SETOPTION "name=value"  -> SETSRVOPTION with the option name and value
//   ZR_GETOPTION "name"        -> GETSRVOPTION with the option name, no bytes
//   ZR_RUN_SCRIPT "W L"        -> WM_RUNJOB with the numbers W and L
// and is answered with what was sent, or "no window" when the module was
// started without one.
#include <cstdlib>
#include <string>

#include "zrmodule.h"

namespace {

DWORD g_window = 0;

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
    return out;
}

BSTR Answer(const std::string& text) {
    std::wstring wide(text.begin(), text.end());
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

LRESULT SendOption(UINT message, const std::string& name, const std::string& value) {
    ZR_BUFFER_DESCRIPTOR buffer = {};
    buffer.address.data = value.data();
    buffer.count = static_cast<DWORD>(value.size());
    return SendMessageA(ZR_WINDOW_FROM_VALUE(g_window), message, reinterpret_cast<WPARAM>(name.c_str()),
                        reinterpret_cast<LPARAM>(&buffer));
}

}  // namespace

ZR_MODULE_EXPORT ZR_MODULE_START {
    (void)token;
    (void)params;
    g_window = window;
    return 0;
}

ZR_MODULE_EXPORT ZR_MODULE_STOP {
    g_window = 0;
    return 0;
}

ZR_MODULE_EXPORT ZR_MODULE_DATA {
    // Nothing may escape an export.
    try {
        if (!g_window) return Answer("no window");
        const std::string text = Narrow(args);
        LRESULT result = 0;
        if (option == ZR_SETOPTION) {
            const size_t equals = text.find('=');
            const std::string name = text.substr(0, equals);
            const std::string value = equals == std::string::npos ? std::string() : text.substr(equals + 1);
            result = SendOption(SETSRVOPTION, name, value);
        } else if (option == ZR_GETOPTION) {
            result = SendOption(GETSRVOPTION, text, std::string());
        } else if (option == ZR_RUN_SCRIPT) {
            char* end = nullptr;
            const long w = std::strtol(text.c_str(), &end, 10);
            const long l = std::strtol(end, nullptr, 10);
            result = SendMessageA(ZR_WINDOW_FROM_VALUE(g_window), WM_RUNJOB, static_cast<WPARAM>(w),
                                  static_cast<LPARAM>(l));
        } else {
            return Answer("unsupported option");
        }
        return Answer("sent, window answered " + std::to_string(result));
    } catch (...) {
        return nullptr;
    }
}
