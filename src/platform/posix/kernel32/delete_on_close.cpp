#include "kernel32/delete_on_close.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "core/scoped_fd.h"

namespace zrwin {

namespace {

constexpr char kMarker[] = "user.zrwin.delete_on_close";

// One byte far past any real data: an open-file-description lock there is the
// owner's token. The layer's share modes use flock(), which never meets it.
constexpr off_t kTokenOffset = off_t(1) << 62;

struct flock TokenLock(short type) {
    struct flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kTokenOffset;
    lock.l_len = 1;
    return lock;
}

}  // namespace

void MarkDeleteOnClose(int fd) {
    // The lock first: another process must never see the mark without an owner.
    struct flock lock = TokenLock(F_RDLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) return;
    // Where the file system keeps no extended attributes the file simply gets
    // the POSIX behaviour: deleted at close, kept when the process is killed.
    ::fsetxattr(fd, kMarker, "1", 1, 0);
}

void RemoveIfOrphaned(const std::string& path) {
    char value[4];
    if (::getxattr(path.c_str(), kMarker, value, sizeof value) <= 0) return;
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.IsValid()) return;
    struct flock probe = TokenLock(F_WRLCK);
    if (::fcntl(fd.Get(), F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK) return;  // an owner is alive
    // Only the file just looked at: the name may have been taken over meanwhile.
    struct stat opened{}, named{};
    if (::fstat(fd.Get(), &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino && S_ISREG(named.st_mode))
        ::unlink(path.c_str());
}

}  // namespace zrwin
