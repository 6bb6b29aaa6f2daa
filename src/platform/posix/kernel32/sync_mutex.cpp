// Mutexes: robust, recursive pthread mutexes. A named mutex lives in a
// POSIX shared-memory object so other processes share it; robustness gives
// WAIT_ABANDONED when an owner dies holding it.
//
// Shared-memory life cycle: every process that has a named mutex open holds a
// shared flock() on its object. A new object is built unnamed and published
// with linkat(), so nobody ever sees it half made. When a process
// closes its last handle it tries to upgrade to an exclusive lock; getting it
// proves no other process has the object open, and the name is removed. An
// opener that loses that race sees a link count of 0 and starts again.
//
// Every process that has the name open also holds a shared byte-range lock
// on the object's first byte (an open-file-description lock, so it goes with
// the descriptor however the process ends). A process whose last handle
// closes drops that lock and keeps the object mapped for a moment ("parked"),
// so that reopening it, as the log does for every record, costs two lock
// calls and no shared-memory set-up. A name nobody holds that lock on is dead
// in the Windows sense: whoever opens it next, this process or another, gets
// it as a new mutex. Parked objects are torn down, and their
// name removed when nobody else has them open, once unused for a while, when
// too many are parked, and at process exit.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/text.h"
#include "core/handle_table.h"
#include "core/scoped_fd.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

constexpr const char* kShmDirectory = "/dev/shm";
constexpr const char* kNamePrefix = "/zrwin-mutex-";
constexpr int kFutexTidMask = 0x3fffffff;

// The lock on the object's first byte that marks a process as having the
// name open: shared while open, exclusive for a moment to learn whether any
// other process has it open.
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

// Whether a thread of this process holds the mutex. Its memory must then stay
// mapped: the thread's robust list points into it.
bool HeldInThisProcess(const pthread_mutex_t* mutex) {
    int tid = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE) & kFutexTidMask;
    if (tid == 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d", tid);
    return access(path, F_OK) == 0;
}

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
    PrivateStorage() {
        auto* mutex = new pthread_mutex_t;
        if (InitMutex(mutex, false)) {
            mutex_ = mutex;
        } else {
            delete mutex;
        }
    }
    ~PrivateStorage() override {
        if (!mutex_) return;
        if (Pinned()) return;  // kept for the owner's robust list
        pthread_mutex_destroy(mutex_);
        delete mutex_;
    }
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

constexpr auto kParkedFor = std::chrono::seconds(2);
constexpr size_t kMostParked = 16;

struct Parked {
    std::unique_ptr<SharedStorage> storage;
    std::chrono::steady_clock::time_point since;
};

// One shared mapping per name in this process, however many handles, and
// the parked mappings of names no handle of this process has open.
struct OpenNames {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<SharedStorage>> names;
    std::map<std::string, Parked> parked;
};

OpenNames& Names() {
    static OpenNames* names = new OpenNames;  // handles may close during exit
    return *names;
}

// Paces the retries of a wait that found the mutex taken, since a mutex has
// no descriptor that turns readable on release: a one-shot timer, made on the
// first failed attempt, whose interval doubles from 100 us to 5 ms while the
// mutex stays taken. Called on: any waiting thread.
class RetryPacer {
public:
    // Before the first failed attempt no wait polls this mutex (every wait
    // tries it first), so any valid-looking value serves until then.
    int Fd() const {
        const int fd = fd_.load(std::memory_order_acquire);
        return fd >= 0 ? fd : kNotMadeYet;
    }

    void ArmAfterFailure() {
        std::call_once(made_, [this] {
            timer_.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
            fd_.store(timer_.Get(), std::memory_order_release);
        });
        if (!timer_.IsValid()) return;
        long interval = intervalNs_.load(std::memory_order_relaxed);
        intervalNs_.store(interval * 2 > kLongestNs ? kLongestNs : interval * 2, std::memory_order_relaxed);
        itimerspec once{};
        once.it_value.tv_nsec = interval;
        timerfd_settime(timer_.Get(), 0, &once, nullptr);  // also clears an expiry nobody read
    }

    void ResetAfterSuccess() { intervalNs_.store(kShortestNs, std::memory_order_relaxed); }

private:
    static constexpr int kNotMadeYet = 0x7fffffff;
    static constexpr long kShortestNs = 100000;
    static constexpr long kLongestNs = 5000000;

    std::once_flag made_;
    ScopedFd timer_;
    std::atomic<int> fd_{-1};
    std::atomic<long> intervalNs_{kShortestNs};
};

// Tears down parked objects unused for long, or the oldest when too many
// are parked; all of them when `all`. Called with the lock held.
void TearDownParked(OpenNames& names, bool all) {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = names.parked.begin(); it != names.parked.end();) {
        if (all || now - it->second.since >= kParkedFor) {
            it = names.parked.erase(it);
        } else {
            ++it;
        }
    }
    while (names.parked.size() > kMostParked) {
        auto oldest = names.parked.begin();
        for (auto it = names.parked.begin(); it != names.parked.end(); ++it) {
            if (it->second.since < oldest->second.since) oldest = it;
        }
        names.parked.erase(oldest);
    }
}

void TearDownAllParked() {
    auto& names = Names();
    std::lock_guard<std::mutex> guard(names.lock);
    TearDownParked(names, true);
}

// The deleter of a process's shared mapping: runs when its last handle
// closes, marks the name as no longer open here and parks the mapping for a
// quick reopen.
struct ParkOnLastClose {
    std::string shmName;
    void operator()(SharedStorage* storage) const {
        std::unique_ptr<SharedStorage> owned(storage);
        // Held by a thread of this process: kept as it is for the robust list.
        if (storage->Pinned()) return;
        storage->Leave();
        auto& names = Names();
        std::lock_guard<std::mutex> guard(names.lock);
        static const bool registered = std::atexit(TearDownAllParked) == 0;
        (void)registered;
        // A handle opened since the count reached zero has a mapping of its
        // own, or one is parked already: this one is surplus.
        if (!names.names[shmName].expired() || names.parked.count(shmName)) return;
        names.names.erase(shmName);
        names.parked[shmName] = Parked{std::move(owned), std::chrono::steady_clock::now()};
        TearDownParked(names, false);
    }
};

class MutexObject : public KernelObject {
public:
    explicit MutexObject(std::shared_ptr<MutexStorage> storage)
        : KernelObject(ObjectKind::Mutex), storage_(std::move(storage)) {}

    int PollFd() const override { return pacer_.Fd(); }

    bool TryAcquire() override {
        switch (pthread_mutex_trylock(storage_->Mutex())) {
            case 0:
                storage_->Acquired();
                pacer_.ResetAfterSuccess();
                return true;
            case EOWNERDEAD:
                // Ownership passes to this thread; Windows reports it once.
                pthread_mutex_consistent(storage_->Mutex());
                storage_->Acquired();
                pacer_.ResetAfterSuccess();
                NoteAbandoned();
                return true;
            default:  // EBUSY, or a recursion count exhausted: try again later
                pacer_.ArmAfterFailure();
                return false;
        }
    }

    bool Release() {
        // Asking first keeps a refused release from touching the lock at all.
        pthread_mutex_t* mutex = storage_->Mutex();
        DWORD owner = static_cast<DWORD>(__atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED) & kFutexTidMask);
        if (owner != GetCurrentThreadId()) {
            SetLastError(ERROR_NOT_OWNER);
            return false;
        }
        int error = pthread_mutex_unlock(mutex);
        if (error == 0) {
            storage_->Released();
            return true;
        }
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }

private:

    std::shared_ptr<MutexStorage> storage_;
    RetryPacer pacer_;
};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        char a = text[i];
        char b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The shared-memory name of a Windows object name: "Global\" and "Local\"
// are one namespace here; bytes outside a safe set are escaped, and long
// names end in a hash so they fit NAME_MAX.
std::string ShmName(std::string name) {
    if (StartsWithNoCase(name, "Global\\")) {
        name.erase(0, 7);
    } else if (StartsWithNoCase(name, "Local\\")) {
        name.erase(0, 6);
    }
    std::string encoded;
    for (unsigned char c : name) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
        if (safe) {
            encoded += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            encoded += escape;
        }
    }
    if (encoded.size() > 180) {
        uint64_t hash = 1469598103934665603ull;  // FNV-1a
        for (unsigned char c : encoded) hash = (hash ^ c) * 1099511628211ull;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
        encoded = encoded.substr(0, 160) + suffix;
    }
    return std::string(kNamePrefix) + "n-" + encoded;
}

HANDLE CreateMutexCommon(BOOL initialOwner, const std::string* name) {
    std::shared_ptr<MutexStorage> storage;
    bool existed = false;
    if (!name || name->empty()) {
        auto local = std::make_shared<PrivateStorage>();
        if (!local->Mutex()) {
            SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return nullptr;
        }
        if (initialOwner && pthread_mutex_trylock(local->Mutex()) == 0) local->Acquired();  // new, so always free
        storage = local;
    } else {
        std::string shmName = ShmName(*name);
        auto& names = Names();
        std::lock_guard<std::mutex> guard(names.lock);
        auto shared = names.names[shmName].lock();
        if (shared) {
            existed = true;
        } else {
            std::unique_ptr<SharedStorage> opened;
            auto parked = names.parked.find(shmName);
            if (parked != names.parked.end()) {
                opened = std::move(parked->second.storage);
                names.parked.erase(parked);
                opened->Rejoin(initialOwner != FALSE, existed);
            } else {
                opened = std::make_unique<SharedStorage>();
                if (!opened->Open(shmName, initialOwner != FALSE, existed)) {
                    names.names.erase(shmName);
                    return nullptr;
                }
            }
            shared = std::shared_ptr<SharedStorage>(opened.release(), ParkOnLastClose{shmName});
            names.names[shmName] = shared;
            TearDownParked(names, false);
        }
        storage = shared;
    }
    HANDLE handle = InsertHandle(std::make_shared<MutexObject>(std::move(storage)));
    if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace
}  // namespace zrwin

ZRWINAPI HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    if (!name) return zrwin::CreateMutexCommon(initialOwner, nullptr);
    std::string text(name);
    return zrwin::CreateMutexCommon(initialOwner, &text);
}

ZRWINAPI HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    if (!name) return zrwin::CreateMutexCommon(initialOwner, nullptr);
    std::string text = zrwin::WideToUtf8(name);
    return zrwin::CreateMutexCommon(initialOwner, &text);
}

ZRWINAPI BOOL WINAPI ReleaseMutex(HANDLE mutex) {
    auto object = zrwin::LookupHandleAs<zrwin::MutexObject>(mutex, zrwin::ObjectKind::Mutex);
    if (!object) return FALSE;
    return object->Release() ? TRUE : FALSE;
}
