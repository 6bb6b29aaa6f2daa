// The share-mode table: shared memory guarded by a robust process-shared mutex.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/scoped_fd.h"
#include "kernel32/share_modes.h"
#include "zrwin/fileapi.h"

namespace zrwin {

namespace {

constexpr uint32_t kShareRead = 1, kShareWrite = 2, kShareDelete = 4;
constexpr uint32_t kMagic = 0x7A727368;  // "zrsh"
constexpr uint32_t kCapacity = 8192;

struct Entry {
    uint64_t device;
    uint64_t inode;
    uint64_t ticket;       // 0 marks a free entry
    uint64_t startTime;    // of the owner process, so a reused pid is not mistaken for it
    int32_t pid;
    uint32_t access;       // kShare* bits of the access held
    uint32_t share;        // FILE_SHARE_* bits granted to others
    uint32_t reserved;
};

struct Table {
    pthread_mutex_t mutex;
    uint32_t magic;
    uint32_t capacity;
    uint64_t nextTicket;
    uint32_t inUse;  // entries at and beyond this index are free, so a scan stops there
    uint32_t reserved;
    Entry entries[kCapacity];
};

// The owner's start time in clock ticks since boot (field 22 of /proc/<pid>/stat), 0 when unknown.
uint64_t StartTimeOf(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    ScopedFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.IsValid()) return 0;
    char buffer[1024];
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer - 1);
    if (n <= 0) return 0;
    buffer[n] = 0;
    // The command name may hold blanks and parentheses: count fields after the last ')'.
    char* p = std::strrchr(buffer, ')');
    if (!p) return 0;
    int field = 2;
    for (; *p && field < 22; ++p) {
        if (*p == ' ') ++field;
    }
    return std::strtoull(p, nullptr, 10);
}

bool OwnerAlive(const Entry& entry) {
    if (::kill(entry.pid, 0) != 0 && errno == ESRCH) return false;
    if (entry.startTime != 0) {
        uint64_t now = StartTimeOf(entry.pid);
        if (now != 0 && now != entry.startTime) return false;  // the pid belongs to a newer process
    }
    return true;
}

class ShareTable {
public:
    ShareTable() {
        std::string name = "/zrwin-share-v2-" + std::to_string(::getuid());
        ScopedFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (fd.IsValid()) {
            // The first process sizes and initialises the table under an exclusive file lock.
            ::flock(fd.Get(), LOCK_EX);
            struct stat info {};
            bool statted = ::fstat(fd.Get(), &info) == 0;
            bool fresh = statted && info.st_size == 0;
            bool usable = statted && (fresh ? ::ftruncate(fd.Get(), sizeof(Table)) == 0
                                            : info.st_size == static_cast<off_t>(sizeof(Table)));
            if (usable) {
                void* mapped = ::mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
                if (mapped != MAP_FAILED) {
                    table_ = static_cast<Table*>(mapped);
                    if (fresh || table_->magic != kMagic) Initialise(true);
                    shared_ = true;
                }
            }
            ::flock(fd.Get(), LOCK_UN);
        }
        if (!table_) {
            // Without shared memory the modes still hold between the threads of this process.
            table_ = new (std::nothrow) Table;
            if (table_) Initialise(false);
        }
        selfPid_ = ::getpid();
        selfStart_ = StartTimeOf(selfPid_);
    }
    ShareTable(const ShareTable&) = delete;
    ShareTable& operator=(const ShareTable&) = delete;

    DWORD Register(dev_t device, ino_t inode, uint32_t access, uint32_t share, uint64_t& ticket) {
        if (!table_) return ERROR_NO_SYSTEM_RESOURCES;
        Lock();
        Entry* free = nullptr;
        DWORD result = ERROR_SUCCESS;
        for (uint32_t i = 0; i < InUse(); ++i) {
            Entry& entry = table_->entries[i];
            if (entry.ticket == 0) {
                if (!free) free = &entry;
                continue;
            }
            if (entry.device != device || entry.inode != inode) continue;
            if (!Conflicts(entry, access, share)) continue;
            if (entry.pid != CurrentPid() && !OwnerAlive(entry)) {
                entry.ticket = 0;
                if (!free) free = &entry;
                continue;
            }
            result = ERROR_SHARING_VIOLATION;
            break;
        }
        if (result == ERROR_SUCCESS && !free && InUse() < kCapacity) free = &table_->entries[table_->inUse++];
        if (result == ERROR_SUCCESS && !free) {
            PurgeDead();
            for (uint32_t i = 0; i < InUse(); ++i) {
                if (table_->entries[i].ticket == 0) {
                    free = &table_->entries[i];
                    break;
                }
            }
            if (!free) result = ERROR_NO_SYSTEM_RESOURCES;
        }
        if (result == ERROR_SUCCESS) {
            free->device = device;
            free->inode = inode;
            free->pid = CurrentPid();
            free->startTime = CurrentPid() == selfPid_ ? selfStart_ : StartTimeOf(CurrentPid());
            free->access = access;
            free->share = share;
            ticket = ++table_->nextTicket;
            free->ticket = ticket;  // written last: the entry counts from here on
        }
        Unlock();
        return result;
    }

    void Release(uint64_t ticket) {
        if (!table_ || ticket == 0) return;
        Lock();
        for (uint32_t i = 0; i < InUse(); ++i) {
            if (table_->entries[i].ticket == ticket) {
                table_->entries[i].ticket = 0;
                break;
            }
        }
        while (table_->inUse > 0 && table_->entries[table_->inUse - 1].ticket == 0) --table_->inUse;
        Unlock();
    }

private:
    void Initialise(bool processShared) {
        std::memset(static_cast<void*>(table_), 0, sizeof(Table));
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        if (processShared) {
            pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        }
        pthread_mutex_init(&table_->mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
        table_->capacity = kCapacity;
        table_->magic = kMagic;
    }

    void Lock() {
        int rc = pthread_mutex_lock(&table_->mutex);
        if (rc == EOWNERDEAD) {
            // A process died inside the table; entries are complete or free, so it stays usable.
            pthread_mutex_consistent(&table_->mutex);
        }
    }
    void Unlock() { pthread_mutex_unlock(&table_->mutex); }

    // getpid() again on every call: a forked child is a process of its own.
    static int32_t CurrentPid() { return static_cast<int32_t>(::getpid()); }

    static bool Conflicts(const Entry& held, uint32_t access, uint32_t share) {
        if ((access & kShareRead) && !(held.share & FILE_SHARE_READ)) return true;
        if ((access & kShareWrite) && !(held.share & FILE_SHARE_WRITE)) return true;
        if ((access & kShareDelete) && !(held.share & FILE_SHARE_DELETE)) return true;
        if ((held.access & kShareRead) && !(share & FILE_SHARE_READ)) return true;
        if ((held.access & kShareWrite) && !(share & FILE_SHARE_WRITE)) return true;
        if ((held.access & kShareDelete) && !(share & FILE_SHARE_DELETE)) return true;
        return false;
    }

    // Bounded by the capacity even if a dying process left the count corrupt.
    uint32_t InUse() const { return table_->inUse < kCapacity ? table_->inUse : kCapacity; }

    void PurgeDead() {
        for (uint32_t i = 0; i < InUse(); ++i) {
            Entry& entry = table_->entries[i];
            if (entry.ticket != 0 && entry.pid != CurrentPid() && !OwnerAlive(entry)) entry.ticket = 0;
        }
    }

    Table* table_ = nullptr;
    bool shared_ = false;
    pid_t selfPid_ = 0;
    uint64_t selfStart_ = 0;
};

ShareTable& Shares() {
    static ShareTable* table = new ShareTable;  // never destroyed: files may close during exit
    return *table;
}

uint32_t ShareAccessOf(DWORD access) {
    uint32_t bits = 0;
    if (access & (FILE_READ_DATA | 0x0020 /* FILE_EXECUTE */ | GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL))
        bits |= kShareRead;
    if (access & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) bits |= kShareWrite;
    if (access & (DELETE | GENERIC_ALL)) bits |= kShareDelete;
    return bits;
}

}  // namespace

ShareRegistration& ShareRegistration::operator=(ShareRegistration&& other) noexcept {
    if (this != &other) {
        Release();
        ticket_ = other.ticket_;
        other.ticket_ = 0;
    }
    return *this;
}

DWORD ShareRegistration::Register(dev_t device, ino_t inode, DWORD access, DWORD shareMode) {
    Release();
    uint32_t bits = ShareAccessOf(access);
    if (bits == 0) return ERROR_SUCCESS;
    return Shares().Register(device, inode, bits, shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
                             ticket_);
}

void ShareRegistration::Release() {
    if (ticket_ == 0) return;
    Shares().Release(ticket_);
    ticket_ = 0;
}

}  // namespace zrwin
