// Window classes and windows. A window belongs to the thread that created it:
// its procedure runs on that thread only, and it ends with that thread.
#include <wctype.h>

#include <mutex>
#include <vector>

#include "user32/message_queue.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace zrwin::user32 {
namespace {

// Atoms of registered classes start here, as on Windows.
constexpr ATOM kFirstClassAtom = 0xC000;

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (towlower(static_cast<wint_t>(a[i])) != towlower(static_cast<wint_t>(b[i]))) return false;
    }
    return true;
}

std::wstring Widen(LPCSTR text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

// Process-wide, like classes registered by any module of a Windows process;
// never destroyed, for the same reason as the window table.
class ClassTable {
public:
    ATOM Register(const std::wstring& name, WNDPROC procedure, HINSTANCE instance) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& known : classes_) {
            if (known->instance == instance && SameName(known->name, name)) {
                SetLastError(ERROR_CLASS_ALREADY_EXISTS);
                return 0;
            }
        }
        if (classes_.size() >= 0x3FFF) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        auto entry = std::make_shared<WindowClass>();
        entry->name = name;
        entry->procedure = procedure;
        entry->instance = instance;
        entry->atom = static_cast<ATOM>(kFirstClassAtom + classes_.size());
        classes_.push_back(entry);
        return entry->atom;
    }

    // A class of that instance first, then one of any instance.
    std::shared_ptr<WindowClass> Find(const std::wstring& name, HINSTANCE instance) {
        std::lock_guard<std::mutex> guard(lock_);
        std::shared_ptr<WindowClass> any;
        for (const auto& known : classes_) {
            if (!SameName(known->name, name)) continue;
            if (known->instance == instance) return known;
            if (!any) any = known;
        }
        return any;
    }

    std::shared_ptr<WindowClass> Find(ATOM atom) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& known : classes_) {
            if (known->atom == atom) return known;
        }
        return nullptr;
    }

private:
    std::mutex lock_;
    std::vector<std::shared_ptr<WindowClass>> classes_;
};

ClassTable& Classes() {
    static ClassTable* table = new ClassTable;
    return *table;
}

template <class CreateStruct>
HWND CreateWindowCommon(std::shared_ptr<WindowClass> windowClass, DWORD exStyle, const CreateStruct& request) {
    if (!windowClass) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    HWND parent = request.hwndParent;
    if (parent && parent != HWND_MESSAGE && !LookupWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::shared_ptr<MessageQueue> queue = CurrentQueue();
    auto window = std::make_shared<Window>();
    window->threadId = queue->ThreadId();
    window->procedure = windowClass->procedure;
    window->windowClass = windowClass;
    window->queue = queue;
    // Visible only once created, through ShowWindow below.
    window->style = request.style & ~static_cast<LONG>(WS_VISIBLE);
    HWND handle = AddWindowToTable(window);
    if (!handle) {
        SetLastError(ERROR_NO_MORE_USER_HANDLES);
        return nullptr;
    }
    window->handle = handle;
    queue->AddWindow(handle);

    CreateStruct create = request;
    create.dwExStyle = exStyle;
    LPARAM createParam = reinterpret_cast<LPARAM>(&create);
    if (!window->procedure(handle, WM_NCCREATE, 0, createParam)) {
        window->procedure(handle, WM_NCDESTROY, 0, 0);
        queue->RemoveWindow(handle);
        RemoveWindowFromTable(handle);
        return nullptr;
    }
    if (window->procedure(handle, WM_CREATE, 0, createParam) == -1) {
        DestroyWindow(handle);
        return nullptr;
    }
    if (!LookupWindow(handle)) return nullptr;  // destroyed by its own procedure
    if (request.style & WS_VISIBLE) ShowWindow(handle, SW_SHOW);
    return handle;
}

// CW_USEDEFAULT asks the system for a place and size; this layer has no
// screen, so the default is the origin and an empty size.
int DefaultOr(int value) { return value == CW_USEDEFAULT ? 0 : value; }

// RegisterClassA: the thread's first window call gives it its queue, as on Windows.
template <class WindowClassT>
ATOM RegisterClassFor(const WindowClassT* windowClass) {
    CurrentQueue();
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc ||
        IS_INTRESOURCE(windowClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Classes().Register(Widen(windowClass->lpszClassName), windowClass->lpfnWndProc, windowClass->hInstance);
}

// CreateWindowExA: the class by atom, or by name of this instance first.
template <class CreateStruct, class Text>
HWND CreateWindowFor(DWORD exStyle, Text className, Text windowName, DWORD style, int x, int y, int width, int height,
                     HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    CurrentQueue();  // even when creation fails
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto windowClass = IS_INTRESOURCE(className)
                           ? Classes().Find(static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(className)))
                           : Classes().Find(Widen(className), instance);
    CreateStruct create{};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = DefaultOr(height);
    create.cx = DefaultOr(width);
    create.y = DefaultOr(y);
    create.x = DefaultOr(x);
    create.style = static_cast<LONG>(style);
    create.lpszName = windowName;
    create.lpszClass = className;
    return CreateWindowCommon(windowClass, exStyle, create);
}

std::shared_ptr<Window> WindowOrError(HWND handle) {
    auto window = LookupWindow(handle);
    if (!window) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

}  // namespace
}  // namespace zrwin::user32

using namespace zrwin::user32;

// RegisterClassA (user32): a second class of the same name and instance fails with ERROR_CLASS_ALREADY_EXISTS.
ZRWINAPI ATOM WINAPI RegisterClassA(const WNDCLASSA* windowClass) { return RegisterClassFor(windowClass); }

// CreateWindowExA (user32): the window belongs to the calling thread; its procedure gets WM_NCCREATE and
// WM_CREATE with the CREATESTRUCTA (and its creation parameter) before the call returns.
ZRWINAPI HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                                    int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                    LPVOID param) {
    return CreateWindowFor<CREATESTRUCTA>(exStyle, className, windowName, style, x, y, width, height, parent, menu,
                                          instance, param);
}

// DestroyWindow (user32): only the owning thread may destroy (ERROR_ACCESS_DENIED otherwise); the procedure
// gets WM_DESTROY and WM_NCDESTROY, then the handle is dead.
ZRWINAPI BOOL WINAPI DestroyWindow(HWND handle) {
    auto window = WindowOrError(handle);
    if (!window) return FALSE;
    if (window->threadId != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (window->destroying.exchange(true)) return TRUE;  // asked again from its own WM_DESTROY
    window->procedure(handle, WM_DESTROY, 0, 0);
    window->procedure(handle, WM_NCDESTROY, 0, 0);
    if (auto queue = window->queue.lock()) queue->RemoveWindow(handle);
    RemoveWindowFromTable(handle);
    return TRUE;
}

// IsWindow (user32): TRUE while the handle names a live window of the process.
ZRWINAPI BOOL WINAPI IsWindow(HWND handle) { return LookupWindow(handle) ? TRUE : FALSE; }

// IsWindowVisible (user32): whether the window has WS_VISIBLE.
ZRWINAPI BOOL WINAPI IsWindowVisible(HWND handle) {
    auto window = LookupWindow(handle);
    return window && (window->style.load() & WS_VISIBLE) ? TRUE : FALSE;
}

// ShowWindow (user32): SW_HIDE hides, any other command shows; the result is whether it was visible before.
// A change of visibility sends WM_SHOWWINDOW.
ZRWINAPI BOOL WINAPI ShowWindow(HWND handle, int command) {
    auto window = WindowOrError(handle);
    if (!window) return FALSE;
    const bool show = command != SW_HIDE;
    LONG before = window->style.load();
    LONG after = show ? (before | static_cast<LONG>(WS_VISIBLE)) : (before & ~static_cast<LONG>(WS_VISIBLE));
    while (!window->style.compare_exchange_weak(before, after)) {
        after = show ? (before | static_cast<LONG>(WS_VISIBLE)) : (before & ~static_cast<LONG>(WS_VISIBLE));
    }
    const bool wasVisible = (before & WS_VISIBLE) != 0;
    if (wasVisible != show) SendMessageA(handle, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
    return wasVisible ? TRUE : FALSE;
}

// GetWindowThreadProcessId (user32): the id of the thread that owns the window, 0 for a dead handle.
ZRWINAPI DWORD WINAPI GetWindowThreadProcessId(HWND handle, LPDWORD processId) {
    auto window = WindowOrError(handle);
    if (!window) return 0;
    if (processId) *processId = GetCurrentProcessId();
    return window->threadId;
}

namespace {
LRESULT DefaultProcedure(HWND handle, UINT message) {
    switch (message) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(handle);
        return 0;
    default:
        return 0;
    }
}
}  // namespace

// DefWindowProcA (user32): TRUE for WM_NCCREATE, WM_CLOSE destroys the window, 0 for everything else.
ZRWINAPI LRESULT WINAPI DefWindowProcA(HWND handle, UINT message, WPARAM, LPARAM) {
    return DefaultProcedure(handle, message);
}
