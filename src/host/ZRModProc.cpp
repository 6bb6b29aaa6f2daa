#include "host/ZRModProc.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "host/HexDumpForLog.h"
#include "host/WindowRelay.h"
#include "ipc/messages/Commands.h"
#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/messages/MsgStartExec.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "log/Log.h"
#include "ui/HiddenWindow.h"
#include "util/Conversions.h"
#include "util/PathUtils.h"

namespace {

// The controller the hidden window relays to; set at the window's WM_CREATE
// and cleared when the controller goes. Read and written on the entry thread.
std::atomic<ZRModProc*> g_windowTarget{nullptr};

// Only the first 20 characters of the dump are logged, which 10 bytes fill.
constexpr size_t kDumpedBytes = 10;

}  // namespace

ZRModProc::ZRModProc(const wchar_t* groupName, DWORD parentPid, HINSTANCE instance)
    : CMultiProcessBase(groupName, 100), parentPid_(parentPid), mainThreadId_(GetCurrentThreadId()) {
    Log(LOG_INFO, "ZRModProc::ZRModProc: Starting Server...");
    if (!Load() || static_cast<int32_t>(StartServer()) < 0) {
        Log(LOG_CRITICAL_ERROR, "ZRModProc::ZRModProc: [C] Failed to load and start Server thread.");
        return;
    }
    window_ = std::make_unique<HiddenWindow>(instance, &WindowProc, this);

    Log(LOG_INFO, "ZRModProc::ZRModProc: Notifying our existence to parent: %ld.", parentPid_);
    const auto result = static_cast<int32_t>(SendMessage(parentPid_, MReady, nullptr, 0, MP_CALL));
    if (result < 0) {
        Log(LOG_ERROR, "ZRModProc::ZRModProc: [E] SendMessage failed (%ld). Force aborting...", result);
        return;
    }
    Log(LOG_CRITICAL_ERROR, "ZRModProc::ZRModProc: Notified existence to pid: %u ('ReadyMP' sent)", parentPid_);
    initialized_ = true;
}

ZRModProc::~ZRModProc() {
    Log(LOG_CRITICAL_ERROR, "ZRModProc::~ZRModProc: Closing instance...");
    AbortServer();
    Log(LOG_INFO, "ZRModProc::~ZRModProc: LPC Server signalled to abort");
    StopServer();
    QuitProcessMessage();
    Log(LOG_CRITICAL_ERROR, "ZRModProc::~ZRModProc: Server closed and module stopped");
    // Workers still inside the module runner end before it goes.
    StopMessaging();
    // The window goes with its controller, so no message reaches a destroyed one.
    g_windowTarget = nullptr;
    window_.reset();
}

void ZRModProc::Quit() {
    Log(LOG_CRITICAL_ERROR, "ZRModProc::Quit: Sending QUIT message to main loop (thread %d)", mainThreadId_);
    PostThreadMessageA(mainThreadId_, WM_QUIT, 0, 0);
}

bool ZRModProc::ProcessTermination(DWORD pid) {
    Log(LOG_WARNING,
        "ZRModProc::ProcessTermination: [W] Agent process %u closed IPC port. Notifying Server thread to exit...", pid);
    AbortServer();
    Quit();
    return true;
}

bool ZRModProc::OnProcessTerminated(DWORD) { return true; }

INT ZRModProc::ReceiveMsg(DWORD pid, INT cmd, BYTE* data, DWORD size) {
    switch (cmd) {
    case MReady: OnReady(pid); break;
    case MStartModule: OnStartModule(data, size); break;
    case MStopModule: OnStopModule(data, size); break;
    case MStartModuleArgs: OnStartModuleArgs(data, size); break;
    case MStartModuleExec: OnStartModuleExec(data, size); break;
    default:
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Command id unknown. Cmd:%d, Data: [%d]", cmd, size);
        break;
    }
    return 0;
}

void ZRModProc::OnReady(DWORD pid) {
    if (pid != parentPid_)
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Received MReady message from process %ld, buf parent PID is %d", pid,
            parentPid_);
    Log(LOG_INFO, "ZRModProc::ReceiveMsg: Notifying our existence to parent: %ld.", parentPid_);
    if (static_cast<int32_t>(SendMessage(parentPid_, MReady, nullptr, 0, MP_CALL)) >= 0)
        Log(LOG_CRITICAL_ERROR, "ZRModProc::ReceiveMsg: Reply to MReady: Notified existence to pid: %u ('ReadyMP' sent)",
            parentPid_);
    else
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] SendMessage failed (%ld). Force aborting...", GetLastError());
}

void ZRModProc::OnStartModule(BYTE* data, DWORD size) {
    Log(LOG_INFO, "ZRModProc::ReceiveMsg: MStartModule received.");
    // The start result as the body's id holds it; kept here too because a
    // body too short to hold the field still counts as failed.
    // A zero-length body is no body.
    int32_t id = -1;
    if (data == nullptr || size == 0) {
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] MStartModule received empty parameters buffer");
    } else {
        StartParametersMultiProcess body(data, size);
        std::unique_ptr<MsgStartArguments> arguments;
        if (!body.IsValid()) {
            Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Invalid Start parameters:%s", body.ToString().c_str());
            body.SetId(-1);
        } else if (!(arguments = GetStartParameters(data, size))) {
            Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Start message could not be created. params:%s",
                body.ToString().c_str());
            body.SetId(-1);
        } else {
            id = body.GetId();
            try {
                const bool started = StartModuleExec(*arguments);
                id = started ? 0 : module_.GetLastResult();
                body.SetId(id);
                Log(LOG_INFO, "ZRModProc::ReceiveMsg: Response:'%d'", id);
            } catch (...) {
                // The body keeps the parent's value.
            }
        }
    }
    if (id < 0) {
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Start failed. Quitting...");
        Quit();
    }
}

void ZRModProc::OnStopModule(BYTE* data, DWORD size) {
    Log(LOG_INFO, "ZRModProc::ReceiveMsg: MStopModule");
    if (data == nullptr || size == 0) {
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] MStopModule received empty parameters buffer");
        return;
    }
    StopParametersMultiProcess body(data, size);
    if (!body.IsValid()) {
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Invalid parameters:%s", body.ToString().c_str());
        return;
    }
    Log(LOG_INFO, "ZRModProc::ReceiveMsg: MStopModuleMP received data:%s", body.ToString().c_str());
    const bool stopped = module_.Stop(body.GetTimeout());
    body.SetIsModule(stopped ? 1 : 0);
    if (stopped)
        Log(LOG_WARNING, "ZRModProc::ReceiveMsg: [W] Module stopped.");
    else
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] could not stop module. err: %d.", module_.GetLastResult());
    Quit();
}

void ZRModProc::OnStartModuleArgs(const BYTE* data, DWORD size) {
    Log(LOG_INFO, "ZRModProc::ReceiveMsg: MStartModuleArgs received.");
    const std::string body = data != nullptr ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
    if (startArgs_.Deserialize(body)) Log(LOG_INFO, "ZRModProc::ReceiveMsg: StartModule Args updated");
}

void ZRModProc::OnStartModuleExec(BYTE* data, DWORD size) {
    if (!startArgs_.IsSet()) {
        Log(LOG_ERROR,
            "ZRModProc::ReceiveMsg: [E] Start arguments were not set in a previous MStartModuleArgs operation");
        return;
    }
    if (data == nullptr || size == 0) {
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Invalid MsgStartExec. Received empty buffer");
        return;
    }
    MsgStartExec exec;
    if (!exec.Deserialize(std::string(reinterpret_cast<const char*>(data), size))) {
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Could not deserialize MsgStartExec");
    } else if (StartModuleExec(startArgs_)) {
        exec.result = 0;
        Log(LOG_CRITICAL_ERROR, "ZRModProc::ReceiveMsg: Reply to MStartModuleExec: result=0");
    } else {
        exec.result = module_.GetLastResult();
        exec.error = static_cast<int32_t>(GetLastError());
        Log(LOG_ERROR, "ZRModProc::ReceiveMsg: [E] Reply to MStartModuleExec: result=%d, err=%d", exec.result,
            exec.error);
    }
    const std::string reply = exec.Serialize();
    std::copy_n(reply.data(), std::min<size_t>(reply.size(), size), reinterpret_cast<char*>(data));
}

std::unique_ptr<MsgStartArguments> ZRModProc::GetStartParameters(const BYTE* body, DWORD size) {
    if (body == nullptr) {
        Log(LOG_ERROR, "ZRModProc::GetStartParameters: [E] Invalid arguments. Received empty parameters buffer");
        return nullptr;
    }
    if (size < StartParametersMultiProcess::kSize) {
        Log(LOG_ERROR, "ZRModProc::GetStartParameters: [E] Invalid arguments. Buffer (%d) is smaller than %dby.", size,
            static_cast<int>(StartParametersMultiProcess::kSize));
        Log(LOG_CRITICAL_ERROR, "ZRModProc::GetStartParameters: Buffer:'%s'",
            AbbreviateForLog(std::string(reinterpret_cast<const char*>(body), size), 600).c_str());
        return nullptr;
    }
    const StartParametersMultiProcess start(body, size);
    if (!start.IsValid()) {
        Log(LOG_ERROR, "ZRModProc::GetStartParameters: [E] Invalid parameters:%s", start.ToString().c_str());
        return nullptr;
    }
    Log(LOG_OTHER, "ZRModProc::GetStartParameters: Data is a valid StartParametersMultiProcess");
    auto arguments = std::make_unique<MsgStartArguments>(
        Utils_Conversions::Conversion::toWstring(start.GetModule(), CP_UTF8), start.GetParamField(), start.GetOpt());
    arguments->SetChkCert(start.GetChkCert());
    arguments->SetHWnd(start.GetHWnd());
    arguments->SetRequest(start.GetRequest());
    return arguments;
}

bool ZRModProc::StartModuleExec(const MsgStartArguments& arguments) {
    Log(LOG_INFO, "ZRModProc::StartModuleExec: Starting ZR with parameters:%s", arguments.ToString().c_str());
    module_.SetCheckCertificate(arguments.GetChkCert());
    // The module gets our window, never the parent's value.
    const HWND window = window_ ? window_->GetWindowHandle() : nullptr;
    module_.SetWindow(arguments.GetHWnd() != 0 ? window : nullptr);

    const std::wstring& name = arguments.GetModule();
    for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
        if (module_.Start(name, arguments.GetOpt(), arguments.GetParam())) {
            Log(LOG_CRITICAL_ERROR, "ZRModProc::StartModuleExec: Module started: '%ws'. opt:%d, args:'%s'",
                name.c_str(), arguments.GetOpt(), arguments.GetParam().c_str());
            return true;
        }
        Log(LOG_WARNING, "ZRModProc::StartModuleExec: [W] Could not start module '%ws'. Retrying...  err:%d, retries:%d",
            name.c_str(), module_.GetLastResult(), kStartAttempts + 1 - attempt);
        if (attempt < kStartAttempts) Sleep(kStartRetryPauseMs);
    }
    Log(LOG_ERROR, "ZRModProc::StartModuleExec: [E] Start failed for '%ws'. err:%d", name.c_str(),
        module_.GetLastResult());
    Log(LOG_ERROR, "ZRModProc::StartModuleExec: [E] options:%d, args:'%s'", arguments.GetOpt(),
        AbbreviateForLog(std::string(arguments.GetParam().c_str()), 60).c_str());
    return false;
}

std::unique_ptr<BYTE[]> ZRModProc::ProcessMessage(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                                  DWORD& answerSize) {
    answerSize = 0;
    try {
        return AnswerDataRequest(pid, cmd, data, size, answerSize);
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "ZRModProc::ProcessMessage: [C] Exception detected.");
        answerSize = 0;
        return nullptr;
    }
}

std::unique_ptr<BYTE[]> ZRModProc::AnswerDataRequest(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                                     DWORD& answerSize) {
    Log(LOG_OTHER, "ZRModProc::ProcessMessage: from pid:%d cmd:%d data[%d by]:%.20s", pid, cmd, size,
        HexDumpForLog(data, std::min<size_t>(size, kDumpedBytes)).c_str());
    if (data == nullptr) {
        Log(LOG_ERROR, "ZRModProc::ProcessMessage: [E] Error processing empty data buffer. From pid:%d", pid);
        return nullptr;
    }
    DataParametersMultiProcess request;
    // A body that does not decode has no request id to answer to; the module
    // is not asked on the parent's behalf for something it did not request.
    if (!request.Deserialize(std::string(reinterpret_cast<const char*>(data), size))) {
        Log(LOG_ERROR, "ZRModProc::ProcessMessage: [E] Refused a data request that does not decode. From pid:%d, size:%d",
            pid, size);
        return nullptr;
    }
    DataParametersMultiProcess answer(request);
    std::wstring text;
    request.GetParam(text);
    Log(LOG_OTHER, "ZRModProc::ProcessMessage: IdMod:%d, option:%s, data:%.50ws", request.module,
        GetCommandName(request.option), text.c_str());

    std::wstring result;
    if (module_.Data(request.option, text, result)) {
        answer.SetParam(result);
        Log(LOG_INFO, "ZRModProc::ProcessMessage: Data returned [%s]", answer.ToString().c_str());
    } else {
        Log(LOG_ERROR, "ZRModProc::ProcessMessage: [E] Data failed. err: %d, pid:%d, msg:%s", module_.GetLastResult(),
            pid, request.ToString().c_str());
        answer.SetParam(std::wstring());
    }
    return answer.SerializeToBuffer(answerSize);
}

void ZRModProc::QuitProcessMessage() {
    Log(LOG_INFO, "ZRModProc::QuitProcessMessage: Stopping module (to:120s)");
    if (!module_.IsRunning()) {
        Log(LOG_WARNING, "ZRModProc::QuitProcessMessage: [W] Module was already stopped");
        return;
    }
    if (module_.Stop(kQuitStopTimeoutMs))
        Log(LOG_CRITICAL_ERROR, "ZRModProc::QuitProcessMessage: Module stopped");
    else
        Log(LOG_ERROR, "ZRModProc::QuitProcessMessage: [E] Could not stop module");
}

bool ZRModProc::WindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    WindowMessageDataMultiProcess record;
    try {
        if (message == WM_RUNJOB)
            Log(LOG_INFO, "ZRModProc::WindowMessage: Received WM_RUNJOB message [w:%d, l:%d]", static_cast<int>(wParam),
                static_cast<int>(lParam));
        else if (message == GETSRVOPTION || message == SETSRVOPTION)
            Log(LOG_INFO, "ZRModProc::WindowMessage: Received %s message [w:%d, l:%d]", RelayedMessageName(message),
                static_cast<int>(wParam), static_cast<int>(lParam));
        if (!BuildWindowMessageRecord(message, wParam, lParam, record)) return true;

        Log(LOG_INFO, "ZRModProc::WindowMessage: Sending Windows Message to process %lu", parentPid_);
        const auto result = static_cast<int32_t>(SendMessage(parentPid_, MWindowMessage, record, MP_SYNC));
        if (result != 0)
            Log(LOG_ERROR, "ZRModProc::WindowMessage: [E] Could not send message %u to process %lu. err=%d", message,
                parentPid_, result);
    } catch (...) {
        Log(LOG_CRITICAL_ERROR,
            "ZRModProc::WindowMessage: [C] Exception detected. uMsg:%u, wParam:%ld, lParam:%ld, WindowMessage:%s",
            message, static_cast<int>(wParam), static_cast<int>(lParam), record.ToString().c_str());
    }
    return true;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_CREATE) {
            const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            g_windowTarget = creation != nullptr ? static_cast<ZRModProc*>(creation->lpCreateParams) : nullptr;
            return 1;
        }
        if (message > WM_USER) {
            if (ZRModProc* target = g_windowTarget)
                target->WindowMessage(message, wParam, lParam);
            else
                LogAlways("[WindowProc] Message discarded: uMsg=%d wParam=%d lParam=%d", message,
                          static_cast<int>(wParam), static_cast<int>(lParam));
            return 1;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "WindowProc: [C] Exception detected in WindowProc.");
        return 1;
    }
}
