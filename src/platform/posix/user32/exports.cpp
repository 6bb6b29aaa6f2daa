// The exports of the built-in "user32" (the character functions of the ANSI
// code page are registered beside the code-page tables).
#include "core/builtin_modules.h"
#include "zrwin/winuser.h"

namespace {
#define ZRWIN_USER32_EXPORT(name) {#name, reinterpret_cast<void*>(&name)}
const zrwin::BuiltinExport kUser32Exports[] = {
    ZRWIN_USER32_EXPORT(RegisterClassA),     ZRWIN_USER32_EXPORT(RegisterClassW),
    ZRWIN_USER32_EXPORT(CreateWindowExA),    ZRWIN_USER32_EXPORT(CreateWindowExW),
    ZRWIN_USER32_EXPORT(DestroyWindow),      ZRWIN_USER32_EXPORT(IsWindow),
    ZRWIN_USER32_EXPORT(IsWindowVisible),    ZRWIN_USER32_EXPORT(ShowWindow),
    ZRWIN_USER32_EXPORT(GetWindowThreadProcessId),
    ZRWIN_USER32_EXPORT(DefWindowProcA),     ZRWIN_USER32_EXPORT(DefWindowProcW),
    ZRWIN_USER32_EXPORT(GetMessageA),        ZRWIN_USER32_EXPORT(GetMessageW),
    ZRWIN_USER32_EXPORT(PeekMessageA),       ZRWIN_USER32_EXPORT(PeekMessageW),
    ZRWIN_USER32_EXPORT(TranslateMessage),   ZRWIN_USER32_EXPORT(DispatchMessageA),
    ZRWIN_USER32_EXPORT(DispatchMessageW),   ZRWIN_USER32_EXPORT(PostMessageA),
    ZRWIN_USER32_EXPORT(PostMessageW),       ZRWIN_USER32_EXPORT(PostThreadMessageA),
    ZRWIN_USER32_EXPORT(PostThreadMessageW), ZRWIN_USER32_EXPORT(PostQuitMessage),
    ZRWIN_USER32_EXPORT(SendMessageA),       ZRWIN_USER32_EXPORT(SendMessageW),
    ZRWIN_USER32_EXPORT(InSendMessage),      ZRWIN_USER32_EXPORT(wsprintfA),
    ZRWIN_USER32_EXPORT(wvsprintfA),         ZRWIN_USER32_EXPORT(GetQueueStatus),
};
#undef ZRWIN_USER32_EXPORT
ZRWIN_REGISTER_BUILTIN("user32", kUser32Exports);
}  // namespace
