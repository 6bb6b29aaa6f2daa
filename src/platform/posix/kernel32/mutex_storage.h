// The memory behind a mutex: private for an unnamed one, a POSIX
// shared-memory object for a named one (see sync_mutex.cpp for its life
// cycle across processes).
#pragma once

#include <fcntl.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "core/scoped_fd.h"

namespace zrwin {

// Shared-memory names of named mutexes begin with this.
inline constexpr const char* kNamePrefix = "/zrwin-mutex-";
// The owner's thread id in a pthread mutex's lock word.
inline constexpr int kFutexTidMask = 0x3fffffff;

// The lock on the object's first byte that marks a process as having the
// name open: shared while open, exclusive for a moment to learn whether any
// other process has it open.
bool LiveLock(int fd, short type, bool wait);

// Whether a thread of this process holds the mutex. Its memory must then stay
// mapped: the thread's robust list points into it.
bool HeldInThisProcess(const pthread_mutex_t* mutex);

// The memory of one mutex, private or shared; released when the last handle
// (and the last wait in progress) lets go of it.
class MutexStorage {
public:
    virtual ~MutexStorage() = default;
    pthread_mutex_t* Mutex() const { return mutex_; }

    // Counts the locks taken through this memory. Only a live owner that
    // took the lock through it pins it: another mapping of the same named
    // mutex in this process may go while a thread holds the lock through
    // its own.
    void Acquired() { held_.fetch_add(1); }
    void Released() { held_.fetch_sub(1); }
    bool Pinned() const { return held_.load() > 0 && HeldInThisProcess(mutex_); }

protected:
    pthread_mutex_t* mutex_ = nullptr;
    std::atomic<int> held_{0};
};

class PrivateStorage : public MutexStorage {
public:
    PrivateStorage();
    ~PrivateStorage() override;
};

class SharedStorage : public MutexStorage {
public:
    // Opens or creates the object; `existed` tells which. False with the
    // last error set on failure.
    bool Open(const std::string& name, bool initialOwner, bool& existed);
    // Opens a parked object again; `existed` is false when no process had
    // it open, which makes it new, owned when asked.
    void Rejoin(bool initialOwner, bool& existed);
    // Marks the name as no longer open in this process, as its last handle closes.
    void Leave() { LiveLock(fd_.Get(), F_UNLCK, false); }
    ~SharedStorage() override;

private:
    bool OpenExisting(bool& gone);
    bool CreateNew(bool initialOwner, bool& raced);
    bool Map(int fd);
    void Join(bool initialOwner, bool& existed);

    std::string name_;
    ScopedFd fd_;
};

}  // namespace zrwin
