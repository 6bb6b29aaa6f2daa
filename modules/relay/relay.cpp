// The relay module: talks to the parent through the host's window. Started
// with the host's window (a start request with a window), each data request
// becomes one window message that the host relays to its parent:
//   ZR_SETOPTION "name=value"  -> SETSRVOPTION with the option name and value
//   ZR_GETOPTION "name"        -> GETSRVOPTION with the option name, no bytes
//   ZR_RUN_SCRIPT "W L"        -> WM_RUNJOB with the numbers W and L
// and is answered with what was sent, or "no window" when the module was
// started without one.
//
// Built with ZRTEST_RELAY_ALL_THREE (zrtest_relay, for the host's tests),
// every data request sends all three, whatever its option, and is answered
// with the three results, "r1,r2,r3":
//   GETSRVOPTION: option name = the request's argument,
//                 descriptor over the 5 bytes "v\0w\x01x"
//   SETSRVOPTION: option name "", descriptor over the 3 bytes "set"
//   WM_RUNJOB:    wParam 7, lParam -1
//
// Sending from a data request (a host worker thread) leaves the host's
// listener free to receive the parent's answers meanwhile.
#include <atomic>
#include <cstdlib>
#include <string>

#include "zrmodule.h"

namespace {

// Set by Start on the host's listener thread, read by data requests on its workers.
std::atomic<DWORD> g_window{0};

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
    return out;
}

BSTR Answer(const std::string& text) {
    std::wstring wide(text.begin(), text.end());
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

LRESULT SendOption(UINT message, const std::string& name, const char* bytes, size_t count) {
    ZR_BUFFER_DESCRIPTOR buffer = {};
    buffer.address.data = bytes;
    buffer.count = static_cast<DWORD>(count);
    return SendMessageA(ZR_WINDOW_FROM_VALUE(g_window.load()), message, reinterpret_cast<WPARAM>(name.c_str()),
                        reinterpret_cast<LPARAM>(&buffer));
}

LRESULT SendRunJob(long w, long l) {
    return SendMessageA(ZR_WINDOW_FROM_VALUE(g_window.load()), WM_RUNJOB, static_cast<WPARAM>(w),
                        static_cast<LPARAM>(l));
}

#ifdef ZRTEST_RELAY_ALL_THREE
BSTR Relay(int, const std::string& text) {
    static const char kGetBytes[] = {'v', '\0', 'w', '\x01', 'x'};
    const LRESULT r1 = SendOption(GETSRVOPTION, text, kGetBytes, sizeof kGetBytes);
    const LRESULT r2 = SendOption(SETSRVOPTION, "", "set", 3);
    const LRESULT r3 = SendRunJob(7, -1);
    return Answer(std::to_string(r1) + "," + std::to_string(r2) + "," + std::to_string(r3));
}
#else
BSTR Relay(int option, const std::string& text) {
    LRESULT result = 0;
    if (option == ZR_SETOPTION) {
        const size_t equals = text.find('=');
        const std::string name = text.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : text.substr(equals + 1);
        result = SendOption(SETSRVOPTION, name, value.data(), value.size());
    } else if (option == ZR_GETOPTION) {
        result = SendOption(GETSRVOPTION, text, "", 0);
    } else if (option == ZR_RUN_SCRIPT) {
        char* end = nullptr;
        const long w = std::strtol(text.c_str(), &end, 10);
        result = SendRunJob(w, std::strtol(end, nullptr, 10));
    } else {
        return Answer("unsupported option");
    }
    return Answer("sent, window answered " + std::to_string(result));
}
#endif

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
        return Relay(option, Narrow(args));
    } catch (...) {
        return nullptr;
    }
}
