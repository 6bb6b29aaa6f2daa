// Sleeping on a 32-bit word: the cheapest wait and wake-up between threads of
// one process, for objects that wait on their own (WaitSelf).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "zrwin/sync.h"

namespace zrwin {

// Sleeps while *word equals `value`, until woken or the absolute monotonic
// deadline (none when null) passes. May return early; callers look again.
inline void FutexWaitWhile(std::atomic<uint32_t>* word, uint32_t value, const timespec* deadline) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, value, deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

inline void FutexWake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// The absolute monotonic deadline `milliseconds` from now (not INFINITE).
inline timespec DeadlineAfter(DWORD milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

inline bool Passed(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// The single-object wait of an object whose state is `word` (0: not
// signalled): sleeps until `tryAcquire` succeeds or `milliseconds` pass.
// `sleepers` is counted before the word is looked at, so that a signaller
// either sees this sleeper (and wakes the word) or the futex sees its store.
template <typename TryAcquire>
DWORD FutexWaitSelf(std::atomic<uint32_t>* word, std::atomic<uint32_t>* sleepers, DWORD milliseconds,
                    TryAcquire tryAcquire) {
    if (tryAcquire()) return WAIT_OBJECT_0;
    if (milliseconds == 0) return WAIT_TIMEOUT;
    const timespec deadline = milliseconds == INFINITE ? timespec{} : DeadlineAfter(milliseconds);
    for (;;) {
        sleepers->fetch_add(1);
        FutexWaitWhile(word, 0u, milliseconds == INFINITE ? nullptr : &deadline);
        sleepers->fetch_sub(1);
        if (tryAcquire()) return WAIT_OBJECT_0;
        if (milliseconds != INFINITE && Passed(deadline)) return WAIT_TIMEOUT;
    }
}

}  // namespace zrwin
