#include "ipc/multiprocess/CMultiProcessBase.h"

#include <cstring>

#include "ipc/messages/Commands.h"
#include "ipc/multiprocess/Utils_Processes.h"
#include "log/Log.h"
#include "util/PathUtils.h"

namespace {

constexpr DWORD kExceptionStatus = 13;
constexpr size_t kDumpLineRoom = 1900;

std::string BytesText(const BYTE* data, DWORD size) {
    return data == nullptr || size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

CMultiProcessBase::CMultiProcessBase(const wchar_t* groupName, DWORD receiveTimeout)
    : NtLpcInterface(), NtLpcBase(groupName, receiveTimeout, nullptr, nullptr) {}

CMultiProcessBase::~CMultiProcessBase() { StopMessaging(); }

void CMultiProcessBase::StopMessaging() {
    // The listener first: it starts workers.
    NtLpcBase::StopServer();
    for (CWorker& worker : workers_) worker.StopWorking();
}

LpcMessageType CMultiProcessBase::ConvertMessageType(DWORD type) {
    switch (type) {
        case MP_SYNC:
            return LPC_TYPE_SYNC;
        case MP_ASYNC:
            return LPC_TYPE_ASYNC;
        case MP_CALL:
            return LPC_TYPE_CALL;
        default:
            Log(LOG_ERROR, "ConvertMessageType: [E] Invalid type:%d", static_cast<int>(type));
            return LPC_TYPE_SYNC;
    }
}

DWORD CMultiProcessBase::SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD size, EndpointMessageType type) {
    try {
        return static_cast<DWORD>(NtLpcBase::SendMessage(pid, cmd, data, size, ConvertMessageType(type)));
    } catch (...) {
        Log(LOG_CRITICAL_ERROR,
            "CMultiProcessBase::SendMessageA: [C] Exception detected (base). pid:%lu, cmd:%d, params:'%.60s'[%lu], "
            "type:%d",
            static_cast<uint32_t>(pid), cmd, BytesText(data, size).c_str(), static_cast<uint32_t>(size),
            static_cast<int>(type));
        return kExceptionStatus;
    }
}

DWORD CMultiProcessBase::SendMessage(DWORD pid, INT cmd, WindowMessageDataMultiProcess& message, DWORD type) {
    const int32_t id = requests_.GetNewRequestId(pid);
    message.iRequestId = id;
    std::string answer;
    const DWORD status = SendMessageCommon(pid, cmd, id, message.Serialize(), answer, type);
    if (status != 0) {
        Log(LOG_ERROR, "CMultiProcessBase::SendMessageA: [E] Send Windows message failed.  pid:%u, cmd:%d, type:%d, msg:%s ",
            static_cast<unsigned>(pid), cmd, static_cast<int>(type), message.ToString().c_str());
    } else if (type != MP_ASYNC) {
        message.Deserialize(answer);
    }
    return status;
}

DWORD CMultiProcessBase::SendMessageCommon(DWORD pid, INT cmd, int32_t id, const std::string& data,
                                           std::string& answer, DWORD type) {
    DWORD result = 0;
    try {
        // Nothing sent is a failure the caller must see: a 0 here would pass
        // for an answered request.
        if (id < 0) {
            Log(LOG_ERROR, "CMultiProcessBase::SendMessageCommon: [E] Invalid request Id. (%d) Can not send message", id);
            result = ERROR_INVALID_PARAMETER;
        } else if (!Utils_Processes::CheckIfProcessExist(pid)) {
            Log(LOG_ERROR, "CMultiProcessBase::SendMessageCommon: [E] Process %d does not exist. Deleting request %d.",
                static_cast<int>(pid), id);
            result = ERROR_INVALID_PARAMETER;
        } else {
            // Always a datagram: the answer arrives as a message of its own,
            // never in the transport's reply.
            std::string body = data;
            const NTSTATUS status = NtLpcBase::SendMessage(pid, cmd, reinterpret_cast<BYTE*>(body.data()),
                                                           static_cast<DWORD>(body.size()), LPC_TYPE_ASYNC);
            if (status != 0) {
                Log(LOG_ERROR,
                    "CMultiProcessBase::SendMessageCommon: [E] Send message failed to process %ld. Deleting request "
                    "%d. err:0x%X",
                    static_cast<int32_t>(pid), id, static_cast<unsigned>(status));
                result = static_cast<DWORD>(status);
            } else if (type == MP_ASYNC) {
                Log(LOG_OTHER,
                    "CMultiProcessBase::SendMessageCommon: pid: %d, req:%d, data:{%s}, ret:%d, res:{Asynch. message, "
                    "discarding response}",
                    static_cast<int>(pid), id, AbbreviateForLog(data, 40).c_str(), 0);
            } else if (!WaitForResponseCommon(pid, id, cmd, type, answer)) {
                result = kWaitFailed;
                Log(LOG_ERROR,
                    "CMultiProcessBase::SendMessageCommon: [E] Wait for response failed. pid:%u, cmd:%d, type:%d, "
                    "msg:'%s' ",
                    static_cast<unsigned>(pid), cmd, static_cast<int>(type), data.c_str());
            } else {
                Log(LOG_OTHER, "CMultiProcessBase::SendMessageCommon: pid: %d, req:%d, data:{%s}, ret:%d, res:{%.40s}",
                    static_cast<int>(pid), id, AbbreviateForLog(data, 40).c_str(), 0, answer.c_str());
            }
        }
        requests_.DeleteRequest(id, pid);
    } catch (...) {
        Log(LOG_CRITICAL_ERROR,
            "CMultiProcessBase::SendMessageCommon: [C] Exception detected. Req:%d, pid:%d, cmd:%d, params:{%s}, type:%d",
            id, static_cast<int>(pid), cmd, data.c_str(), static_cast<int>(type));
    }
    return result;
}

bool CMultiProcessBase::WaitForResponseCommon(DWORD pid, int32_t id, INT cmd, DWORD type, std::string& answer) {
    const DWORD timeout = type == MP_CALL ? callTimeout_ : kSyncTimeout;
    Log(LOG_OTHER,
        "CMultiProcessBase::WaitForResponseCommon: Waiting for response (%sblocking). pid:%u, cmd:%d, type:%d, "
        "timeout:%d",
        type == MP_ASYNC ? "non " : "", static_cast<unsigned>(pid), cmd, static_cast<int>(type),
        static_cast<int>(timeout));
    if (!requests_.Wait(id, pid, timeout)) {
        Log(LOG_ERROR, "CMultiProcessBase::WaitForResponseCommon: [E] Wait for request manager failed. Req: %d, pid: %d",
            id, static_cast<int>(pid));
        return false;
    }
    const bool taken = requests_.GetRequestData(id, pid, answer);
    if (!taken) {
        Log(LOG_WARNING,
            "CMultiProcessBase::WaitForResponseCommon: [W] Data response for request is null. Req: %d, pid: %d", id,
            static_cast<int>(pid));
    }
    return taken;
}

INT CMultiProcessBase::ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) {
    const std::string bytes = BytesText(data, size);
    try {
        Log(LOG_OTHER, "CMultiProcessBase::ReceiveMessage: pid:%d, cmd:%u, data[%u]:%.200s", static_cast<int>(pid),
            static_cast<unsigned>(cmd), static_cast<unsigned>(size), bytes.c_str());
        switch (cmd) {
            case MModuleData:
            case MWindowMessage:
            case MModuleData2:
                if (!StartNewWorker(static_cast<DWORD>(cmd), pid, bytes)) {
                    Log(LOG_ERROR, "CMultiProcessBase::ReceiveMessage: [E] No Free position. message: pid:%d, cmd:%u, data:[%u]%s",
                        static_cast<int>(pid), static_cast<unsigned>(cmd), static_cast<unsigned>(size),
                        AbbreviateForLog(bytes, 200).c_str());
                }
                break;
            case MModuleDataAsyncEnd: {
                // The id is the answer's first field; a shorter body names no request.
                if (bytes.size() < sizeof(int32_t)) {
                    Log(LOG_ERROR,
                        "CMultiProcessBase::ReceiveMessage: [E] MModuleDataAsyncEnd from pid:%d too short for a "
                        "request id (%u bytes). Dropped.",
                        static_cast<int>(pid), static_cast<unsigned>(size));
                    break;
                }
                const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
                const int32_t id = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                                        static_cast<uint32_t>(b[2]) << 16 |
                                                        static_cast<uint32_t>(b[3]) << 24);
                Log(LOG_OTHER, "CMultiProcessBase::ReceiveMessage: Received MModuleDataAsyncEnd for request:%d from pid:%d",
                    id, static_cast<int>(pid));
                requests_.WakeUp(id, pid, data, size);
                Log(LOG_OTHER, "CMultiProcessBase::ReceiveMessage: Waiting thread signalled for request:%d, pid:%d", id,
                    static_cast<int>(pid));
                break;
            }
            default:
                ReceiveMsg(pid, cmd, data, size);
                break;
        }
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "CMultiProcessBase::ReceiveMessage: [C] Exception. Message: pid:%d, cmd:%u, data:[%u]%s",
            static_cast<int>(pid), static_cast<unsigned>(cmd), static_cast<unsigned>(size),
            AbbreviateForLog(bytes, 1000).c_str());
    }
    return 0;
}

bool CMultiProcessBase::StartNewWorker(DWORD cmd, DWORD pid, const std::string& data) {
    CriticalSectionLock guard(&workerLock_, true);
    for (size_t i = 0; i < workers_.size(); ++i) {
        if (!workers_[i].IsFree()) continue;
        Log(LOG_OTHER, "CMultiProcessBase::StartNewWorker: Starting worker (#%d) for cmd:%d, pid:%d", static_cast<int>(i),
            static_cast<int>(cmd), static_cast<int>(pid));
        workers_[i].StartWorking(cmd, pid, data, this);
        return true;
    }
    Log(LOG_ERROR, "CMultiProcessBase::StartNewWorker: [E] Could not find any free worker slot for cmd:%d, pid:%d",
        static_cast<int>(cmd), static_cast<int>(pid));
    // The log keeps messages of up to 2047 characters whole and 25 slots
    // take more, so the dump goes out in as many lines as it needs.
    std::string chunk;
    for (size_t i = 0; i < workers_.size(); ++i) {
        const std::string entry = SlotText(i);
        if (!chunk.empty() && chunk.size() + entry.size() > kDumpLineRoom) {
            Log(LOG_ERROR, "CMultiProcessBase::StartNewWorker: [E] Dump workers:%s", chunk.c_str());
            chunk.clear();
        }
        chunk += entry;
    }
    Log(LOG_ERROR, "CMultiProcessBase::StartNewWorker: [E] Dump workers:%s", chunk.c_str());
    return false;
}

std::string CMultiProcessBase::SlotText(size_t slot) const {
    return std::to_string(slot) + ":{" + workers_[slot].ToString() + "},";
}

std::string CMultiProcessBase::DumpWorkers() const {
    std::string dump;
    for (size_t i = 0; i < workers_.size(); ++i) dump += SlotText(i);
    return dump;
}

bool CMultiProcessBase::ProcessTermination(DWORD pid) {
    requests_.WakeUpWaitingProcess(pid);
    return OnProcessTerminated(pid);
}
