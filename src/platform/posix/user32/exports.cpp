// The exports of the built-in user32: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"
#include "zrwin/winuser.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    // windows and classes
    ZRWIN_EXPORT(RegisterClassA),
    ZRWIN_EXPORT(RegisterClassW),
    ZRWIN_EXPORT(CreateWindowExA),
    ZRWIN_EXPORT(CreateWindowExW),
    ZRWIN_EXPORT(DestroyWindow),
    ZRWIN_EXPORT(IsWindow),
    ZRWIN_EXPORT(IsWindowVisible),
    ZRWIN_EXPORT(ShowWindow),
    ZRWIN_EXPORT(GetWindowThreadProcessId),
    ZRWIN_EXPORT(DefWindowProcA),
    ZRWIN_EXPORT(DefWindowProcW),
    // messages
    ZRWIN_EXPORT(GetMessageA),
    ZRWIN_EXPORT(GetMessageW),
    ZRWIN_EXPORT(PeekMessageA),
    ZRWIN_EXPORT(TranslateMessage),
    ZRWIN_EXPORT(DispatchMessageA),
    ZRWIN_EXPORT(DispatchMessageW),
    ZRWIN_EXPORT(PostMessageA),
    ZRWIN_EXPORT(PostMessageW),
    ZRWIN_EXPORT(PostThreadMessageA),
    ZRWIN_EXPORT(PostThreadMessageW),
    ZRWIN_EXPORT(PostQuitMessage),
    ZRWIN_EXPORT(SendMessageA),
    ZRWIN_EXPORT(SendMessageW),
    ZRWIN_EXPORT(InSendMessage),
    ZRWIN_EXPORT(GetQueueStatus),
    // formatting
    ZRWIN_EXPORT(wsprintfA),
    ZRWIN_EXPORT(wvsprintfA),
    // characters of the ANSI code page (characters.cpp)
    ZRWIN_EXPORT(IsCharAlphaA),
    ZRWIN_EXPORT(CharUpperBuffA),
};
ZRWIN_REGISTER_BUILTIN("user32", kExports);

}  // namespace
