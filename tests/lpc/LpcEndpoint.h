// The transport as a test process uses it: an NtLpcBase that reports what
// reaches its hooks as lines on the standard output, so the other process
// of a test can follow along.
#pragma once

#include <cstdio>
#include <cstdint>
#include <mutex>
#include <string>

#include "ipc/lpc/NtLpcBase.h"

namespace lpctest {

// FNV-1a, enough to tell two payloads apart in a line of text.
inline uint32_t Checksum(const BYTE* data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

// Data with a pattern that a shifted or truncated copy does not match.
inline std::string Payload(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return data;
}

// The answer a Call gets: 232 bytes derived from the command.
inline std::string CallAnswer(INT cmd) {
    return Payload(kLpcReplyDataSize, 0xA000u + static_cast<uint32_t>(cmd));
}

inline std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

class LpcEndpoint : public NtLpcBase {
public:
    explicit LpcEndpoint(const std::wstring& group, const wchar_t* explicitPort = nullptr)
        : NtLpcBase(group.c_str(), 100, nullptr, explicitPort) {}
    ~LpcEndpoint() override { NtLpcServer::StopServer(); }

    // Called on the listener before the default handling; a subclass may block here.
    virtual void BeforeReceive(DWORD, INT, BYTE*, DWORD) {}

    INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) override {
        Say("recv pid=%lu cmd=%d size=%lu sum=%08x cap=%lu", static_cast<unsigned long>(pid), cmd,
            static_cast<unsigned long>(size), Checksum(data, size), static_cast<unsigned long>(ReadBufferCapacity()));
        BeforeReceive(pid, cmd, data, size);
        const std::string answer = CallAnswer(cmd);
        answer.copy(reinterpret_cast<char*>(data), answer.size());
        return 0;
    }
    bool ConnectionAccepted(DWORD pid) override {
        Say("accepted %lu", static_cast<unsigned long>(pid));
        return NtLpcBase::ConnectionAccepted(pid);
    }
    bool ConnectionClosed(DWORD pid) override {
        Say("closed %lu", static_cast<unsigned long>(pid));
        return NtLpcBase::ConnectionClosed(pid);
    }
    bool ProcessTermination(DWORD pid) override {
        Say("died %lu", static_cast<unsigned long>(pid));
        return NtLpcBase::ProcessTermination(pid);
    }

    template <class... Args>
    static void Say(const char* format, Args... args) {
        static std::mutex lock;
        std::lock_guard<std::mutex> guard(lock);
        std::printf(format, args...);
        std::printf("\n");
        std::fflush(stdout);
    }
};

}  // namespace lpctest
