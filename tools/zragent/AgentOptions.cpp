#include "AgentOptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "ipc/messages/Commands.h"

namespace zragent {

namespace {

constexpr int kOptionCodeCount = 19;

bool ParseInt(const std::string& text, long minimum, long maximum, int& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0' || number < minimum || number > maximum) return false;
    value = static_cast<int>(number);
    return true;
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

bool ParseOptionCode(const std::string& text, int32_t& code) {
    int number = 0;
    if (ParseInt(text, INT32_MIN, INT32_MAX, number)) {
        code = number;
        return true;
    }
    std::string name = Upper(text);
    if (name.rfind("ZR_", 0) != 0) name.insert(0, "ZR_");
    for (int i = 0; i < kOptionCodeCount; ++i) {
        if (name == GetCommandName(i)) {
            code = i;
            return true;
        }
    }
    return false;
}

bool ParseDataRequest(const std::string& text, DataRequest& request) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    if (!ParseOptionCode(text.substr(0, colon), request.option)) return false;
    request.text = text.substr(colon + 1);
    return true;
}

bool ParseCommandLine(int argc, const char* const* argv, AgentOptions& options, std::string& error) {
    if (argc < 2) {
        error = "no command";
        return false;
    }
    const std::string command = argv[1];
    if (command == "run") {
        options.command = Command::Run;
    } else if (command == "shell") {
        options.command = Command::Shell;
    } else if (command == "bench") {
        options.command = Command::Bench;
    } else if (command == "help" || command == "--help" || command == "-h") {
        options.command = Command::Help;
        return true;
    } else {
        error = "unknown command: " + command;
        return false;
    }
    bool optionsGiven = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](int& out, long minimum, long maximum) {
            std::string text;
            if (!value(text)) return false;
            if (!ParseInt(text, minimum, maximum, out)) {
                error = "bad value for " + arg + ": " + text;
                return false;
            }
            return true;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            options.command = Command::Help;
            return true;
        } else if (arg == "--group") {
            ok = value(options.group);
            if (ok && options.group.empty()) {
                error = "the group name must not be empty";
                ok = false;
            }
        } else if (arg == "--no-signature-check") {
            options.checkSignature = false;
        } else if (arg == "--threaded") {
            options.startOptions |= 4;
            optionsGiven = true;
        } else if (arg == "--options") {
            int bits = 0;
            ok = number(bits, INT32_MIN, INT32_MAX);
            options.startOptions |= bits;
            optionsGiven = true;
        } else if (arg == "--param") {
            ok = value(options.param);
        } else if (arg == "--window") {
            options.window = true;
        } else if (arg == "--data") {
            std::string text;
            ok = value(text);
            DataRequest request;
            if (ok && !ParseDataRequest(text, request)) {
                error = "bad data request (OPTION:TEXT, OPTION a name or a number): " + text;
                ok = false;
            }
            if (ok) options.requests.push_back(request);
        } else if (arg == "--keep") {
            options.keep = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--raw-start") {
            options.startMode = StartMode::Raw;
        } else if (arg == "--rundll") {
            ok = value(options.rundll);
        } else if (arg == "--host-library") {
            ok = value(options.hostLibrary);
        } else if (arg == "--host-dir") {
            ok = value(options.hostDir);
        } else if (arg == "--ready-timeout") {
            ok = number(options.readyTimeoutMs, 1, INT_MAX);
        } else if (arg == "--stop-timeout") {
            ok = number(options.stopTimeoutMs, 0, INT_MAX);
        } else if (arg == "--agent-log-level") {
            ok = number(options.agentLogLevel, -1, 4);
        } else if (arg == "--requests") {
            ok = number(options.benchRequests, 1, 100000000);
        } else if (arg == "--concurrency") {
            ok = number(options.benchConcurrency, 1, 1000);
        } else if (arg == "--payload") {
            ok = number(options.benchPayload, 0, 1 << 20);
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown argument: " + arg;
            ok = false;
        } else if (options.module.empty()) {
            options.module = arg;
        } else {
            error = "more than one module: " + arg;
            ok = false;
        }
        if (!ok) return false;
    }
    (void)optionsGiven;
    if (options.module.empty()) {
        error = "no module named";
        return false;
    }
    return true;
}

const char* UsageText() {
    return "usage:\n"
           "  zragent run MODULE [start options] [--data OPTION:TEXT]... [--keep] [--json]\n"
           "  zragent shell MODULE [start options] [--json]\n"
           "  zragent bench MODULE [start options] [--requests N] [--concurrency C] [--payload BYTES]\n"
           "\n"
           "Starts the host as a process of its own (zrrundll libzrmodproc.so,Module\n"
           "PID(<zragent's pid>) LPCNAME(<group>); on Windows rundll32.exe zrmodproc.dll,Module\n"
           "...), waits for its ReadyMP, starts MODULE in\n"
           "it, sends the data requests and prints every answer and every window message\n"
           "the module relays, then stops the module and waits for the host to end.\n"
           "\n"
           "start options:\n"
           "  --group NAME            LPC port group (default CModule)\n"
           "  --no-signature-check    the host skips the module's signature check\n"
           "  --threaded              start the module on a thread of its own (option bit 4)\n"
           "  --options N             start option bits (1 stop right after start, 4 threaded)\n"
           "  --param TEXT            parameter text handed to the module's Start\n"
           "  --window                hand the module the host's hidden window\n"
           "  --raw-start             one MStartModule with the raw body instead of\n"
           "                          MStartModuleArgs + MStartModuleExec\n"
           "run:\n"
           "  --data OPTION:TEXT      a data request; OPTION is a number or a name such as\n"
           "                          ZR_GETOPTION (repeatable, sent in order)\n"
           "  --keep                  after the requests, keep the module running and print\n"
           "                          its window messages until Ctrl-C or the host ends\n"
           "shell: one command a line: data OPTION TEXT | stop | ready | status | help\n"
           "       (reads a script from standard input when it is not a terminal)\n"
           "bench: data-request latency (p50, p99) and throughput against the host and a\n"
           "       raw AF_UNIX ping-pong between two processes, and the ratios (the raw\n"
           "       ping-pong on Linux only)\n"
           "common:\n"
           "  --json                  one JSON object per event on standard output\n"
           "  --host-dir DIR          the host's working directory (its log file)\n"
           "  --rundll PATH           the host starter (default: zrrundll of the build;\n"
           "                          on Windows the system's rundll32.exe)\n"
           "  --host-library PATH     the host library (default: libzrmodproc.so of the build;\n"
           "                          on Windows zrmodproc.dll beside zragent.exe or of the build)\n"
           "  --ready-timeout MS      how long to wait for ReadyMP (default 20000)\n"
           "  --stop-timeout MS       time limit handed to the module's stop (default 120000)\n"
           "  --agent-log-level N     zragent's own lines in kvlzrmodproc.log (default none)\n"
           "\n"
           "Exit status: 0 all went well; 1 a request, the start or the stop failed;\n"
           "2 bad usage; 3 the host could not be started or ended unexpectedly.\n";
}

}  // namespace zragent
