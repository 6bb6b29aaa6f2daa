// The exports of the built-in crypt32: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "crypt32/trust_openssl.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(CertFreeCertificateContext),
    ZRWIN_EXPORT(CertGetNameStringA),
    ZRWIN_EXPORT(CryptVerifyMessageSignature),
};
ZRWIN_REGISTER_BUILTIN("crypt32", kExports);
ZRWIN_REGISTER_BUILTIN_DETACH("crypt32", &zrwin::trust::ReleaseCryptoPages);

}  // namespace
