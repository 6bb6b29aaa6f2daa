// The host's invisible top-level window: the module that the host runs talks
// to the host by sending it window messages.
//
// Threading: created on the entry thread, which owns the window; only that
// thread's message loop runs the window procedure. Other threads use the
// window only through its handle (sending or posting messages).
#pragma once

#include "platform/platform.h"

class HiddenWindow {
public:
    // Creates the window at once, on the calling thread. The procedure gets
    // WM_CREATE with createParam as the creation parameter before this returns.
    HiddenWindow(HINSTANCE instance, WNDPROC windowProc, LPVOID createParam);
    // The window and its class are left to live until the process ends: a
    // module may still hold the handle while the host tears down.
    virtual ~HiddenWindow();

    HiddenWindow(const HiddenWindow&) = delete;
    HiddenWindow& operator=(const HiddenWindow&) = delete;

    // Null when creation failed.
    HWND GetWindowHandle() const { return window_; }

private:
    void Create();

    HWND window_ = nullptr;
    WNDPROC windowProc_;
    HINSTANCE instance_;
    LPVOID createParam_;
};
