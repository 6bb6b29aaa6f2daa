// psapi: the process list.
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"

ZRWINAPI BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);
