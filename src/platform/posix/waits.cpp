// Waits: poll() over the descriptors of the objects; objects without one
// (mutexes) are tried between short poll slices. The lowest satisfied index
// wins, as on Windows.
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "core/builtin_modules.h"
#include "core/handle_table.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

// How often a multi-object wait retries the objects it cannot poll.
constexpr int kSliceMs = 5;

uint64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

struct Waitable {
    std::shared_ptr<KernelObject> object;  // null for the never-signalled pseudo handles
};

DWORD WaitAny(const std::vector<Waitable>& items, DWORD milliseconds) {
    std::vector<pollfd> fds;
    bool slices = false;
    for (const auto& item : items) {
        if (item.object && item.object->TriedBySlices()) slices = true;
    }
    fds.reserve(items.size());
    for (const auto& item : items) {
        int fd = item.object ? item.object->PollFd() : -1;
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    const bool infinite = milliseconds == INFINITE;
    const uint64_t deadline = NowUs() + static_cast<uint64_t>(milliseconds) * 1000u;
    // The first round only looks (time-out 0), so a zero time-out still
    // takes what is signalled now.
    for (bool first = true;; first = false) {
        int timeout = 0;
        if (!first) {
            if (infinite) {
                timeout = -1;
            } else {
                uint64_t now = NowUs();
                if (now >= deadline) return WAIT_TIMEOUT;
                uint64_t left = (deadline - now + 999u) / 1000u;  // never wake before the deadline
                timeout = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
            }
            if (slices && (timeout < 0 || timeout > kSliceMs)) timeout = kSliceMs;
        }
        for (auto& entry : fds) entry.revents = 0;
        int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return WAIT_FAILED;
        }
        if (ready <= 0 && !slices) {
            continue;
        }
        for (size_t i = 0; i < items.size(); ++i) {
            const auto& object = items[i].object;
            if (!object) continue;
            bool candidate = object->TriedBySlices() || (ready > 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)));
            if (!candidate) continue;
            DWORD result = object->TryWait();
            if (result == WAIT_OBJECT_0) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            if (result == WAIT_ABANDONED_0) return WAIT_ABANDONED_0 + static_cast<DWORD>(i);
            if (result == WAIT_FAILED) return WAIT_FAILED;
        }
    }
}

}  // namespace
}  // namespace zrwin

ZRWINAPI DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<zrwin::Waitable> items(count);
    for (DWORD i = 0; i < count; ++i) {
        if (zrwin::IsPseudoHandle(handles[i])) continue;  // the caller's own process or thread never ends during the wait
        items[i].object = zrwin::LookupHandle(handles[i]);
        if (!items[i].object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (items[i].object->PollFd() < 0 && !items[i].object->TriedBySlices()) {
            SetLastError(ERROR_INVALID_HANDLE);  // not a waitable object (a file, a key)
            return WAIT_FAILED;
        }
    }
    if (waitAll) {
        // Taking several objects atomically is not implemented.
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    return zrwin::WaitAny(items, milliseconds);
}

ZRWINAPI DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (!zrwin::IsPseudoHandle(handle)) {
        auto object = zrwin::LookupHandle(handle);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        // An event waits on its own, more cheaply than through poll().
        if (object->Kind() == zrwin::ObjectKind::Event || object->PollFd() < 0) return object->WaitSelf(milliseconds);
    }
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

namespace {
const zrwin::BuiltinExport kWaitExports[] = {
    {"WaitForSingleObject", reinterpret_cast<void*>(&WaitForSingleObject)},
    {"WaitForMultipleObjects", reinterpret_cast<void*>(&WaitForMultipleObjects)},
};
ZRWIN_REGISTER_BUILTIN("kernel32", kWaitExports);
}  // namespace
