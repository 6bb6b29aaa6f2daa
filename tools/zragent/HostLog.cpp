#include "HostLog.h"

#include <cstdlib>
#include <cstring>

#include "log/LogReader.h"

namespace zragent {

namespace {

bool WrittenBy(const zrlog::Record& record, uint32_t pid) {
    if (pid == 0) return true;
    // Lines begin "[pppp.tttt] " with the decimal process id.
    return record.line.size() > 1 && record.line[0] == '[' &&
           std::strtoul(record.line.c_str() + 1, nullptr, 10) == pid;
}

}  // namespace

std::string HostLogPath(const std::string& hostDir) {
    return (hostDir.empty() ? std::string(".") : hostDir) + "/kvlzrmodproc.log";
}

std::vector<std::string> LastHostLogLines(const std::string& path, uint32_t pid, size_t count) {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile(path, records, error);  // the records before a bad one are still shown
    std::vector<std::string> lines;
    for (auto it = records.rbegin(); it != records.rend() && lines.size() < count; ++it)
        if (WrittenBy(*it, pid)) lines.insert(lines.begin(), it->line);
    return lines;
}

bool LastStartResultFromLog(const std::string& path, uint32_t pid, int32_t& result) {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile(path, records, error);
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (!WrittenBy(*it, pid)) continue;
        const std::string message = zrlog::MessageOf(*it);
        if (message.rfind("ZRModProc::StartModuleExec: Module started:", 0) == 0) {
            result = 0;
            return true;
        }
        if (message.rfind("ZRModProc::StartModuleExec: [E] Start failed for", 0) == 0) {
            const size_t at = message.rfind("err:");
            if (at == std::string::npos) return false;
            result = static_cast<int32_t>(std::strtol(message.c_str() + at + 4, nullptr, 10));
            return true;
        }
    }
    return false;
}

}  // namespace zragent
