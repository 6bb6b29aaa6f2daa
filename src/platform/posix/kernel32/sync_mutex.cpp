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

#include "core/handle_table.h"
#include "core/scoped_fd.h"
#include "core/text.h"
#include "kernel32/mutex_storage.h"
#include "zrwin/sync.h"

namespace zrwin {
namespace {

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

ZRWINAPI BOOL WINAPI ReleaseMutex(HANDLE mutex) {
    auto object = zrwin::LookupHandleAs<zrwin::MutexObject>(mutex, zrwin::ObjectKind::Mutex);
    if (!object) return FALSE;
    return object->Release() ? TRUE : FALSE;
}
