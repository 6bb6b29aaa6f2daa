// The host library's own instance handle, recorded when the library is
// loaded: for the version read, the hidden window and log lines.
#pragma once

#include "platform/platform.h"

// The library attach routine: records the instance handle on the
// process-attach notification; other reasons change nothing. Always TRUE.
BOOL HostLibraryAttach(HINSTANCE instance, DWORD reason);

// The instance handle recorded at attach, null before.
HINSTANCE HostModuleHandle();
