// A live host fed arbitrary commands: each input is a command id, a transport
// message type and a body, sent through the LPC transport to a real host
// process by a parent endpoint in this process. The host must keep serving:
// a host that ends (a sanitizer report, a crash) fails the run.
//
// The seams that keep it fast: the host runs in a child of this binary that
// loads the host library and calls its entry point directly; MStartModule is
// not sent (any body ends the host), and well-formed stop and start-exec
// bodies are cut below their size, so the host neither quits nor starts a
// module (five attempts, a second apart).
//
// Input: 4 bytes command id, 1 byte message type (Async, Sync, Call), body.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AgentEndpoint.h"
#include "ipc/messages/Commands.h"
#include "ipc/messages/MsgStartExec.h"
#include "ipc/messages/StartParametersMultiProcess.h"
#include "log/Log.h"

extern char** environ;

namespace {

const char kHostRole[] = "ZR_FUZZ_HOST_PARENT";
const wchar_t kGroup[] = L"FuzzHost";

using ModuleEntry = void(__stdcall*)(HWND, HINSTANCE, const char*, int);

// In the child: be the host for the parent named in the environment.
[[noreturn]] void RunHost(const char* parent) {
    void* library = dlopen(ZR_HOST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "fuzz host: %s\n", dlerror());
        _exit(97);
    }
    auto entry = reinterpret_cast<ModuleEntry>(dlsym(library, "Module"));
    if (!entry) _exit(98);
    const std::string commandLine = std::string("PID(") + parent + ") LPCNAME(FuzzHost)";
    entry(nullptr, nullptr, commandLine.c_str(), 0);
    _exit(0);
}

struct LiveHost {
    std::unique_ptr<zragent::AgentEndpoint> endpoint;
    pid_t pid = -1;

    // Starts the host (this binary again, in the host role) and waits for
    // its ReadyMP; aborts when none comes.
    void Start() {
        const std::string parent = std::string(kHostRole) + "=" + std::to_string(getpid());
        std::string self = "/proc/self/exe";
        std::vector<char*> env;
        for (char** e = environ; *e; ++e) env.push_back(*e);
        std::string entry = parent;
        env.push_back(entry.data());
        env.push_back(nullptr);
        char* argv[] = {self.data(), nullptr};
        if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, env.data()) != 0) std::abort();
        if (!endpoint->WaitForReady(static_cast<uint32_t>(pid), 20000, [this] { return Ended(); })) {
            std::fprintf(stderr, "fuzz host: no ReadyMP\n");
            std::abort();
        }
        // The first message makes the connection; it belongs to this
        // (the fuzzing) thread, which lives as long as the run.
        std::string body;
        endpoint->SendRaw(static_cast<uint32_t>(pid), 1000, body, MP_SYNC);
    }

    bool Ended() {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
            last = status;
            pid = -1;
        }
        return pid <= 0;
    }
    int last = 0;
};

LiveHost* g_host = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* parent = std::getenv(kHostRole)) RunHost(parent);
    SetLogLevel(-1);  // the parent's own log stays quiet
    static LiveHost host;
    host.endpoint = std::make_unique<zragent::AgentEndpoint>(kGroup, nullptr);
    if (host.endpoint->Open() != 0) std::abort();
    host.Start();
    g_host = &host;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    int32_t cmd;
    std::memcpy(&cmd, data, 4);
    static const EndpointMessageType kTypes[] = {MP_ASYNC, MP_SYNC, MP_CALL};
    const EndpointMessageType type = kTypes[data[4] % 3];
    std::string body(reinterpret_cast<const char*>(data) + 5, size - 5);
    // The seam (see the top of the file): every MStartModule ends the host,
    // a well-formed stop too, and a well-formed MStartModuleExec starts a
    // module; their bodies are fuzzed by the decoder targets instead.
    if (cmd == MStartModule) return 0;
    if (cmd == MStopModule && StopParametersMultiProcess(body.data(), body.size()).IsValid())
        body.resize(StopParametersMultiProcess::kSize - 1);
    if (cmd == MStartModuleExec && body.size() >= MsgStartExec::kSize) body.resize(MsgStartExec::kSize - 1);

    LiveHost& host = *g_host;
    host.endpoint->SendRaw(static_cast<uint32_t>(host.pid), cmd, body, type);
    if (host.Ended()) {
        std::fprintf(stderr, "fuzz host: ended (status 0x%x) after command %d, %zu bytes\n", host.last, cmd,
                     body.size());
        std::abort();
    }
    return 0;
}
