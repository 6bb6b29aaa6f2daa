// The exports of the built-in advapi32: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(CryptAcquireContextA),
    ZRWIN_EXPORT(CryptReleaseContext),
    ZRWIN_EXPORT(CryptCreateHash),
    ZRWIN_EXPORT(CryptHashData),
    ZRWIN_EXPORT(CryptGetHashParam),
    ZRWIN_EXPORT(CryptDestroyHash),
};
ZRWIN_REGISTER_BUILTIN("advapi32", kExports);

}  // namespace
