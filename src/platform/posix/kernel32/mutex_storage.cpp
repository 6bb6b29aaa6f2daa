#include "kernel32/mutex_storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "zrwin/sync.h"

namespace zrwin {

namespace {

constexpr const char* kShmDirectory = "/dev/shm";

}  // namespace

bool LiveLock(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    int result;
    do {
        result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

namespace {

bool InitMutex(pthread_mutex_t* mutex, bool shared) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (shared) pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    int error = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return error == 0;
}

}  // namespace

bool HeldInThisProcess(const pthread_mutex_t* mutex) {
    int tid = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE) & kFutexTidMask;
    if (tid == 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d", tid);
    return access(path, F_OK) == 0;
}

PrivateStorage::PrivateStorage() {
    auto* mutex = new pthread_mutex_t;
    if (InitMutex(mutex, false)) {
        mutex_ = mutex;
    } else {
        delete mutex;
    }
}

PrivateStorage::~PrivateStorage() {
    if (!mutex_) return;
    if (Pinned()) return;  // kept for the owner's robust list
    pthread_mutex_destroy(mutex_);
    delete mutex_;
}

bool SharedStorage::Map(int fd) {
    void* memory = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return false;
    mutex_ = static_cast<pthread_mutex_t*>(memory);
    return true;
}

void SharedStorage::Join(bool initialOwner, bool& existed) {
    existed = !LiveLock(fd_.Get(), F_WRLCK, false);
    // Turns the look into a shared lock, or waits out another opener's look.
    LiveLock(fd_.Get(), F_RDLCK, true);
    if (existed || !initialOwner) return;
    // A dead name's mutex is free unless another process joined a moment
    // later and took it; this one then counts as having opened theirs.
    int error = pthread_mutex_trylock(mutex_);
    if (error == EOWNERDEAD) {
        pthread_mutex_consistent(mutex_);
        Acquired();
    } else if (error == 0) {
        Acquired();
    } else {
        existed = true;
    }
}

void SharedStorage::Rejoin(bool initialOwner, bool& existed) { Join(initialOwner, existed); }

bool SharedStorage::OpenExisting(bool& gone) {
    gone = false;
    ScopedFd fd(shm_open(name_.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (!fd.IsValid()) {
        gone = errno == ENOENT;
        if (!gone) SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_NO_SYSTEM_RESOURCES);
        return false;
    }
    struct stat info {};
    if (flock(fd.Get(), LOCK_SH) != 0 || fstat(fd.Get(), &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (info.st_nlink == 0) {  // removed by its last user while we opened it
        gone = true;
        return false;
    }
    if (info.st_size < static_cast<off_t>(sizeof(pthread_mutex_t)) || !Map(fd.Get())) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

bool SharedStorage::CreateNew(bool initialOwner, bool& raced) {
    raced = false;
    // An unnamed file, published under its name only when complete, leaves
    // nothing behind if this process dies half way. Where the file system
    // cannot make one, a temporary name stands in for the moment it takes.
    std::string temporary;
    ScopedFd fd(open(kShmDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd.IsValid()) {
        static std::atomic<unsigned> counter{0};
        temporary = std::string(kNamePrefix) + "tmp-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        fd.Reset(shm_open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    }
    if (!fd.IsValid()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return false;
    }
    bool ok = fchmod(fd.Get(), 0600) == 0 && ftruncate(fd.Get(), sizeof(pthread_mutex_t)) == 0 &&
              flock(fd.Get(), LOCK_SH) == 0 && LiveLock(fd.Get(), F_RDLCK, false) && Map(fd.Get()) &&
              InitMutex(mutex_, true);
    // Nobody else can see the new mutex yet, so trying cannot fail.
    if (ok && initialOwner) ok = pthread_mutex_trylock(mutex_) == 0;
    if (ok && initialOwner) Acquired();
    bool published = false;
    if (ok) {
        std::string from = temporary.empty() ? "/proc/self/fd/" + std::to_string(fd.Get())
                                             : std::string(kShmDirectory) + temporary;
        std::string to = std::string(kShmDirectory) + name_;
        published = linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0;
        raced = !published && errno == EEXIST;
    }
    if (!temporary.empty()) shm_unlink(temporary.c_str());
    if (published) {
        fd_ = std::move(fd);
        return true;
    }
    if (mutex_) {
        if (ok && initialOwner) {
            pthread_mutex_unlock(mutex_);
            Released();
        }
        munmap(mutex_, sizeof(pthread_mutex_t));
        mutex_ = nullptr;
    }
    if (!raced) SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return false;
}

bool SharedStorage::Open(const std::string& name, bool initialOwner, bool& existed) {
    name_ = name;
    // Each round loses only to another process creating or removing the same
    // name at that moment, so a few rounds always settle it.
    for (int round = 0; round < 100; ++round) {
        bool gone = false;
        if (OpenExisting(gone)) {
            Join(initialOwner, existed);
            return true;
        }
        if (!gone) return false;
        bool raced = false;
        if (CreateNew(initialOwner, raced)) {
            existed = false;
            return true;
        }
        if (!raced) return false;
    }
    SetLastError(ERROR_BUSY);
    return false;
}

SharedStorage::~SharedStorage() {
    if (!fd_.IsValid()) return;
    if (Pinned()) {
        // Kept mapped for the owner's robust list, and kept open so the shared
        // lock still tells other processes the object is in use.
        (void)fd_.Take();
        return;
    }
    if (flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0) {
        struct stat mine {};
        struct stat named {};
        std::string path = std::string(kShmDirectory) + name_;
        if (fstat(fd_.Get(), &mine) == 0 && stat(path.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
            mine.st_dev == named.st_dev) {
            shm_unlink(name_.c_str());
        }
    }
    munmap(mutex_, sizeof(pthread_mutex_t));
}

}  // namespace zrwin
