// What the NT side of the layer learns about a thread handle.
#pragma once

#include "zrwin/types.h"

namespace zrwin {

struct ThreadFacts {
    DWORD exitStatus = 0;  // STILL_ACTIVE while it runs
    DWORD threadId = 0;
};

// The facts of a thread handle (the current thread's pseudo handle
// included); false, with the last error untouched, for any other handle.
bool QueryThreadFacts(HANDLE thread, ThreadFacts& facts);

}  // namespace zrwin
