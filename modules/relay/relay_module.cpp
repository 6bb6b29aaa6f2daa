// A module that talks to its host through the window it was given at Start:
// every data request sends the host's window GETSRVOPTION, SETSRVOPTION and
// WM_RUNJOB and answers with what the three sends returned, "r1,r2,r3".
//   GETSRVOPTION: option name = the request's argument (ASCII),
//                 descriptor over the 5 bytes "v\0w\x01x"
//   SETSRVOPTION: option name "", descriptor over the 3 bytes "set"
//   WM_RUNJOB:    wParam 7, lParam -1
// Sending from a data request (a host worker thread) leaves the host's
// listener free to receive the parent's answers meanwhile.
#include <atomic>
#include <string>

#include "zrmodule.h"

namespace {

std::atomic<DWORD> g_window{0};

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
    (void)option;
    try {
        const HWND window = ZR_WINDOW_FROM_VALUE(g_window.load());
        std::string name;
        for (const wchar_t* c = args; c && *c; ++c) name += static_cast<char>(*c);

        static const char kGetBytes[] = {'v', '\0', 'w', '\x01', 'x'};
        ZR_BUFFER_DESCRIPTOR get{};
        get.address.data = kGetBytes;
        get.count = sizeof(kGetBytes);
        ZR_BUFFER_DESCRIPTOR set{};
        set.address.data = "set";
        set.count = 3;

        const LRESULT r1 = SendMessageA(window, GETSRVOPTION, reinterpret_cast<WPARAM>(name.c_str()),
                                        reinterpret_cast<LPARAM>(&get));
        const LRESULT r2 = SendMessageA(window, SETSRVOPTION, reinterpret_cast<WPARAM>(""), reinterpret_cast<LPARAM>(&set));
        const LRESULT r3 = SendMessageA(window, WM_RUNJOB, 7, static_cast<LPARAM>(-1));

        const std::wstring answer =
            std::to_wstring(r1) + L"," + std::to_wstring(r2) + L"," + std::to_wstring(r3);
        return SysAllocStringLen(answer.data(), static_cast<UINT>(answer.size()));
    } catch (...) {
        return nullptr;
    }
}
