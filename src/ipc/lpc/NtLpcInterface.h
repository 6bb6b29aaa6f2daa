// The native LPC port entry points of ntdll.dll, bound at run time, and the
// names of NT status codes for log lines.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct LpcPortMessage;

typedef NTSTATUS(NTAPI* NtCreatePortFn)(HANDLE* port, OBJECT_ATTRIBUTES* attributes, ULONG maxConnectionInfoLength,
                                        ULONG maxMessageLength, ULONG maxPoolUsage);
typedef NTSTATUS(NTAPI* NtAcceptConnectPortFn)(HANDLE* port, void* portContext, LpcPortMessage* connectionRequest,
                                               BOOLEAN accept, void* serverView, void* clientView);
typedef NTSTATUS(NTAPI* NtCompleteConnectPortFn)(HANDLE port);
typedef NTSTATUS(NTAPI* NtConnectPortFn)(HANDLE* port, UNICODE_STRING* name, SECURITY_QUALITY_OF_SERVICE* qos,
                                         void* clientView, void* serverView, ULONG* maxMessageLength,
                                         void* connectionInfo, ULONG* connectionInfoLength);
typedef NTSTATUS(NTAPI* NtRequestWaitReplyPortFn)(HANDLE port, LpcPortMessage* request, LpcPortMessage* reply);
typedef NTSTATUS(NTAPI* NtRequestPortFn)(HANDLE port, LpcPortMessage* message);
typedef NTSTATUS(NTAPI* NtReplyWaitReceivePortFn)(HANDLE port, void** portContext, LpcPortMessage* reply,
                                                  LpcPortMessage* receive);
typedef NTSTATUS(NTAPI* NtReplyWaitReceivePortExFn)(HANDLE port, void** portContext, LpcPortMessage* reply,
                                                    LpcPortMessage* receive, LARGE_INTEGER* timeout);
typedef NTSTATUS(NTAPI* NtReplyPortFn)(HANDLE port, LpcPortMessage* reply);
typedef NTSTATUS(NTAPI* NtRegisterThreadTerminatePortFn)(HANDLE port);
typedef NTSTATUS(NTAPI* NtReadRequestDataFn)(HANDLE port, LpcPortMessage* message, ULONG dataEntryIndex,
                                             void* buffer, SIZE_T bufferSize, SIZE_T* bytesRead);
typedef NTSTATUS(NTAPI* NtWriteRequestDataFn)(HANDLE port, LpcPortMessage* message, ULONG dataEntryIndex,
                                              const void* buffer, SIZE_T bufferSize, SIZE_T* bytesWritten);
typedef NTSTATUS(NTAPI* NtWaitForSingleObjectFn)(HANDLE object, BOOLEAN alertable, LARGE_INTEGER* timeout);
typedef void(NTAPI* RtlInitUnicodeStringFn)(UNICODE_STRING* target, const WCHAR* source);
typedef NTSTATUS(NTAPI* NtCloseFn)(HANDLE handle);

// Holds one binding of ntdll.dll for the client and the server (a virtual
// base of both). Threads: Load and the destructor run on the owning thread
// before the listener exists and after it has ended; the pointers are then
// read from every thread without a lock.
class NtLpcInterface {
public:
    NtLpcInterface();
    virtual ~NtLpcInterface();
    NtLpcInterface(const NtLpcInterface&) = delete;
    NtLpcInterface& operator=(const NtLpcInterface&) = delete;

    // Binds (or re-binds) the library and the fifteen entry points; true only
    // when all fifteen were found. The library stays held when some are missing.
    bool Load();
    // True while the library is held; says nothing about the entry points.
    bool IsLoaded() const { return library_ != nullptr; }

protected:
    // Load from a named library; Load passes L"ntdll.dll".
    bool LoadFrom(const wchar_t* libraryName);

    HMODULE library_ = nullptr;
    NtCreatePortFn NtCreatePort = nullptr;
    NtAcceptConnectPortFn NtAcceptConnectPort = nullptr;
    NtCompleteConnectPortFn NtCompleteConnectPort = nullptr;
    NtConnectPortFn NtConnectPort = nullptr;
    NtRequestWaitReplyPortFn NtRequestWaitReplyPort = nullptr;
    NtRequestPortFn NtRequestPort = nullptr;
    NtReplyWaitReceivePortFn NtReplyWaitReceivePort = nullptr;
    NtReplyWaitReceivePortExFn NtReplyWaitReceivePortEx = nullptr;
    NtReplyPortFn NtReplyPort = nullptr;
    NtRegisterThreadTerminatePortFn NtRegisterThreadTerminatePort = nullptr;
    NtReadRequestDataFn NtReadRequestData = nullptr;
    NtWriteRequestDataFn NtWriteRequestData = nullptr;
    NtWaitForSingleObjectFn NtWaitForSingleObject = nullptr;
    RtlInitUnicodeStringFn RtlInitUnicodeString = nullptr;
    NtCloseFn NtClose = nullptr;

private:
    void ForgetEntryPoints();
};

// Status values the transport produces or tests for itself (the platform
// headers do not all name them on every build).
constexpr NTSTATUS kLpcStatusTimeout = 0x00000102;
constexpr NTSTATUS kLpcStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS kLpcStatusNoMemory = static_cast<NTSTATUS>(0xC0000017u);
constexpr NTSTATUS kLpcStatusNameTooLong = static_cast<NTSTATUS>(0xC0000106u);
constexpr NTSTATUS kLpcStatusDllNotFound = static_cast<NTSTATUS>(0xC0000135u);
constexpr NTSTATUS kLpcStatusInvalidMessage = static_cast<NTSTATUS>(0xC0000702u);
constexpr NTSTATUS kLpcStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001u);

// The published constant name of a status, or its class fall-back text.
// Never null, never allocated, safe from any thread.
const char* NtStatusName(uint32_t status);
