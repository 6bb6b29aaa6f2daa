#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
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

    std::vector<double> samples;
    size_t failures = 0;
    std::mutex lock;
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < concurrency; ++t) {
        const int count = requests / concurrency + (t < requests % concurrency ? 1 : 0);
        threads.emplace_back([&, t, count] {
            // Any byte but the one-way marker: every message is answered.
            std::vector<char> message(static_cast<size_t>(payload > 0 ? payload : 1), 'p');
            std::vector<char> answer(message.size());
            std::vector<double> mine;
            size_t failed = 0;
            for (int i = 0; i < count; ++i) {
                const auto start = std::chrono::steady_clock::now();
                if (!zrbench::RoundTrip(ours[t], message.data(), message.size(), answer.data())) {
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
    CloseAll(ours);
    int status = 0;
    waitpid(child, &status, 0);
    summary = Summarize(samples, failures, seconds);
    return true;
}

}  // namespace zragent
