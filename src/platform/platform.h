// The one platform header of the product code.
//
// On Windows it is the system's own headers; elsewhere it is the project's
// POSIX layer, which implements the same Win32/NT subset with Windows
// semantics (see src/platform/posix/README.md).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winternl.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <imagehlp.h>
#include <psapi.h>
#include <oleauto.h>
#else
#include "zrwin/windows.h"
#endif
