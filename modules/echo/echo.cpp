// The echo module: answers every data request with the option's name and the
// argument, "<NAME>:<argument>". A starting point for new modules.
#include <cwchar>
#include <string>

#include "zrmodule.h"

namespace {

const wchar_t* OptionName(int option) {
    static const wchar_t* const kNames[] = {
        L"ZR_RUN_SCRIPT",           L"ZR_DECRYPT_RUN",          L"ZR_GETOPTION",
        L"ZR_SETOPTION",            L"ZR_SETPROXYDATA",         L"ZR_SETDEFERRED_FILE",
        L"ZR_SETDEFERRED_ENCRYPT_KEY", L"ZR_IS_CURRUSER_LOCAL_ADMIN", L"ZR_DECRYPT_RUN2",
        L"ZR_SETPROXYDATA2",        L"ZR_SETWORKINGFOLDER",     L"ZR_GETALLOPTIONS",
        L"ZR_SETALLOPTIONS",        L"ZR_RUN_SCRIPT_PER_PARTS", L"ZR_SET_TCP_COMMAND_PORT",
        L"ZR_WINHTTP_WININET",      L"ZR_NOTIFYSTOPSCRIPT",     L"ZR_ENABLECHECKCERTIFICATE",
        L"ZR_RUN_SCRIPT_ASYNCH",
    };
    if (option < 0 || option >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) return L"unknown";
    return kNames[option];
}

}  // namespace

ZR_MODULE_EXPORT ZR_MODULE_START {
    (void)token;
    (void)params;
    (void)window;
    return 0;
}

ZR_MODULE_EXPORT ZR_MODULE_STOP { return 0; }

ZR_MODULE_EXPORT ZR_MODULE_DATA {
    // Nothing may escape an export: the host is not prepared for exceptions.
    try {
        std::wstring answer = OptionName(option);
        answer += L':';
        if (args) answer += args;
        return SysAllocStringLen(answer.data(), static_cast<UINT>(answer.size()));
    } catch (...) {
        return nullptr;
    }
}
