#include "ipc/multiprocess/Utils_Processes.h"

#include <algorithm>
#include <vector>

#include "log/Log.h"
#include "util/LoadLibrary.h"

namespace Utils_Processes {

namespace {
constexpr DWORD kFirstCapacity = 1024;
// Far above any real process count; ends the growth if an enumeration keeps
// filling every buffer it is given.
constexpr DWORD kMaxCapacity = 1u << 22;
}  // namespace

bool FindProcessId(DWORD pid, const EnumProcessesFn& enumerate) {
    // A list that fills the buffer exactly may have been cut short, so it is
    // read again into a larger one; searching only the first 1024 ids would
    // make a live peer look dead on a machine running more processes.
    std::vector<DWORD> ids(kFirstCapacity);
    DWORD returned = 0;
    for (;;) {
        const DWORD bytes = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!enumerate(ids.data(), bytes, &returned)) {
            Log(LOG_ERROR, "Utils_Processes::CheckIfProcessExist: [E] EnumProcessesFuncPtr failed on execution");
            return false;
        }
        if (returned < bytes || ids.size() >= kMaxCapacity) break;
        ids.resize(ids.size() * 2);
    }
    const size_t count = std::min<size_t>(returned / sizeof(DWORD), ids.size());
    return std::find(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(count), pid) !=
           ids.begin() + static_cast<std::ptrdiff_t>(count);
}

bool CheckIfProcessExist(DWORD pid) {
    try {
        CPsAPI psapi;
        if (!psapi.IsLoaded()) {
            Log(LOG_ERROR, "Utils_Processes::CheckIfProcessExist: [E] LoadLibraryA failed to load psapi.dll");
            return false;
        }
        return FindProcessId(pid, [&psapi](DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
            return psapi.EnumProcesses(processIds, bytes, bytesReturned);
        });
    } catch (...) {
        Log(LOG_CRITICAL_ERROR,
            "Utils_Processes::CheckIfProcessExist: [C] try catched at Utils_Processes::CheckIfProcessExist");
        return false;
    }
}

}  // namespace Utils_Processes
