// The exports of the built-in ntdll: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    // threads
    ZRWIN_EXPORT(NtQueryInformationThread),
};
ZRWIN_REGISTER_BUILTIN("ntdll", kExports);

}  // namespace
