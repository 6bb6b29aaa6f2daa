// kernel32: files with share modes, attributes, paths and drives.
// Windows paths are mapped through the drive table (see the layer's README).
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_GENERIC_READ 0x00120089
#define FILE_GENERIC_WRITE 0x00120116
#define FILE_ALL_ACCESS 0x001F01FF

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef enum _GET_FILEEX_INFO_LEVELS {
    GetFileExInfoStandard,
    GetFileExMaxInfoLevel
} GET_FILEEX_INFO_LEVELS;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;

ZRWINAPI HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                                  DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
ZRWINAPI HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                                  DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
ZRWINAPI BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
ZRWINAPI BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
ZRWINAPI DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
ZRWINAPI BOOL WINAPI SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method);
ZRWINAPI BOOL WINAPI GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
ZRWINAPI BOOL WINAPI FlushFileBuffers(HANDLE file);
ZRWINAPI BOOL WINAPI DeleteFileA(LPCSTR name);
ZRWINAPI BOOL WINAPI DeleteFileW(LPCWSTR name);
ZRWINAPI DWORD WINAPI GetFileAttributesA(LPCSTR name);
ZRWINAPI DWORD WINAPI GetFileAttributesW(LPCWSTR name);
ZRWINAPI BOOL WINAPI GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information);

ZRWINAPI BOOL WINAPI GetVolumePathNameW(LPCWSTR fileName, LPWSTR volumePath, DWORD length);
ZRWINAPI DWORD WINAPI GetLogicalDriveStringsW(DWORD length, LPWSTR buffer);
ZRWINAPI DWORD WINAPI QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD max);
ZRWINAPI BOOL WINAPI GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                                          LPDWORD serialNumber, LPDWORD maxComponentLength, LPDWORD fileSystemFlags,
                                          LPSTR fileSystemName, DWORD fileSystemNameSize);
