// psapi: the process list, read from /proc at every call, so that it is the
// set of processes alive at that moment. Almost all of its cost is the
// kernel's walk of the process table; what is ours is kept to two system
// calls and no allocation: one descriptor of /proc, opened once per process
// and rewound, read raw in large chunks, and numbers parsed in place.
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "core/scoped_fd.h"
#include "zrwin/psapi.h"
#include "zrwin/sync.h"

namespace {

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
// The chunk of a thread that reads on its own: on its stack, which may be small.
constexpr size_t kOwnChunk = 4 * 1024;

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

// The process's own /proc descriptor. Reading it moves its offset, so one
// thread at a time uses it; a thread that finds it busy reads through a
// descriptor of its own rather than wait.
class ProcDirectory {
public:
    static ProcDirectory& Instance() {
        static ProcDirectory* directory = new ProcDirectory;  // never destroyed: usable during exit
        return *directory;
    }

    bool Enumerate(DWORD* ids, DWORD capacity, DWORD& stored) {
        std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
        if (!guard.owns_lock()) {
            ScopedFd own = OpenProc();
            alignas(8) char chunk[kOwnChunk];
            return own.IsValid() && ReadProcessIds(own.Get(), 0, chunk, sizeof chunk, ids, capacity, stored, nullptr);
        }
        if (forked_.exchange(false) || !dir_.IsValid()) {
            // A forked child shares its parent's descriptor and so its
            // offset: it takes one of its own.
            dir_ = OpenProc();
            processesStart_ = 0;
            if (!dir_.IsValid()) return false;
        }
        if (processesStart_ == 0)
            return ReadProcessIds(dir_.Get(), 0, chunk_, sizeof chunk_, ids, capacity, stored, &processesStart_);
        return ReadProcessIds(dir_.Get(), processesStart_, chunk_, sizeof chunk_, ids, capacity, stored, nullptr);
    }

private:
    ProcDirectory() { pthread_atfork(nullptr, nullptr, [] { Instance().forked_ = true; }); }

    std::mutex lock_;
    std::atomic<bool> forked_{false};
    ScopedFd dir_;             // under lock_
    off_t processesStart_ = 0;  // under lock_; 0 until learned
    alignas(8) char chunk_[kChunk];  // under lock_
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
