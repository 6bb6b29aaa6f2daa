// A real host started through zrrundll in a folder of its own, driven by
// zragent's session (the reference parent) in the test process, and the
// host's log lines read back through the log reader. Shared by the host's
// tests and zragent's.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AgentSession.h"
#include "log/LogReader.h"
#include "support/TestSupport.h"

namespace hosttest {

inline std::string Rundll() { return zrtest::BinaryDir() + "/tools/zrrundll/zrrundll"; }
inline std::string HostLibrary() { return zrtest::BinaryDir() + "/src/host/libzrmodproc.so"; }

// A test folder that is the host's working directory, with copies of the
// modules it runs (the host puts its private copies beside them).
struct HostFolder {
    zrtest::ScopedTempDir dir;
    std::string Module(const std::string& name) {
        const std::string path = dir.File(name + ".kvl");
        std::filesystem::copy_file(zrtest::BinaryDir() + "/modules/" + name + ".kvl", path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }
    std::string Log() const { return dir.File("kvlzrmodproc.log"); }
    // Files other than the log and the expected ones: private copies and
    // lock files left behind.
    std::vector<std::string> Leftovers(const std::vector<std::string>& expected) const {
        std::vector<std::string> extra;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            const std::string name = entry.path().filename().string();
            if (name != "kvlzrmodproc.log" && std::find(expected.begin(), expected.end(), name) == expected.end())
                extra.push_back(name);
        }
        return extra;
    }
};

inline zragent::AgentOptions SessionOptions(const HostFolder& folder, const std::string& module) {
    zragent::AgentOptions options;
    options.module = module;
    options.checkSignature = false;
    options.rundll = Rundll();
    options.hostLibrary = HostLibrary();
    options.hostDir = folder.dir.Path().string();
    options.json = true;
    return options;
}

// A session in this process, printing its events to a file the test reads;
// started is false unless the host was launched (and the module started).
struct InProcessAgent {
    explicit InProcessAgent(zragent::AgentOptions o, bool startModule = true)
        : options(std::move(o)), out(std::tmpfile()), events(out, true) {
        session = std::make_unique<zragent::AgentSession>(options, events);
        started = session->LaunchHost() && (!startModule || session->StartModule());
        host = session->HostPid();
    }
    ~InProcessAgent() {
        session.reset();
        std::fclose(out);
    }
    std::string Printed() {
        std::fflush(out);
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        return text;
    }
    zragent::AgentOptions options;
    FILE* out;
    zragent::EventWriter events;
    std::unique_ptr<zragent::AgentSession> session;
    bool started = false;
    uint32_t host = 0;
};

// The messages the log at path holds (of process pid only, unless 0).
inline std::vector<std::string> LogOf(const std::string& path, uint32_t pid = 0) {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile(path, records, error);
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "[%.4u.", static_cast<unsigned>(pid));
    std::vector<std::string> messages;
    for (const auto& record : records)
        if (pid == 0 || record.line.rfind(prefix, 0) == 0) messages.push_back(zrlog::MessageOf(record));
    return messages;
}
inline size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}
inline bool Has(const std::vector<std::string>& lines, const std::string& line) { return Count(lines, line) > 0; }
// How many of the log's lines hold needle.
inline size_t LogCount(const std::string& path, const std::string& needle) {
    const auto lines = LogOf(path);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(needle) != std::string::npos;
    }));
}
inline bool LogHas(const std::string& path, const std::string& needle) { return LogCount(path, needle) > 0; }

template <class Condition>
bool WaitUntil(Condition condition, int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace hosttest
