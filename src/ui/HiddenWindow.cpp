#include "ui/HiddenWindow.h"

#include "log/Log.h"

namespace {
const char kClassName[] = "HiddenWindowClass";
}

HiddenWindow::HiddenWindow(HINSTANCE instance, WNDPROC windowProc, LPVOID createParam)
    : windowProc_(windowProc), instance_(instance), createParam_(createParam) {
    Create();
}

HiddenWindow::~HiddenWindow() = default;

void HiddenWindow::Create() {
    Log(LOG_INFO, "HiddenWindow::Create: Creating hidden window...");

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProc_;
    windowClass.hInstance = instance_;
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassA(&windowClass)) {
        // Usually the class exists already; creating the window may still work.
        Log(LOG_ERROR, "HiddenWindow::Create: [E] Failed to register %s class. err:%ld", kClassName,
            GetLastError());
    }

    HWND window = CreateWindowExA(0, kClassName, "", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, instance_, createParam_);
    if (!window) {
        Log(LOG_CRITICAL_ERROR, "HiddenWindow::Create: [C] Failed to create window. err:%ld",
            GetLastError());
        return;
    }
    ShowWindow(window, SW_HIDE);
    Log(LOG_INFO, "HiddenWindow::Create: Hidden window created. Notifying event: 0x%X", 0u);
    window_ = window;
}
