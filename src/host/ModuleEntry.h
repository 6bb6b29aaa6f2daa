// The host library's entry point `Module`, which the rundll32 host calls on
// the process's entry thread and which is the whole life of the process.
#pragma once

#include "platform/platform.h"

// Exported undecorated as "Module" in the form rundll32 calls. Only the
// command line (the text after the entry name) is used.
extern "C" void WINAPI Module(HWND window, HINSTANCE instance, LPSTR commandLine, int show);
