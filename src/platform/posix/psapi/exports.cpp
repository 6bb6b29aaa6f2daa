// The exports of the built-in psapi: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(EnumProcesses),
};
ZRWIN_REGISTER_BUILTIN("psapi", kExports);

}  // namespace
