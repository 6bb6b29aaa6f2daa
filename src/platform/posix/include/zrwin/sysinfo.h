// kernel32/user32/version/ntdll: OS version, code pages, system messages,
// debugger output, file version resources and small process settings.
#pragma once

#include <stdarg.h>

#include "zrwin/types.h"
#include "zrwin/winerror.h"

// ---- OS version: the layer reports Windows 10 (NT 10.0, workstation).
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003
#define VER_MINORVERSION 0x0000001
#define VER_MAJORVERSION 0x0000002
#define VER_BUILDNUMBER 0x0000004
#define VER_PLATFORMID 0x0000008
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_SUITENAME 0x0000040
#define VER_PRODUCT_TYPE 0x0000080
#define VER_EQUAL 1
#define VER_GREATER 2
#define VER_GREATER_EQUAL 3
#define VER_LESS 4
#define VER_LESS_EQUAL 5
#define VER_AND 6
#define VER_OR 7

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXA, *POSVERSIONINFOEXA, *LPOSVERSIONINFOEXA;

ZRWINAPI BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
ZRWINAPI DWORD WINAPI GetVersion(void);
ZRWINAPI BOOL WINAPI VerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, DWORDLONG conditionMask);
ZRWINAPI ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition);
// FALSE for a native 64-bit build.
ZRWINAPI BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64);

// ---- Code pages: CP_ACP is Windows-1252 unless configured; 65001 is UTF-8.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

ZRWINAPI UINT WINAPI GetACP(void);
ZRWINAPI UINT WINAPI GetOEMCP(void);
ZRWINAPI int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textLength, LPWSTR wide,
                                       int wideLength);
ZRWINAPI int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text,
                                       int textLength, LPCSTR defaultChar, LPBOOL usedDefaultChar);
// user32 character classification and case in the ANSI code page.
ZRWINAPI BOOL WINAPI IsCharAlphaA(CHAR ch);
ZRWINAPI DWORD WINAPI CharUpperBuffA(LPSTR text, DWORD length);

// ---- System messages.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

ZRWINAPI DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                                    DWORD size, va_list* arguments);

// ---- Debugger output. With no debugger to receive it, the text goes where
// the environment variable ZRWIN_DEBUG_OUTPUT says: "stderr", or a file path
// it is appended to; unset, it is dropped.
ZRWINAPI void WINAPI OutputDebugStringA(LPCSTR text);
ZRWINAPI void WINAPI OutputDebugStringW(LPCWSTR text);

// The only flag: the system does not retry when the process does not end in time.
#define SHUTDOWN_NORETRY 0x00000001
ZRWINAPI BOOL WINAPI SetProcessShutdownParameters(DWORD level, DWORD flags);

// ---- version.dll: the version resource stamped into the layer's builds.
typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

ZRWINAPI DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
ZRWINAPI BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD length, LPVOID data);
ZRWINAPI BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length);

// ---- ntdll (reached through GetProcAddress on the built-in "ntdll.dll").
typedef enum _THREADINFOCLASS { ThreadBasicInformation = 0 } THREADINFOCLASS;
ZRWINAPI NTSTATUS NTAPI NtQueryInformationThread(HANDLE thread, THREADINFOCLASS infoClass, PVOID info, ULONG length,
                                                PULONG returnLength);
