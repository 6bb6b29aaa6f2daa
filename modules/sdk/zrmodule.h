/* zrmodproc plug-in module SDK.
 *
 * A plug-in module is a shared library (a DLL on Windows) that the host loads
 * from a private copy and drives through a few unmangled __stdcall exports:
 *
 *   "Start"   required   ZR_MODULE_START(token, params, window)
 *   "Stop"    required   ZR_MODULE_STOP()
 *   "Data"    optional   ZR_MODULE_DATA(option, args) -> BSTR or NULL
 *   "DataExt", "Event", "EventEx"   optional; reported as supported, never called
 *
 * Threading: "Start" runs on the thread that asked for the start (blocking
 * mode) or on a thread of its own (threaded mode). "Stop" is called at most
 * once per "Start", only after "Start" has returned. "Data" may be called on
 * any host thread, several at once, and must be safe for that.
 *
 * Answers of "Data" are BSTRs from SysAllocString / SysAllocStringLen; the
 * host copies the text up to its first zero character and frees it with
 * SysFreeString. Return NULL for an empty answer.
 *
 * Windows builds with MinGW must export the names without the @N stdcall
 * decoration: link with -Wl,--kill-at (or use a .def file).
 */
#ifndef ZRMODULE_SDK_H
#define ZRMODULE_SDK_H

#include <stddef.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>
#define ZR_MODULE_EXPORT_ATTR __declspec(dllexport)
#else
#include "zrwin/windows.h"
#define ZR_MODULE_EXPORT_ATTR __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define ZR_MODULE_EXPORT extern "C" ZR_MODULE_EXPORT_ATTR
#else
#define ZR_MODULE_EXPORT ZR_MODULE_EXPORT_ATTR
#endif

/* The signatures of the exports. The window value is the host's hidden window
 * as a 32-bit number (0 when the host has none, and always 0 in threaded mode);
 * turn it into a window with ZR_WINDOW_FROM_VALUE. The token changes at every
 * start and is the module's own business. Return values of Start and Stop are
 * not looked at. */
#define ZR_MODULE_START int __stdcall Start(DWORD token, const char* params, DWORD window)
#define ZR_MODULE_STOP int __stdcall Stop(void)
#define ZR_MODULE_DATA BSTR __stdcall Data(int option, const wchar_t* args)

typedef int(__stdcall* ZrModuleStartFn)(DWORD token, const char* params, DWORD window);
typedef int(__stdcall* ZrModuleStopFn)(void);
typedef BSTR(__stdcall* ZrModuleDataFn)(int option, const wchar_t* args);

#define ZR_WINDOW_FROM_VALUE(value) ((HWND)(UINT_PTR)(value))

/* Option codes of data requests (the first argument of "Data"). */
enum ZrModuleOption {
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
    ZR_RUN_SCRIPT_ASYNCH = 18
};

/* Window messages a module sends (SendMessage) to the host's window; the host
 * relays them to its parent and answers 1.
 *   GETSRVOPTION / SETSRVOPTION: wParam = address of a zero-terminated 8-bit
 *     option name, lParam = address of a ZR_BUFFER_DESCRIPTOR.
 *   WM_RUNJOB: wParam and lParam are plain numbers. */
#define GETSRVOPTION 3025
#define SETSRVOPTION 3026
#define WM_RUNJOB 3027

/* The buffer handed with GETSRVOPTION / SETSRVOPTION. The host reads the
 * address of the bytes at offset 0 and their 32-bit count at offset 8. On a
 * 32-bit build the four bytes between them are unused; on a 64-bit build the
 * address fills them. The union keeps offset 8 for the count on both. */
typedef struct ZR_BUFFER_DESCRIPTOR {
    union {
        const void* data;
        unsigned long long reserved0;
    } address;
    DWORD count;
    DWORD reserved1;
} ZR_BUFFER_DESCRIPTOR;

#ifdef __cplusplus
static_assert(sizeof(ZR_BUFFER_DESCRIPTOR) == 16, "descriptor layout");
static_assert(offsetof(ZR_BUFFER_DESCRIPTOR, count) == 8, "the host reads the count at offset 8");
#endif

#endif /* ZRMODULE_SDK_H */
