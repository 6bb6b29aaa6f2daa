// psapi: the process list, read from /proc.
#include <dirent.h>

#include <cstdlib>

#include "zrwin/psapi.h"
#include "zrwin/sync.h"

ZRWINAPI BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
    if (!bytesReturned || (!processIds && bytes != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DIR* proc = opendir("/proc");
    if (!proc) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const DWORD capacity = bytes / sizeof(DWORD);
    DWORD stored = 0;
    while (stored < capacity) {
        dirent* entry = readdir(proc);
        if (!entry) break;
        char* end = nullptr;
        unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == 0 || pid > 0xFFFFFFFFul) continue;
        processIds[stored++] = static_cast<DWORD>(pid);
    }
    closedir(proc);
    // As on Windows, a full buffer is no error: the caller retries larger
    // when all of it came back.
    *bytesReturned = stored * sizeof(DWORD);
    return TRUE;
}

namespace {
// Newer Windows also exports it from kernel32 under this name.
}  // namespace
