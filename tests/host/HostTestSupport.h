// The host's end-to-end tests: a test parent that is a messaging endpoint of
// its own, the host started as a real process through zrrundll, and the
// host's log lines read back through the log reader.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "ipc/multiprocess/CMultiProcessBase.h"
#include "log/LogReader.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace hosttest {

using Clock = std::chrono::steady_clock;

// A command the parent received on its listener.
struct Received {
    DWORD pid;
    INT cmd;
    std::string data;
};

// A window message the host relayed, as the parent decoded it.
struct Relayed {
    DWORD pid;
    DWORD cmd;
    uint32_t uMsg;
    std::string wParam, lParam;
};

// The agent's side: serves "\RPC Control\<group><own pid>" and speaks the
// host protocol through the product's endpoint. Commands the endpoint hands
// to ReceiveMsg are recorded; relayed window messages (command 5) arrive on
// workers and are answered with a record carrying the same request id.
class TestParent : public CMultiProcessBase {
public:
    // onReceive runs on the listener before each command is recorded.
    explicit TestParent(const std::wstring& group, std::function<void(DWORD pid, INT cmd)> onReceive = {})
        : CMultiProcessBase(group.c_str(), 100), onReceive_(std::move(onReceive)) {
        serving_ = Load() && static_cast<INT>(StartServer()) >= 0;
    }
    ~TestParent() override { StopMessaging(); }

    bool Serving() const { return serving_; }

    INT ReceiveMsg(DWORD pid, INT cmd, BYTE* data, DWORD size) override {
        if (onReceive_) onReceive_(pid, cmd);
        {
            std::lock_guard<std::mutex> guard(lock_);
            received_.push_back({pid, cmd, std::string(reinterpret_cast<const char*>(data), data ? size : 0)});
        }
        changed_.notify_all();
        return 0;
    }
    bool OnProcessTerminated(DWORD) override { return true; }
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                           DWORD& answerSize) override {
        WindowMessageDataMultiProcess record;
        record.Deserialize(std::string(reinterpret_cast<const char*>(data), data ? size : 0));
        {
            std::lock_guard<std::mutex> guard(lock_);
            relayed_.push_back({pid, cmd, record.uMsg, Bytes(record.GetWParam(), record.GetLenWParam()),
                                Bytes(record.GetLParam(), record.GetLenLParam())});
        }
        changed_.notify_all();
        WindowMessageDataMultiProcess answer;
        answer.iRequestId = record.iRequestId;
        answer.uMsg = record.uMsg;
        answer.SetLParam("answered", 8);
        return answer.SerializeToBuffer(answerSize);
    }
    void QuitProcessMessage() override {}

    // Waits until `count` commands cmd from pid have arrived.
    bool WaitForCommand(INT cmd, DWORD pid, size_t count = 1, int limitMs = 20000) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] {
            return static_cast<size_t>(std::count_if(received_.begin(), received_.end(), [&](const Received& r) {
                       return r.cmd == cmd && r.pid == pid;
                   })) >= count;
        });
    }
    bool WaitForRelays(size_t count, int limitMs = 20000) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return relayed_.size() >= count; });
    }
    std::vector<Received> ReceivedCommands() {
        std::lock_guard<std::mutex> guard(lock_);
        return received_;
    }
    std::vector<Relayed> Relays() {
        std::lock_guard<std::mutex> guard(lock_);
        return relayed_;
    }

    // A command as a Call; the transport's reply (what the host wrote into
    // the body) replaces body for bodies that travel inline. The status.
    DWORD Call(DWORD pid, INT cmd, std::string& body) {
        return SendMessage(pid, cmd, body.empty() ? nullptr : reinterpret_cast<BYTE*>(body.data()),
                           static_cast<DWORD>(body.size()), MP_CALL);
    }
    DWORD Call(DWORD pid, INT cmd, const std::string& body = {}) {
        std::string copy = body;
        return Call(pid, cmd, copy);
    }

    // A data request (command 3 or 6) answered by command 7: the decoded
    // answer, or false when none came.
    bool Request(DWORD pid, INT cmd, int option, const std::wstring& text, DataParametersMultiProcess& answer) {
        DataParametersMultiProcess request;
        request.request = Requests().GetNewRequestId(pid);
        request.module = 1;
        request.option = option;
        request.SetParam(text);
        std::string reply;
        if (SendMessageCommon(pid, cmd, request.request, request.Serialize(), reply, MP_SYNC) != 0) return false;
        return answer.Deserialize(reply);
    }
    // Raw bytes as a data request, waiting for an answer to request id
    // `id` (which the bytes may or may not carry); the status.
    DWORD RawRequest(DWORD pid, INT cmd, int32_t id, const std::string& bytes, std::string& reply) {
        return SendMessageCommon(pid, cmd, id, bytes, reply, MP_SYNC);
    }

private:
    static std::string Bytes(const BYTE* data, int32_t count) {
        return data && count > 0 ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(count))
                                 : std::string();
    }

    const std::function<void(DWORD pid, INT cmd)> onReceive_;
    bool serving_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Received> received_;
    std::vector<Relayed> relayed_;
};

inline std::string ZrrundllPath() { return zrtest::BinaryDir() + "/tools/zrrundll/zrrundll"; }
inline std::string HostLibraryPath() { return zrtest::BinaryDir() + "/src/host/libzrmodproc.so"; }

// The host as rundll32 would start it: "<library>,Module <command line>".
inline std::unique_ptr<zrtest::ChildProcess> StartHost(const std::string& commandLine) {
    std::vector<std::string> arguments{HostLibraryPath() + ",Module"};
    if (!commandLine.empty()) arguments.push_back(commandLine);
    return std::make_unique<zrtest::ChildProcess>(ZrrundllPath(), arguments);
}

// The messages one process wrote to the log file of the current directory.
inline std::vector<std::string> LogOf(DWORD pid) {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile("kvlzrmodproc.log", records, error);
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "[%.4u.", static_cast<unsigned>(pid));
    std::vector<std::string> messages;
    for (const auto& record : records)
        if (record.line.rfind(prefix, 0) == 0) messages.push_back(zrlog::MessageOf(record));
    return messages;
}

inline size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}
inline bool Has(const std::vector<std::string>& lines, const std::string& line) { return Count(lines, line) > 0; }
inline bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}
inline size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// Waits until the process's log lines satisfy the test (the log file is the
// only thing through which the host tells what it did with a message that
// has no answer).
template <class Test>
bool WaitForLog(DWORD pid, Test test, int limitMs = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!test(LogOf(pid))) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace hosttest
