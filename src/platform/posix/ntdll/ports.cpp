// The NT port entry points of the built-in "ntdll", with the NT helpers
// port users bind beside them (NtClose, NtWaitForSingleObject,
// RtlInitUnicodeString). NT functions answer with an NTSTATUS and never
// touch the thread's last error.
#include <poll.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <cwchar>

#include "ntdll/port_objects.h"
#include "zrwin/ntport.h"
#include "zrwin/sync.h"

namespace zrwin::ntport {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;

template <class T>
NTSTATUS PortOf(HANDLE handle, PortObject::Role role, std::shared_ptr<T>& out) {
    auto object = LookupHandle(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (object->Kind() != ObjectKind::Port) return STATUS_OBJECT_TYPE_MISMATCH;
    auto port = std::static_pointer_cast<PortObject>(object);
    if (port->PortRole() != role) return STATUS_INVALID_PORT_HANDLE;
    out = std::static_pointer_cast<T>(port);
    return STATUS_SUCCESS;
}

// The server port behind a server's connection port or communication port.
NTSTATUS ServerOf(HANDLE handle, std::shared_ptr<ServerPort>& out) {
    auto object = LookupHandle(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    if (object->Kind() != ObjectKind::Port) return STATUS_OBJECT_TYPE_MISMATCH;
    auto port = std::static_pointer_cast<PortObject>(object);
    if (port->PortRole() == PortObject::Role::Server) {
        out = std::static_pointer_cast<ServerPort>(port);
        return STATUS_SUCCESS;
    }
    if (port->PortRole() == PortObject::Role::Communication) {
        out = std::static_pointer_cast<CommunicationPort>(port)->Server();
        return out ? STATUS_SUCCESS : STATUS_PORT_DISCONNECTED;
    }
    return STATUS_INVALID_PORT_HANDLE;
}

Record RecordOf(const PORT_MESSAGE* message) {
    Record record;
    std::memcpy(record.data(), message, record.size());
    return record;
}

// An NT time-out as nanoseconds from now: null waits without limit (-1),
// negative is relative, positive an absolute system time.
// Spans beyond about 29 years count as no limit, so deadlines cannot overflow.
int64_t TimeoutNs(const LARGE_INTEGER* timeout) {
    constexpr int64_t kLongest = INT64_MAX / 1000;  // in 100-ns units
    if (!timeout) return -1;
    const int64_t value = timeout->QuadPart;
    if (value <= 0) return value < -kLongest ? -1 : -value * 100;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t nowNt = kEpochDifference + static_cast<int64_t>(now.tv_sec) * 10000000 + now.tv_nsec / 100;
    if (value <= nowNt) return 0;
    return value - nowNt > kLongest ? -1 : (value - nowNt) * 100;
}

}  // namespace
}  // namespace zrwin::ntport

using namespace zrwin::ntport;

// NtCreatePort (ntdll): a named server port; a name already served fails with STATUS_OBJECT_NAME_COLLISION.
NTSTATUS NTAPI NtCreatePort(HANDLE* port, OBJECT_ATTRIBUTES* attributes, ULONG maxConnectionInfoLength,
                            ULONG maxMessageLength, ULONG) {
    if (!port || !attributes) return STATUS_INVALID_PARAMETER;
    if (attributes->RootDirectory) return STATUS_INVALID_PARAMETER;  // names are absolute here
    if (maxConnectionInfoLength > kMaxConnectionInfo) return STATUS_INVALID_PARAMETER_3;
    if (maxMessageLength > kRecordSize) return STATUS_INVALID_PARAMETER_4;
    std::string name;
    const NTSTATUS named = PortNameFromUnicode(attributes->ObjectName, name);
    if (named != STATUS_SUCCESS) return named;
    std::shared_ptr<ServerPort> server;
    const NTSTATUS created = ServerPort::Create(name, maxConnectionInfoLength, maxMessageLength, server);
    if (created != STATUS_SUCCESS) return created;
    HANDLE handle = zrwin::InsertHandle(server);
    if (!handle) return STATUS_INSUFFICIENT_RESOURCES;
    *port = handle;
    return STATUS_SUCCESS;
}

// NtConnectPort (ntdll): blocks until the server accepted and completed; a name nobody serves fails at once.
NTSTATUS NTAPI NtConnectPort(HANDLE* port, UNICODE_STRING* name, SECURITY_QUALITY_OF_SERVICE*, void* clientView,
                             void* serverView, ULONG* maxMessageLength, void* connectionInfo,
                             ULONG* connectionInfoLength) {
    if (!port || !name) return STATUS_INVALID_PARAMETER;
    if (clientView || serverView) return STATUS_NOT_SUPPORTED;  // no shared sections
    ULONG infoLength = connectionInfoLength ? *connectionInfoLength : 0;
    if (infoLength > kMaxConnectionInfo || (infoLength && !connectionInfo)) return STATUS_INVALID_PARAMETER;
    std::string utf8;
    const NTSTATUS named = PortNameFromUnicode(name, utf8);
    if (named != STATUS_SUCCESS) return named;
    std::shared_ptr<ClientPort> client;
    const NTSTATUS connected = ClientPort::Connect(utf8, connectionInfo, infoLength, client);
    if (connected != STATUS_SUCCESS) return connected;
    HANDLE handle = zrwin::InsertHandle(client);
    if (!handle) return STATUS_INSUFFICIENT_RESOURCES;
    if (maxMessageLength) *maxMessageLength = client->MaxMessageLength();
    if (connectionInfoLength) *connectionInfoLength = 0;  // the server sends no information back
    *port = handle;
    return STATUS_SUCCESS;
}

// NtAcceptConnectPort (ntdll): answers a connection request; accept = FALSE makes the client's connect fail.
NTSTATUS NTAPI NtAcceptConnectPort(HANDLE* port, void* portContext, PORT_MESSAGE* connectionRequest, BOOLEAN accept,
                                   void* serverView, void* clientView) {
    if (!connectionRequest || (accept && !port)) return STATUS_INVALID_PARAMETER;
    if (serverView || clientView) return STATUS_NOT_SUPPORTED;
    std::shared_ptr<ServerPort> server;
    auto connection = FindConnectionRequest(connectionRequest->MessageId, connectionRequest->ClientProcessId, server);
    if (!connection) return STATUS_REPLY_MESSAGE_MISMATCH;
    if (!accept) {
        server->Refuse(connection);
        if (port) *port = nullptr;
        return STATUS_SUCCESS;
    }
    HANDLE handle = zrwin::InsertHandle(std::make_shared<CommunicationPort>(server, connection));
    if (!handle) {
        server->Refuse(connection);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    server->Accepted(connection, portContext);
    *port = handle;
    return STATUS_SUCCESS;
}

// NtCompleteConnectPort (ntdll): releases the client waiting in NtConnectPort.
NTSTATUS NTAPI NtCompleteConnectPort(HANDLE port) {
    std::shared_ptr<CommunicationPort> communication;
    const NTSTATUS found = PortOf(port, PortObject::Role::Communication, communication);
    if (found != STATUS_SUCCESS) return found;
    auto server = communication->Server();
    if (!server) return STATUS_PORT_DISCONNECTED;
    return server->Complete(communication->GetConnection());
}

// NtRequestPort (ntdll): sends a datagram and returns at once.
NTSTATUS NTAPI NtRequestPort(HANDLE port, PORT_MESSAGE* message) {
    std::shared_ptr<ClientPort> client;
    const NTSTATUS found = PortOf(port, PortObject::Role::Client, client);
    if (found != STATUS_SUCCESS) return found;
    if (!message) return STATUS_INVALID_PARAMETER;
    return client->Datagram(RecordOf(message));
}

// NtRequestWaitReplyPort (ntdll): sends a request and blocks until its own reply fills the reply buffer.
NTSTATUS NTAPI NtRequestWaitReplyPort(HANDLE port, PORT_MESSAGE* request, PORT_MESSAGE* reply) {
    std::shared_ptr<ClientPort> client;
    const NTSTATUS found = PortOf(port, PortObject::Role::Client, client);
    if (found != STATUS_SUCCESS) return found;
    if (!request || !reply) return STATUS_INVALID_PARAMETER;
    Record answer;
    const NTSTATUS status = client->RequestWaitReply(RecordOf(request), answer);
    if (NT_SUCCESS(status)) std::memcpy(reply, answer.data(), answer.size());
    return status;
}

// NtReplyPort (ntdll): releases the client waiting for the message id of reply, with the data written for it.
NTSTATUS NTAPI NtReplyPort(HANDLE port, PORT_MESSAGE* reply) {
    std::shared_ptr<ServerPort> server;
    const NTSTATUS found = ServerOf(port, server);
    if (found != STATUS_SUCCESS) return found;
    if (!reply) return STATUS_INVALID_PARAMETER;
    return server->Reply(RecordOf(reply));
}

// NtReplyWaitReceivePortEx (ntdll): sends reply if given, then waits for the next message; STATUS_TIMEOUT when none
// came.
NTSTATUS NTAPI NtReplyWaitReceivePortEx(HANDLE port, void** portContext, PORT_MESSAGE* reply, PORT_MESSAGE* receive,
                                        LARGE_INTEGER* timeout) {
    std::shared_ptr<ServerPort> server;
    const NTSTATUS found = PortOf(port, PortObject::Role::Server, server);
    // Receiving is on a server's connection port only: the server side sends
    // nothing to clients, and no queue is kept per connection.
    if (found == STATUS_INVALID_PORT_HANDLE) return STATUS_NOT_SUPPORTED;
    if (found != STATUS_SUCCESS) return found;
    if (!receive) return STATUS_INVALID_PARAMETER;
    if (reply) {
        const NTSTATUS replied = server->Reply(RecordOf(reply));
        if (replied != STATUS_SUCCESS) return replied;
    }
    Record message;
    const NTSTATUS status = server->Receive(message, portContext, TimeoutNs(timeout));
    if (status == STATUS_SUCCESS) std::memcpy(receive, message.data(), message.size());
    return status;
}

// NtReplyWaitReceivePort (ntdll): NtReplyWaitReceivePortEx without a time-out.
NTSTATUS NTAPI NtReplyWaitReceivePort(HANDLE port, void** portContext, PORT_MESSAGE* reply, PORT_MESSAGE* receive) {
    return NtReplyWaitReceivePortEx(port, portContext, reply, receive, nullptr);
}

// NtRegisterThreadTerminatePort (ntdll): the server gets client-died when the calling thread or its process ends.
NTSTATUS NTAPI NtRegisterThreadTerminatePort(HANDLE port) {
    std::shared_ptr<ClientPort> client;
    const NTSTATUS found = PortOf(port, PortObject::Role::Client, client);
    if (found != STATUS_SUCCESS) return found;
    return client->RegisterThreadTerminate();
}

// NtReadRequestData (ntdll): copies out the indirect data that travelled with a received request.
NTSTATUS NTAPI NtReadRequestData(HANDLE port, PORT_MESSAGE* message, ULONG dataEntryIndex, void* buffer,
                                 SIZE_T bufferSize, SIZE_T* bytesRead) {
    std::shared_ptr<ServerPort> server;
    const NTSTATUS found = ServerOf(port, server);
    if (found != STATUS_SUCCESS) return found;
    if (!message) return STATUS_INVALID_PARAMETER;
    return server->ReadData(message->MessageId, dataEntryIndex, buffer, bufferSize, bytesRead);
}

// NtWriteRequestData (ntdll): bytes the client finds in its own indirect buffer once the request is replied to.
NTSTATUS NTAPI NtWriteRequestData(HANDLE port, PORT_MESSAGE* message, ULONG dataEntryIndex, const void* buffer,
                                  SIZE_T bufferSize, SIZE_T* bytesWritten) {
    std::shared_ptr<ServerPort> server;
    const NTSTATUS found = ServerOf(port, server);
    if (found != STATUS_SUCCESS) return found;
    if (!message) return STATUS_INVALID_PARAMETER;
    return server->WriteData(message->MessageId, dataEntryIndex, buffer, bufferSize, bytesWritten);
}

// NtWaitForSingleObject (ntdll): waits on any waitable handle; STATUS_WAIT_0, STATUS_ABANDONED or STATUS_TIMEOUT.
NTSTATUS NTAPI NtWaitForSingleObject(HANDLE object, BOOLEAN, LARGE_INTEGER* timeout) {
    const int64_t timeoutNs = TimeoutNs(timeout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs < 0 ? 0 : timeoutNs);
    std::shared_ptr<zrwin::KernelObject> target;
    if (!zrwin::IsPseudoHandle(object)) {
        target = zrwin::LookupHandle(object);
        if (!target) return STATUS_INVALID_HANDLE;
        if (target->PollFd() < 0) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // Each round first tries to take the object, so a zero time-out still takes what is signalled.
    for (;;) {
        if (target && target->TryAcquire()) return zrwin::TakeAbandonedNote() ? STATUS_ABANDONED : STATUS_WAIT_0;
        int waitMs = -1;
        if (timeoutNs >= 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds(0)) return STATUS_TIMEOUT;
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            waitMs = ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
        }
        // The caller's own process or thread never ends while it waits.
        pollfd ready{target ? target->PollFd() : -1, POLLIN, 0};
        ::poll(&ready, 1, waitMs);
    }
}

// RtlInitUnicodeString (ntdll): counts a terminated wide text in bytes, without and with the terminator.
void NTAPI RtlInitUnicodeString(UNICODE_STRING* target, const WCHAR* source) {
    if (!target) return;
    target->Buffer = const_cast<WCHAR*>(source);
    target->Length = 0;
    target->MaximumLength = 0;
    if (!source) return;
    // Lengths are 16-bit byte counts; a longer text is cut as Windows cuts it.
    constexpr size_t kMaxLength = 0xFFFF / sizeof(WCHAR) * sizeof(WCHAR) - sizeof(WCHAR);
    size_t bytes = std::wcslen(source) * sizeof(WCHAR);
    if (bytes > kMaxLength) bytes = kMaxLength;
    target->Length = static_cast<USHORT>(bytes);
    target->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

// NtClose (ntdll): closes any handle of the table; STATUS_INVALID_HANDLE for one that is not there.
NTSTATUS NTAPI NtClose(HANDLE handle) { return zrwin::RemoveHandle(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE; }

