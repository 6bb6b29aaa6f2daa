// Windows hands the library its instance handle through DllMain.
#include "host/LibraryHandle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) { return HostLibraryAttach(instance, reason); }
