// kernel32: libraries. System DLL names resolve to built-in modules of the
// layer; any other name is a path, mapped and opened with dlopen.
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"

// Reasons of a library's attach routine (DllMain on Windows).
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

ZRWINAPI HMODULE WINAPI LoadLibraryA(LPCSTR name);
ZRWINAPI HMODULE WINAPI LoadLibraryW(LPCWSTR name);
ZRWINAPI FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
ZRWINAPI BOOL WINAPI FreeLibrary(HMODULE module);
ZRWINAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR name);
ZRWINAPI DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
ZRWINAPI DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
