// Whether a process is still alive, by its id.
#pragma once

#include <functional>

#include "platform/platform.h"

namespace Utils_Processes {

// Lists the process ids through psapi's EnumProcesses and looks for `pid`.
bool CheckIfProcessExist(DWORD pid);

// The search behind CheckIfProcessExist over any enumeration with
// EnumProcesses' contract: the list is read again with a larger buffer until
// it fits, so that a busy machine never makes a live process look dead.
// False when the enumeration fails.
using EnumProcessesFn = std::function<BOOL(DWORD* processIds, DWORD bytes, DWORD* bytesReturned)>;
bool FindProcessId(DWORD pid, const EnumProcessesFn& enumerate);

}  // namespace Utils_Processes
