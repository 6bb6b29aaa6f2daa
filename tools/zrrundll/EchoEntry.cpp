// A library for the zrrundll tests: its entry prints what it was called with.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

extern "C" __attribute__((visibility("default"))) void CALLBACK Echo(HWND window, HINSTANCE instance,
                                                                     LPSTR commandLine, int show) {
    char file[4096] = {0};
    GetModuleFileNameA(reinterpret_cast<HMODULE>(instance), file, sizeof file);
    const char* name = std::strrchr(file, '\\');
    std::printf("window=%d instance=%s show=%d cmdline=[%s]\n", window ? 1 : 0, name ? name + 1 : file, show,
                commandLine);
    std::fflush(stdout);
}

namespace {

LRESULT CALLBACK Doubler(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_USER + 5) return static_cast<LRESULT>(wParam * 2);
    return DefWindowProcA(window, message, wParam, lParam);
}

struct LoopTarget {
    HWND window;
    DWORD loopThread;
    LRESULT answer;
};

DWORD WINAPI SendAndQuit(LPVOID raw) {
    auto* target = static_cast<LoopTarget*>(raw);
    target->answer = SendMessageA(target->window, WM_USER + 5, 21, 0);
    PostThreadMessageA(target->loopThread, WM_QUIT, 3, 0);
    return 0;
}

}  // namespace

// The host's shape: a window on the entry thread, served by its message loop,
// sent to from another thread of the process, the loop ended by a posted quit.
extern "C" __attribute__((visibility("default"))) void CALLBACK Loop(HWND, HINSTANCE instance, LPSTR, int) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Doubler;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "EchoLoopClass";
    RegisterClassA(&windowClass);
    LoopTarget target{CreateWindowExA(0, "EchoLoopClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr),
                      GetCurrentThreadId(), -1};
    HANDLE sender = CreateThread(nullptr, 0, SendAndQuit, &target, 0, nullptr);
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) DispatchMessageA(&msg);
    WaitForSingleObject(sender, INFINITE);
    CloseHandle(sender);
    std::printf("answer=%ld loop=%d quit=%d\n", static_cast<long>(target.answer), got, static_cast<int>(msg.wParam));
    std::fflush(stdout);
}
