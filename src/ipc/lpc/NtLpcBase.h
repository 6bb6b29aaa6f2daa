// One transport object: the client, the server and the bridge the layer
// above talks to, sharing one binding of the native entry points.
#pragma once

#include "ipc/lpc/IIPCBridgeInterface.h"
#include "ipc/lpc/NtLpcClient.h"
#include "ipc/lpc/NtLpcServer.h"

class NtLpcBase : public NtLpcClient, public NtLpcServer, public IIPCBridgeInterface {
public:
    // ipc is borrowed and may be null; explicitPortName is borrowed and may be null.
    NtLpcBase(const wchar_t* groupName, DWORD receiveTimeoutMs, IIPCReceiver* ipc, const wchar_t* explicitPortName);
    ~NtLpcBase() override;

    // IIPCBridgeInterface
    NTSTATUS SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD length, DWORD type) override;
    INT StartServer() override;
    INT StopServer() override;
    void AbortServer() override;
    INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) override;
    bool ProcessTermination(DWORD pid) override;
    bool Load() override;
    bool IsLoaded() const override;

    // NtLpcServer hooks (listener thread)
    bool ConnectionAccepted(DWORD pid) override;
    bool ConnectionClosed(DWORD pid) override;

private:
    IIPCReceiver* ipc_;
};
