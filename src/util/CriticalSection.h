// The owner-tracking lock that guards every shared table, with its scoped
// lock (nested locks of one thread enter once) and scoped temporary unlock.
#pragma once

#include <atomic>

#include "platform/platform.h"

class CriticalSection {
public:
    CriticalSection();
    virtual ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    void Leave();
    // False when the calling thread already holds the section.
    bool NeedsLock() const;

private:
    friend class CriticalSectionUnlock;
    CRITICAL_SECTION section_;
    std::atomic<DWORD> owner_;  // thread id of the holder, (DWORD)-1 when free
};

class CriticalSectionLock {
public:
    CriticalSectionLock(CriticalSection* cs, bool lockNow);
    virtual ~CriticalSectionLock();
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

    bool Lock();
    bool Unlock();

private:
    CriticalSection* cs_;
    bool entered_;
};

class CriticalSectionUnlock {
public:
    explicit CriticalSectionUnlock(CriticalSection* cs);
    virtual ~CriticalSectionUnlock();
    CriticalSectionUnlock(const CriticalSectionUnlock&) = delete;
    CriticalSectionUnlock& operator=(const CriticalSectionUnlock&) = delete;

private:
    CriticalSection* cs_;
};
