// The exports of the built-in oleaut32: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(SysAllocString),
    ZRWIN_EXPORT(SysAllocStringLen),
    ZRWIN_EXPORT(SysStringLen),
    ZRWIN_EXPORT(SysFreeString),
};
ZRWIN_REGISTER_BUILTIN("oleaut32", kExports);

}  // namespace
