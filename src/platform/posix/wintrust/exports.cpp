// The exports of the built-in wintrust: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "crypt32/trust_openssl.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(WinVerifyTrust),
};
ZRWIN_REGISTER_BUILTIN("wintrust", kExports);
ZRWIN_REGISTER_BUILTIN_DETACH("wintrust", &zrwin::trust::ReleaseCryptoPages);

}  // namespace
