// zrmodrun: runs one plug-in module the way the host does (verify, private
// copy, load, Start, data requests, Stop), for module developers.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clib/os/modules/Module.h"
#include "clib/os/modules/ResultText.h"
#include "log/Log.h"
#include "log/LogConfig.h"
#include "log/LogReader.h"
#include "util/Conversions.h"

namespace {

const char* const kOptionNames[] = {
    "ZR_RUN_SCRIPT",        "ZR_DECRYPT_RUN",          "ZR_GETOPTION",          "ZR_SETOPTION",
    "ZR_SETPROXYDATA",      "ZR_SETDEFERRED_FILE",     "ZR_SETDEFERRED_ENCRYPT_KEY", "ZR_IS_CURRUSER_LOCAL_ADMIN",
    "ZR_DECRYPT_RUN2",      "ZR_SETPROXYDATA2",        "ZR_SETWORKINGFOLDER",   "ZR_GETALLOPTIONS",
    "ZR_SETALLOPTIONS",     "ZR_RUN_SCRIPT_PER_PARTS", "ZR_SET_TCP_COMMAND_PORT", "ZR_WINHTTP_WININET",
    "ZR_NOTIFYSTOPSCRIPT",  "ZR_ENABLECHECKCERTIFICATE", "ZR_RUN_SCRIPT_ASYNCH",
};
constexpr int kOptionCount = static_cast<int>(sizeof(kOptionNames) / sizeof(kOptionNames[0]));

const char* OptionName(int option) { return option >= 0 && option < kOptionCount ? kOptionNames[option] : "unknown"; }

// An option given as its number or its name (with or without "ZR_", any case).
bool ParseOption(const std::string& text, int& option) {
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && end && *end == '\0') {
        option = static_cast<int>(number);
        return true;
    }
    std::string upper;
    for (char c : text) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (upper.rfind("ZR_", 0) != 0) upper.insert(0, "ZR_");
    for (int i = 0; i < kOptionCount; ++i) {
        if (upper == kOptionNames[i]) {
            option = i;
            return true;
        }
    }
    return false;
}

// Command-line text is UTF-8 on POSIX systems and in the ANSI code page on Windows.
#ifdef _WIN32
constexpr UINT kArgumentCodePage = CP_ACP;
#else
constexpr UINT kArgumentCodePage = CP_UTF8;
#endif

std::wstring Wide(const std::string& text) { return Utils_Conversions::Conversion::toWstring(text, kArgumentCodePage); }
std::string Narrow(const std::wstring& text) { return Utils_Conversions::Conversion::toString(text, kArgumentCodePage); }

// The host speaks Windows paths; on POSIX systems a module path may be given
// in POSIX form and is turned into one ("/a/b.kvl" -> "C:\a\b.kvl", drive C:
// being the root there).
std::wstring ModulePath(const std::string& text) {
    std::wstring path = Wide(text);
#ifndef _WIN32
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    if (!path.empty() && path[0] == L'\\') path.insert(0, L"C:");
#endif
    return path;
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: zrmodrun [options] MODULE [--data OPTION ARG]...\n"
                 "\n"
                 "Runs a plug-in module as the host does: checks its signature, loads it\n"
                 "from a private copy beside it, calls Start, hands it each data request in\n"
                 "order (printing the option's name and the answer) and calls Stop.\n"
                 "MODULE without a dot is looked for as MODULE.kvl in the current directory\n"
                 "(any folder given with it is dropped, as the host does: a warning says so);\n"
                 "the private copy is written beside the module file.\n"
                 "A failure prints the result code, its meaning and the host's own log lines\n"
                 "that give the reason.\n"
                 "\n"
                 "options:\n"
                 "  --threaded           run Start on a thread of its own\n"
                 "  --no-check           skip the signature check\n"
                 "  --params TEXT        parameter text handed to Start\n"
                 "  --stop-after-start   stop the module right after it started, as the host's\n"
                 "                       start option 1 does (in threaded mode that stop and the\n"
                 "                       final one each wait up to 10 s for the module thread)\n"
                 "  --stop-timeout MS    time-out of the final stop (default 120000); a module's\n"
                 "                       Stop takes none, so it shows only in the log, and the\n"
                 "                       threaded strategy waits its own 10 s for the thread\n"
                 "  --log-level N        0..4, level of kvlzrmodproc.log (default: the\n"
                 "                       registry value \"debug\" the host reads, else 2)\n"
                 "  --data OPTION ARG    a data request; OPTION is a number or a name such as\n"
                 "                       ZR_GETOPTION or getoption; repeatable\n"
                 "  --help               this text\n"
                 "\n"
                 "Ctrl-C or SIGTERM lets the step under way finish, then stops the module and\n"
                 "removes its private copy (a second one ends at once).\n"
                 "\n"
                 "Exit status 0 when every step succeeded, 1 when one failed, 2 for bad usage,\n"
                 "128 + the signal when interrupted.\n");
}

struct Request {
    int option;
    std::string argument;
};

struct Arguments {
    bool threaded = false;
    bool check = true;
    bool stopAfterStart = false;
    int stopTimeoutMs = 120000;
    int logLevel = -1;  // not given: the registry decides, as for the host
    std::string params;
    std::string module;
    std::vector<Request> requests;
};

// 0 to run, 1 for --help, -1 for bad usage (already reported).
int Parse(int argc, char** argv, Arguments& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto needs = [&](int count) {
            if (i + count < argc) return true;
            std::fprintf(stderr, "zrmodrun: %s needs %d value%s\n", arg.c_str(), count, count > 1 ? "s" : "");
            return false;
        };
        if (arg == "--help" || arg == "-h") return 1;
        if (arg == "--threaded") {
            args.threaded = true;
        } else if (arg == "--no-check") {
            args.check = false;
        } else if (arg == "--stop-after-start") {
            args.stopAfterStart = true;
        } else if (arg == "--params") {
            if (!needs(1)) return -1;
            args.params = argv[++i];
        } else if (arg == "--stop-timeout" || arg == "--log-level") {
            if (!needs(1)) return -1;
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (!end || *end != '\0' || value < 0 || (arg == "--log-level" && value > LOG_OTHER)) {
                std::fprintf(stderr, "zrmodrun: bad value for %s: %s\n", arg.c_str(), argv[i]);
                return -1;
            }
            (arg == "--log-level" ? args.logLevel : args.stopTimeoutMs) = static_cast<int>(value);
        } else if (arg == "--data") {
            if (!needs(2)) return -1;
            Request request{};
            if (!ParseOption(argv[i + 1], request.option)) {
                std::fprintf(stderr, "zrmodrun: unknown option name: %s\n", argv[i + 1]);
                return -1;
            }
            request.argument = argv[i + 2];
            args.requests.push_back(request);
            i += 2;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "zrmodrun: unknown argument: %s\n", arg.c_str());
            return -1;
        } else if (args.module.empty()) {
            args.module = arg;
        } else {
            std::fprintf(stderr, "zrmodrun: more than one module given: %s\n", arg.c_str());
            return -1;
        }
    }
    if (args.module.empty()) {
        std::fprintf(stderr, "zrmodrun: no module given\n");
        return -1;
    }
    return 0;
}

// Ctrl-C or SIGTERM: the step under way finishes, then the module is stopped
// and its private copy removed; a second signal ends the process at once.
volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int signal) {
    g_interrupted = signal;
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

void StopCleanlyOnInterrupt() {
    struct sigaction action{};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;  // the module's own calls go on undisturbed
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// The error lines this process logged: the host's own account of why a step
// failed, read back from the sealed log.
void PrintLoggedReasons(size_t fromRecord) {
    LogConfig* config = LogConfig::Instance();
    if (!config) return;
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile(config->FileName(), records, error);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "[%.4d.", static_cast<int>(getpid()));
    for (size_t i = fromRecord; i < records.size(); ++i) {
        const std::string& line = records[i].line;
        if (line.rfind(prefix, 0) != 0) continue;
        const std::string message = zrlog::MessageOf(records[i]);
        if (message.find(": [E] ") != std::string::npos || message.find(": [C] ") != std::string::npos)
            std::printf("  log: %s\n", message.c_str());
    }
}

size_t LoggedRecords() {
    LogConfig* config = LogConfig::Instance();
    if (!config) return 0;
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile(config->FileName(), records, error);
    return records.size();
}

void PrintFailure(const char* step, int result, size_t fromRecord) {
    std::printf("%s: failed, result %d (%s)\n", step, result, clib::os::modules::ResultText(result));
    PrintLoggedReasons(fromRecord);
}

// A name without a dot is looked for in the current directory whatever folder
// came with it; running another folder's module by surprise is worse than a warning.
void WarnAboutDroppedFolder(const std::string& module) {
    if (module.find('.') != std::string::npos) return;
    const size_t slash = module.find_last_of("/\\");
    if (slash == std::string::npos) return;
    const std::string name = module.substr(slash + 1);
    std::fprintf(stderr,
                 "zrmodrun: warning: %s has no dot, so it is looked for as %s.kvl in the current directory, not in "
                 "%s; give %s.kvl to run the module there\n",
                 module.c_str(), name.c_str(), module.substr(0, slash + 1).c_str(), module.c_str());
}

int Run(const Arguments& args) {
    int level = args.logLevel;
    if (level < 0) {
        level = LOG_WARNING;
        ReadLogLevel("zrmodproc", &level, false);
    }
    SetLogLevel(level);
    clib::os::modules::Module module;
    module.SetCheckCertificate(args.check);
    int options = 0;
    if (args.stopAfterStart) options |= clib::os::modules::Module::kOptionStopAfterStart;
    if (args.threaded) options |= clib::os::modules::Module::kOptionThreaded;

    WarnAboutDroppedFolder(args.module);
    StopCleanlyOnInterrupt();
    const size_t before = LoggedRecords();
    if (!module.Start(ModulePath(args.module), options, args.params)) {
        PrintFailure("Start", module.GetLastResult(), before);
        return 1;
    }
    std::printf("Start: ok (copy %s)\n", Narrow(module.CopyPath()).c_str());

    bool ok = true;
    for (const auto& request : args.requests) {
        if (g_interrupted) break;
        std::wstring answer;
        const size_t mark = LoggedRecords();
        if (module.Data(request.option, Wide(request.argument), answer)) {
            std::printf("%s: %s\n", OptionName(request.option), Narrow(answer).c_str());
        } else {
            PrintFailure(OptionName(request.option), module.GetLastResult(), mark);
            ok = false;
        }
    }

    if (g_interrupted) std::printf("interrupted: stopping the module\n");
    const size_t mark = LoggedRecords();
    if (module.Stop(args.stopTimeoutMs)) {
        std::printf("Stop: ok\n");
    } else {
        PrintFailure("Stop", module.GetLastResult(), mark);
        ok = false;
    }
    if (g_interrupted) return 128 + g_interrupted;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    const int parsed = Parse(argc, argv, args);
    if (parsed == 1) {
        Usage(stdout);
        return 0;
    }
    if (parsed < 0) {
        Usage(stderr);
        return 2;
    }
    try {
        return Run(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zrmodrun: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "zrmodrun: unexpected failure\n");
    }
    return 1;
}
