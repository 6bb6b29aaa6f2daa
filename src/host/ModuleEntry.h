// The host library's entry points: `Module`, which the rundll32 host calls
// on the process's entry thread and which is the whole life of the process,
// and the attach routine that records the library's own instance handle.
#pragma once

#include "platform/platform.h"

// Exported undecorated as "Module" in the form rundll32 calls. Only the
// command line (the text after the entry name) is used.
extern "C" void WINAPI Module(HWND window, HINSTANCE instance, LPSTR commandLine, int show);

// Records the instance handle on the process-attach notification; other
// reasons change nothing. Always TRUE.
BOOL HostLibraryAttach(HINSTANCE instance, DWORD reason);

// The instance handle recorded at attach, null before.
HINSTANCE HostModuleHandle();
