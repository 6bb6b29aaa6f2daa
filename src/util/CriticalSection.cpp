#include "util/CriticalSection.h"

namespace {
constexpr DWORD kNoOwner = static_cast<DWORD>(-1);
}

CriticalSection::CriticalSection() : owner_(kNoOwner) {
    InitializeCriticalSection(&section_);
}

CriticalSection::~CriticalSection() {
    DeleteCriticalSection(&section_);
}

void CriticalSection::Enter() {
    EnterCriticalSection(&section_);
    owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
}

void CriticalSection::Leave() {
    owner_.store(kNoOwner, std::memory_order_relaxed);
    LeaveCriticalSection(&section_);
}

bool CriticalSection::NeedsLock() const {
    // Only the holder ever writes its own id here, so a thread comparing with
    // its own id needs no lock to read it.
    DWORD owner = owner_.load(std::memory_order_relaxed);
    return !(static_cast<LONG>(owner) >= 0 && owner == GetCurrentThreadId());
}

CriticalSectionLock::CriticalSectionLock(CriticalSection* cs, bool lockNow) : cs_(cs), entered_(false) {
    if (lockNow) {
        Lock();
    }
}

CriticalSectionLock::~CriticalSectionLock() {
    Unlock();
}

bool CriticalSectionLock::Lock() {
    if (cs_ == nullptr) {
        return false;
    }
    if (!cs_->NeedsLock()) {
        return true;  // an outer lock of this thread holds it already
    }
    cs_->Enter();
    entered_ = true;
    return true;
}

bool CriticalSectionLock::Unlock() {
    if (cs_ != nullptr && entered_) {
        cs_->Leave();
        entered_ = false;
    }
    return !entered_;
}

CriticalSectionUnlock::CriticalSectionUnlock(CriticalSection* cs) : cs_(cs) {
    if (cs_ != nullptr) {
        cs_->Leave();
    }
}

CriticalSectionUnlock::~CriticalSectionUnlock() {
    if (cs_ != nullptr) {
        cs_->Enter();
    }
}
