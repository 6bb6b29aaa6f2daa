// One conversation with one host, as zragent runs it: serve the parent's
// port, start the host, wait for ReadyMP, start the module, send data
// requests, relay what the module says, stop it and see the host end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "AgentEndpoint.h"
#include "AgentOptions.h"
#include "EventWriter.h"
#include "HostProcess.h"
#include "LatencyStats.h"

namespace zragent {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHost = 3;

class AgentSession : public EndpointObserver {
public:
    AgentSession(const AgentOptions& options, EventWriter& events);
    ~AgentSession();
    AgentSession(const AgentSession&) = delete;
    AgentSession& operator=(const AgentSession&) = delete;

    // The whole `run` command; the exit status.
    int Run();
    // `shell`: commands from in, one a line; the exit status.
    int Shell(FILE* in);
    // `bench`; the exit status.
    int Bench();

    // The steps, for the commands above and for tests. Each reports its own
    // events and errors; false ends the conversation with exitStatus().
    bool LaunchHost();
    bool StartModule();
    bool SendData(const DataRequest& request, int index, DataAnswer* answer = nullptr);
    bool StopModule();
    // Waits for the host to end and reports how it ended.
    bool AwaitHostExit(int ms);
    // Runs a shell command line; false when the shell should end.
    bool ShellCommand(const std::string& line);

    int ExitStatus() const { return exitStatus_; }
    uint32_t HostPid() const { return host_.Pid(); }
    HostProcess& Host() { return host_; }
    AgentEndpoint& Endpoint() { return *endpoint_; }

    // EndpointObserver
    void OnWindowMessage(uint32_t hostPid, const DecodedWindowMessage& message) override;
    void OnPeerGone(uint32_t pid) override;

private:
    // The host ended on its own: reported once, with its status and its
    // last log lines; false.
    bool HostEndedUnexpectedly(const char* when);
    void Fail(int status) {
        if (exitStatus_ == kExitOk || status == kExitHost) exitStatus_ = status;
    }
    double MsSince(std::chrono::steady_clock::time_point start) const;

    const AgentOptions& options_;
    EventWriter& events_;
    std::unique_ptr<AgentEndpoint> endpoint_;
    HostProcess host_;
    std::string hostLog_;
    std::string hostModule_;
    bool started_ = false;
    bool stopped_ = false;
    bool hostExitReported_ = false;
    std::atomic<bool> hostGone_{false};
    int exitStatus_ = kExitOk;
    std::chrono::steady_clock::time_point launched_;
};

}  // namespace zragent
