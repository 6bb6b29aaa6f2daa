#include "ipc/lpc/NtLpcBase.h"

#include "log/Log.h"

NtLpcBase::NtLpcBase(const wchar_t* groupName, DWORD receiveTimeoutMs, IIPCReceiver* ipc,
                     const wchar_t* explicitPortName)
    : NtLpcInterface(),
      NtLpcClient(groupName, explicitPortName),
      NtLpcServer(groupName, receiveTimeoutMs, explicitPortName),
      ipc_(ipc) {
    Log(LOG_INFO, "NtLpcBase::NtLpcBase: group:%ws, timeout:%d, ipc:%p, explicit_port:%ws", groupName,
        static_cast<int>(receiveTimeoutMs), static_cast<void*>(ipc), explicitPortName);
}

NtLpcBase::~NtLpcBase() {
    // The listener calls this object's hooks; it must be gone before they are.
    NtLpcServer::StopServer();
}

NTSTATUS NtLpcBase::SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD length, DWORD type) {
    return NtLpcClient::SendMessage(pid, cmd, data, length, type);
}

INT NtLpcBase::StartServer() {
    Log(LOG_INFO, "NtLpcBase::StartServer: ");
    return NtLpcServer::StartServer();
}

INT NtLpcBase::StopServer() {
    Log(LOG_INFO, "NtLpcBase::StopServer: ");
    return NtLpcServer::StopServer();
}

void NtLpcBase::AbortServer() {
    Log(LOG_INFO, "NtLpcBase::AbortServer: ");
    NtLpcServer::AbortServer();
}

INT NtLpcBase::ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) {
    if (ipc_) return ipc_->ReceiveMessage(pid, cmd, data, size);
    return 1;
}

bool NtLpcBase::ProcessTermination(DWORD pid) {
    if (ipc_) return ipc_->ProcessTermination(pid);
    return true;
}

bool NtLpcBase::Load() {
    return NtLpcInterface::Load();
}

bool NtLpcBase::IsLoaded() const {
    return NtLpcInterface::IsLoaded();
}

bool NtLpcBase::ConnectionAccepted(DWORD) {
    return true;
}

bool NtLpcBase::ConnectionClosed(DWORD pid) {
    try {
        return CloseDestinationPort(pid);
    } catch (...) {
        return false;
    }
}
