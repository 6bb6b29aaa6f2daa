// What the layer above sees of the transport, and the optional receiver a
// transport can forward to.
#pragma once

#include "platform/platform.h"

// Operations in slot order. The owner deletes the concrete object, never
// through this interface.
class IIPCBridgeInterface {
public:
    virtual NTSTATUS SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD length, DWORD type) = 0;
    virtual INT StartServer() = 0;
    virtual INT StopServer() = 0;
    virtual void AbortServer() = 0;
    virtual INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) = 0;
    virtual bool ProcessTermination(DWORD pid) = 0;
    virtual bool Load() = 0;
    virtual bool IsLoaded() const = 0;
};

// A receiver the transport forwards received messages and client deaths to.
class IIPCReceiver {
public:
    virtual INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) = 0;
    virtual bool ProcessTermination(DWORD pid) = 0;

protected:
    ~IIPCReceiver() = default;
};
