// The exports of the built-in ntdll: the one list GetProcAddress finds them in.
#include "core/builtin_modules.h"
#include "zrwin/ntport.h"
#include "zrwin/windows.h"

namespace {

const zrwin::BuiltinExport kExports[] = {
    // threads
    ZRWIN_EXPORT(NtQueryInformationThread),
    // LPC ports
    ZRWIN_EXPORT(NtCreatePort),
    ZRWIN_EXPORT(NtConnectPort),
    ZRWIN_EXPORT(NtAcceptConnectPort),
    ZRWIN_EXPORT(NtCompleteConnectPort),
    ZRWIN_EXPORT(NtRequestPort),
    ZRWIN_EXPORT(NtRequestWaitReplyPort),
    ZRWIN_EXPORT(NtReplyPort),
    ZRWIN_EXPORT(NtReplyWaitReceivePort),
    ZRWIN_EXPORT(NtReplyWaitReceivePortEx),
    ZRWIN_EXPORT(NtRegisterThreadTerminatePort),
    ZRWIN_EXPORT(NtReadRequestData),
    ZRWIN_EXPORT(NtWriteRequestData),
    ZRWIN_EXPORT(NtWaitForSingleObject),
    ZRWIN_EXPORT(RtlInitUnicodeString),
    ZRWIN_EXPORT(NtClose),
};
ZRWIN_REGISTER_BUILTIN("ntdll", kExports);

}  // namespace
