#include "AgentSession.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "Console.h"
#include "HostLog.h"
#include "LineReader.h"
#include "ResultCodes.h"
#include "ipc/lpc/NtLpcInterface.h"
#include "ipc/messages/Commands.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "log/Log.h"
#include "util/Conversions.h"

namespace zragent {

namespace {

constexpr size_t kLogLinesShown = 8;

std::wstring Wide(const std::string& text) { return Utils_Conversions::Conversion::toWstring(text, CP_UTF8); }

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string StatusText(DWORD status) {
    if (status == CMultiProcessBase::kWaitFailed) return "no answer (1460, time-out or the host went away)";
    return Hex(status) + " (" + NtStatusName(static_cast<NTSTATUS>(status)) + ")";
}

}  // namespace

AgentSession::AgentSession(const AgentOptions& options, EventWriter& events)
    : options_(options), events_(events), hostLog_(HostLogPath(options.hostDir)) {
    SetLogLevel(options.agentLogLevel);
    endpoint_ = std::make_unique<AgentEndpoint>(Wide(options.group), this);
}

AgentSession::~AgentSession() {
    // The endpoint goes first: its listener and workers call this object.
    endpoint_.reset();
}

double AgentSession::MsSince(std::chrono::steady_clock::time_point start) const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void AgentSession::OnWindowMessage(uint32_t, const DecodedWindowMessage& message) { events_.Window(message, true); }

void AgentSession::OnPeerGone(uint32_t pid) {
    if (pid == host_.Pid()) hostGone_ = true;
}

bool AgentSession::HostEndedUnexpectedly(const char* when) {
    if (!host_.Exited()) host_.WaitForExit(2000);
    if (!hostExitReported_) {
        hostExitReported_ = true;
        events_.Error("host-died", std::string("the host ended ") + when + ": it " + host_.Describe(),
                      LastHostLogLines(hostLog_, host_.Pid(), kLogLinesShown));
        events_.HostExit(host_.Pid(), host_.Describe(), host_.Status());
    }
    Fail(kExitHost);
    return false;
}

bool AgentSession::LaunchHost() {
    const NTSTATUS opened = endpoint_->Open();
    if (opened != 0) {
        events_.Error("port", "could not serve the parent's port \\RPC Control\\" + options_.group +
                                  std::to_string(GetCurrentProcessId()) + ": " + StatusText(static_cast<DWORD>(opened)));
        Fail(kExitHost);
        return false;
    }
    HostCommand command;
    command.rundll = options_.rundll.empty() ? DefaultRundll() : options_.rundll;
    command.library = options_.hostLibrary.empty() ? DefaultHostLibrary() : options_.hostLibrary;
    command.group = options_.group;
    command.parentPid = static_cast<uint32_t>(GetCurrentProcessId());
    command.workDir = options_.hostDir;
    std::string error;
    launched_ = std::chrono::steady_clock::now();
    if (!host_.Start(command, error)) {
        events_.Error("host-not-found", error);
        Fail(kExitHost);
        return false;
    }
    events_.HostLaunched(host_.Pid(), host_.CommandLine());
    const bool ready =
        endpoint_->WaitForReady(host_.Pid(), options_.readyTimeoutMs, [this] { return host_.Exited(); });
    if (!ready) {
        if (host_.Exited()) return HostEndedUnexpectedly("before its ReadyMP");
        events_.Error("timeout", "no ReadyMP from host " + std::to_string(host_.Pid()) + " within " +
                                     std::to_string(options_.readyTimeoutMs) + " ms",
                      LastHostLogLines(hostLog_, host_.Pid(), kLogLinesShown));
        host_.Kill();
        AwaitHostExit(options_.hostExitTimeoutMs);
        Fail(kExitHost);
        return false;
    }
    events_.Ready(host_.Pid(), MsSince(launched_));
    return true;
}

bool AgentSession::StartModule() {
    const auto begin = std::chrono::steady_clock::now();
    hostModule_ = HostModulePath(options_.module);
    const uint32_t pid = host_.Pid();
    int32_t result = 0;
    std::string detail;
    const char* how = nullptr;
    if (options_.startMode == StartMode::ArgsThenExec) {
        how = "MStartModuleArgs + MStartModuleExec";
        MsgStartArguments arguments(Wide(hostModule_), options_.param, options_.startOptions);
        arguments.SetChkCert(options_.checkSignature);
        arguments.SetHWnd(options_.window ? 1 : 0);
        DWORD status = endpoint_->SendStartArguments(pid, arguments);
        if (status != 0) {
            if (host_.Exited()) return HostEndedUnexpectedly("while receiving the start arguments");
            events_.Error("send", "MStartModuleArgs could not be sent: " + StatusText(status));
            Fail(kExitFailed);
            return false;
        }
        MsgStartExec exec;
        status = endpoint_->SendStartExec(pid, exec);
        if (status != 0) {
            if (host_.Exited()) return HostEndedUnexpectedly("while starting the module");
            events_.Error("send", "MStartModuleExec could not be sent: " + StatusText(status));
            Fail(kExitFailed);
            return false;
        }
        result = exec.result;
        if (exec.error != 0) detail = "system error " + std::to_string(exec.error);
    } else {
        how = "MStartModule";
        StartParametersMultiProcess::Fields fields;
        fields.module = hostModule_;
        fields.param = options_.param;
        fields.opt = options_.startOptions;
        fields.hWnd = options_.window ? 1 : 0;
        fields.chkCert = options_.checkSignature;
        std::string body = StartParametersMultiProcess::Encode(fields);
        const DWORD status = endpoint_->SendStartRaw(pid, body);
        if (status != 0) {
            if (host_.Exited()) return HostEndedUnexpectedly("while starting the module");
            events_.Error("send", "MStartModule could not be sent: " + StatusText(status));
            Fail(kExitFailed);
            return false;
        }
        // The result stays in the host's copy of the body; its log tells it.
        if (!LastStartResultFromLog(hostLog_, pid, result)) {
            if (host_.WaitForExit(2000)) return HostEndedUnexpectedly("after refusing the start body");
            result = 0;
            detail = "result not in the host's log";
        }
    }
    if (result != 0) {
        events_.StartRefused(options_.module, result, detail);
        Fail(kExitFailed);
        return false;
    }
    started_ = true;
    events_.Started(options_.module, how, result, MsSince(begin));
    return true;
}

bool AgentSession::SendData(const DataRequest& request, int index, DataAnswer* out) {
    DataAnswer answer = endpoint_->SendData(host_.Pid(), request.option, request.text);
    // A host killed a moment ago may not have been reaped yet.
    if (answer.status != 0 && (hostGone_ || host_.WaitForExit(500)))
        return HostEndedUnexpectedly("during a data request");
    events_.Answer(index, request.option, answer.text, answer.status == 0, answer.status, answer.latencyMs);
    if (out) *out = answer;
    if (answer.status != 0) {
        Fail(kExitFailed);
        return false;
    }
    return true;
}

bool AgentSession::StopModule() {
    if (stopped_) return true;
    stopped_ = true;
    if (host_.Exited()) return HostEndedUnexpectedly("before the stop");
    const auto begin = std::chrono::steady_clock::now();
    bool moduleStopped = false;
    const DWORD status = endpoint_->SendStop(host_.Pid(), options_.stopTimeoutMs, moduleStopped);
    if (status != 0) {
        if (host_.Exited()) return HostEndedUnexpectedly("during the stop");
        events_.Error("send", "MStopModule could not be sent: " + StatusText(status));
        Fail(kExitFailed);
        return false;
    }
    events_.Stopped(moduleStopped, started_, MsSince(begin));
    // A module that was never started is not a failure to stop.
    if (!moduleStopped && started_) Fail(kExitFailed);
    return moduleStopped || !started_;
}

bool AgentSession::AwaitHostExit(int ms) {
    if (hostExitReported_) return true;
    if (!host_.WaitForExit(ms)) {
        events_.Error("timeout", "host " + std::to_string(host_.Pid()) + " still runs " + std::to_string(ms) +
                                     " ms after the stop; killing it");
        host_.Kill();
        host_.WaitForExit(-1);
        Fail(kExitHost);
    }
    hostExitReported_ = true;
    events_.HostExit(host_.Pid(), host_.Describe(), host_.Status());
    if (host_.Status() != 0) Fail(kExitHost);
    return host_.Status() == 0;
}

int AgentSession::Run() {
    if (!LaunchHost()) return exitStatus_;
    if (StartModule()) {
        for (size_t i = 0; i < options_.requests.size(); ++i) {
            if (!SendData(options_.requests[i], static_cast<int>(i)) && hostExitReported_) return exitStatus_;
        }
        if (options_.keep) {
            CatchInterrupts();
            events_.Note("module keeps running; Ctrl-C stops it");
            while (!Interrupted() && !host_.Exited()) host_.WaitForExit(100);
            if (host_.Exited()) return HostEndedUnexpectedly("while the module ran"), exitStatus_;
        }
    } else if (hostExitReported_) {
        return exitStatus_;
    }
    // A refused start through MStartModule ends the host by itself; the stop
    // is then refused by a host that is leaving, which is no news.
    if (!host_.WaitForExit(0)) StopModule();
    AwaitHostExit(options_.hostExitTimeoutMs);
    return exitStatus_;
}

bool AgentSession::ShellCommand(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command.empty() || command[0] == '#') return true;
    if (host_.Exited()) {
        HostEndedUnexpectedly("while the shell ran");
        return false;
    }
    if (command == "help") {
        events_.Note("commands: data OPTION TEXT | ready | status | stop | help   (OPTION: a name or a number)");
    } else if (command == "data") {
        std::string option;
        words >> option;
        std::string text;
        std::getline(words, text);
        if (!text.empty() && text[0] == ' ') text.erase(0, 1);
        DataRequest request;
        if (option.empty() || !ParseOptionCode(option, request.option)) {
            events_.Error("usage", "data OPTION TEXT: unknown option \"" + option + "\"");
            return true;
        }
        request.text = text;
        static int index = 0;
        SendData(request, index++);
        return !hostExitReported_;
    } else if (command == "ready") {
        const auto begin = std::chrono::steady_clock::now();
        const DWORD status = endpoint_->SendReady(host_.Pid());
        if (status == 0 && endpoint_->WaitForReady(host_.Pid(), 10000, [this] { return host_.Exited(); })) {
            events_.Ready(host_.Pid(), MsSince(begin));
        } else {
            events_.Error("timeout", "no ReadyMP in answer to MReady: " + StatusText(status));
            Fail(kExitFailed);
        }
    } else if (command == "status") {
        events_.Raw(JsonObject("status")
                        .Add("pid", host_.Pid())
                        .Add("running", !host_.Exited())
                        .Add("started", started_)
                        .Add("window_messages", static_cast<long long>(endpoint_->WindowMessagesAnswered()))
                        .Add("rss_kb", static_cast<long long>(ResidentKilobytes(host_.Pid())))
                        .Text(),
                    "status   host " + std::to_string(host_.Pid()) + " running, module " +
                        (started_ ? "started" : "not started") + ", " +
                        std::to_string(endpoint_->WindowMessagesAnswered()) + " window messages, " +
                        std::to_string(ResidentKilobytes(host_.Pid())) + " kB resident");
    } else if (command == "stop" || command == "quit" || command == "exit") {
        StopModule();
        AwaitHostExit(options_.hostExitTimeoutMs);
        return false;
    } else {
        events_.Error("usage", "unknown command \"" + command + "\" (help lists them)");
    }
    return true;
}

int AgentSession::Shell(FILE* in) {
    if (!LaunchHost()) return exitStatus_;
    if (!StartModule() && hostExitReported_) return exitStatus_;
    LineReader reader(in, "zragent> ");
    std::string line;
    bool going = true;
    while (going && reader.Next(line)) going = ShellCommand(line);
    if (going) {
        // End of input: leave as `stop` would.
        if (!host_.WaitForExit(0)) StopModule();
        AwaitHostExit(options_.hostExitTimeoutMs);
    }
    return exitStatus_;
}

}  // namespace zragent
