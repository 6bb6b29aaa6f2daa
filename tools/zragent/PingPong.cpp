#include "PingPong.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace zragent {

namespace {

// The child: answers every message on every socket with the same bytes
// until all of them are closed.
[[noreturn]] void Echo(const std::vector<int>& sockets) {
    std::vector<pollfd> fds;
    for (int fd : sockets) fds.push_back({fd, POLLIN, 0});
    std::vector<char> buffer(1 << 20);
    size_t open = fds.size();
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) _exit(1);
        for (auto& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t got = recv(fd.fd, buffer.data(), buffer.size(), 0);
            if (got <= 0 || send(fd.fd, buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL) != got) {
                close(fd.fd);
                fd.fd = -1;
                --open;
            }
        }
    }
    _exit(0);
}

}  // namespace

bool RunPingPong(int requests, int concurrency, int payload, LatencySummary& summary, std::string& error) {
    std::vector<int> ours, theirs;
    for (int i = 0; i < concurrency; ++i) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            error = std::string("socketpair: ") + strerror(errno);
            for (int fd : ours) close(fd);
            for (int fd : theirs) close(fd);
            return false;
        }
        ours.push_back(pair[0]);
        theirs.push_back(pair[1]);
    }
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        for (int fd : ours) close(fd);
        for (int fd : theirs) close(fd);
        return false;
    }
    if (child == 0) {
        for (int fd : ours) close(fd);
        Echo(theirs);
    }
    for (int fd : theirs) close(fd);

    std::vector<double> samples;
    size_t failures = 0;
    std::mutex lock;
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < concurrency; ++t) {
        const int count = requests / concurrency + (t < requests % concurrency ? 1 : 0);
        threads.emplace_back([&, t, count] {
            std::vector<char> message(static_cast<size_t>(payload > 0 ? payload : 1), 'p');
            std::vector<char> answer(message.size() + 16);
            std::vector<double> mine;
            size_t failed = 0;
            for (int i = 0; i < count; ++i) {
                const auto start = std::chrono::steady_clock::now();
                if (send(ours[t], message.data(), message.size(), MSG_NOSIGNAL) < 0 ||
                    recv(ours[t], answer.data(), answer.size(), 0) <= 0) {
                    ++failed;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                                   .count());
            }
            std::lock_guard<std::mutex> hold(lock);
            samples.insert(samples.end(), mine.begin(), mine.end());
            failures += failed;
        });
    }
    for (auto& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (int fd : ours) close(fd);
    int status = 0;
    waitpid(child, &status, 0);
    summary = Summarize(samples, failures, seconds);
    return true;
}

}  // namespace zragent
