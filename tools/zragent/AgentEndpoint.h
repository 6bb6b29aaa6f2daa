// The parent's messaging endpoint: the same CMultiProcessBase the host's
// controller derives from, serving "\RPC Control\" + group + zragent's pid.
// It notes the host's ReadyMP, answers the window messages the host relays
// (after showing them to its observer), and sends the parent's commands.
//
// Threads: ReceiveMsg and OnProcessTerminated run on the LPC listener
// thread, ProcessMessage on worker threads; the Send... operations and the
// waits run on any thread. The first message to a host must go out on a
// thread that lives as long as the conversation: the host's connection from
// this process is tied to that thread, and its end tells the host that its
// parent died.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "WindowMessageText.h"
#include "ipc/messages/MsgStartArguments.h"
#include "ipc/messages/MsgStartExec.h"
#include "ipc/multiprocess/CMultiProcessBase.h"

namespace zragent {

class EndpointObserver {
public:
    // Worker threads, several at once.
    virtual void OnWindowMessage(uint32_t hostPid, const DecodedWindowMessage& message) = 0;
    // Listener thread.
    virtual void OnPeerGone(uint32_t pid) = 0;

protected:
    ~EndpointObserver() = default;
};

struct DataAnswer {
    DWORD status = 0;  // 0: answered; else the send's status (1460: no answer in time)
    std::string text;  // UTF-8
    double latencyMs = 0;
};

class AgentEndpoint : public CMultiProcessBase {
public:
    AgentEndpoint(const std::wstring& group, EndpointObserver* observer);
    ~AgentEndpoint() override;

    // Binds the port calls and starts serving; 0 or the failing status.
    NTSTATUS Open();

    // Waits until ReadyMP arrived from pid, at most ms; false on time-out or
    // when `cancelled` says so (checked every 20 ms).
    template <class Cancelled>
    bool WaitForReady(uint32_t pid, int ms, Cancelled cancelled);
    bool IsReady(uint32_t pid);

    // MStartModuleArgs (Sync); the transport's status.
    DWORD SendStartArguments(uint32_t pid, const MsgStartArguments& arguments);
    // MStartModuleExec (Call); the reply's record, with the result, replaces exec.
    DWORD SendStartExec(uint32_t pid, MsgStartExec& exec);
    // MStartModule with a raw body (Call); the host keeps the result.
    DWORD SendStartRaw(uint32_t pid, std::string& body);
    // MStopModule (Call); stopped is the host's verdict from the reply.
    DWORD SendStop(uint32_t pid, int32_t timeoutMs, bool& stopped);
    // MReady (Sync): the host answers with a new ReadyMP.
    DWORD SendReady(uint32_t pid);
    // A data request (MModuleData) and its answer (MModuleDataAsyncEnd).
    DataAnswer SendData(uint32_t pid, int32_t option, const std::string& text);
    // A raw command with an arbitrary body, for robustness tests.
    DWORD SendRaw(uint32_t pid, int32_t cmd, std::string& body, EndpointMessageType type);

    // Window messages answered so far.
    uint64_t WindowMessagesAnswered() const { return windowMessages_; }

protected:
    INT ReceiveMsg(DWORD pid, INT cmd, BYTE* data, DWORD size) override;
    bool OnProcessTerminated(DWORD pid) override;
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                           DWORD& answerSize) override;
    void QuitProcessMessage() override {}

private:
    EndpointObserver* observer_;
    std::mutex lock_;  // guards ready_
    std::condition_variable readyChanged_;
    std::set<uint32_t> ready_;  // processes whose ReadyMP arrived
    std::atomic<uint64_t> windowMessages_{0};
    std::atomic<int32_t> stopRequests_{0};
};

template <class Cancelled>
bool AgentEndpoint::WaitForReady(uint32_t pid, int ms, Cancelled cancelled) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> hold(lock_);
    while (!ready_.count(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        hold.unlock();
        const bool stop = cancelled();
        hold.lock();
        if (stop) return ready_.count(pid) > 0;
        readyChanged_.wait_until(hold, std::min(deadline, std::chrono::steady_clock::now() +
                                                              std::chrono::milliseconds(20)));
    }
    return true;
}

}  // namespace zragent
