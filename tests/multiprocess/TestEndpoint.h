// The messaging tests' support: what they logged, read back from the sealed
// log file of the test's own directory, and a messaging endpoint that
// answers data requests as its mode says.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "ipc/messages/Commands.h"
#include "ipc/multiprocess/CMultiProcessBase.h"
#include "log/LogTestUtil.h"
#include "util/LogLines.h"
#include "util/ScopedHandle.h"

namespace mptest {

using utiltest::CountLines;
using utiltest::CountStartingWith;

// Waits until another process or thread has logged the line (or, with
// prefix, lines starting with it) `times` times; for lines that follow no
// event this process can wait on.
inline bool AwaitLine(const std::string& line, size_t times = 1, bool prefix = false) {
    const auto count = [&] { return prefix ? CountStartingWith(line) : CountLines(line); };
    for (int waited = 0; waited < 30000 && count() < times; waited += 20) usleep(20000);
    return count() >= times;
}

inline std::string Hex(const void* handle, bool upper = false) {
    char text[32];
    std::snprintf(text, sizeof(text), upper ? "%llX" : "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

// How ProcessMessage answers.
enum class Answer {
    Echo,    // the request's bytes and "|done"
    Gated,   // as Echo, after printing "working" and waiting for the gate
    None,    // no answer
};

// A command that reaches ReceiveMsg: prints "holding" and keeps the listener
// until the gate opens.
constexpr INT kHoldListener = 9;

class TestEndpoint : public CMultiProcessBase {
public:
    explicit TestEndpoint(const std::wstring& group, Answer mode = Answer::Echo)
        : CMultiProcessBase(group.c_str(), 100), mode_(mode), gate_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~TestEndpoint() override { StopMessaging(); }

    bool Start() { return NtLpcBase::Load() && NtLpcBase::StartServer() == 0; }
    void OpenGate() { SetEvent(gate_.Get()); }

    INT ReceiveMsg(DWORD, INT cmd, BYTE*, DWORD) override {
        if (cmd == kHoldListener) {
            std::printf("holding\n");
            std::fflush(stdout);
            WaitForSingleObject(gate_.Get(), INFINITE);
        }
        return 0;
    }
    bool OnProcessTerminated(DWORD pid) override {
        std::lock_guard<std::mutex> guard(lock_);
        terminated_.push_back(pid);
        return true;
    }
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD, DWORD, const BYTE* data, DWORD size,
                                           DWORD& answerSize) override {
        switch (mode_) {
            case Answer::None:
                return nullptr;
            case Answer::Gated:
                std::printf("working\n");
                std::fflush(stdout);
                WaitForSingleObject(gate_.Get(), INFINITE);
                break;
            case Answer::Echo:
                break;
        }
        std::string request(reinterpret_cast<const char*>(data), size);
        const std::string answer = request + "|done";
        answerSize = static_cast<DWORD>(answer.size());
        auto buffer = std::make_unique<BYTE[]>(answer.size());
        std::memcpy(buffer.get(), answer.data(), answer.size());
        return buffer;
    }
    void QuitProcessMessage() override {}

    std::vector<DWORD> Terminated() {
        std::lock_guard<std::mutex> guard(lock_);
        return terminated_;
    }

private:
    const Answer mode_;
    ScopedKernelHandle gate_;
    std::mutex lock_;
    std::vector<DWORD> terminated_;
};

// A request body as the parent sends it: the request id, then the payload.
inline std::string RequestBody(int32_t id, const std::string& payload) {
    std::string body(4, '\0');
    for (int i = 0; i < 4; ++i) body[static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(id) >> (8 * i)) & 0xFF);
    return body + payload;
}

inline std::wstring GroupOf(DWORD parentPid) { return L"zrmptest" + std::to_wstring(parentPid) + L"_"; }

}  // namespace mptest
