#include "RawPingPong.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <vector>

namespace zrbench {

bool MakeSocketPair(int fds[2], bool inheritable) {
    return socketpair(AF_UNIX, SOCK_SEQPACKET | (inheritable ? 0 : SOCK_CLOEXEC), 0, fds) == 0;
}

void Echo(int fd) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) return;
        if (buffer[0] == kOneWay) continue;
        if (send(fd, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
    }
}

bool RoundTrip(int fd, const char* data, size_t size, char* answer) {
    return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size) &&
           recv(fd, answer, size, 0) == static_cast<ssize_t>(size);
}

bool SendOneWay(int fd, const char* data, size_t size) {
    return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

}  // namespace zrbench
