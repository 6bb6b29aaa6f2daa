#include "ipc/messages/Commands.h"

#include <iterator>

namespace {

const char* const kOptionNames[] = {
    "ZR_RUN_SCRIPT",
    "ZR_DECRYPT_RUN",
    "ZR_GETOPTION",
    "ZR_SETOPTION",
    "ZR_SETPROXYDATA",
    "ZR_SETDEFERRED_FILE",
    "ZR_SETDEFERRED_ENCRYPT_KEY",
    "ZR_IS_CURRUSER_LOCAL_ADMIN",
    "ZR_DECRYPT_RUN2",
    "ZR_SETPROXYDATA2",
    "ZR_SETWORKINGFOLDER",
    "ZR_GETALLOPTIONS",
    "ZR_SETALLOPTIONS",
    "ZR_RUN_SCRIPT_PER_PARTS",
    "ZR_SET_TCP_COMMAND_PORT",
    "ZR_WINHTTP_WININET",
    "ZR_NOTIFYSTOPSCRIPT",
    "ZR_ENABLECHECKCERTIFICATE",
    "ZR_RUN_SCRIPT_ASYNCH",
};

const char* const kCommandNames[] = {
    "MReady",
    "MStartModule",
    "MStopModule",
    "MModuleData",
    nullptr,
    "MWindowMessage",
    "MModuleData2",
    "MModuleDataAsyncEnd",
    "MStartModuleArgs",
    "MStartModuleExec",
};

}  // namespace

const char* GetCommandName(int code) {
    if (code < 0 || code >= static_cast<int>(std::size(kOptionNames))) {
        return "unknown";
    }
    return kOptionNames[code];
}

const char* GetHostCommandName(int command) {
    if (command < 0 || command >= static_cast<int>(std::size(kCommandNames)) || !kCommandNames[command]) {
        return "unknown";
    }
    return kCommandNames[command];
}
