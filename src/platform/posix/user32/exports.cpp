// The exports of the built-in user32: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"
#include "zrwin/winuser.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    // windows and classes
    ZRWIN_EXPORT(RegisterClassA),
    ZRWIN_EXPORT(CreateWindowExA),
    ZRWIN_EXPORT(DestroyWindow),
    ZRWIN_EXPORT(IsWindow),
    ZRWIN_EXPORT(IsWindowVisible),
    ZRWIN_EXPORT(ShowWindow),
    ZRWIN_EXPORT(GetWindowThreadProcessId),
    ZRWIN_EXPORT(DefWindowProcA),
    // messages
    ZRWIN_EXPORT(GetMessageA),
    ZRWIN_EXPORT(TranslateMessage),
    ZRWIN_EXPORT(DispatchMessageA),
    ZRWIN_EXPORT(PostMessageA),
    ZRWIN_EXPORT(PostThreadMessageA),
    ZRWIN_EXPORT(PostQuitMessage),
    ZRWIN_EXPORT(SendMessageA),
    ZRWIN_EXPORT(GetQueueStatus),
    // characters of the ANSI code page (characters.cpp)
    ZRWIN_EXPORT(IsCharAlphaA),
    ZRWIN_EXPORT(CharUpperBuffA),
};
ZRWIN_REGISTER_BUILTIN("user32", kExports);

}  // namespace
