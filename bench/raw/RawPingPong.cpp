#include "RawPingPong.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <vector>

namespace zrbench {

bool MakeSocketPair(int fds[2], bool inheritable) {
    return socketpair(AF_UNIX, SOCK_SEQPACKET | (inheritable ? 0 : SOCK_CLOEXEC), 0, fds) == 0;
}

namespace {

// One message in and, unless it is one-way, back; false once the socket ended.
bool EchoOne(int fd, std::vector<char>& buffer) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return false;
    return buffer[0] == kOneWay || send(fd, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL) == n;
}

}  // namespace

void Echo(int fd) {
    std::vector<char> buffer(1 << 20);
    while (EchoOne(fd, buffer)) {
    }
}

void EchoAll(const std::vector<int>& fds) {
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    std::vector<char> buffer(1 << 20);
    size_t open = polls.size();
    while (open > 0 && poll(polls.data(), polls.size(), -1) >= 0) {
        for (auto& entry : polls) {
            if (entry.fd < 0 || !(entry.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (!EchoOne(entry.fd, buffer)) {
                close(entry.fd);
                entry.fd = -1;  // poll skips it from now on
                --open;
            }
        }
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
