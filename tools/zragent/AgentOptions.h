// The command line of zragent: which command, which module, how to start it
// and which data requests to send.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zragent {

enum class Command { Run, Shell, Bench, Help };

// How the start reaches the host: the stored-arguments pair (MStartModuleArgs
// then MStartModuleExec, whose reply carries the result) or the one raw
// MStartModule body (whose result stays with the host and its log).
enum class StartMode { ArgsThenExec, Raw };

struct DataRequest {
    int32_t option = 0;
    std::string text;  // UTF-8; sent as UTF-16LE
};

struct AgentOptions {
    Command command = Command::Help;
    std::string module;
    std::string group = "CModule";
    bool checkSignature = true;
    int32_t startOptions = 0;
    std::string param;
    bool window = false;
    std::vector<DataRequest> requests;
    bool keep = false;
    bool json = false;
    StartMode startMode = StartMode::ArgsThenExec;
    // Empty: found beside zragent in the build tree.
    std::string rundll;
    std::string hostLibrary;
    // The host's working directory (its log file and a module named without
    // a path live there); empty: zragent's own.
    std::string hostDir;
    // Time limits in milliseconds.
    int readyTimeoutMs = 20000;
    int stopTimeoutMs = 120000;
    int hostExitTimeoutMs = 10000;
    // The level of zragent's own log lines; -1 writes none, so that the
    // host's log is the only writer of the shared log file by default.
    int agentLogLevel = -1;
    // bench
    int benchRequests = 1000;
    int benchConcurrency = 1;
    int benchPayload = 64;
};

// The code of an option given as a number or as its name ("ZR_GETOPTION";
// the "ZR_" prefix and the case are optional).
bool ParseOptionCode(const std::string& text, int32_t& code);

// "OPTION:TEXT" (the text may be empty and may hold colons).
bool ParseDataRequest(const std::string& text, DataRequest& request);

// Fills options from argv; false with a message for bad usage.
bool ParseCommandLine(int argc, const char* const* argv, AgentOptions& options, std::string& error);

const char* UsageText();

}  // namespace zragent
