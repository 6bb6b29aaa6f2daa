// The host's end-to-end tests: a test parent that is a messaging endpoint of
// its own, the host started as a real process through zrrundll, and the
// host's log lines read back through the log reader.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/multiprocess/CMultiProcessBase.h"
#include "log/LogReader.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace hosttest {

using Clock = std::chrono::steady_clock;

// The agent's side: serves "\RPC Control\<group><own pid>" and speaks the
// host protocol through the product's endpoint. Commands reaching ReceiveMsg
// are counted; the window-message relay is left to the agent's tests.
class TestParent : public CMultiProcessBase {
public:
    // onReceive runs on the listener before each command is counted.
    explicit TestParent(const std::wstring& group, std::function<void(DWORD pid, INT cmd)> onReceive = {})
        : CMultiProcessBase(group.c_str(), 100), onReceive_(std::move(onReceive)) {
        serving_ = Load() && static_cast<INT>(StartServer()) >= 0;
    }
    ~TestParent() override { StopMessaging(); }

    bool Serving() const { return serving_; }

    INT ReceiveMsg(DWORD pid, INT cmd, BYTE*, DWORD) override {
        if (onReceive_) onReceive_(pid, cmd);
        {
            std::lock_guard<std::mutex> guard(lock_);
            received_.emplace_back(pid, cmd);
        }
        changed_.notify_all();
        return 0;
    }
    bool OnProcessTerminated(DWORD) override { return true; }
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD, DWORD, const BYTE*, DWORD, DWORD&) override { return nullptr; }
    void QuitProcessMessage() override {}

    // Waits until `count` commands cmd from pid have arrived.
    bool WaitForCommand(INT cmd, DWORD pid, size_t count = 1) {
        return Await([&] { return static_cast<size_t>(std::count(received_.begin(), received_.end(),
                                                                 std::pair<DWORD, INT>(pid, cmd))) >= count; });
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

private:
    template <class Done>
    bool Await(Done done) {
        std::unique_lock<std::mutex> lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(20), done);
    }

    const std::function<void(DWORD pid, INT cmd)> onReceive_;
    bool serving_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::pair<DWORD, INT>> received_;
};

// The host as rundll32 would start it: "<library>,Module <command line>".
inline std::unique_ptr<zrtest::ChildProcess> StartHost(const std::string& commandLine) {
    std::vector<std::string> arguments{zrtest::BinaryDir() + "/src/host/libzrmodproc.so,Module"};
    if (!commandLine.empty()) arguments.push_back(commandLine);
    return std::make_unique<zrtest::ChildProcess>(zrtest::BinaryDir() + "/tools/zrrundll/zrrundll", arguments);
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
inline size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Waits until the process's log lines satisfy the test (the log file is the
// only thing through which the host tells what it did with a message that
// has no answer).
template <class Test>
bool WaitForLog(DWORD pid, Test test) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!test(LogOf(pid))) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace hosttest
