// The layer's owner of a POSIX descriptor: no hand-written close() on error
// paths. Closing keeps errno, so a failure path still reports its own cause.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace zrwin {

class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(ScopedFd&& o) noexcept : fd_(o.Take()) {}
    ScopedFd& operator=(ScopedFd&& o) noexcept {
        if (this != &o) Reset(o.Take());
        return *this;
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() { Reset(); }

    bool IsValid() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    [[nodiscard]] int Take() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace zrwin
