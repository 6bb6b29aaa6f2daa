#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "PingPong.h"
#include "RawPingPong.h"

namespace zragent {

namespace {

void CloseAll(const std::vector<int>& fds) {
    for (int fd : fds) close(fd);
}

}  // namespace

bool PingPongAvailable() { return true; }

bool RunPingPong(int requests, int concurrency, int payload, LatencySummary& summary, std::string& error) {
    std::vector<int> ours, theirs;
    for (int i = 0; i < concurrency; ++i) {
        int pair[2];
        if (!zrbench::MakeSocketPair(pair, false)) {
            error = std::string("socketpair: ") + strerror(errno);
            CloseAll(ours);
            CloseAll(theirs);
            return false;
        }
        ours.push_back(pair[0]);
        theirs.push_back(pair[1]);
    }
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("fork: ") + strerror(errno);
        CloseAll(ours);
        CloseAll(theirs);
        return false;
    }
    if (child == 0) {
        // The child answers on every socket until all of them are closed.
        CloseAll(ours);
        zrbench::EchoAll(theirs);
        _exit(0);
    }
    CloseAll(theirs);

    // Any byte but the one-way marker: every message is answered.
    const std::vector<char> message(static_cast<size_t>(payload > 0 ? payload : 1), 'p');
    summary = RunConcurrently(requests, concurrency, [&](int t) {
        thread_local std::vector<char> answer;
        answer.resize(message.size());
        const auto start = std::chrono::steady_clock::now();
        if (!zrbench::RoundTrip(ours[static_cast<size_t>(t)], message.data(), message.size(), answer.data()))
            return -1.0;
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    });
    CloseAll(ours);
    int status = 0;
    waitpid(child, &status, 0);
    return true;
}

}  // namespace zragent
