#include "ipc/lpc/NtLpcServer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "ipc/lpc/NtLpcClient.h"
#include "log/Log.h"
#include "util/LoadLibrary.h"
#include "util/PathUtils.h"

namespace {

bool Tracing() {
    return GetLogLevel() >= LOG_OTHER;
}

unsigned Hex(NTSTATUS status) {
    return static_cast<unsigned>(status);
}

const char* Name(NTSTATUS status) {
    return NtStatusName(static_cast<uint32_t>(status));
}

std::string BytesForLog(const void* data, size_t length) {
    if (!data || length == 0) return std::string();
    return AbbreviateForLog(std::string(static_cast<const char*>(data), length), 1000);
}

}  // namespace

NtLpcServer::NtLpcServer(const wchar_t* groupName, DWORD receiveTimeoutMs, const wchar_t* explicitPortName)
    : receiveTimeoutMs_(receiveTimeoutMs),
      dataEntryIndex_(IsWow64() ? 1 : 0),
      groupName_(groupName ? groupName : L""),
      hasGroupName_(groupName != nullptr),
      explicitPortName_(explicitPortName) {
    Log(LOG_INFO, "NtLpcServer::NtLpcServer: group:%ws, timeout:%d, explicit_port:%ws", GroupName(),
        static_cast<int>(receiveTimeoutMs_), explicitPortName_);
}

NtLpcServer::~NtLpcServer() {
    StopServer();
    // Only a listener that never ran its clean-up leaves these behind.
    if (NtClose) {
        connections_.ForEach([this](HANDLE port) { NtClose(port); });
        if (serverPort_) NtClose(serverPort_);
    }
    connections_.Clear();
    serverPort_ = nullptr;
}

INT NtLpcServer::StartServer() {
    if (running_.load()) return 0;
    // A listener told to end by AbortServer may still be finishing its last receive.
    JoinListener();

    const NTSTATUS status = InitializeServer();
    if (status != 0) return status;

    running_.store(true);
    Log(LOG_OTHER, "NtLpcServer::StartServer: Creating thread LPC server listener...");
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &NtLpcServer::ListenerMain, this, 0, &id);
    if (thread) {
        listener_.Reset(thread);
        listenerId_ = id;
        Log(LOG_INFO, "NtLpcServer::StartServer: Created thread %d", static_cast<int>(id));
    } else {
        Log(LOG_ERROR, "NtLpcServer::StartServer: [E] Failed to create server thread. err: %d",
            static_cast<int>(GetLastError()));
    }
    return 0;
}

INT NtLpcServer::StopServer() {
    running_.store(false);
    JoinListener();
    return 0;
}

void NtLpcServer::AbortServer() {
    running_.store(false);
}

void NtLpcServer::JoinListener() {
    if (!listener_.IsValid()) return;
    if (GetCurrentThreadId() == listenerId_) {
        Log(LOG_ERROR, "NtLpcServer::StopServer: [E] Called on the listener thread itself, not waiting for it");
        return;
    }
    WaitForSingleObject(listener_.Get(), INFINITE);
    listener_.Reset();
    listenerId_ = 0;
}

DWORD WINAPI NtLpcServer::ListenerMain(LPVOID self) {
    try {
        return static_cast<DWORD>(static_cast<NtLpcServer*>(self)->ServerThread());
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "NtLpcServer::ServerThread: [C] Exception detected.");
        return static_cast<DWORD>(kLpcStatusUnsuccessful);
    }
}

bool NtLpcServer::FormatPortName(wchar_t* name, size_t capacity) const {
    if (FormatLpcPortName(explicitPortName_, GroupName(), GetCurrentProcessId(), name, capacity)) return true;
    const std::wstring shown = AbbreviateForLog(
        std::wstring(explicitPortName_ && *explicitPortName_ ? explicitPortName_ : groupName_), 200);
    Log(LOG_ERROR, "NtLpcServer::InitializeServer: [E] Port name for '%ws' is longer than %d characters, no port created",
        shown.c_str(), static_cast<int>(capacity - 1));
    return false;
}

NTSTATUS NtLpcServer::InitializeServer() {
    if (!NtCreatePort || !RtlInitUnicodeString || !NtReplyWaitReceivePortEx || !NtClose) {
        Log(LOG_ERROR, "NtLpcServer::InitializeServer: [E] Native port entry points are not bound");
        return kLpcStatusDllNotFound;
    }
    wchar_t name[kLpcPortNameCapacity];
    if (!FormatPortName(name, kLpcPortNameCapacity)) return kLpcStatusNameTooLong;
    Log(LOG_INFO, "NtLpcServer::InitializeServer: Creating port '%ws'", name);

    UNICODE_STRING portName{};
    RtlInitUnicodeString(&portName, name);
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = nullptr;
    attributes.ObjectName = &portName;
    attributes.Attributes = 0;
    attributes.SecurityDescriptor = nullptr;
    attributes.SecurityQualityOfService = nullptr;

    HANDLE port = nullptr;
    const NTSTATUS status = NtCreatePort(&port, &attributes, 0, kLpcTotalLength, 0);
    if (status != 0) {
        Log(LOG_ERROR, "NtLpcServer::InitializeServer: [E] Could not create port '%ws'. err:0x%X, laste:%d", name,
            Hex(status), static_cast<int>(GetLastError()));
        return status;
    }
    serverPort_ = port;
    return 0;
}

void NtLpcServer::CloseConnection(DWORD pid, const char* closedError) {
    HANDLE port = connections_.Remove(pid);
    if (!port) return;
    NtClose(port);
    if (!ConnectionClosed(pid)) Log(LOG_ERROR, closedError, static_cast<unsigned long>(pid));
}

NTSTATUS NtLpcServer::ServerThread() {
    // One buffer for every message; it is not cleared between messages.
    LpcPortMessage buffer{};
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -static_cast<LONGLONG>(receiveTimeoutMs_) * 10000;

    NTSTATUS status = 0;
    while (running_.load() && status == 0) {
        status = NtReplyWaitReceivePortEx(serverPort_, nullptr, nullptr, &buffer, &timeout);
        if (status == kLpcStatusTimeout) {
            status = 0;
            continue;
        }
        if (status != 0) {
            Log(LOG_ERROR, "NtLpcServer::ServerThread: [E] NtReplyWaitReceivePortEx failed. error: 0x%X (%s)",
                Hex(status), Name(status));
            break;
        }
        const DWORD pid = buffer.header.ClientProcessId;
        switch (buffer.header.Type) {
            case LPC_DELIVERED_REQUEST:
            case LPC_DELIVERED_DATAGRAM:
                ProcessRequest(&buffer);
                break;
            case LPC_DELIVERED_CONNECTION_REQUEST:
                status = AcceptConnection(&buffer);
                if (status == 0) ConnectionAccepted(pid);
                break;
            case LPC_DELIVERED_PORT_CLOSED:
                CloseConnection(pid,
                                "NtLpcServer::ServerThread: [E] Port closed: error handling Connection closed event "
                                "(pid:%lu)");
                break;
            case LPC_DELIVERED_CLIENT_DIED:
                if (!ProcessTermination(pid)) {
                    Log(LOG_ERROR,
                        "NtLpcServer::ServerThread: [E] Client died: error handling Process Termination event "
                        "(pid:%lu)",
                        static_cast<unsigned long>(pid));
                }
                CloseConnection(pid,
                                "NtLpcServer::ServerThread: [E] Client died: error handling Connection closed event "
                                "(pid:%lu)");
                break;
            default:
                break;
        }
    }

    connections_.ForEach([this](HANDLE port) { NtClose(port); });
    connections_.Clear();
    NtClose(serverPort_);
    serverPort_ = nullptr;
    return status;
}

NTSTATUS NtLpcServer::AcceptConnection(LpcPortMessage* message) {
    HANDLE port = nullptr;
    NTSTATUS status = NtAcceptConnectPort(&port, nullptr, message, TRUE, nullptr, nullptr);
    if (status != 0) {
        Log(LOG_ERROR, "NtLpcServer::AcceptConnection: [E] NtAcceptConnectPort failed. error: 0x%X (%s)", Hex(status),
            Name(status));
        return status;
    }
    status = NtCompleteConnectPort(port);
    if (status != 0) {
        Log(LOG_ERROR, "NtLpcServer::AcceptConnection: [E] NtCompleteConnectPort failed. error: 0x%X (%s)",
            Hex(status), Name(status));
        NtClose(port);
        return status;
    }
    connections_.Add(message->header.ClientProcessId, port);
    return 0;
}

bool NtLpcServer::ReserveReadBuffer(DWORD size) {
    // Never below one reply's worth: a Call's answer of 232 bytes is written from here.
    const DWORD wanted = std::max<DWORD>(size, kLpcReplyDataSize);
    if (wanted <= readCapacity_) return true;
    readBuffer_.reset();
    readCapacity_ = 0;
    readBuffer_.reset(new (std::nothrow) BYTE[wanted]);
    if (!readBuffer_) return false;
    readCapacity_ = wanted;
    return true;
}

INT NtLpcServer::ProcessRequest(LpcPortMessage* message) {
    NTSTATUS status = 0;
    try {
        MessageInfo info;
        std::memcpy(&info, &message->info, sizeof(info));
        if (Tracing()) {
            Log(LOG_OTHER, "NtLpcServer::ProcessRequest: LPC message header: [%s], MessageInfo:[%s]",
                NtLpcClient::PortMessageHeaderText(&message->header, sizeof(LpcPortMessageHeader)).c_str(),
                NtLpcClient::MessageInfoText(&info, sizeof(MessageInfo)).c_str());
        }
        const DWORD pid = message->header.ClientProcessId;
        const bool indirect = info.indirect != 0;
        const bool wantsReply = info.type == LPC_TYPE_SYNC || info.type == LPC_TYPE_CALL;
        BYTE* data = nullptr;
        bool handle = true;

        if (!indirect) {
            data = message->data;
            if (info.size > kLpcPayloadCapacity) {
                status = kLpcStatusInvalidMessage;
                Log(LOG_ERROR,
                    "NtLpcServer::ProcessRequest: [E] Inline data of %lu bytes does not fit the message, received "
                    "message will be discarded.",
                    static_cast<unsigned long>(info.size));
                handle = false;
            }
        } else {
            if (!ReserveReadBuffer(info.size)) {
                status = kLpcStatusNoMemory;
                Log(LOG_ERROR, "NtLpcServer::ProcessRequest: [E] No memory for %lu bytes of indirect data",
                    static_cast<unsigned long>(info.size));
            } else {
                status = NtReadRequestData(serverPort_, message, dataEntryIndex_, readBuffer_.get(), info.size,
                                           nullptr);
                if (status < 0) {
                    Log(LOG_ERROR, "NtLpcServer::ProcessRequest: [E] NtReadRequestData failed. error: 0x%X (%s)",
                        Hex(status), Name(status));
                    Log(LOG_ERROR,
                        "NtLpcServer::ProcessRequest: [E] hServerPort:%X, plpcmessage:%p, uSizeIndex:%lu, "
                        "pDataBuffer:%p, uSize:%lu",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(serverPort_)),
                        static_cast<void*>(message), static_cast<unsigned long>(dataEntryIndex_),
                        static_cast<void*>(readBuffer_.get()), static_cast<unsigned long>(info.size));
                    Log(LOG_ERROR, "NtLpcServer::ProcessRequest: [E] Buffer:'%s'",
                        BytesForLog(readBuffer_.get(), info.size).c_str());
                }
            }
            data = readBuffer_.get();
            if (info.type == LPC_TYPE_ASYNC) {
                // The sender waits only until its data has been read.
                const NTSTATUS replied = NtReplyPort(serverPort_, message);
                if (replied < 0) {
                    Log(LOG_ERROR,
                        "NtLpcServer::ProcessRequest: [E] Could not send reply to Async message, NtReplyPort error: "
                        "0x%X (%s)",
                        Hex(replied), Name(replied));
                }
            }
            if (status < 0) {
                Log(LOG_WARNING,
                    "NtLpcServer::ProcessRequest: [W] Previous Read operation failed, received message will be "
                    "discarded.");
                handle = false;
            }
        }

        if (handle) {
            if (Tracing()) {
                Log(LOG_OTHER, "NtLpcServer::ProcessRequest: LPC message data:[%s]",
                    BytesForLog(data, info.size).c_str());
            }
            status = ReceiveMessage(pid, info.cmd, data, info.size);
            if (status < 0) {
                Log(LOG_ERROR, "NtLpcServer::ProcessRequest: [E] ReceiveMessage failed. status: 0x%X (%s)",
                    Hex(status), Name(status));
            } else if (indirect && info.type == LPC_TYPE_CALL) {
                const NTSTATUS written =
                    NtWriteRequestData(serverPort_, message, dataEntryIndex_, readBuffer_.get(), kLpcReplyDataSize,
                                       nullptr);
                if (written < 0) {
                    Log(LOG_ERROR, "NtLpcServer::ProcessRequest: [E] NtWriteRequestData failed. error: 0x%X (%s)",
                        Hex(written), Name(written));
                    Log(LOG_ERROR,
                        "NtLpcServer::ProcessRequest: [E] params: hServerPort:%X, plpcmessage:%p, uSizeIndex:%lu, "
                        "pDataBuffer:%p, uSize:%lu",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(serverPort_)),
                        static_cast<void*>(message), static_cast<unsigned long>(dataEntryIndex_),
                        static_cast<void*>(readBuffer_.get()), static_cast<unsigned long>(kLpcReplyDataSize));
                }
            } else if (!indirect && wantsReply) {
                // The answer is already in place: inline data lives at offset 56 of this very message.
                std::memcpy(&message->info, &info, sizeof(info));
                message->data[kLpcMessageSize - 2 - kLpcDataOffset] = 0;
                message->data[kLpcMessageSize - 1 - kLpcDataOffset] = 0;
                message->header.DataLength = kLpcReplyDataLength;
                message->header.TotalLength = kLpcTotalLength;
            }
        }

        if (wantsReply) {
            status = NtReplyPort(serverPort_, message);
            if (status < 0) {
                Log(LOG_ERROR,
                    "NtLpcServer::ProcessRequest: [E] Could not reply Sync/Call message, NtReplyPort error:  0x%X (%s)",
                    Hex(status), Name(status));
            }
        }
        return status;
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "NtLpcServer::ProcessRequest: [C] EXCEPTION detected:");
        Log(LOG_CRITICAL_ERROR, "NtLpcServer::ProcessRequest: [C] ntstatus:0x%X (%s), message=0x%p", Hex(status),
            Name(status), static_cast<void*>(message));
        return status;
    }
}
