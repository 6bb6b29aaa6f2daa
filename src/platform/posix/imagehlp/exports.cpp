// The exports of the built-in imagehlp: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    ZRWIN_EXPORT(ImageEnumerateCertificates),
    ZRWIN_EXPORT(ImageGetCertificateHeader),
    ZRWIN_EXPORT(ImageGetCertificateData),
};
ZRWIN_REGISTER_BUILTIN("imagehlp", kExports);

}  // namespace
