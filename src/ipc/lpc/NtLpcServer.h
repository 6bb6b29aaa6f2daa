// The process's own LPC port and its listener thread: accepts connections,
// receives messages, hands them to the hooks and replies as the type requires.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "ipc/lpc/LpcMessage.h"
#include "ipc/lpc/NtLpcInterface.h"
#include "ipc/lpc/NtLpcPortList.h"
#include "util/ScopedHandle.h"

// Threads: StartServer, StopServer and AbortServer run on a controlling
// thread (never StopServer on the listener itself). The listener runs
// ServerThread and with it every hook, AcceptConnection and ProcessRequest;
// the connection list, the server port and the read buffer are touched by
// the listener only (and by the destructor after it has ended), so they have
// no lock. A subclass that overrides the hooks stops the server in its own
// destructor, before its part of the object is gone.
class NtLpcServer : public virtual NtLpcInterface {
public:
    NtLpcServer(const wchar_t* groupName, DWORD receiveTimeoutMs, const wchar_t* explicitPortName);
    ~NtLpcServer() override;

    // Hooks, called on the listener thread. For a Call, ReceiveMessage may
    // write its answer into data, up to 232 bytes; negative means failure.
    virtual INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) = 0;
    virtual bool ConnectionAccepted(DWORD pid) = 0;
    virtual bool ConnectionClosed(DWORD pid) = 0;
    virtual bool ProcessTermination(DWORD pid) = 0;

    // 0, or the NTSTATUS of a failed port creation.
    INT StartServer();
    // Clears the running flag and waits for the listener; always 0.
    INT StopServer();
    // Clears the running flag only; the listener ends within one receive time-out.
    void AbortServer();

    NTSTATUS InitializeServer();
    // The listener body; returns the status that ended its loop.
    NTSTATUS ServerThread();
    NTSTATUS AcceptConnection(LpcPortMessage* message);
    // Handles one received request or datagram and replies to Sync and Call.
    INT ProcessRequest(LpcPortMessage* message);

    bool IsRunning() const { return running_.load(); }
    // Bytes the indirect read buffer holds now; it only grows. Listener thread
    // (a hook), or any thread while no listener runs.
    DWORD ReadBufferCapacity() const { return readCapacity_; }

private:
    static DWORD WINAPI ListenerMain(LPVOID self);
    // False (after a log line) when the name would not fit the port-name buffer.
    bool FormatPortName(wchar_t* name, size_t capacity) const;
    const wchar_t* GroupName() const { return hasGroupName_ ? groupName_.c_str() : nullptr; }
    void CloseConnection(DWORD pid, const char* closedError);
    // Waits for a listener that was started and has been told to end.
    void JoinListener();
    // Grows the read buffer to hold size bytes (and at least one reply); false when out of memory.
    bool ReserveReadBuffer(DWORD size);

    HANDLE serverPort_ = nullptr;  // listener only, while it runs
    NtLpcPortList connections_;    // listener only; owns the handles it lists
    DWORD receiveTimeoutMs_;
    std::atomic<bool> running_{false};
    ScopedKernelHandle listener_;  // controlling thread
    DWORD listenerId_ = 0;
    DWORD dataEntryIndex_;
    std::unique_ptr<BYTE[]> readBuffer_;  // listener only
    DWORD readCapacity_ = 0;
    std::wstring groupName_;
    bool hasGroupName_;
    const wchar_t* explicitPortName_;  // borrowed
};
