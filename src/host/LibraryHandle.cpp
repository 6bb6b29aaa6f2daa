#include "host/LibraryHandle.h"

namespace {

// Written by the attach routine, before any thread of the host exists.
HINSTANCE g_moduleHandle = nullptr;

}  // namespace

BOOL HostLibraryAttach(HINSTANCE instance, DWORD reason) {
    if (reason == DLL_PROCESS_ATTACH) g_moduleHandle = instance;
    return TRUE;
}

HINSTANCE HostModuleHandle() { return g_moduleHandle; }
