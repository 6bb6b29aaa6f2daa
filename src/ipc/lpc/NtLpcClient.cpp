#include "ipc/lpc/NtLpcClient.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "log/Log.h"
#include "util/PathUtils.h"

namespace {

const wchar_t kPortDirectory[] = L"\\RPC Control\\";

static_assert(sizeof(SECURITY_QUALITY_OF_SERVICE) == 12);

bool Tracing() {
    return GetLogLevel() >= LOG_OTHER;
}

std::string BytesForLog(const void* data, size_t length) {
    if (!data || length == 0) return std::string();
    return AbbreviateForLog(std::string(static_cast<const char*>(data), length), 1000);
}

}  // namespace

bool FormatLpcPortName(const wchar_t* explicitPortName, const wchar_t* groupName, DWORD pid,
                       wchar_t* name, size_t capacity) {
    std::wstring text = kPortDirectory;
    if (explicitPortName && *explicitPortName) {
        text += explicitPortName;
    } else {
        if (groupName) text += groupName;
        text += std::to_wstring(static_cast<int>(pid));
    }
    if (text.size() + 1 > capacity) return false;
    std::copy(text.begin(), text.end(), name);
    name[text.size()] = L'\0';
    return true;
}

NtLpcClient::NtLpcClient(const wchar_t* groupName, const wchar_t* explicitPortName)
    : groupName_(groupName ? groupName : L""), hasGroupName_(groupName != nullptr), explicitPortName_(explicitPortName) {
    Log(LOG_INFO, "NtLpcClient::NtLpcClient: group:%ws, explicit_port:%ws", GroupName(), explicitPortName_);
}

NtLpcClient::~NtLpcClient() {
    CriticalSectionLock lock(&cacheLock_, true);
    if (NtClose) cache_.ForEach([this](HANDLE port) { NtClose(port); });
    cache_.Clear();
}

bool NtLpcClient::FormatPortName(DWORD pid, wchar_t (&name)[kLpcPortNameCapacity]) const {
    if (FormatLpcPortName(explicitPortName_, GroupName(), pid, name, kLpcPortNameCapacity)) return true;
    const std::wstring shown = AbbreviateForLog(
        std::wstring(explicitPortName_ && *explicitPortName_ ? explicitPortName_ : groupName_), 200);
    Log(LOG_ERROR,
        "NtLpcClient::ConnectDestinationPort: [E] Port name for '%ws' and pid %lu is longer than %d characters, "
        "not connecting",
        shown.c_str(), pid, static_cast<int>(kLpcPortNameCapacity - 1));
    return false;
}

NTSTATUS NtLpcClient::ConnectDestinationPort(DWORD pid, HANDLE* out) {
    CriticalSectionLock lock(&cacheLock_, true);
    HANDLE port = cache_.Find(pid);
    NTSTATUS status = 0;
    if (!port) {
        if (!NtConnectPort || !NtRegisterThreadTerminatePort || !RtlInitUnicodeString || !NtClose) {
            Log(LOG_ERROR, "NtLpcClient::ConnectDestinationPort: [E] Native port entry points are not bound");
            return kLpcStatusDllNotFound;
        }
        SECURITY_QUALITY_OF_SERVICE qos{};
        qos.Length = sizeof(qos);
        qos.ImpersonationLevel = static_cast<SECURITY_IMPERSONATION_LEVEL>(0);
        qos.ContextTrackingMode = 0;
        qos.EffectiveOnly = 0;

        wchar_t name[kLpcPortNameCapacity];
        if (!FormatPortName(pid, name)) return kLpcStatusNameTooLong;
        Log(LOG_INFO, "NtLpcClient::ConnectDestinationPort: Connecting to port '%ws'", name);

        UNICODE_STRING portName{};
        RtlInitUnicodeString(&portName, name);
        status = NtConnectPort(&port, &portName, &qos, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (status != 0) {
            Log(LOG_ERROR, "NtLpcClient::ConnectDestinationPort: [E] Could not connect to port '%ws'. err:0x%X", name,
                static_cast<unsigned>(status));
            return status;
        }
        status = NtRegisterThreadTerminatePort(port);
        if (status != 0) {
            Log(LOG_ERROR,
                "NtLpcClient::ConnectDestinationPort: [E] Could not register the connection to '%ws'. err:0x%X (%s)",
                name, static_cast<unsigned>(status), NtStatusName(static_cast<uint32_t>(status)));
            // Not cached, so nobody else would ever close it.
            NtClose(port);
            return status;
        }
        cache_.Add(pid, port);
    }
    if (out) *out = port;
    return status;
}

NTSTATUS NtLpcClient::SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD length, DWORD type) {
    if (!data && length != 0) {
        Log(LOG_ERROR, "NtLpcClient::SendMessageA: [E] No data buffer for %lu bytes to pid %lu", length, pid);
        return kLpcStatusInvalidParameter;
    }
    HANDLE port = nullptr;
    NTSTATUS status = ConnectDestinationPort(pid, &port);
    if (status != 0) {
        Log(LOG_ERROR, "NtLpcClient::SendMessageA: [E] ConnectDestinationPort to pid %lu failed. err:0x%X", pid,
            static_cast<unsigned>(status));
        return status;
    }

    LpcPortMessage message{};
    const bool indirect = length >= kLpcInlineLimit;
    MessageInfo info{};
    info.type = type;
    info.indirect = indirect ? 1 : 0;
    info.cmd = cmd;
    info.size = length;
    message.info = info;

    size_t payloadLength = length;
    if (indirect) {
        const auto address = reinterpret_cast<uintptr_t>(data);
        LpcDataDescriptor descriptor{};
        descriptor.count = kLpcDescriptorEntries;
        descriptor.address32 = static_cast<uint32_t>(address);
        descriptor.length32 = length;
        descriptor.address64 = static_cast<uint64_t>(address);
        descriptor.length64 = length;
        std::memcpy(message.data, &descriptor, sizeof(descriptor));
        message.header.DataInfoOffset = kLpcDataOffset;
        payloadLength = sizeof(descriptor);
        if (Tracing()) {
            Log(LOG_OTHER,
                "NtLpcClient::SendMessageA: LPC indirect data: {num:%d, @32:%p, cb32:%d, @64:%p, cb32:%d, data(%d by)[%s]",
                static_cast<int>(descriptor.count), static_cast<const void*>(data), static_cast<int>(length),
                static_cast<const void*>(data), static_cast<int>(length), static_cast<int>(length),
                BytesForLog(data, length).c_str());
        }
    } else if (length) {
        std::memcpy(message.data, data, length);
    }
    message.header.DataLength = static_cast<uint16_t>(payloadLength + sizeof(MessageInfo));
    message.header.TotalLength = kLpcTotalLength;

    if (Tracing()) {
        Log(LOG_OTHER, "NtLpcClient::SendMessageA: LPC header:[%s], MessageInfo:[%s], Data:[%s]",
            PortMessageHeaderText(&message.header, sizeof(LpcPortMessageHeader)).c_str(),
            MessageInfoText(&message.info, sizeof(MessageInfo)).c_str(),
            BytesForLog(message.data, payloadLength).c_str());
    }

    if (!indirect && type == LPC_TYPE_ASYNC) return NtRequestPort(port, &message);

    LpcPortMessage reply{};
    status = NtRequestWaitReplyPort(port, &message, &reply);
    if (!indirect && type == LPC_TYPE_CALL) {
        if (Tracing()) {
            const size_t replySize = std::min<size_t>(reply.info.size, kLpcPayloadCapacity);
            Log(LOG_OTHER,
                "NtLpcClient::SendMessageA: RequestReply received. status:%d. LPC header:[%s], MessageInfo:[%s], "
                "Data:[%s]",
                static_cast<int>(status), PortMessageHeaderText(&reply.header, sizeof(LpcPortMessageHeader)).c_str(),
                MessageInfoText(&reply.info, sizeof(MessageInfo)).c_str(), BytesForLog(reply.data, replySize).c_str());
        }
        // A failed request left the reply empty; the caller keeps its own data then.
        if (status >= 0 && length) std::memcpy(data, reply.data, length);
    }
    return status;
}

bool NtLpcClient::CloseDestinationPort(DWORD pid) {
    CriticalSectionLock lock(&cacheLock_, true);
    HANDLE port = cache_.Remove(pid);
    if (!port) return false;
    if (NtClose) NtClose(port);
    return true;
}

std::string NtLpcClient::PortMessageHeaderText(const LpcPortMessageHeader* header, size_t length) {
    if (!header || length > sizeof(LpcPortMessageHeader)) return std::string();
    LpcPortMessageHeader h{};
    std::memcpy(&h, header, length);
    return "{msgLen:" + std::to_string(h.DataLength) + ",len:" + std::to_string(h.TotalLength) +
           ",type:" + std::to_string(h.Type) + ",id:" + std::to_string(h.MessageId) +
           ",pid:" + std::to_string(h.ClientProcessId) + ",tid:" + std::to_string(h.ClientThreadId) +
           ",addr:" + std::to_string(h.DataInfoOffset) + ",shsz:" + std::to_string(h.ClientViewSize) + "}";
}

std::string NtLpcClient::MessageInfoText(const MessageInfo* info, size_t length) {
    if (!info || length > sizeof(MessageInfo)) return std::string();
    MessageInfo m{};
    std::memcpy(&m, info, length);
    std::string type;
    switch (m.type) {
        case LPC_TYPE_ASYNC: type = "Async"; break;
        case LPC_TYPE_SYNC: type = "Sync"; break;
        case LPC_TYPE_CALL: type = "Call"; break;
        default: type = std::to_string(m.type); break;
    }
    return "{pad:[" + std::to_string(m.pad[0]) + "," + std::to_string(m.pad[1]) + "," + std::to_string(m.pad[2]) +
           "," + std::to_string(m.pad[3]) + "],type:" + type + ",direct:" + (m.indirect == 0 ? "1" : "0") +
           ",cmd:" + std::to_string(m.cmd) + ",size:" + std::to_string(m.size) + "}";
}
