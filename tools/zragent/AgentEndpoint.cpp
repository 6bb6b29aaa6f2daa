#include "AgentEndpoint.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "ipc/messages/Commands.h"
#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "util/Conversions.h"

namespace zragent {

namespace {

// The parent's own receive time-out, as the host's.
constexpr DWORD kReceiveTimeoutMs = 100;

std::wstring FromUtf8(const std::string& text) { return Utils_Conversions::Conversion::toWstring(text, CP_UTF8); }
std::string ToUtf8(const std::wstring& text) { return Utils_Conversions::Conversion::toString(text, CP_UTF8); }

BYTE* Bytes(std::string& body) { return body.empty() ? nullptr : reinterpret_cast<BYTE*>(body.data()); }

}  // namespace

AgentEndpoint::AgentEndpoint(const std::wstring& group, EndpointObserver* observer)
    : CMultiProcessBase(group.c_str(), kReceiveTimeoutMs), observer_(observer) {}

AgentEndpoint::~AgentEndpoint() {
    // The listener and the workers call this class's hooks: they must be
    // gone before its part of the object is.
    StopMessaging();
}

NTSTATUS AgentEndpoint::Open() {
    if (!Bridge().Load()) return kLpcStatusUnsuccessful;
    return Bridge().StartServer();
}

bool AgentEndpoint::IsReady(uint32_t pid) {
    std::lock_guard<std::mutex> hold(lock_);
    return ready_.count(pid) > 0;
}

DWORD AgentEndpoint::SendStartArguments(uint32_t pid, const MsgStartArguments& arguments) {
    std::string body = arguments.Serialize();
    return SendMessage(pid, MStartModuleArgs, Bytes(body), static_cast<DWORD>(body.size()), MP_SYNC);
}

DWORD AgentEndpoint::SendStartExec(uint32_t pid, MsgStartExec& exec) {
    std::string body = exec.Serialize();
    const DWORD status = SendMessage(pid, MStartModuleExec, Bytes(body), static_cast<DWORD>(body.size()), MP_CALL);
    if (status == 0) {
        MsgStartExec answer;
        if (answer.Deserialize(body)) exec = answer;
    }
    return status;
}

DWORD AgentEndpoint::SendStartRaw(uint32_t pid, std::string& body) {
    return SendMessage(pid, MStartModule, Bytes(body), static_cast<DWORD>(body.size()), MP_CALL);
}

DWORD AgentEndpoint::SendStop(uint32_t pid, int32_t timeoutMs, bool& stopped) {
    StopParametersMultiProcess::Fields fields;
    fields.timeout = timeoutMs;
    fields.request = stopRequests_++;
    std::string body = StopParametersMultiProcess::Encode(fields);
    const DWORD status = SendMessage(pid, MStopModule, Bytes(body), static_cast<DWORD>(body.size()), MP_CALL);
    stopped = status == 0 && StopParametersMultiProcess(body.data(), body.size()).GetIsModule() == 1;
    return status;
}

DWORD AgentEndpoint::SendReady(uint32_t pid) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ready_.erase(pid);
    }
    return SendMessage(pid, MReady, nullptr, 0, MP_SYNC);
}

DataAnswer AgentEndpoint::SendData(uint32_t pid, int32_t option, const std::string& text) {
    DataAnswer answer;
    const auto start = std::chrono::steady_clock::now();
    const int32_t id = Requests().GetNewRequestId(pid);
    DataParametersMultiProcess request;
    request.request = id;
    request.option = option;
    request.SetParam(FromUtf8(text));
    std::string reply;
    answer.status = SendMessageCommon(pid, MModuleData, id, request.Serialize(), reply, MP_SYNC);
    answer.latencyMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (answer.status != 0) return answer;
    DataParametersMultiProcess decoded;
    std::wstring wide;
    if (decoded.Deserialize(reply) && decoded.GetParam(wide)) answer.text = ToUtf8(wide);
    return answer;
}

DWORD AgentEndpoint::SendRaw(uint32_t pid, int32_t cmd, std::string& body, EndpointMessageType type) {
    return SendMessage(pid, cmd, Bytes(body), static_cast<DWORD>(body.size()), type);
}

INT AgentEndpoint::ReceiveMsg(DWORD pid, INT cmd, BYTE*, DWORD) {
    if (cmd == MReady) {
        std::lock_guard<std::mutex> hold(lock_);
        ready_.insert(pid);
        readyChanged_.notify_all();
    }
    return 0;
}

bool AgentEndpoint::OnProcessTerminated(DWORD pid) {
    if (observer_) observer_->OnPeerGone(pid);
    return true;
}

std::unique_ptr<BYTE[]> AgentEndpoint::ProcessMessage(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                                      DWORD& answerSize) {
    answerSize = 0;
    if (cmd != MWindowMessage || !data || size < WindowMessageDataMultiProcess::kHeaderSize) return nullptr;
    WindowMessageDataMultiProcess record;
    if (!record.Deserialize(std::string(reinterpret_cast<const char*>(data), size))) {
        // Still answer, so the host's relay does not wait out its time-out.
        std::unique_ptr<BYTE[]> answer(new BYTE[4]);
        std::memcpy(answer.get(), data, 4);
        answerSize = 4;
        return answer;
    }
    if (observer_) observer_->OnWindowMessage(pid, DecodeWindowMessage(record));
    ++windowMessages_;
    // The answer is the record itself: it begins with the request id the
    // host waits on.
    const std::string encoded = record.Serialize();
    std::unique_ptr<BYTE[]> answer(new BYTE[encoded.size()]);
    std::memcpy(answer.get(), encoded.data(), encoded.size());
    answerSize = static_cast<DWORD>(encoded.size());
    return answer;
}

}  // namespace zragent
