// The sending side of the transport: connects to the port of a destination
// process once, keeps the connection, and sends commands inline or indirect.
#pragma once

#include <string>

#include "ipc/lpc/LpcMessage.h"
#include "ipc/lpc/NtLpcInterface.h"
#include "ipc/lpc/NtLpcPortList.h"
#include "util/CriticalSection.h"

// Longest port name in wide characters, terminator included.
constexpr size_t kLpcPortNameCapacity = 128;

// "\RPC Control\" + explicitPortName when it is given and not empty, else
// "\RPC Control\" + groupName + decimal pid. False when it would not fit
// capacity characters with its terminator; name is then left unwritten.
bool FormatLpcPortName(const wchar_t* explicitPortName, const wchar_t* groupName, DWORD pid, wchar_t* name,
                       size_t capacity);

// Threads: any thread may send. The connection cache is guarded by
// cacheLock_; the send itself runs outside the lock on the cached handle.
class NtLpcClient : public virtual NtLpcInterface {
public:
    // groupName is copied (null stays null); explicitPortName is borrowed
    // and, when given, names the port for every destination.
    NtLpcClient(const wchar_t* groupName, const wchar_t* explicitPortName);
    ~NtLpcClient() override;

    // Connects to pid's port, or finds the cached connection; the handle
    // stays owned by the cache. Takes the cache lock.
    NTSTATUS ConnectDestinationPort(DWORD pid, HANDLE* port);
    // type is an LpcMessageType. For a Call, data receives the reply.
    NTSTATUS SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD length, DWORD type);
    // Drops and closes the cached connection to pid; true when there was one.
    bool CloseDestinationPort(DWORD pid);

    // Text forms for log lines; empty when the pointer is null or length
    // exceeds the record (24 for the header, 32 for MessageInfo).
    static std::string PortMessageHeaderText(const LpcPortMessageHeader* header, size_t length);
    static std::string MessageInfoText(const MessageInfo* info, size_t length);

private:
    // False (after a log line) when the name would not fit the port-name buffer.
    bool FormatPortName(DWORD pid, wchar_t (&name)[kLpcPortNameCapacity]) const;
    const wchar_t* GroupName() const { return hasGroupName_ ? groupName_.c_str() : nullptr; }

    NtLpcPortList cache_;        // guarded by cacheLock_
    CriticalSection cacheLock_;
    std::wstring groupName_;
    bool hasGroupName_;
    const wchar_t* explicitPortName_;  // borrowed
};
