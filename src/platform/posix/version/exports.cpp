// The exports of the built-in version: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(GetFileVersionInfoSizeW),
    ZRWIN_EXPORT(GetFileVersionInfoW),
    ZRWIN_EXPORT(VerQueryValueW),
};
ZRWIN_REGISTER_BUILTIN("version", kExports);

}  // namespace
