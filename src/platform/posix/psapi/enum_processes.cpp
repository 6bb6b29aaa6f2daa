// psapi: the process list, read from /proc during every call, so that it is
// the set of processes alive then. Almost all of its cost is the kernel's
// walk of the process table; what is ours is kept to two system calls and no
// allocation: one descriptor of /proc, opened once per process and rewound,
// read raw in large chunks, and numbers parsed in place.
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <climits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "core/futex.h"
#include "core/scoped_fd.h"
#include "zrwin/psapi.h"
#include "zrwin/sync.h"

namespace {

using zrwin::FutexWaitWhile;
using zrwin::FutexWake;
using zrwin::ScopedFd;

// The record getdents64 fills.
struct Dirent64 {
    uint64_t ino;
    int64_t off;  // where the next entry is read from
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

constexpr size_t kChunk = 32 * 1024;

ScopedFd OpenProc() { return ScopedFd(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

// A process directory's name: decimal digits, no leading zero, below 2^32.
bool ParsePid(const char* name, DWORD& pid) {
    if (*name < '1' || *name > '9') return false;
    uint64_t value = 0;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*name - '0');
        if (value > 0xFFFFFFFFu) return false;
    }
    pid = static_cast<DWORD>(value);
    return true;
}

// Reads the process ids through `dir` from position `from` into ids, at most
// `capacity` of them. The entries of /proc that are not processes come first;
// `processesStart`, when given, learns where the process part begins (the
// position of the "self" entry, which the kernel lists right before the
// processes), so that later reads can start there.
bool ReadProcessIds(int dir, off_t from, char* chunk, size_t chunkSize, DWORD* ids, DWORD capacity, DWORD& stored,
                    off_t* processesStart) {
    if (lseek(dir, from, SEEK_SET) < 0) return false;
    stored = 0;
    off_t position = from;
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, chunk, chunkSize);
        if (got < 0) return false;
        if (got == 0) return true;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const Dirent64*>(chunk + at);
            at += entry->reclen;
            const off_t here = position;
            position = entry->off;
            DWORD pid = 0;
            if (!ParsePid(entry->name, pid)) {
                if (processesStart && std::strcmp(entry->name, "self") == 0) *processesStart = here;
                continue;
            }
            // A full buffer is no error: the caller retries larger when all
            // of it came back.
            if (stored == capacity) return true;
            ids[stored++] = pid;
        }
    }
}

// The process's own /proc descriptor, read by one thread at a time. Callers
// that arrive while a read is under way share the next read rather than each
// making its own: that read starts after they called and ends before they
// return, so each still gets the processes alive during its call, and under
// many concurrent liveness checks the kernel walks the process table once
// for a whole group of them.
class ProcDirectory {
public:
    static ProcDirectory& Instance() {
        static ProcDirectory* directory = new ProcDirectory;  // never destroyed: usable during exit
        return *directory;
    }

    bool Enumerate(DWORD* ids, DWORD capacity, DWORD& stored) {
        std::unique_lock<std::mutex> guard(lock_);
        // A read already under way may have passed processes that started
        // before this call: only one that starts after it will do.
        const uint32_t wanted = finished_.load(std::memory_order_relaxed) + (reading_ ? 2 : 1);
        for (;;) {
            const uint32_t finished = finished_.load(std::memory_order_relaxed);
            if (static_cast<int32_t>(finished - wanted) >= 0) break;
            if (reading_) {
                guard.unlock();
                FutexWaitWhile(&finished_, finished, nullptr);
                guard.lock();
                continue;
            }
            reading_ = true;
            guard.unlock();
            const bool read = ReadLocked();
            guard.lock();
            std::swap(latest_, scratch_);
            latestCount_ = read ? scratchCount_ : 0;
            latestRead_ = read;
            reading_ = false;
            finished_.fetch_add(1, std::memory_order_relaxed);
            FutexWake(&finished_, INT_MAX);
        }
        if (!latestRead_) return false;
        stored = latestCount_ < capacity ? latestCount_ : capacity;
        std::memcpy(ids, latest_.data(), stored * sizeof(DWORD));
        return true;
    }

private:
    ProcDirectory() : latest_(kFirstIds), scratch_(kFirstIds) {
        pthread_atfork([] { Instance().lock_.lock(); }, [] { Instance().lock_.unlock(); },
                       [] {
                           // The child's only thread: no read is under way
                           // here, and the inherited descriptor shares its
                           // offset with the parent's.
                           ProcDirectory& self = Instance();
                           self.reading_ = false;
                           self.dir_.Reset();
                           self.lock_.unlock();
                       });
    }

    // Reads every process id into scratch_. Called on: the one reading
    // thread (reading_ set), without lock_.
    bool ReadLocked() {
        if (!dir_.IsValid()) {
            dir_ = OpenProc();
            processesStart_ = 0;
            if (!dir_.IsValid()) return false;
        }
        for (;;) {
            const DWORD capacity = static_cast<DWORD>(scratch_.size());
            const bool read = processesStart_ == 0
                                  ? ReadProcessIds(dir_.Get(), 0, chunk_, sizeof chunk_, scratch_.data(), capacity,
                                                   scratchCount_, &processesStart_)
                                  : ReadProcessIds(dir_.Get(), processesStart_, chunk_, sizeof chunk_, scratch_.data(),
                                                   capacity, scratchCount_, nullptr);
            if (!read) return false;
            if (scratchCount_ < capacity || capacity >= kMaxIds) return true;
            try {
                scratch_.resize(scratch_.size() * 2);  // a full list may have been cut short
            } catch (const std::bad_alloc&) {
                return false;
            }
        }
    }

    static constexpr size_t kFirstIds = 4096;
    static constexpr size_t kMaxIds = size_t{1} << 22;  // pid_max's ceiling

    std::mutex lock_;
    bool reading_ = false;                // under lock_
    std::atomic<uint32_t> finished_{0};   // reads finished; written under lock_, slept on without it
    std::vector<DWORD> latest_;           // under lock_: the last finished read
    DWORD latestCount_ = 0;
    bool latestRead_ = false;
    // The reading thread's own, between reading_ set and cleared:
    ScopedFd dir_;
    off_t processesStart_ = 0;  // 0 until learned
    std::vector<DWORD> scratch_;
    DWORD scratchCount_ = 0;
    alignas(8) char chunk_[kChunk];
};

}  // namespace

ZRWINAPI BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
    if (!bytesReturned || (!processIds && bytes != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD stored = 0;
    if (!ProcDirectory::Instance().Enumerate(processIds, bytes / sizeof(DWORD), stored)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *bytesReturned = stored * sizeof(DWORD);
    return TRUE;
}
