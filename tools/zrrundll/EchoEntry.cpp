// A library for the zrrundll tests: its entry prints what it was called with.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

extern "C" __attribute__((visibility("default"))) void CALLBACK Echo(HWND window, HINSTANCE instance,
                                                                     LPSTR commandLine, int show) {
    char file[4096] = {0};
    GetModuleFileNameA(reinterpret_cast<HMODULE>(instance), file, sizeof file);
    const char* name = std::strrchr(file, '\\');
    std::printf("window=%d instance=%s show=%d cmdline=[%s]\n", window ? 1 : 0, name ? name + 1 : file, show,
                commandLine);
    std::fflush(stdout);
}
