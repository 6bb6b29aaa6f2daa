// Host-protocol command ids (the 32-bit command of every port message) and
// the option codes by which a data request names the module operation.
#pragma once

#include <cstdint>

// Command ids; 4 is unassigned and, like any id above 9, is logged and
// ignored by the host.
enum HostCommand : int32_t {
    MReady = 0,
    MStartModule = 1,
    MStopModule = 2,
    MModuleData = 3,
    MWindowMessage = 5,
    MModuleData2 = 6,
    MModuleDataAsyncEnd = 7,
    MStartModuleArgs = 8,
    MStartModuleExec = 9,
};

// Option codes of DataParametersMultiProcess::option, shared with the modules.
enum ZrOptionCode : int32_t {
    ZR_RUN_SCRIPT = 0,
    ZR_DECRYPT_RUN = 1,
    ZR_GETOPTION = 2,
    ZR_SETOPTION = 3,
    ZR_SETPROXYDATA = 4,
    ZR_SETDEFERRED_FILE = 5,
    ZR_SETDEFERRED_ENCRYPT_KEY = 6,
    ZR_IS_CURRUSER_LOCAL_ADMIN = 7,
    ZR_DECRYPT_RUN2 = 8,
    ZR_SETPROXYDATA2 = 9,
    ZR_SETWORKINGFOLDER = 10,
    ZR_GETALLOPTIONS = 11,
    ZR_SETALLOPTIONS = 12,
    ZR_RUN_SCRIPT_PER_PARTS = 13,
    ZR_SET_TCP_COMMAND_PORT = 14,
    ZR_WINHTTP_WININET = 15,
    ZR_NOTIFYSTOPSCRIPT = 16,
    ZR_ENABLECHECKCERTIFICATE = 17,
    ZR_RUN_SCRIPT_ASYNCH = 18,
};

// The log name of an option code ("ZR_RUN_SCRIPT" ...), "unknown" for any
// other value.
const char* GetCommandName(int code);

// The name of a command id ("MReady" ...), "unknown" for unassigned ids.
const char* GetHostCommandName(int command);
