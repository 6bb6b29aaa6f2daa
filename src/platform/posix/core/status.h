// The layer's two status tables and the one way a failure becomes the last
// error.
//
// NT functions return an NTSTATUS and never touch the last error; a POSIX
// failure becomes a status through NtStatusFromErrno. Win32 functions that
// stand on NT (or on a POSIX call) turn the status into the last error with
// FailWithStatus; failures that are Win32 errors from the start use
// FailWithError. Both hand back the caller's failure value, so a failure path
// is one line: `return FailWithError(ERROR_INVALID_PARAMETER, FALSE);`.
#pragma once

#include "zrwin/ntstatus.h"
#include "zrwin/sync.h"
#include "zrwin/winerror.h"

namespace zrwin {

// The status of a failed POSIX call; STATUS_UNSUCCESSFUL for an errno
// without a closer match.
NTSTATUS NtStatusFromErrno(int error);

// The Win32 error Windows reports for a status; ERROR_MR_MID_NOT_FOUND for a
// status it has no error for.
DWORD Win32ErrorFromNtStatus(NTSTATUS status);

template <class T>
T FailWithError(DWORD error, T failure) {
    SetLastError(error);
    return failure;
}

template <class T>
T FailWithStatus(NTSTATUS status, T failure) {
    return FailWithError(Win32ErrorFromNtStatus(status), failure);
}

}  // namespace zrwin
