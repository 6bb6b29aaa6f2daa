// An NtLpcServer whose native port calls are answered from memory, so a test
// or a fuzz target can drive ProcessRequest without a kernel, a port or a
// socket. Every native call and every hook call is appended to one event
// list, in the order they happened.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/lpc/NtLpcClient.h"
#include "ipc/lpc/NtLpcServer.h"

namespace lpctest {

struct HookCall {
    DWORD pid;
    INT cmd;
    std::string data;
    DWORD size;
};

class ScriptedLpcServer : public NtLpcServer {
public:
    // What the scripted native calls hand out and answer.
    std::string indirectData;  // the client's bytes NtReadRequestData copies out
    NTSTATUS readStatus = 0;
    // What the hook does: its result and the answer it writes into the data.
    INT hookResult = 1;
    std::string hookAnswer;

    // What happened.
    std::vector<std::string> events;  // "read", "hook", "write", "reply"
    std::vector<HookCall> hookCalls;
    std::vector<LpcPortMessage> replies;
    std::string written;

    ScriptedLpcServer() : NtLpcServer(L"scripted", 100, nullptr) {
        current_ = this;
        NtReadRequestData = &Read;
        NtWriteRequestData = &Write;
        NtReplyPort = &Reply;
    }
    ~ScriptedLpcServer() override { current_ = nullptr; }

    INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) override {
        events.push_back("hook");
        // Reading every byte the transport claims is there lets the
        // address sanitizer catch a size that runs past the buffer.
        hookCalls.push_back({pid, cmd, std::string(reinterpret_cast<const char*>(data), size), size});
        std::memcpy(data, hookAnswer.data(), std::min<size_t>(hookAnswer.size(), kLpcReplyDataSize));
        return hookResult;
    }
    bool ConnectionAccepted(DWORD) override { return true; }
    bool ConnectionClosed(DWORD) override { return true; }
    bool ProcessTermination(DWORD) override { return true; }

private:
    static inline ScriptedLpcServer* current_ = nullptr;

    static NTSTATUS NTAPI Read(HANDLE, LpcPortMessage*, ULONG, void* buffer, SIZE_T size, SIZE_T* read) {
        current_->events.push_back("read");
        const size_t n = std::min<size_t>(size, current_->indirectData.size());
        std::memcpy(buffer, current_->indirectData.data(), n);
        if (read) *read = n;
        return current_->readStatus;
    }
    static NTSTATUS NTAPI Write(HANDLE, LpcPortMessage*, ULONG, const void* buffer, SIZE_T size, SIZE_T* written) {
        current_->events.push_back("write");
        current_->written.assign(static_cast<const char*>(buffer), size);
        if (written) *written = size;
        return 0;
    }
    static NTSTATUS NTAPI Reply(HANDLE, LpcPortMessage* message) {
        current_->events.push_back("reply");
        current_->replies.push_back(*message);
        return 0;
    }
};

// An NtLpcClient whose connections and sends are answered from memory: what
// it puts on the wire, how often it connects, what it closes.
class ScriptedLpcClient : public NtLpcClient {
public:
    NTSTATUS connectStatus = 0;
    NTSTATUS registerStatus = 0;
    LpcPortMessage replyToSend{};  // what a waiting send gets back

    std::vector<std::wstring> connectedNames;
    std::vector<LpcPortMessage> sent;
    std::vector<HANDLE> closed;
    std::vector<HANDLE>* closeLog = &closed;  // may point outside, to outlive the client

    explicit ScriptedLpcClient(const wchar_t* group, const wchar_t* explicitPort = nullptr)
        : NtLpcClient(group, explicitPort) {
        current_ = this;
        NtConnectPort = &Connect;
        NtRegisterThreadTerminatePort = &Register;
        RtlInitUnicodeString = &InitString;
        NtRequestPort = &Datagram;
        NtRequestWaitReplyPort = &Request;
        NtClose = &Close;
    }
    ~ScriptedLpcClient() override {
        // The base closes the cached connections after this part is gone.
        closeSink_ = closeLog == &closed ? nullptr : closeLog;
        current_ = nullptr;
    }

private:
    static inline ScriptedLpcClient* current_ = nullptr;
    static inline std::vector<HANDLE>* closeSink_ = nullptr;

    static NTSTATUS NTAPI Connect(HANDLE* port, UNICODE_STRING* name, SECURITY_QUALITY_OF_SERVICE*, void*, void*,
                                  ULONG*, void*, ULONG*) {
        current_->connectedNames.emplace_back(name->Buffer, name->Length / sizeof(WCHAR));
        *port = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + current_->connectedNames.size()));
        return current_->connectStatus;
    }
    static NTSTATUS NTAPI Register(HANDLE) { return current_->registerStatus; }
    static void NTAPI InitString(UNICODE_STRING* target, const WCHAR* source) {
        size_t n = 0;
        while (source[n]) ++n;
        target->Buffer = const_cast<WCHAR*>(source);
        target->Length = static_cast<USHORT>(n * sizeof(WCHAR));
        target->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    }
    static NTSTATUS NTAPI Datagram(HANDLE, LpcPortMessage* message) {
        current_->sent.push_back(*message);
        return 0;
    }
    static NTSTATUS NTAPI Request(HANDLE, LpcPortMessage* message, LpcPortMessage* reply) {
        current_->sent.push_back(*message);
        *reply = current_->replyToSend;
        return 0;
    }
    static NTSTATUS NTAPI Close(HANDLE handle) {
        std::vector<HANDLE>* log = current_ ? current_->closeLog : closeSink_;
        if (log) log->push_back(handle);
        return 0;
    }
};

// A received message as the kernel delivers it.
inline LpcPortMessage ReceivedMessage(uint16_t deliveredType, uint32_t type, INT cmd, const std::string& inlineData,
                                      uint32_t size, bool indirect) {
    LpcPortMessage message{};
    message.header.Type = deliveredType;
    message.header.ClientProcessId = 4242;
    message.header.TotalLength = kLpcTotalLength;
    message.info.type = type;
    message.info.indirect = indirect ? 1 : 0;
    message.info.cmd = cmd;
    message.info.size = size;
    std::memcpy(message.data, inlineData.data(), std::min(inlineData.size(), sizeof(message.data)));
    message.header.DataLength = static_cast<uint16_t>(32 + (indirect ? sizeof(LpcDataDescriptor) : size));
    return message;
}

}  // namespace lpctest
