// Waits: one non-blocking attempt at every object, lowest index first (as
// on Windows the lowest satisfied index wins), then poll() over their
// descriptors and another attempt at those that became readable.
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "core/handle_table.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

uint64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

struct Waitable {
    std::shared_ptr<KernelObject> object;  // null for the never-signalled pseudo handles
};

// WAIT_OBJECT_0 + i or WAIT_ABANDONED_0 + i when object i was taken now.
bool TryTake(const Waitable& item, DWORD index, DWORD& result) {
    if (!item.object || !item.object->TryAcquire()) return false;
    result = (TakeAbandonedNote() ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + index;
    return true;
}

DWORD WaitAny(const std::vector<Waitable>& items, DWORD milliseconds) {
    DWORD result = WAIT_TIMEOUT;
    // Taking what is signalled now needs no descriptor, so an uncontended
    // wait (and a zero time-out) costs no system call.
    for (size_t i = 0; i < items.size(); ++i) {
        if (TryTake(items[i], static_cast<DWORD>(i), result)) return result;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    std::vector<pollfd> fds;
    fds.reserve(items.size());
    for (const auto& item : items) {
        fds.push_back(pollfd{item.object ? item.object->PollFd() : -1, POLLIN, 0});
    }
    const bool infinite = milliseconds == INFINITE;
    const uint64_t deadline = NowUs() + static_cast<uint64_t>(milliseconds) * 1000u;
    for (;;) {
        int timeout = -1;
        if (!infinite) {
            uint64_t now = NowUs();
            if (now >= deadline) return WAIT_TIMEOUT;
            uint64_t left = (deadline - now + 999u) / 1000u;  // never wake before the deadline
            timeout = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
        }
        for (auto& entry : fds) entry.revents = 0;
        int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return WAIT_FAILED;
        }
        if (ready <= 0) continue;
        for (size_t i = 0; i < items.size(); ++i) {
            // POLLNVAL too: an object whose descriptor could not be made is
            // then retried on every round rather than never.
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
            if (TryTake(items[i], static_cast<DWORD>(i), result)) return result;
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
        if (items[i].object->PollFd() < 0) {
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
        if (auto object = zrwin::LookupHandle(handle)) {
            const DWORD result = object->WaitSelf(milliseconds);
            if (result != zrwin::KernelObject::kNoSingleWait) return result;
        }
    }
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}
